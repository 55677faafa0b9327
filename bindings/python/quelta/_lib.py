"""Loading libquelta and calling it safely from any thread.

The library keeps one last-error slot per process, so a call and the read of
its message must not interleave with another thread's call: every call in the
package runs under ``LOCK``. The library is found and bound on first use, so
``import quelta`` works even before it is built.
"""

from __future__ import annotations

import ctypes
import os
import threading
import weakref
from ctypes import POINTER, c_char, c_char_p, c_double, c_int32, c_int64, c_size_t, c_uint8, c_uint32, c_uint64, c_void_p
from pathlib import Path
from typing import Any, Callable, Iterable

from . import errors

#: Serialises every library call together with the read of its message.
#: Re-entrant, so that a finalizer that runs inside a locked section (the
#: garbage collector may fire anywhere) can still release its handle; the
#: release exports never touch the last-error slot.
LOCK = threading.RLock()

ENV_VAR = "QUELTA_LIBRARY"
_NAMES = ("libquelta.so", "libquelta.dylib", "quelta.dll")


class ScanOptions(ctypes.Structure):
    _fields_ = [
        ("projection", POINTER(c_size_t)),
        ("n_projection", c_size_t),
        ("predicates", c_void_p),
        ("n_predicates", c_size_t),
        ("limit", c_int64),
        ("max_column", c_int64),
        ("negate", c_int32),
    ]


class Predicate(ctypes.Structure):
    _fields_ = [
        ("column", c_size_t),
        ("op", c_int32),
        ("value", c_char_p),
        ("in_values", POINTER(c_char_p)),
        ("n_in_values", c_size_t),
    ]


class ReadOptions(ctypes.Structure):
    """How an input is read; ``size`` must be set to ``ctypes.sizeof(ReadOptions)``."""

    _fields_ = [
        ("size", c_size_t),
        ("delimiter", c_char),
        ("quoting", c_int32),
        ("line_ends", c_int32),
        ("encoding", c_int32),
        ("format", c_int32),
        ("nested", c_int32),
        ("stream", c_int32),
    ]


class RowChunk(ctypes.Structure):
    """Rows in bulk from quelta_next_rows; ``size`` must be set to ``ctypes.sizeof(RowChunk)``."""

    _fields_ = [
        ("size", c_size_t),
        ("data", c_void_p),
        ("data_len", c_size_t),
        ("field_ends", POINTER(c_size_t)),
        ("row_ends", POINTER(c_size_t)),
        ("n_rows", c_size_t),
        ("n_fields", c_size_t),
        ("width", c_size_t),
        ("uniform", c_int32),
        ("separated", c_int32),
        ("separator", c_char),
    ]


class AggregateResult(ctypes.Structure):
    _fields_ = [
        ("count", c_uint64),
        ("sum", c_double),
        ("min", c_double),
        ("max", c_double),
        ("mean", c_double),
        ("has_values", c_int32),
    ]


class ValidationStats(ctypes.Structure):
    _fields_ = [
        ("rows_total", c_uint64),
        ("rows_valid", c_uint64),
        ("rows_invalid", c_uint64),
        ("errors_total", c_uint64),
    ]


class ErrorDetail(ctypes.Structure):
    """Where and what of the last failure; ``size`` must be set to ``ctypes.sizeof(ErrorDetail)``."""

    _fields_ = [
        ("size", c_size_t),
        ("condition", c_char_p),
        ("subject", c_char_p),
        ("detail", c_char_p),
        ("line", c_uint64),
        ("column", c_uint64),
        ("offset", c_int64),
        ("schema_line", c_uint64),
        ("schema_column", c_uint64),
        ("schema_offset", c_int64),
    ]


_h = c_void_p
_fields_out = POINTER(POINTER(c_char_p))
class ColumnCounts(ctypes.Structure):
    """What a typed-column conversion counted."""

    _fields_ = [("n_blank", c_uint64), ("n_invalid", c_uint64), ("n_zoned", c_uint64)]


_size_out = POINTER(c_size_t)
_read = POINTER(ReadOptions)

#: Every export of include/quelta.h: name -> (result type, argument types). The
#: ``_with`` forms take a ReadOptions record last; the package calls them only
#: when some read keyword differs from its default, the plain forms otherwise.
PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "quelta_build_mode": (c_char_p, []),
    "quelta_last_error": (c_char_p, []),
    "quelta_last_error_detail": (c_int32, [POINTER(ErrorDetail)]),
    "quelta_open": (_h, [c_char_p, POINTER(ScanOptions)]),
    "quelta_open_with": (_h, [c_char_p, POINTER(ScanOptions), _read]),
    "quelta_close": (None, [_h]),
    "quelta_n_columns": (c_size_t, [_h]),
    "quelta_column_name": (c_char_p, [_h, c_size_t]),
    "quelta_column_index": (c_int64, [_h, c_char_p]),
    "quelta_next": (c_int32, [_h, _fields_out, _size_out]),
    "quelta_count": (c_int64, [_h]),
    "quelta_next_batch": (c_int32, [_h, c_size_t, c_size_t, POINTER(_h)]),
    "quelta_batch_json": (POINTER(c_char), [_h, _size_out]),
    "quelta_batch_free": (None, [_h]),
    "quelta_aggregate": (c_int32, [_h, c_size_t, POINTER(AggregateResult)]),
    "quelta_topk": (_h, [_h, c_size_t, c_size_t, c_int32]),
    "quelta_topk_next": (c_int32, [_h, _fields_out, _size_out, POINTER(c_double)]),
    "quelta_topk_close": (None, [_h]),
    "quelta_order_by": (_h, [_h, c_size_t, c_int32]),
    "quelta_order_by_next": (c_int32, [_h, _fields_out, _size_out]),
    "quelta_order_by_close": (None, [_h]),
    "quelta_collect": (_h, [_h]),
    "quelta_collect_data": (POINTER(c_char), [_h, _size_out]),
    "quelta_collect_n_rows": (c_size_t, [_h]),
    "quelta_collect_n_cols": (c_size_t, [_h]),
    "quelta_collect_close": (None, [_h]),
    "quelta_collect_columnar": (_h, [_h]),
    "quelta_collect_columnar_n_rows": (c_size_t, [_h]),
    "quelta_collect_columnar_n_cols": (c_size_t, [_h]),
    "quelta_collect_columnar_data": (POINTER(c_uint8), [_h, c_size_t, _size_out]),
    "quelta_collect_columnar_offsets": (POINTER(c_uint32), [_h, c_size_t, _size_out]),
    "quelta_collect_columnar_close": (None, [_h]),
    "quelta_parallel_collect_columnar": (_h, [c_char_p, c_char, c_void_p, c_size_t, c_int32, c_size_t]),
    "quelta_parallel_collect_columnar_with": (_h, [c_char_p, c_void_p, c_size_t, c_int32, c_size_t, _read]),
    "quelta_validate": (_h, [c_char_p, c_char_p, c_size_t]),
    "quelta_validate_with": (_h, [c_char_p, c_char_p, c_size_t, _read]),
    "quelta_validate_json": (c_char_p, [_h]),
    "quelta_validate_free": (None, [_h]),
    "quelta_validate_html": (_h, [c_char_p, c_char_p, c_size_t, _read, c_char_p, c_char_p]),
    "quelta_validator_open": (_h, [c_char_p, c_char_p]),
    "quelta_validator_open_with": (_h, [c_char_p, c_char_p, _read]),
    "quelta_validator_next": (c_int32, [_h, _fields_out, _size_out, POINTER(c_char_p), POINTER(c_uint64)]),
    "quelta_validator_next_batch": (c_int32, [_h, c_size_t, c_size_t, POINTER(_h)]),
    "quelta_validator_n_columns": (c_size_t, [_h]),
    "quelta_validator_column_name": (c_char_p, [_h, c_size_t]),
    "quelta_validator_rows_total": (c_uint64, [_h]),
    "quelta_validator_rows_valid": (c_uint64, [_h]),
    "quelta_validator_rows_invalid": (c_uint64, [_h]),
    "quelta_validator_close": (None, [_h]),
    "quelta_validate_to_files": (c_int32, [c_char_p, c_char_p, c_char_p, c_char_p, POINTER(ValidationStats)]),
    "quelta_validate_to_files_with": (
        c_int32, [c_char_p, c_char_p, c_char_p, c_char_p, POINTER(ValidationStats), _read]
    ),
    # The outcome text must come back as a raw pointer: it is freed by the library.
    "quelta_validate_outcome": (POINTER(c_char), [c_char_p, c_size_t, c_char_p, c_uint32, c_uint32]),
    "quelta_validate_outcome_with": (POINTER(c_char), [c_char_p, c_size_t, c_char_p, c_uint32, c_uint32, _read]),
    "quelta_outcome_free": (None, [c_void_p]),
    # Typed columns: the value and mask buffers are numpy arrays' memory, passed as addresses.
    "quelta_collect_columnar_float64": (c_int32, [_h, c_size_t, c_void_p, c_void_p, c_size_t, POINTER(ColumnCounts)]),
    "quelta_collect_columnar_int64": (c_int32, [_h, c_size_t, c_void_p, c_void_p, c_size_t, POINTER(ColumnCounts)]),
    "quelta_collect_columnar_boolean": (c_int32, [_h, c_size_t, c_void_p, c_void_p, c_size_t, POINTER(ColumnCounts)]),
    "quelta_collect_columnar_datetime": (
        c_int32, [_h, c_size_t, c_void_p, c_void_p, c_size_t, POINTER(ColumnCounts)]
    ),
    "quelta_collect_columnar_infer_type": (c_int32, [_h, c_size_t]),
    "quelta_collect_columnar_join": (c_int32, [_h, c_size_t, c_void_p, c_size_t, _size_out]),
    "quelta_collect_columnar_dictionary": (c_int64, [_h, c_size_t, c_void_p, c_size_t, c_void_p, c_uint32]),
    # Rows in bulk.
    "quelta_next_rows": (c_int32, [_h, c_size_t, c_size_t, POINTER(RowChunk)]),
    "quelta_unread_rows": (c_int32, [_h, c_size_t]),
    # Profile texts come back as raw pointers too, freed by quelta_profile_free.
    "quelta_profile": (POINTER(c_char), [c_char_p, POINTER(ScanOptions)]),
    "quelta_profile_with": (POINTER(c_char), [c_char_p, POINTER(ScanOptions), _read]),
    "quelta_infer_schema": (POINTER(c_char), [c_char_p, POINTER(ScanOptions)]),
    "quelta_infer_schema_with": (POINTER(c_char), [c_char_p, POINTER(ScanOptions), _read]),
    "quelta_parallel_profile": (POINTER(c_char), [c_char_p, POINTER(ScanOptions), _read, c_size_t]),
    "quelta_parallel_infer_schema": (POINTER(c_char), [c_char_p, POINTER(ScanOptions), _read, c_size_t]),
    "quelta_profile_free": (None, [c_void_p]),
}


class Library:
    """The bound exports of one loaded library, as attributes named without the ``quelta_`` prefix."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.cdll = ctypes.CDLL(path)
        self.missing: list[str] = []
        for name, (restype, argtypes) in PROTOTYPES.items():
            short = name[len("quelta_") :]
            try:
                fn = getattr(self.cdll, name)
            except AttributeError:
                self.missing.append(name)
                setattr(self, short, _unavailable(name, path))
                continue
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, short, fn)

    def __getattr__(self, name: str) -> Any:  # only reached for names outside PROTOTYPES
        raise AttributeError(name)


def _unavailable(name: str, path: str) -> Callable[..., Any]:
    def call(*_args: Any) -> Any:
        raise errors.Unsupported(f"{name} is not exported by {path}")

    return call


def candidate_paths() -> list[Path]:
    """Where the library is looked for, in order: $QUELTA_LIBRARY alone when set,
    else the package's own folder, else the newest build under the source tree."""
    env = os.environ.get(ENV_VAR)
    if env:
        return [Path(env)]
    here = Path(__file__).resolve().parent
    found = [here / n for n in _NAMES if (here / n).exists()]
    root = here.parent.parent.parent
    builds = [p for p in root.glob("build/*/libquelta.so") if "asan" not in p.parent.name]
    builds.sort(key=lambda p: p.stat().st_mtime, reverse=True)
    return found + builds


_loaded: Library | None = None


def lib() -> Library:
    """The loaded library (loaded on first use); raises LibraryNotFound."""
    global _loaded
    if _loaded is not None:
        return _loaded
    with LOCK:
        if _loaded is None:
            tried = candidate_paths()
            problems = []
            for path in tried:
                try:
                    _loaded = Library(str(path))
                    break
                except OSError as exc:
                    problems.append(f"{path}: {exc}")
            else:
                where = "; ".join(problems) or "no candidate found"
                raise errors.LibraryNotFound(
                    f"cannot load libquelta ({where}); build it or set {ENV_VAR} to its path"
                )
        return _loaded


def last_error() -> str:
    """The library's current message (call with LOCK held, right after the failing call)."""
    raw = lib().last_error()
    return raw.decode("utf-8", "replace") if raw is not None else ""


def last_error_detail() -> errors.Detail | None:
    """The detail beside the current message, or None when there is none or the
    library predates it (call with LOCK held, right after the failing call)."""
    library = lib()
    if "quelta_last_error_detail" in library.missing:
        return None
    record = ErrorDetail()
    record.size = ctypes.sizeof(ErrorDetail)
    if library.last_error_detail(ctypes.byref(record)) != 1:
        return None

    def text(raw: bytes | None) -> str | None:
        return os.fsdecode(raw) if raw else None

    in_schema = record.schema_line > 0
    return errors.Detail(
        subject=text(record.subject),
        detail=text(record.detail),
        line=record.line or None,
        colno=record.column or None,
        offset=record.offset if record.offset >= 0 else None,
        schema_line=record.schema_line if in_schema else None,
        schema_colno=record.schema_column if in_schema else None,
        schema_offset=record.schema_offset if record.schema_offset >= 0 else None,
    )


def fail(default: str = "operation failed") -> errors.Error:
    """The exception for the message the last call left, with its detail (call with LOCK held)."""
    message = last_error()
    return errors.from_message(message or default, last_error_detail() if message else None)


class Handle:
    """Owns one library handle and releases it exactly once: on close() or when collected.

    ``keep`` holds caller-side memory the handle points into (the projection
    array, predicate value texts); it stays alive until the handle is released.
    """

    __slots__ = ("ptr", "_finalizer", "__weakref__")

    def __init__(self, ptr: int, release: str, keep: Iterable[Any] = ()) -> None:
        self.ptr: int | None = ptr
        self._finalizer = weakref.finalize(self, _release, release, ptr, tuple(keep))
        # At exit the process lets go of everything anyway, and a thread still
        # inside a call would hold the lock forever.
        self._finalizer.atexit = False

    def close(self) -> None:
        with LOCK:
            self.ptr = None
            self._finalizer()


def _release(release: str, ptr: int, keep: tuple[Any, ...]) -> None:
    # keep is only referenced here, so it outlives the handle.
    with LOCK:
        getattr(lib(), release)(ptr)


def fsencode(path: Any, what: str = "path") -> bytes:
    """A path argument as the NUL-free bytes the library takes."""
    if isinstance(path, (bytes, bytearray)):
        raw = bytes(path)
    else:
        try:
            raw = os.fsencode(path)
        except TypeError:
            raise TypeError(f"{what} must be str, bytes or os.PathLike, not {type(path).__name__}") from None
    if b"\0" in raw:
        raise ValueError(f"{what} holds a NUL byte")
    return raw


def text_arg(text: str | bytes, what: str) -> bytes:
    """A NUL-terminated text argument (schemas, names) as bytes."""
    raw = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else bytes(text)
    if b"\0" in raw:
        raise ValueError(f"{what} holds a NUL byte")
    return raw


def size_arg(value: int, what: str) -> int:
    """A size_t argument: a non-negative int (ctypes would wrap negatives silently)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must not be negative")
    if value >= 1 << 64:
        raise OverflowError(f"{what} is too large")
    return value
