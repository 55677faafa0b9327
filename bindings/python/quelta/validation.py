"""Validating every row of an input against a schema of per-column rules.

A schema is a JSON text or a mapping such as
``{"age": {"type": "integer", "min": 0}, "name": {"required": True}}``; see
docs/python.md for the rules. Breaches are reported under the rule names
"too_few_fields", "too_many_fields", "missing_required", "bad_type",
"below_min", "above_max", "too_short", "too_long" and "not_in_set".
"""

from __future__ import annotations

import ctypes
import json
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, Union, Unpack

from . import _lib, _staging, errors as _errors
from ._lib import LOCK, Handle, lib
from ._read_options import ReadKeywords, ReadSettings, read_settings
from ._source import display_name, input_path
from ._fields import Field, Mode, check_mode, json_field, name_text

Schema = Union[str, bytes, Mapping[str, Any]]


@dataclass(frozen=True)
class Breach:
    """One broken rule: the row number (None in outcome lists), the column (None for
    the field-count rules), its name, the rule name and the field's value."""

    row: int | None
    column: int | None
    column_name: str
    rule: str
    value: Field

    @classmethod
    def from_json(cls, obj: Mapping[str, Any], mode: str = "str", errors: str = "strict") -> "Breach":
        name = obj.get("column_name", "")
        if isinstance(name, list):
            name = bytes(name).decode("utf-8", "surrogateescape")
        return cls(obj.get("row"), obj.get("column"), name, obj["rule"], json_field(obj.get("value", ""), mode, errors))


@dataclass(frozen=True)
class ValidatedRow:
    """One row with its values and every breach found in it (number is None in outcome lists)."""

    number: int | None
    values: tuple[Field, ...]
    errors: tuple[Breach, ...] = ()

    @property
    def valid(self) -> bool:
        return not self.errors


@dataclass(frozen=True)
class ValidationReport:
    """The summary of :func:`validate`: counts, per-rule counts and the first breaches."""

    rows_total: int
    rows_valid: int
    rows_invalid: int
    errors_total: int
    truncated: bool
    counts: dict[str, int]
    errors: list[Breach]
    json: str = field(repr=False)

    @property
    def valid(self) -> bool:
        return self.rows_invalid == 0


@dataclass(frozen=True)
class ValidationStats:
    """Totals of :func:`validate_to_files`."""

    rows_total: int
    rows_valid: int
    rows_invalid: int
    errors_total: int


def schema_text(schema: Schema) -> bytes:
    """A schema argument as the JSON text the library parses."""
    if isinstance(schema, Mapping):
        schema = json.dumps(schema, ensure_ascii=False)
    if not isinstance(schema, (str, bytes, bytearray)):
        raise TypeError(f"a schema is a JSON text or a mapping, not {type(schema).__name__}")
    return _lib.text_arg(schema, "the schema")


def validate(
    path: Any,
    schema: Schema,
    max_errors: int = 0,
    *,
    html: Any = None,
    mode: Mode = "str",
    errors: str = "strict",
    **read: Unpack[ReadKeywords],
) -> ValidationReport:
    """Validates every row of a file and returns the report, holding the first
    ``max_errors`` breaches (0: 100). The read keywords read the file as in
    :func:`quelta.open`. Raises FileNotFound, SchemaError, UnknownColumn, DataError.

    ``html`` (a path) also writes the report as one self-contained HTML page
    there: the verdict, breaches by rule and by column as charts, each column's
    rules and the listed breaches in a table filtered in the page. The page
    may not exist yet (FileExists); it is written under a temporary name
    beside its final one and appears there once complete."""
    check_mode(mode, errors)
    settings = read_settings(read, "validate")
    raw_schema = schema_text(schema)
    max_errors = _lib.size_arg(max_errors, "max_errors")
    record = settings.record()
    with input_path(path) as raw_path:
        if html is None:
            with LOCK:
                if record is None:
                    ptr = lib().validate(raw_path, raw_schema, max_errors)
                else:
                    ptr = lib().validate_with(raw_path, raw_schema, max_errors, ctypes.byref(record))
                text = _report_text(ptr)
        else:
            final = os.fsdecode(_lib.fsencode(html, "html"))
            title = _lib.text_arg(display_name(path), "the input's name")
            with _staging.Staging([os.path.dirname(final) or os.curdir]) as stage:
                temp = stage.temp(final)
                # A page that exists is handed to the library as it is, which then fails as it would unstaged.
                slot = os.fsencode(final if os.path.lexists(final) else temp)
                with LOCK:
                    ptr = lib().validate_html(
                        raw_path, raw_schema, max_errors, None if record is None else ctypes.byref(record), slot, title
                    )
                    text = _report_text(ptr)
                try:
                    stage.publish([(temp, final)])
                except FileExistsError:
                    raise _errors.from_message("validate_html failed: PathAlreadyExists") from None
    obj = json.loads(text)
    return ValidationReport(
        obj["rows_total"],
        obj["rows_valid"],
        obj["rows_invalid"],
        obj["errors_total"],
        obj["truncated"],
        dict(obj["counts"]),
        [Breach.from_json(e, mode, errors) for e in obj["errors"]],
        text.decode("utf-8"),
    )


def _report_text(ptr: int | None) -> bytes:
    """The JSON of a report just returned (the caller holds LOCK), which is then freed."""
    if not ptr:
        raise _lib.fail()
    try:
        return lib().validate_json(ptr)
    finally:
        lib().validate_free(ptr)


class Validator:
    """Row-by-row validation: an iterator of :class:`ValidatedRow` with running totals.

    The read keywords read the file as in :func:`quelta.open`. A context manager;
    a validator that is dropped is closed when collected.
    """

    def __init__(
        self, path: Any, schema: Schema, *, mode: Mode = "str", errors: str = "strict", **read: Unpack[ReadKeywords]
    ) -> None:
        check_mode(mode, errors)
        settings = read_settings(read, "Validator")
        raw_schema = schema_text(schema)
        record = settings.record()
        # The validator holds the input open: a temporary copy can go once it is opened.
        with input_path(path) as raw_path, LOCK:
            if record is None:
                ptr = lib().validator_open(raw_path, raw_schema)
            else:
                ptr = lib().validator_open_with(raw_path, raw_schema, ctypes.byref(record))
            if not ptr:
                raise _lib.fail()
            self._handle = Handle(ptr, "validator_close")
            n = lib().validator_n_columns(ptr)
            #: The input's column names.
            self.columns: tuple[str, ...] = tuple(name_text(lib().validator_column_name(ptr, i)) for i in range(n))
        self.path = os.fsdecode(raw_path)
        self.mode = mode
        self.errors = errors

    def _ptr(self) -> int:
        ptr = self._handle.ptr
        if ptr is None:
            raise ValueError("the validator is closed")
        return ptr

    def __iter__(self) -> "Validator":
        return self

    def __next__(self) -> ValidatedRow:
        fields = ctypes.POINTER(ctypes.c_char_p)()
        count = ctypes.c_size_t()
        errors_json = ctypes.c_char_p()
        number = ctypes.c_uint64()
        with LOCK:
            got = lib().validator_next(
                self._ptr(), ctypes.byref(fields), ctypes.byref(count), ctypes.byref(errors_json), ctypes.byref(number)
            )
            if got < 0:
                raise _lib.fail()
            if got == 0:
                raise StopIteration
            raw = fields[: count.value]
            breaches = errors_json.value
        decode = bytes if self.mode == "bytes" else (lambda b: b.decode("utf-8", self.errors))
        found = tuple(Breach.from_json(e, self.mode, self.errors) for e in json.loads(breaches)) if breaches else ()
        return ValidatedRow(number.value, tuple(map(decode, raw)), found)

    def batches(self, max_rows: int = 4096, max_bytes: int = 1 << 20) -> Iterator[list[ValidatedRow]]:
        """The rows left, as lists of up to max_rows (1..65536) rows, a batch ending once
        its JSON text reaches max_bytes; shares the position of iteration."""
        _lib.size_arg(max_rows, "max_rows")
        _lib.size_arg(max_bytes, "max_bytes")
        return self._batches(max_rows, max_bytes)

    def _batches(self, max_rows: int, max_bytes: int) -> Iterator[list[ValidatedRow]]:
        while True:
            out = ctypes.c_void_p()
            with LOCK:
                got = lib().validator_next_batch(self._ptr(), max_rows, max_bytes, ctypes.byref(out))
                if got < 0:
                    raise _lib.fail()
                if got == 0:
                    return
                try:
                    length = ctypes.c_size_t()
                    text = ctypes.string_at(lib().batch_json(out, ctypes.byref(length)), length.value)
                finally:
                    lib().batch_free(out)
            yield [
                ValidatedRow(
                    row["number"],
                    tuple(json_field(v, self.mode, self.errors) for v in row["values"]),
                    tuple(Breach.from_json(e, self.mode, self.errors) for e in row.get("errors", ())),
                )
                for row in json.loads(text)
            ]

    def _counter(self, name: str) -> int:
        with LOCK:
            return getattr(lib(), name)(self._handle.ptr) if self._handle.ptr is not None else 0

    @property
    def rows_total(self) -> int:
        """Rows delivered so far."""
        return self._counter("validator_rows_total")

    @property
    def rows_valid(self) -> int:
        return self._counter("validator_rows_valid")

    @property
    def rows_invalid(self) -> int:
        return self._counter("validator_rows_invalid")

    @property
    def closed(self) -> bool:
        return self._handle.ptr is None

    def close(self) -> None:
        """Closes the input; the totals read 0 afterwards."""
        self._handle.close()

    def __enter__(self) -> "Validator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def split(
    path: bytes, schema: bytes, valid_path: bytes, invalid_path: bytes, settings: ReadSettings = ReadSettings()
) -> ValidationStats:
    """The library's split of a file into two new outputs, written in place (no staging)."""
    stats = _lib.ValidationStats()
    record = settings.record()
    with LOCK:
        if record is None:
            failed = lib().validate_to_files(path, schema, valid_path, invalid_path, ctypes.byref(stats))
        else:
            failed = lib().validate_to_files_with(
                path, schema, valid_path, invalid_path, ctypes.byref(stats), ctypes.byref(record)
            )
        if failed != 0:
            raise _lib.fail()
    return ValidationStats(stats.rows_total, stats.rows_valid, stats.rows_invalid, stats.errors_total)


def validate_to_files(
    path: Any, schema: Schema, valid_path: Any, invalid_path: Any, **read: Unpack[ReadKeywords]
) -> ValidationStats:
    """Writes the rows without breaches to a new CSV file (with the header) and the
    rows with breaches to a new JSON-lines file ({"values":[..],"errors":[..]} per
    line). Neither output may exist (FileExists); on failure neither is left behind.
    The read keywords read the input as in :func:`quelta.open`; the outputs are
    always UTF-8 CSV and JSON lines.

    Both are written under temporary names (``.quelta-tmp-...``) beside their final
    names and appear there together once complete; temporaries of a call that died
    are removed by the next call writing into the same folder."""
    settings = read_settings(read, "validate_to_files")
    raw_schema = schema_text(schema)
    finals = [os.fsdecode(_lib.fsencode(valid_path)), os.fsdecode(_lib.fsencode(invalid_path))]
    with input_path(path) as raw_path, _staging.Staging(os.path.dirname(f) or os.curdir for f in finals) as stage:
        temps = [stage.temp(f, str(n)) for n, f in enumerate(finals)]
        # An output that exists is handed to the library as it is, which then fails just as
        # it would unstaged (the input and schema checked first) and writes nothing.
        slots = [f if os.path.lexists(f) else t for f, t in zip(finals, temps)]
        stats = split(raw_path, raw_schema, *(os.fsencode(s) for s in slots), settings)
        try:
            stage.publish(list(zip(temps, finals)))
        except FileExistsError as exc:
            raise _errors.from_message(
                "validate_to_files failed: PathAlreadyExists", _errors.Detail(subject=exc.filename)
            ) from None
    return stats


class _PathBytes(os.PathLike):
    """A path given as bytes, read as a path (not as text) by validate_outcome."""

    def __init__(self, raw: bytes) -> None:
        self._raw = raw

    def __fspath__(self) -> bytes:
        return self._raw


def validate_outcome(
    source: Any,
    schema: Schema,
    *,
    format: str | None = None,
    details: bool = False,
    mode: Mode = "str",
    errors: str = "strict",
    **read: Unpack[ReadKeywords],
) -> bool | list[ValidatedRow]:
    """Validates a file (an ``os.PathLike`` such as ``pathlib.Path``) or text held in
    memory (``str`` or ``bytes``).

    ``format`` for a file: "auto" (the default: by its name), "csv", "jsonl" or
    "json" (one JSON array). For text: "csv" (the default), "jsonl", or "json"
    (JSON rows, one array or one object per line, as the text holds them). The
    other read keywords read either as in :func:`quelta.open`.

    Returns True when every row is valid (reading stops at the first invalid
    row), or with details=True the invalid rows with their breaches.
    """
    check_mode(mode, errors)
    if callable(getattr(source, "read", None)):
        # A file object is read as a file would be: through a temporary copy.
        with input_path(source, "source") as raw:
            return validate_outcome(
                _PathBytes(raw), schema, format=format, details=details, mode=mode, errors=errors, **read
            )
    if isinstance(source, os.PathLike):
        data, kind = _lib.fsencode(source), 0
    elif isinstance(source, str):
        data, kind = source.encode("utf-8", "surrogateescape"), None
    elif isinstance(source, (bytes, bytearray, memoryview)):
        data, kind = bytes(source), None
    else:
        raise TypeError("source must be an os.PathLike path, a binary file object, or str or bytes text")
    if kind is None:
        # A text has no name to choose by: its format picks the input kind.
        text_formats = {"csv": (1, "auto"), "json": (2, "auto"), "jsonl": (2, "jsonl")}
        if format is not None and format not in text_formats:
            raise ValueError(f"format must be 'csv', 'jsonl' or 'json' for a text ('auto' needs a path), not {format!r}")
        kind, read_format = text_formats[format or "csv"]
    else:
        read_format = "auto" if format is None else format
    settings = read_settings({**read, "format": read_format}, "validate_outcome")
    raw_schema = schema_text(schema)
    record = settings.record()
    with LOCK:
        if record is None:
            ptr = lib().validate_outcome(data, len(data), raw_schema, kind, 1 if details else 0)
        else:
            ptr = lib().validate_outcome_with(
                data, len(data), raw_schema, kind, 1 if details else 0, ctypes.byref(record)
            )
        if not ptr:
            raise _lib.fail()
        try:
            text = ctypes.string_at(ptr)
        finally:
            lib().outcome_free(ptr)
    result = json.loads(text)
    if not details:
        return bool(result)
    return [
        ValidatedRow(
            None,
            tuple(json_field(v, mode, errors) for v in row["values"]),
            tuple(Breach.from_json(e, mode, errors) for e in row["errors"]),
        )
        for row in result
    ]
