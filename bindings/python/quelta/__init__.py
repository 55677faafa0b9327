"""quelta: query and validate CSV and JSON-row files through libquelta.

    >>> import quelta
    >>> with quelta.open("sales.csv", select=["city", "price"], where=("price", ">", 500)) as rows:
    ...     for city, price in rows:
    ...         print(city, price)

Pure Python over ctypes. The library is found through $QUELTA_LIBRARY, else
in this package's folder, else in the source tree's build folders. Calls into
it are serialised under one lock, so threads may share the package.
"""

from __future__ import annotations

from . import where
from ._lib import lib as _lib_handle
from .columns import Columns, parallel_columns
from .errors import (
    DataError,
    Error,
    FileExists,
    FileNotFound,
    InvalidArgument,
    IsADirectory,
    NotRegularFile,
    LibraryNotFound,
    OutOfMemory,
    PermissionDenied,
    SchemaError,
    UnknownColumn,
    Unsupported,
)
from .profile import infer_schema, profile
from .scanner import AggregateResult, RowIterator, Scanner, open
from .validation import Breach, ValidationReport, ValidationStats, ValidatedRow, Validator, validate, validate_outcome, validate_to_files
from .where import Condition, col, eq, ge, gt, isin, le, lt, ne

__version__ = "0.1.0"

__all__ = [
    "AggregateResult", "Breach", "Columns", "Condition", "DataError", "Error", "FileExists", "FileNotFound",
    "InvalidArgument", "IsADirectory", "LibraryNotFound", "NotRegularFile", "OutOfMemory", "PermissionDenied", "ValidationReport",
    "RowIterator", "Scanner", "SchemaError", "ValidationStats", "UnknownColumn", "Unsupported", "ValidatedRow",
    "Validator", "build_mode", "col", "eq", "ge", "gt", "infer_schema", "isin", "le", "library_path", "lt", "ne",
    "open", "parallel_columns", "profile", "validate", "validate_outcome", "validate_to_files", "where",
]  # fmt: skip


def build_mode() -> str:
    """The optimisation mode the library was built in (its own name for it)."""
    return _lib_handle().build_mode().decode()


def library_path() -> str:
    """The path of the loaded library (loading it if needed)."""
    return _lib_handle().path
