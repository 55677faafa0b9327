"""Pieces every reader of the package shares: field and name texts, the modes
of a row, scanner handles and the column directory."""

from __future__ import annotations

import ctypes
from collections.abc import Sequence
from typing import Any, Callable, Literal, Union

from . import _lib, errors
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
