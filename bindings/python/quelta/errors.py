"""Exceptions of the package: one class per kind of failure a caller may branch on.

Every failure of the library arrives as its own message, either a fixed
phrase ("scanner is null") or an operation and a condition name
("open failed: FileNotFound"). ``Error.message`` keeps the message as the
library wrote it, ``Error.condition`` the condition name (None for phrases),
and the class is chosen from the condition.
"""

from __future__ import annotations


class Error(Exception):
    """A failure reported by libquelta (or by the package on its behalf)."""

    def __init__(self, message: str, condition: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.condition = condition if condition is not None else _condition_of(message)

    def __str__(self) -> str:
        return self.message


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


def from_message(message: str) -> Error:
    """The exception that fits one message of the library."""
    condition = _condition_of(message)
    if condition is not None:
        cls = _BY_CONDITION.get(condition, Error)
    elif message.endswith(" is null") or message.startswith(("invalid ", "validate_to_files requires")):
        cls = InvalidArgument
    else:
        cls = Error
    return cls(message, condition)
