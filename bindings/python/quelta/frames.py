"""Columns into numpy arrays and pandas DataFrames.

A column's type is inferred by the library in one pass over its values
(integer if every non-blank value is an integer, else float if every one is
a number, else boolean, else datetime, else text), then converted by it in one
more pass straight into the memory of a numpy array; a text column comes over
as one joined text split into ``str`` objects in one step. numpy and pandas
are imported on first use, so the rest of the package works without them.
"""

from __future__ import annotations

import ctypes
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import _lib
from ._lib import LOCK, ColumnCounts, lib
from ._fields import index_resolver

if TYPE_CHECKING:
    from .columns import Columns

#: The library's QueltaColumnType codes.
KINDS = {0: "blank", 1: "int64", 2: "float64", 3: "boolean", 4: "datetime", 5: "text"}

_CONVERT = {
    "int64": "collect_columnar_int64",
    "float64": "collect_columnar_float64",
    "boolean": "collect_columnar_boolean",
    "datetime": "collect_columnar_datetime",
}

# What a dtypes entry may say, by name, for each kind.
_SPELLINGS = {
    "int64": ("int", "int64", "Int64", "integer"),
    "float64": ("float", "float64", "Float64", "double"),
    "boolean": ("bool", "boolean"),
    "datetime": ("datetime", "datetime64", "datetime64[ns]", "datetime64[ns, UTC]"),
    "text": ("str", "text", "object", "string", "O"),
}
_BY_SPELLING = {s: kind for kind, names in _SPELLINGS.items() for s in names}
_BY_TYPE = {int: "int64", float: "float64", bool: "boolean", str: "text", object: "text"}


def numpy() -> Any:
    try:
        import numpy as np
    except ImportError as exc:  # pragma: no cover - numpy is a declared need of these functions
        raise ImportError("this needs numpy (Debian: python3-numpy)") from exc
    return np


def pandas() -> Any:
    try:
        import pandas as pd
    except ImportError as exc:  # pragma: no cover
        raise ImportError("this needs pandas (Debian: python3-pandas)") from exc
    return pd


def kind_of(asked: Any) -> str:
    """The conversion a dtypes entry asks for: int64, float64, boolean, datetime or text."""
    if isinstance(asked, str) and asked in _BY_SPELLING:
        return _BY_SPELLING[asked]
    if isinstance(asked, type) and asked in _BY_TYPE:
        return _BY_TYPE[asked]
    name = str(getattr(asked, "name", asked))  # pandas dtypes
    if name in _BY_SPELLING:
        return _BY_SPELLING[name]
    try:
        letter = numpy().dtype(asked).kind  # numpy dtypes and scalar types
    except TypeError:
        letter = ""
    kind = {"i": "int64", "f": "float64", "b": "boolean", "M": "datetime", "O": "text", "U": "text"}.get(letter)
    if kind:
        return kind
    raise ValueError(f"unsupported dtype {asked!r}: use int64, float64, boolean, datetime or str")


def _handle_ptr(cols: "Columns") -> Any:
    handle = cols._handle
    if handle is None or handle.ptr is None:
        raise ValueError("the columns are closed")
    return handle


def infer(cols: "Columns", index: int) -> str:
    """The kind every non-blank value of the column meets (or "blank", "text")."""
    handle = _handle_ptr(cols)
    with LOCK:
        code = lib().collect_columnar_infer_type(handle.ptr, index)
        if code < 0:
            raise _lib.fail()
    return KINDS[code]


def convert(cols: "Columns", index: int, kind: str) -> tuple[Any, Any, ColumnCounts]:
    """The column converted by the library: values (float64, int64, uint8 0/1 or
    int64 nanoseconds), the validity as a bool array, and the counts."""
    np = numpy()
    handle = _handle_ptr(cols)
    n = cols.n_rows
    values = np.empty(n, np.float64 if kind == "float64" else np.uint8 if kind == "boolean" else np.int64)
    valid = np.empty(n, np.uint8)
    counts = ColumnCounts()
    with LOCK:
        rc = getattr(lib(), _CONVERT[kind])(
            handle.ptr, index, values.ctypes.data, valid.ctypes.data, n, ctypes.byref(counts)
        )
        if rc != 0:
            raise _lib.fail()
    return values, valid.view(np.bool_), counts


# Values sampled to tell whether a text column repeats its values.
_SAMPLE = 1024


# A text column with at most this many distinct values is built from one
# object per distinct value.
_MAX_DISTINCT = 1 << 16


def _decode_one(cols: "Columns") -> Any:
    if cols.mode == "bytes":
        return bytes

    def decode(raw: bytes) -> Any:
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            return raw

    return decode


def _by_dictionary(cols: "Columns", handle: Any, index: int, missing: Any) -> Any:
    """The column from its distinct values, or None when it has too many."""
    np = numpy()
    n = cols.n_rows
    cap = min(_MAX_DISTINCT, n // 4)
    codes = np.empty(n, np.uint32)
    first = np.empty(cap, np.uint32)
    with LOCK:
        distinct = lib().collect_columnar_dictionary(handle.ptr, index, codes.ctypes.data, n, first.ctypes.data, cap)
        if distinct < 0:
            raise _lib.fail()
    if distinct > cap:
        return None
    data, offsets = cols.data(index), cols.offsets(index)
    decode = _decode_one(cols)
    values = np.empty(distinct, dtype=object)
    values[:] = [decode(bytes(data[offsets[r] : offsets[r + 1]])) if offsets[r + 1] > offsets[r] else missing
                 for r in first[:distinct].tolist()]  # fmt: skip
    return values.take(codes)


def texts(cols: "Columns", index: int, missing: Any) -> Any:
    """The column as a numpy object array of str (bytes for a value that is not
    UTF-8, or every value in bytes mode); empty values become missing."""
    np = numpy()
    handle = _handle_ptr(cols)
    n = cols.n_rows
    if n >= 4 * _SAMPLE:
        out = _by_dictionary(cols, handle, index, missing)
        if out is not None:
            return out
    size = ctypes.c_size_t()
    with LOCK:
        sep = lib().collect_columnar_join(handle.ptr, index, None, 0, ctypes.byref(size))
    buf = bytearray(size.value)
    if sep >= 0 and size.value:
        with LOCK:
            sep = lib().collect_columnar_join(
                handle.ptr, index, ctypes.addressof((ctypes.c_char * len(buf)).from_buffer(buf)), len(buf), None
            )
    out = np.empty(n, dtype=object)
    if n == 0:
        return out
    items: list[Any]
    if sep < 0:  # the column holds every ASCII byte: value by value
        items = cols.values(index) if cols.mode == "bytes" else _lenient(cols, index)
    elif cols.mode == "bytes":
        items = bytes(buf).split(bytes((sep,)))
    else:
        try:
            text = buf.decode("utf-8")
        except UnicodeDecodeError:
            items = _lenient(cols, index)
        else:
            del buf  # before the split, which needs the memory for its objects
            items = text.split(chr(sep))
            del text
    if len(items) > _SAMPLE and len(set(items[:_SAMPLE])) <= _SAMPLE // 2:
        # Few distinct values (names, cities): one object per value, as
        # pandas.read_csv does, which frees most of the column's memory.
        first: dict[Any, Any] = {}
        items = list(map(first.setdefault, items, items))
    out[:] = items
    offsets = np.frombuffer(cols.offsets(index), dtype=np.uint32)
    empty = offsets[1:] == offsets[:-1]
    if empty.any():
        out[empty] = missing
    return out


def _lenient(cols: "Columns", index: int) -> list[Any]:
    """Values decoded one by one, keeping the bytes of those that are not UTF-8."""
    blob = bytes(cols.data(index))
    offs = cols.offsets(index).tolist()
    out: list[Any] = []
    for a, b in zip(offs, offs[1:]):
        raw = blob[a:b]
        try:
            out.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            out.append(raw)
    return out


def _refuse(name: str, counts: ColumnCounts, kind: str) -> None:
    if counts.n_invalid:
        raise ValueError(f"column {name!r}: {counts.n_invalid} values do not convert to {kind}")


def pandas_column(cols: "Columns", index: int, kind: str | None = None) -> Any:
    """One column as what a DataFrame holds: numpy int64/float64/bool/datetime64[ns]
    arrays, pandas Int64/boolean arrays where a column has blanks, a UTC
    datetime Series where any value carries a zone, object arrays of text."""
    np, pd = numpy(), pandas()
    forced = kind is not None
    kind = kind or infer(cols, index)
    name = cols.names[index]
    if kind == "blank":
        if cols.n_rows == 0:
            return np.empty(0, dtype=object)
        kind = "float64"  # every value missing
    if kind == "text":
        return texts(cols, index, np.nan)
    values, valid, counts = convert(cols, index, kind)
    if forced:
        _refuse(name, counts, kind)
    missing = counts.n_blank + counts.n_invalid > 0
    if kind == "float64":
        return values
    if kind == "int64":
        return pd.arrays.IntegerArray(values, ~valid) if missing else values
    if kind == "boolean":
        flags = values.view(np.bool_)
        return pd.arrays.BooleanArray(flags, ~valid) if missing else flags
    stamps = values.view("datetime64[ns]")  # INT64_MIN is NaT
    if counts.n_zoned:
        return pd.Series(stamps, copy=False).dt.tz_localize("UTC")
    return stamps


def numpy_column(cols: "Columns", index: int, dtype: Any = None) -> Any:
    """One column as a numpy array (see :meth:`Columns.to_numpy`)."""
    np = numpy()
    if dtype is not None and np.dtype(dtype) == np.uint8:
        return np.frombuffer(cols.data(index), dtype=np.uint8)  # the raw bytes, no copy
    if dtype is None:
        kind = infer(cols, index)
        if kind == "blank":
            kind = "float64" if cols.n_rows else "text"
    else:
        target = np.dtype(dtype)
        kind = {"i": "int64", "f": "float64", "b": "boolean", "M": "datetime"}.get(target.kind, "text")
    if kind == "text":
        out = texts(cols, index, "")
        return out if dtype is None or np.dtype(dtype) == object else out.astype(dtype)
    values, valid, counts = convert(cols, index, kind)
    name = cols.names[index]
    missing = counts.n_blank + counts.n_invalid
    if dtype is not None:
        _refuse(name, counts, kind)
    if kind == "int64" and missing:
        if dtype is not None:
            raise ValueError(f"column {name!r}: {missing} blank values have no int64; use float64 or to_pandas()")
        values, _, _ = convert(cols, index, "float64")  # NaN where blank, as in pandas
    elif kind == "boolean":
        values = values.view(np.bool_)
        if missing:
            if dtype is not None:
                raise ValueError(f"column {name!r}: {missing} blank values have no bool; use to_pandas()")
            values = values.astype(object)
            values[~valid] = None
    elif kind == "datetime":
        values = values.view("datetime64[ns]")
    if dtype is not None and np.dtype(dtype) != values.dtype:
        values = values.astype(dtype)
    return values


def to_pandas(cols: "Columns", columns: Sequence[Any] | None = None, dtypes: Mapping[Any, Any] | None = None) -> Any:
    """A DataFrame of the chosen columns (all by default), typed as :func:`read_table` says."""
    pd = pandas()
    if not cols.n_cols:
        return _empty_frame(cols.header, columns, dtypes)
    indices = [cols._column(c) for c in columns] if columns is not None else list(range(cols.n_cols))
    forced: dict[int, str] = {}
    for key, asked in (dtypes or {}).items():
        forced[cols._column(key)] = kind_of(asked)
    data: dict[str, Any] = {}
    for index in indices:
        name = cols.names[index]
        if name in data:
            raise ValueError(f"column name {name!r} appears twice; choose columns by index")
        data[name] = pandas_column(cols, index, forced.get(index))
    return pd.DataFrame(data, copy=False)


# The dtype of a column with no values, by the kind asked for.
_EMPTY_DTYPES = {"int64": "int64", "float64": "float64", "boolean": "bool", "datetime": "datetime64[ns]", "text": object}


def _empty_frame(header: Sequence[str], columns: Sequence[Any] | None, dtypes: Mapping[Any, Any] | None) -> Any:
    """A frame of no rows with the header's columns: text unless dtypes says."""
    pd = pandas()
    resolve = index_resolver(header, "the columns")

    def position(column: Any) -> int:
        index = resolve(column)
        if index >= len(header):
            raise IndexError(f"column {index} out of range (there are {len(header)})")
        return index

    indices = [position(c) for c in columns] if columns is not None else list(range(len(header)))
    forced = {position(key): kind_of(asked) for key, asked in (dtypes or {}).items()}
    data: dict[str, Any] = {}
    for index in indices:
        name = header[index]
        if name in data:
            raise ValueError(f"column name {name!r} appears twice; choose columns by index")
        data[name] = pd.Series([], dtype=_EMPTY_DTYPES[forced.get(index, "text")])
    return pd.DataFrame(data)
