"""The exception of the package, known to the extension."""

from . import _vesk


class Error(Exception):
    """A failure reported by the library; .code is its message number
    (1201 cannot open, 1204 damaged file, 1214 password needed, 1244 no such
    variable, 1505 a name used twice, 1506 an invalid name, ...)."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code

    def __reduce__(self):
        # Errors raised on dask workers travel back pickled.
        return (type(self), (str(self), self.code))


_vesk.set_error_class(Error)
