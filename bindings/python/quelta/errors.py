"""Exceptions of the package: one class per kind of failure a caller may branch on.

Every failure of the library arrives as its own message, either a fixed
phrase ("scanner is null") or an operation and a condition name
("open failed: FileNotFound"). ``Error.message`` keeps the message as the
library wrote it, ``Error.condition`` the condition name (None for phrases),
and the class is chosen from the condition.

Beside its message the library says where and what, where it knows: the
subject (a path, a column name, a schema key), the line, column and byte
offset in the input or in the schema text, and the condition's own detail.
They are attributes of every exception (None when not known) and show in its
text, as the command-line tool shows them.
"""

from __future__ import annotations

import errno as _errno
from dataclasses import dataclass


@dataclass(frozen=True)
class Detail:
    """What the library knows beside a message (see quelta_last_error_detail)."""

    subject: str | None = None
    detail: str | None = None
    line: int | None = None
    colno: int | None = None
    offset: int | None = None
    schema_line: int | None = None
    schema_colno: int | None = None
    schema_offset: int | None = None


#: The errno of the OSError subclasses, so that they carry the standard form.
_ERRNO = {
    "FileNotFound": _errno.ENOENT,
    "PathAlreadyExists": _errno.EEXIST,
    "AccessDenied": _errno.EACCES,
    "IsDir": _errno.EISDIR,
}


class Error(Exception):
    """A failure reported by libquelta (or by the package on its behalf).

    Attributes beside ``message`` and ``condition`` (None when not known):
    ``filename`` the path concerned, ``line``, ``colno`` and ``offset`` the
    1-based line, 1-based byte within it and byte offset in the input,
    ``key`` the schema key or its place in the schema (``"price.min"``) or the
    JSON member concerned, ``column`` the column name a schema names but the
    header lacks, ``schema_line``, ``schema_colno`` and ``schema_offset`` the
    position in the schema text, and ``detail`` the condition's own words
    (``'unknown key "minimum" (did you mean "min"?)'``).
    """

    def __init__(self, message: str, condition: str | None = None, detail: Detail | None = None) -> None:
        condition = condition if condition is not None else _condition_of(message)
        d = detail or Detail()
        in_schema = d.schema_line is not None
        # The subject is a path unless the failure is in the schema or names a member.
        names_key = in_schema or condition == "NestedValueNotSupported"
        filename = d.subject if d.subject and not names_key else None
        if isinstance(self, OSError):
            # The standard form: errno, strerror and filename set as OSError sets them.
            super().__init__(_ERRNO.get(condition or "", None), message, filename)
        else:
            super().__init__(message)
        self.message = message
        self.condition = condition
        self._detail = detail
        self.filename = filename
        self.key = d.subject if d.subject and names_key and condition != "UnknownColumn" else None
        self.column = d.subject if d.subject and in_schema and condition == "UnknownColumn" else None
        self.detail = d.detail
        self.line = d.line
        self.colno = d.colno
        self.offset = d.offset
        self.schema_line = d.schema_line
        self.schema_colno = d.schema_colno
        self.schema_offset = d.schema_offset

    def __reduce__(self):  # type: ignore[override]
        # Rebuilt from what it was made of (OSError's args hold errno and strerror
        # instead), then given back every attribute.
        return (type(self), (self.message, self.condition, self._detail), self.__dict__)

    def __str__(self) -> str:
        # As the tool writes it: the subject and position, the message, the detail.
        where = []
        if self.filename:
            where.append(self.filename)
        line, colno = (self.schema_line, self.schema_colno) if self.schema_line else (self.line, self.colno)
        if line:
            place = ("schema line " if self.schema_line else "line ") + str(line)
            where.append(place + (f", column {colno}" if colno else ""))
        text = ": ".join(where + [self.message])
        if self.detail:
            text += f": {self.detail}" if self.schema_line else f" ({self.detail})"
        return text


class FileNotFound(Error, FileNotFoundError):
    """The input (or a folder on an output path) does not exist."""


class FileExists(Error, FileExistsError):
    """An output file already exists (condition PathAlreadyExists)."""


class PermissionDenied(Error, PermissionError):
    """The operating system refused access (condition AccessDenied)."""


class IsADirectory(Error, IsADirectoryError):
    """A folder was given where a file was expected (condition IsDir)."""


class NotRegularFile(Error, OSError):
    """A path names a FIFO, socket or device rather than a regular file (condition NotRegularFile)."""


class SchemaError(Error, ValueError):
    """A validation schema is not a valid schema document (condition BadSchema)."""


class UnknownColumn(SchemaError):
    """A column name that the input's header does not hold."""


class DataError(Error, ValueError):
    """The input is malformed: an open quote, bad JSON, a nested value, bad UTF-8, or nothing to read."""


class InvalidArgument(Error, ValueError):
    """An argument the library rejected (a batch size out of range, bad options)."""


class OutOfMemory(Error, MemoryError):
    """The library could not allocate memory."""


class Unsupported(Error, NotImplementedError):
    """The loaded library does not export the function needed."""


class LibraryNotFound(Error, ImportError):
    """libquelta could not be found or loaded."""


for _cls in (Error, FileNotFound, FileExists, PermissionDenied, IsADirectory, SchemaError, UnknownColumn,
             DataError, InvalidArgument, OutOfMemory, Unsupported, LibraryNotFound):
    _cls.__module__ = "quelta"  # shown as quelta.FileNotFound in tracebacks
del _cls

_DATA_CONDITIONS = {
    "EmptyFile",
    "UnterminatedQuote",
    "InvalidJson",
    "NestedValueNotSupported",
    "InvalidUtf8",
    "InvalidJSON",
    "TooManyTokens",
    "UnexpectedEnd",
    "MalformedKey",
    "ExpectedColon",
    "ExpectedQuote",
    "MalformedString",
    "UnexpectedToken",
    "InvalidEscape",
    "InvalidUnicodeEscape",
    # Compressed input that does not decode to the end.
    "CorruptInput",
    "TruncatedInput",
    "SeveralZipMembers",
    "UnsupportedZipEntry",
}

_BY_CONDITION: dict[str, type[Error]] = {
    "FileNotFound": FileNotFound,
    "PathAlreadyExists": FileExists,
    "AccessDenied": PermissionDenied,
    "IsDir": IsADirectory,
    "NotRegularFile": NotRegularFile,
    "BadSchema": SchemaError,
    "UnknownColumn": UnknownColumn,
    "OutOfMemory": OutOfMemory,
    "InvalidBatchSize": InvalidArgument,
    **{name: DataError for name in _DATA_CONDITIONS},
}


def _condition_of(message: str) -> str | None:
    _, sep, tail = message.rpartition(": ")
    if sep and tail and " " not in tail:
        return tail
    if message.startswith("out of memory"):
        return "OutOfMemory"
    return None


def from_message(message: str, detail: Detail | None = None) -> Error:
    """The exception that fits one message of the library, with its detail."""
    condition = _condition_of(message)
    if condition is not None:
        cls = _BY_CONDITION.get(condition, Error)
    elif message.endswith(" is null") or message.startswith(("invalid ", "validate_to_files requires")):
        cls = InvalidArgument
    else:
        cls = Error
    return cls(message, condition, detail)
