"""A system file as a dask DataFrame: one partition per row range.

The planner opens the file once and asks it, in one pass, for a row mark at
or shortly before the first row of every partition (for compressed files, the
position in the data where that row's bytes begin). Each task opens the file
itself, hands its mark to the reader and starts decoding there: no task
reads the rows before its own. Divisions are row numbers.
"""

import math
import os

import dask.dataframe as dd

from . import _vesk
from ._read import _Reader, _row_range

_PARTITION_BYTES = 64 << 20  # of float64 values, for the default partition count


def read(path, npartitions=None, columns=None, password=None, **read_options):
    """The file (or read_options["rows"] of it) as a dask DataFrame whose
    partitions each read one range of rows; read() options apply."""
    meta, parts, divisions = _plan(os.fspath(path), npartitions, columns, password, read_options)
    return dd.from_map(_read_part, parts, meta=meta, divisions=divisions, label="vesk-read", enforce_metadata=False)


def _plan(path, npartitions, columns, password, read_options):
    """The empty frame of the result, the partitions' _Parts and the divisions."""
    read_options = dict(read_options)
    rows = read_options.pop("rows", None)
    reader = _Reader(path, password, columns, **read_options)
    first, stop = _row_range(rows, reader.file.row_count())
    count = stop - first
    if npartitions is None:
        npartitions = math.ceil(count * max(1, len(reader.columns)) * 8 / _PARTITION_BYTES)
    npartitions = max(1, min(int(npartitions), count))
    starts = [first + count * k // npartitions for k in range(npartitions)]
    marks = reader.file.row_marks(starts) if count else [(0, 0)]
    meta = reader.frame(first, 0)
    if read_options.get("labels"):
        meta = dd.utils.clear_known_categories(meta)
    ends = starts[1:] + [stop]
    stamp = _stamp(path)
    parts = [_Part(path, password, columns, read_options, s, e, m, stamp) for s, e, m in zip(starts, ends, marks)]
    divisions = tuple(starts) + (stop - 1,) if count else (None, None)
    return meta, parts, divisions


def _stamp(path):
    st = os.stat(path)
    return (st.st_size, st.st_mtime_ns)


class _Part:
    """What one task reads: rows [first, stop) from the mark on."""

    def __init__(self, path, password, columns, options, first, stop, mark, stamp):
        self.path = path
        self.password = password
        self.columns = columns
        self.options = options
        self.first = first
        self.stop = stop
        self.mark = tuple(mark)
        self.stamp = stamp


def _read_part(part):
    reader = _Reader(part.path, part.password, part.columns, **part.options)
    # A mark is a position in the file the plan was made from: a file changed
    # since is read from its start instead.
    if _stamp(part.path) == part.stamp:
        reader.file.resume_at(*part.mark)
    return reader.frame(part.first, part.stop - part.first)
