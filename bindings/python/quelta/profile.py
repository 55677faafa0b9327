"""One-pass profiles of every column, and schemas inferred from them.

    >>> import quelta
    >>> p = quelta.profile("sales.csv")
    >>> p["columns"][0]["type"], p["columns"][0]["distinct"]["count"]
    ('integer', 20)
    >>> schema = quelta.infer_schema("sales.csv")
    >>> quelta.validate("sales.csv", schema).valid
    True

The profile is the library's JSON (docs/profile.md) as a dict; the schema is a
dict in the format :func:`quelta.validate` takes.
"""

from __future__ import annotations

import ctypes
import json
from collections.abc import Sequence
from typing import Any, Unpack

from . import _lib
from ._lib import LOCK, lib
from ._read_options import ReadKeywords, read_settings
from ._source import input_path
from ._fields import scan_options


def _run(
    export: str,
    source: Any,
    select: Sequence[Any] | None,
    where: Any,
    limit: int | None,
    negate: bool,
    threads: int,
    read: dict[str, Any],
    function: str,
) -> Any:
    settings = read_settings(read, function)
    threads = _lib.size_arg(threads, "threads")
    with input_path(source, "source") as raw_path:
        opts, _keep, _ = scan_options(raw_path, settings, select, where, limit, negate)
        record = settings.record()
        read_ref = None if record is None else ctypes.byref(record)
        with LOCK:
            if export == "profile":
                plain, with_read, parallel = lib().profile, lib().profile_with, lib().parallel_profile
            else:
                plain, with_read, parallel = lib().infer_schema, lib().infer_schema_with, lib().parallel_infer_schema
            if threads != 1:
                ptr = parallel(raw_path, ctypes.byref(opts), read_ref, threads)
            elif record is None:
                ptr = plain(raw_path, ctypes.byref(opts))
            else:
                ptr = with_read(raw_path, ctypes.byref(opts), read_ref)
            if not ptr:
                raise _lib.fail()
            try:
                text = ctypes.string_at(ptr)
            finally:
                lib().profile_free(ptr)
    return json.loads(text)


def profile(
    source: Any,
    select: Sequence[Any] | None = None,
    where: Any = None,
    limit: int | None = None,
    negate: bool = False,
    *,
    threads: int = 0,
    **read: Unpack[ReadKeywords],
) -> dict[str, Any]:
    """Reads source (a path, bytes or a binary file object) once and describes every
    column: counts of blanks, numbers, integers, booleans, datetimes and other texts;
    min, max, mean, standard deviation and quantiles of the numbers; lengths; the
    smallest and largest text; distinct values (exact with their counts up to 1,000,
    then an estimate). select, where, limit, negate and the read keywords choose rows
    and columns as in :func:`quelta.open`. One thread reads the rows and up to threads
    in all (0: one per processor) share out the columns; the profile is the same for
    any number. Returns the profile as a dict (layout in docs/profile.md)."""
    return _run("profile", source, select, where, limit, negate, threads, read, "profile")


def infer_schema(
    source: Any,
    select: Sequence[Any] | None = None,
    where: Any = None,
    limit: int | None = None,
    negate: bool = False,
    *,
    threads: int = 0,
    **read: Unpack[ReadKeywords],
) -> dict[str, Any]:
    """A schema (a dict for :func:`quelta.validate`) that every row of source looked
    at passes: per column the strictest type of its non-blank values, ``required``
    where none is blank, the numeric or length range seen, ``one_of`` for columns of
    few distinct values. Arguments as in :func:`profile`."""
    return _run("infer_schema", source, select, where, limit, negate, threads, read, "infer_schema")


__all__ = ["infer_schema", "profile"]
