"""Inputs given as data instead of a path: a binary file object or bytes.

The library reads its inputs by path (some calls open them twice: once for the
column names a filter needs, once to read), so such an input is first copied,
a megabyte at a time, to a temporary file, which is removed as soon as the
call that needed it has opened it or ended. Memory stays bounded whatever the
input's size; compressed data is recognised by its first bytes as for a file.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from pathlib import PurePath
from typing import Any, Iterator

from . import _lib

_PIECE = 1 << 20


def is_data(source: Any) -> bool:
    """Whether source is an input's bytes or a file object rather than a path."""
    return isinstance(source, (bytes, bytearray, memoryview)) or callable(getattr(source, "read", None))


def display_name(source: Any) -> str:
    """What an input is called in messages and on its scanner's ``path``."""
    if is_data(source):
        name = getattr(source, "name", None)
        return name if isinstance(name, str) else f"<{type(source).__name__}>"
    return os.fsdecode(_lib.fsencode(source))


def _suffix(source: Any) -> str:
    # A file object keeps its name's suffixes, so that "rows.jsonl.gz" reads as JSON lines.
    name = getattr(source, "name", None)
    if not isinstance(name, (str, bytes)):
        return ""
    suffixes = "".join(PurePath(os.fsdecode(name)).suffixes)
    return suffixes if len(suffixes) <= 32 else ""


@contextlib.contextmanager
def input_path(source: Any, what: str = "path") -> Iterator[bytes]:
    """The path the library opens for source: a path as given, or a temporary
    copy of bytes or of a binary file object (read from its current position)."""
    if not is_data(source):
        yield _lib.fsencode(source, what)
        return
    fd, name = tempfile.mkstemp(prefix="quelta-input-", suffix=_suffix(source))
    try:
        with os.fdopen(fd, "wb") as out:
            if isinstance(source, (bytes, bytearray, memoryview)):
                out.write(source)
            else:
                first = source.read(_PIECE)
                if isinstance(first, str):
                    raise TypeError(f"{what} is a file object opened in text mode; open it in binary mode ('rb')")
                while first:
                    out.write(first)
                    first = source.read(_PIECE)
        yield os.fsencode(name)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name)


__all__ = ["display_name", "input_path", "is_data"]
