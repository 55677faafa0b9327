"""Whole files into pandas: the parallel collect, then each column typed."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Unpack

from ._read_options import ReadKeywords
from .columns import parallel_columns
from .frames import to_pandas


def read_table(
    path: Any,
    columns: Sequence[Any] | None = None,
    where: Any = None,
    negate: bool = False,
    dtypes: Mapping[Any, Any] | None = None,
    threads: int = 0,
    **read: Unpack[ReadKeywords],
) -> Any:
    """A whole CSV or JSON-lines file as a pandas DataFrame, read on up to
    ``threads`` threads (0: one per processor) through :func:`parallel_columns`.

    ``columns`` picks columns (names or indices, in that order); ``where`` and
    ``negate`` filter rows as in :func:`quelta.open`; the read keywords read the
    file as there. Each column is typed by inference over all of its values,
    unless ``dtypes`` (column -> "int64", "float64", "boolean", "datetime" or
    "str", or the Python/numpy types) says; a value that does not convert to a
    type asked for raises ValueError. Blank values (empty or white space only)
    are missing: NaN in float columns, pandas' nullable ``Int64`` and
    ``boolean`` in integer and boolean columns that have any, NaT in datetime
    columns; in a text column an empty value is NaN, as in pandas.read_csv.
    Datetimes are ``datetime64[ns]`` (UTC; ``datetime64[ns, UTC]`` when any
    value carries a zone). Text is ``object`` of ``str``, ``bytes`` for a value
    that is not UTF-8.
    """
    cols = parallel_columns(path, where, negate, threads=threads, mode="str", **read)
    try:
        return to_pandas(cols, columns, dtypes)
    finally:
        cols.close()
