"""Pieces every reader of the package shares: field and name texts, the modes
of a row, scanner handles and the column directory."""

from __future__ import annotations

import ctypes
from collections.abc import Sequence
from typing import Any, Callable, Literal, NamedTuple, Union

from . import _lib, errors, where as _where
from ._lib import LOCK, lib
from ._read_options import ReadSettings

Mode = Literal["str", "bytes"]
Field = Union[str, bytes]


def check_mode(mode: str, errors_: str) -> None:
    if mode not in ("str", "bytes"):
        raise ValueError("mode must be 'str' or 'bytes'")
    if not isinstance(errors_, str):
        raise TypeError("errors must be a str such as 'strict' or 'replace'")


def decoder(mode: str, errors_: str) -> Callable[[bytes], Field]:
    """Turns one field's bytes into what a row holds in the given mode."""
    if mode == "bytes":
        return bytes
    return lambda raw: raw.decode("utf-8", errors_)


def json_field(value: Any, mode: str, errors_: str) -> Field:
    """A field of a library JSON text: a string, or the array of bytes of text that is not UTF-8."""
    if isinstance(value, list):
        raw = bytes(value)
        return raw if mode == "bytes" else raw.decode("utf-8", errors_)
    if value is None:
        value = ""
    return value.encode("utf-8") if mode == "bytes" else value


def name_text(raw: bytes | None) -> str:
    """A column name as str; bytes that are not UTF-8 survive as surrogate escapes."""
    return "" if raw is None else raw.decode("utf-8", "surrogateescape")


def open_scanner(path: bytes, options: Any, settings: ReadSettings) -> int:
    """A scanner handle from the plain export, or from the _with one when a read keyword
    is set; 0 on failure (call with LOCK held, the message is then in the slot)."""
    record = settings.record()
    if record is None:
        return lib().open(path, options)
    return lib().open_with(path, options, ctypes.byref(record))


def read_names(path: bytes, settings: ReadSettings = ReadSettings()) -> tuple[str, ...]:
    """The column directory of path as read with settings, through a scanner without options."""
    with LOCK:
        ptr = open_scanner(path, None, settings)
        if not ptr:
            raise _lib.fail()
        try:
            return tuple(name_text(lib().column_name(ptr, i)) for i in range(lib().n_columns(ptr)))
        finally:
            lib().close(ptr)


def index_resolver(names: Sequence[str], what: str) -> Callable[[Any], int]:
    """Resolves a column given by name (first match) or by index."""

    def resolve(column: Any) -> int:
        if isinstance(column, bool):
            raise TypeError("a column is a name or an index, not a bool")
        if isinstance(column, int):
            return _lib.size_arg(column, "a column index")
        if isinstance(column, (str, bytes)):
            name = column if isinstance(column, str) else name_text(column)
            try:
                return names.index(name)
            except ValueError:
                raise errors.UnknownColumn(f"unknown column {name!r} in {what}", "UnknownColumn") from None
        raise TypeError(f"a column is a name or an index, not {type(column).__name__}")

    return resolve


class ScanPlan(NamedTuple):
    options: Any  # _lib.ScanOptions
    keep: list[Any]  # what its pointers refer to; must outlive every use of options
    projection: list[int] | None


def scan_options(
    raw_path: bytes,
    settings: ReadSettings,
    select: Any,
    where: Any,
    limit: int | None,
    negate: bool,
    max_column: int | None = None,
) -> ScanPlan:
    """The ScanOptions of a select/where/limit/negate call; names are resolved
    through the header of raw_path, read only when a name is given."""
    conds = _where.conditions(where)
    if isinstance(select, (str, bytes, int)):
        select = [select]  # one column, not the characters of a name
    select = list(select) if select is not None else None
    if isinstance(select, list) and not select:
        raise ValueError("select needs at least one column")
    wanted = (select or []) + [c.column for c in conds]
    header = read_names(raw_path, settings) if any(not isinstance(c, int) for c in wanted) else None
    resolve = index_resolver(header or (), "the header")
    opts = _lib.ScanOptions(limit=-1, max_column=-1)
    keep: list[Any] = [opts]
    projection: list[int] | None = None
    if select is not None:
        projection = [resolve(c) for c in select]
        array = (ctypes.c_size_t * len(projection))(*projection)
        keep.append(array)
        opts.projection = ctypes.cast(array, ctypes.POINTER(ctypes.c_size_t))
        opts.n_projection = len(projection)
    if conds:
        preds, more = _where.build(conds, resolve)
        keep += more
        opts.predicates = ctypes.cast(preds, ctypes.c_void_p)
        opts.n_predicates = len(conds)
    if limit is not None:
        opts.limit = _lib.size_arg(limit, "limit")
    if max_column is not None:
        opts.max_column = _lib.size_arg(max_column, "max_column")
    opts.negate = 1 if negate else 0
    return ScanPlan(opts, keep, projection)
