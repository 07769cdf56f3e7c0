"""Read and write system files (*.sys) as pandas DataFrames.

    df = vesk.read("survey.sys", labels=True)
    info = vesk.read_info("survey.sys")        # what `vesk info --json` prints
    for batch in vesk.iter_batches("big.sys", batch_rows=100_000): ...
    vesk.write(df, "copy.sys", compression="zlib", metadata={"label": "Copy"})
    ddf = vesk.dask.read("big.sys", npartitions=8)   # a dask DataFrame

Failures of the library raise vesk.Error, whose .code is the message number.
"""

from ._errors import Error
from ._read import iter_batches, read, read_info
from ._write import write

__all__ = ["Error", "read", "read_info", "iter_batches", "write", "dask"]


def __getattr__(name):
    # vesk.dask imports dask only when it is first used.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module 'vesk' has no attribute {name!r}")
