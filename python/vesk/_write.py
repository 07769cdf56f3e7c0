"""Writing: a DataFrame into a new system file, through a temporary file
renamed into place once complete."""

import math
import os

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from . import _vesk
from ._errors import Error

_CHUNK_ROWS = 65536
_NO_SUCH_VARIABLE = 1244
_BAD_VALUE_LABELS = 1242
_BAD_DEFINITION = 1243
_MEASURES = {"unknown": 0, "nominal": 1, "ordinal": 2, "scale": 3}
_ALIGNMENTS = {"left": 0, "right": 1, "centre": 2, "center": 2}
_NS = 10**9


def write(df, path, compression="bytecode", password=None, metadata=None):
    """Writes the DataFrame as a system file.

    Float, integer and bool columns become numeric variables; object and
    string columns strings as wide as their longest UTF-8 text; datetime
    columns date-times (dates when every value is at midnight); timedelta
    columns durations; Categorical columns numeric codes 1, 2, ... labelled
    with their categories. compression: "none", "bytecode" or "zlib".
    metadata: a dict in the `vesk info --json` schema, any subset (label,
    attributes, and variables keyed by name or as a list with "name").
    """
    metadata = metadata or {}
    columns = [_column(str(name), df.iloc[:, k]) for k, name in enumerate(df.columns)]
    _apply_metadata(columns, metadata.get("variables") or {})
    writer = _vesk.Writer(os.fspath(path), [c.spec for c in columns], compression, password,
                          metadata.get("label"), _attributes(metadata.get("attributes")))
    try:
        for start in range(0, len(df), _CHUNK_ROWS):
            stop = min(len(df), start + _CHUNK_ROWS)
            writer.write([c.data[start:stop] for c in columns])
        writer.close()
    except BaseException:
        writer.abandon()
        raise


class _Out:
    """A variable to write: its description and its values (a float64 array
    or a list of str)."""

    def __init__(self, spec, data):
        self.spec = spec
        self.data = data


def _column(name, series):
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return _categorical(name, series)
    if ptypes.is_bool_dtype(dtype):
        return _Out({"name": name, "width": 0, "print": [5, 1, 0], "write": [5, 1, 0]}, _numbers(series))
    if ptypes.is_integer_dtype(dtype):
        return _integers(name, series)
    if ptypes.is_float_dtype(dtype):
        return _Out({"name": name, "width": 0}, _numbers(series))
    if ptypes.is_datetime64_any_dtype(dtype):
        return _datetimes(name, series)
    if ptypes.is_timedelta64_dtype(dtype):
        return _durations(name, series)
    if ptypes.is_object_dtype(dtype) or ptypes.is_string_dtype(dtype):
        return _texts(name, series)
    raise TypeError(f"column {name!r}: a {dtype} column has no system-file type")


def _numbers(series):
    return np.ascontiguousarray(series.to_numpy(dtype=np.float64, na_value=np.nan))


def _integers(name, series):
    values = _numbers(series)
    finite = values[~np.isnan(values)]
    digits = len(str(int(np.abs(finite).max()))) + 1 if len(finite) else 8
    fmt = [5, min(40, max(8, digits)), 0]
    return _Out({"name": name, "width": 0, "print": fmt, "write": fmt}, values)


def _decimals(nanos, unit_ns):
    """Digits of the second the values need: 0, 3 or 6."""
    part = nanos % unit_ns
    if not part.any():
        return 0
    return 3 if not (part % 10**6).any() else 6


def _datetimes(name, series):
    if getattr(series.dt, "tz", None) is not None:
        series = series.dt.tz_localize(None)
    raw = series.to_numpy(dtype="M8[ns]")
    missing = np.isnat(raw)
    nanos = raw.view(np.int64)[~missing]
    day = 86400 * _NS
    if not (nanos % day).any():
        fmt = [38, 10, 0]
    else:
        d = _decimals(nanos, _NS)
        fmt = [22, 21 + d if d else 19, d]
    micros = raw.view(np.int64) // 1000
    values = (micros + round(_vesk.UNIX_EPOCH_SECONDS) * 10**6) / 1e6
    values[missing] = np.nan
    return _Out({"name": name, "width": 0, "print": fmt, "write": fmt}, values)


def _durations(name, series):
    raw = series.to_numpy(dtype="m8[ns]")
    missing = np.isnat(raw)
    d = _decimals(raw.view(np.int64)[~missing], _NS)
    fmt = [21, 9 + d if d else 8, d]
    values = (raw.view(np.int64) // 1000) / 1e6
    values[missing] = np.nan
    return _Out({"name": name, "width": 0, "print": fmt, "write": fmt}, values)


def _texts(name, series):
    texts = [None if _is_missing(v) else v if isinstance(v, str) else str(v) for v in series.to_numpy(dtype=object)]
    width = max([len(t.encode("utf-8")) for t in texts if t] or [1])
    return _Out({"name": name, "width": width}, texts)


def _is_missing(value):
    return value is None or value is pd.NA or value is pd.NaT or (isinstance(value, float) and math.isnan(value))


def _categorical(name, series):
    cat = series.cat
    codes = cat.codes.to_numpy().astype(np.float64) + 1
    codes[codes == 0] = np.nan
    labels = [(float(k + 1), str(c)) for k, c in enumerate(cat.categories)]
    measure = _MEASURES["ordinal" if cat.ordered else "nominal"]
    spec = {"name": name, "width": 0, "print": [5, 8, 0], "write": [5, 8, 0], "value_labels": labels,
            "measure": measure}
    return _Out(spec, codes)


# ---------------------------------------------------------------- metadata


def _attributes(attributes):
    if not attributes:
        return []
    return [(str(k), [str(v)] if isinstance(v, str) else [str(x) for x in v]) for k, v in attributes.items()]


def _apply_metadata(columns, variables):
    if isinstance(variables, dict):
        entries = [dict(v, name=k) for k, v in variables.items()]
    else:
        entries = list(variables)
    by_name = {c.spec["name"].lower(): c for c in columns}
    for entry in entries:
        column = by_name.get(str(entry.get("name", "")).lower())
        if column is None:
            raise Error(f"metadata names a variable the DataFrame does not have: {entry.get('name')!r}",
                        _NO_SUCH_VARIABLE)
        _apply_entry(column.spec, entry)


def _apply_entry(spec, entry):
    numeric = spec["width"] == 0
    for key in ("label", "print", "write", "display_width", "role"):
        if key in entry:
            spec[key] = entry[key]
    if "measure" in entry:
        spec["measure"] = _code(entry["measure"], _MEASURES, "measure")
    if "alignment" in entry:
        spec["alignment"] = _code(entry["alignment"], _ALIGNMENTS, "alignment")
    if "value_labels" in entry:
        merged = dict(spec.get("value_labels", []))
        merged.update(_value_labels(entry["value_labels"], numeric))
        spec["value_labels"] = list(merged.items())
    if "missing" in entry:
        spec["missing"] = _missing(entry["missing"], numeric)
    if "attributes" in entry:
        spec["attributes"] = _attributes(entry["attributes"])


def _code(value, names, what):
    if isinstance(value, str):
        if value.lower() not in names:
            raise ValueError(f"unknown {what} {value!r}")
        return names[value.lower()]
    return int(value)


def _key(value, numeric, code):
    """A value-label or missing value: JSON object keys are texts, so numeric
    variables take them as numbers; a text that is no number raises Error
    `code`."""
    if not numeric:
        return str(value)
    try:
        return float(value)
    except (TypeError, ValueError):
        raise Error(f"{value!r} is not a value of a numeric variable", code) from None


def _value_labels(labels, numeric):
    pairs = labels.items() if isinstance(labels, dict) else labels
    return {_key(v, numeric, _BAD_VALUE_LABELS): str(label) for v, label in pairs}


def _missing(missing, numeric):
    """{"values": [...], "range": [low, high]}, the info form {"rule": R,
    "values": [...]} (R < 0: a range, then at most one value), or a list."""
    if isinstance(missing, (list, tuple)):
        return {"values": [_key(v, numeric, _BAD_DEFINITION) for v in missing]}
    values = [_key(v, numeric, _BAD_DEFINITION) for v in missing.get("values", [])]
    rule = missing.get("rule")
    if rule is not None and rule < 0:
        return {"range": (values[0], values[1]), "values": values[2:]}
    result = {"values": values}
    if missing.get("range") is not None:
        low, high = missing["range"]
        result["range"] = (float(low), float(high))
    return result
