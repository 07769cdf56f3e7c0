"""Reading: system files into pandas DataFrames.

Numeric columns are read by the extension straight into the float64 arrays
the DataFrame keeps (one 2-D block per dtype, built without a copy); date and
time columns are converted in place to datetime64[ns] / timedelta64[ns].
"""

import json
import os
import warnings

import numpy as np
import pandas as pd

from . import _vesk
from ._errors import Error

try:  # the block-level constructor pandas offers to columnar readers
    from pandas.core.internals import BlockManager
    from pandas.core.internals.api import make_block
except ImportError:  # pragma: no cover - other pandas versions
    BlockManager = make_block = None

_NO_SUCH_VARIABLE = 1244


def read_info(path, password=None):
    """The dictionary and properties of a file: the object `vesk info --json` prints."""
    return json.loads(_vesk.File(os.fspath(path), password).info_json())


def read(path, columns=None, rows=None, password=None, labels=False, user_missing=False, dates=True):
    """The file as a DataFrame indexed by row number, its info in df.attrs["vesk"].

    columns: names (or positions) of the variables to read, in that order.
    rows: (first, stop) with slice semantics. labels: variables with value
    labels become Categoricals of their labels. user_missing: keep numbers the
    variable declares missing instead of NaN. dates: date and time formats
    become datetime64[ns] / timedelta64[ns].
    """
    reader = _Reader(path, password, columns, labels, user_missing, dates)
    first, stop = _row_range(rows, reader.file.row_count())
    return reader.frame(first, stop - first)


def iter_batches(path, batch_rows=100_000, columns=None, password=None, **read_options):
    """DataFrames of up to batch_rows rows each, in order; read() options apply
    (rows limits the range). Memory stays bounded by one batch."""
    if batch_rows < 1:
        raise ValueError("batch_rows must be at least 1")
    rows = read_options.pop("rows", None)
    reader = _Reader(path, password, columns, **read_options)
    first, stop = _row_range(rows, reader.file.row_count())
    while first < stop:
        batch = reader.frame(first, min(batch_rows, stop - first))
        if len(batch) == 0:
            return
        yield batch
        first += len(batch)


def _row_range(rows, count):
    if rows is None:
        return 0, count
    first, stop = rows
    first, stop, _ = slice(first, stop).indices(count)
    return first, max(first, stop)


class _Column:
    """How one selected variable is read and what it becomes."""

    def __init__(self, index, name, width, kind, value_labels):
        self.index = index
        self.name = name
        self.width = width
        self.kind = kind  # "number", "date", "time", "text", "labels"
        self.value_labels = value_labels


class _Reader:
    """A file opened once and a plan for its columns; frame() reads rows."""

    def __init__(self, path, password, columns, labels=False, user_missing=False, dates=True):
        self.path = os.fspath(path)
        self.file = _vesk.File(self.path, password)
        self.info = json.loads(self.file.info_json())
        self.user_missing = bool(user_missing)
        variables = self.file.columns()
        indexes = range(len(variables)) if columns is None else [self._index(c, variables) for c in columns]
        self.columns = [self._plan(k, variables[k], labels, dates) for k in indexes]

    def _index(self, column, variables):
        if isinstance(column, (int, np.integer)) and not isinstance(column, bool):
            if not 0 <= column < len(variables):
                raise Error(f"no variable at position {column} in {self.path}", _NO_SUCH_VARIABLE)
            return int(column)
        return self.file.column(str(column))

    def _plan(self, k, variable, labels, dates):
        name, width, is_date, is_time = variable
        value_labels = self.info["variables"][k]["value_labels"]
        if labels and value_labels:
            kind = "labels"
        elif width > 0:
            kind = "text"
        elif dates and is_date:
            kind = "date"
        elif dates and is_time:
            kind = "time"
        else:
            kind = "number"
        return _Column(k, name, width, kind, value_labels)

    def frame(self, first, count):
        """Rows first .. first + count - 1 (fewer at the end of the data)."""
        groups = {kind: [c for c in self.columns if c.kind == kind] for kind in ("number", "date", "time", "text")}
        blocks = {kind: _empty_block(kind, len(cols), count) for kind, cols in groups.items() if cols}
        scratch = [_empty_scratch(c, count) for c in self.columns if c.kind == "labels"]
        targets = [(c.index, blocks[kind][i]) for kind, cols in groups.items() for i, c in enumerate(cols)]
        labelled = [c for c in self.columns if c.kind == "labels"]
        targets += [(c.index, a) for c, a in zip(labelled, scratch)]
        got = self.file.read(targets, first, count, self.user_missing)
        if got < count:
            blocks = {kind: block[:, :got] for kind, block in blocks.items()}
            scratch = [a[:got] for a in scratch]
        _convert_dates(blocks)
        categoricals = [_categorical(a, c) for c, a in zip(labelled, scratch)]
        df = _assemble(self.columns, groups, blocks, labelled, categoricals, first, got)
        df.attrs["vesk"] = self.info
        return df


def _empty_block(kind, columns, rows):
    return np.empty((columns, rows), dtype=object if kind == "text" else np.float64)


def _empty_scratch(column, rows):
    return np.empty(rows, dtype=object if column.width > 0 else np.float64)


def _convert_dates(blocks):
    lost = 0
    for kind, offset, dtype in (("date", _vesk.UNIX_EPOCH_SECONDS, "M8[ns]"), ("time", 0.0, "m8[ns]")):
        if kind in blocks:
            for row in blocks[kind]:
                lost += _vesk.seconds_to_ns(row, offset)
            blocks[kind] = blocks[kind].view(dtype)
    if lost:
        warnings.warn(f"{lost} date or time values beyond the years 1677-2262 became NaT", stacklevel=4)


def _number_text(value):
    if float(value).is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(float(value))


def _categorical(values, column):
    """The values as a Categorical of their labels: labelled values in value
    order, then the other values as text; missing values (NaN) as NaN."""
    is_text = column.width > 0
    labels = {v if is_text else float(v): label for v, label in column.value_labels if v is not None}
    categories, positions = [], {}

    def position(text):
        if text not in positions:
            positions[text] = len(categories)
            categories.append(text)
        return positions[text]

    for value in sorted(labels):
        position(labels[value])
    codes, uniques = pd.factorize(values)
    order = np.argsort(np.asarray(uniques), kind="stable")
    mapping = np.empty(len(uniques), dtype=np.int64)
    for j in order:
        u = uniques[j]
        mapping[j] = position(labels[u]) if u in labels else position(u if is_text else _number_text(u))
    return pd.Categorical.from_codes(np.where(codes < 0, -1, mapping[codes]), categories)


def _assemble(columns, groups, blocks, labelled, categoricals, first, rows):
    place = {id(c): i for i, c in enumerate(columns)}
    names = pd.Index([c.name for c in columns], dtype=object)
    index = pd.RangeIndex(first, first + rows)
    if make_block is None:
        return _assemble_copying(columns, groups, blocks, labelled, categoricals, names, index)
    parts = [make_block(blocks[kind], placement=[place[id(c)] for c in cols]) for kind, cols in groups.items() if cols]
    parts += [make_block(cat, placement=[place[id(c)]], ndim=2) for c, cat in zip(labelled, categoricals)]
    return pd.DataFrame(BlockManager(parts, [names, index]))


def _assemble_copying(columns, groups, blocks, labelled, categoricals, names, index):
    data = {}
    for kind, cols in groups.items():
        for i, c in enumerate(cols):
            data[id(c)] = blocks[kind][i]
    for c, cat in zip(labelled, categoricals):
        data[id(c)] = cat
    df = pd.DataFrame({k: data[id(c)] for k, c in enumerate(columns)}, index=index)
    df.columns = names
    return df
