"""The read keywords that every call taking a path accepts (delimiter, quoting,
line_ends, encoding, format, nested): checked once, before the library is
called, and turned into the library's ReadOptions record.

Defaults read as the plain exports do, and a call whose keywords are all at
their defaults uses the plain export, so existing callers see no change.
"""

from __future__ import annotations

import codecs
import ctypes
from dataclasses import asdict, dataclass
from typing import Any, Literal, Mapping, TypedDict

from . import _lib


class ReadKeywords(TypedDict, total=False):
    """The keywords, for ``**read: Unpack[ReadKeywords]`` signatures."""

    delimiter: str | bytes
    quoting: Literal["line", "rfc4180"]
    line_ends: Literal["lf", "any"]
    encoding: str
    format: Literal["auto", "csv", "jsonl", "json"]
    nested: Literal["refuse", "text"]


# Keyword -> accepted value -> the library's code (the header's enums).
_CHOICES: dict[str, dict[str, int]] = {
    "quoting": {"line": 0, "rfc4180": 1},
    "line_ends": {"lf": 0, "any": 1},
    "format": {"auto": 0, "csv": 1, "jsonl": 2, "json": 3},
    "nested": {"refuse": 0, "text": 1},
}
# Encodings by the canonical name Python's codecs give them, so that every
# alias Python knows ("latin1", "ISO-8859-1", "windows-1252", "UTF8") works.
_ENCODINGS = {"utf-8": ("utf-8", 0), "iso8859-1": ("latin-1", 1), "cp1252": ("cp1252", 2)}
_ENCODING_NAMES = "'utf-8', 'latin-1' (also 'latin1', 'iso-8859-1') or 'cp1252' (also 'windows-1252')"
_BAD_DELIMITERS = {b'"': "'\"'", b"\r": "'\\r'", b"\n": "'\\n'", b"\0": "NUL"}


def _allowed(keyword: str) -> str:
    return ", ".join(repr(v) for v in _CHOICES[keyword])


def _choice(keyword: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{keyword} must be one of {_allowed(keyword)}, not {type(value).__name__}")
    if value not in _CHOICES[keyword]:
        raise ValueError(f"{keyword} must be one of {_allowed(keyword)}, not {value!r}")
    return value


def _encoding(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"encoding must be {_ENCODING_NAMES}, not {type(value).__name__}")
    try:
        canonical = codecs.lookup(value).name
    except LookupError:
        canonical = ""
    if canonical == "utf-8-sig":  # the library skips a UTF-8 byte-order mark anyway
        canonical = "utf-8"
    if canonical not in _ENCODINGS:
        raise ValueError(f"encoding must be {_ENCODING_NAMES}, not {value!r}")
    return _ENCODINGS[canonical][0]


def _delimiter(value: Any) -> bytes:
    if isinstance(value, str):
        # The library compares the byte after decoding to UTF-8: only ASCII is one byte there.
        raw = value.encode("ascii") if len(value) == 1 and value.isascii() else b""
    elif isinstance(value, (bytes, bytearray)):
        raw = bytes(value) if len(value) == 1 else b""
    else:
        raise TypeError(f"delimiter must be a one-character str or a one-byte bytes, not {type(value).__name__}")
    if len(raw) != 1 or raw in _BAD_DELIMITERS:
        raise ValueError(
            "delimiter must be one ASCII character (or one byte) such as ',', ';', '|' or '\\t', "
            f"other than {', '.join(_BAD_DELIMITERS.values())}; not {value!r}"
        )
    return raw


@dataclass(frozen=True)
class ReadSettings:
    """Checked read keywords (``encoding`` by its canonical name); small and picklable."""

    delimiter: bytes = b","
    quoting: str = "line"
    line_ends: str = "lf"
    encoding: str = "utf-8"
    format: str = "auto"
    nested: str = "refuse"

    @property
    def is_default(self) -> bool:
        return self == _DEFAULT

    def keywords(self) -> dict[str, Any]:
        """The keywords that give these settings again (for calls made elsewhere, such as Dask tasks)."""
        return asdict(self)

    def record(self) -> _lib.ReadOptions | None:
        """The library's record, or None when every keyword is at its default."""
        if self.is_default:
            return None
        return _lib.ReadOptions(
            size=ctypes.sizeof(_lib.ReadOptions),
            delimiter=self.delimiter,
            quoting=_CHOICES["quoting"][self.quoting],
            line_ends=_CHOICES["line_ends"][self.line_ends],
            encoding=next(code for name, code in _ENCODINGS.values() if name == self.encoding),
            format=_CHOICES["format"][self.format],
            nested=_CHOICES["nested"][self.nested],
        )


_DEFAULT = ReadSettings()


def read_settings(read: Mapping[str, Any], function: str) -> ReadSettings:
    """The keywords a call received as ``**read``, checked; unknown names raise TypeError
    as they would in a signature that spelled the keywords out."""
    for name in read:
        if name not in ReadKeywords.__annotations__:
            raise TypeError(f"{function}() got an unexpected keyword argument {name!r}")
    return ReadSettings(
        delimiter=_delimiter(read["delimiter"]) if "delimiter" in read else b",",
        quoting=_choice("quoting", read.get("quoting", "line")),
        line_ends=_choice("line_ends", read.get("line_ends", "lf")),
        encoding=_encoding(read.get("encoding", "utf-8")),
        format=_choice("format", read.get("format", "auto")),
        nested=_choice("nested", read.get("nested", "refuse")),
    )
