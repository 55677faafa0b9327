"""Column-major results: per column the values end to end and n_rows + 1 offsets.

:class:`Columns` hands out the library's own buffers as read-only memoryviews
(no copy). A view keeps the buffers alive: :meth:`Columns.close` releases them
at once when no view is left, else when the last view is released or collected.
"""

from __future__ import annotations

import ctypes
from itertools import pairwise
from collections.abc import Iterator, Sequence
from typing import Any, Unpack

from . import _lib, where as _where
from ._lib import LOCK, Handle, lib
from ._read_options import ReadKeywords, read_settings
from ._source import input_path
from ._fields import Field, Mode, check_mode, decoder, index_resolver, read_names

class Columns:
    """Rows column by column: ``cols["price"]`` or ``cols[1]`` is a list of values,
    :meth:`data` and :meth:`offsets` the raw buffers (value r of a column is
    ``data[offsets[r]:offsets[r + 1]]``). A context manager."""

    def __init__(
        self,
        handle: Handle,
        names: Sequence[str],
        mode: Mode = "str",
        errors: str = "strict",
        header: Sequence[str] | None = None,
    ) -> None:
        self._handle: Handle | None = handle
        with LOCK:
            self.n_rows: int = lib().collect_columnar_n_rows(handle.ptr)
            self.n_cols: int = lib().collect_columnar_n_cols(handle.ptr)
        names = list(names[: self.n_cols])
        #: Column names ("" where the header has none).
        self.names: tuple[str, ...] = tuple(names + [""] * (self.n_cols - len(names)))
        #: The header's names when no row was collected (the columns a table of
        #: this file would have), else the same as ``names``.
        self.header: tuple[str, ...] = tuple(header) if header is not None and not self.n_cols else self.names
        self.mode = mode
        self.errors = errors
        self._views: dict[tuple[str, int], memoryview] = {}

    def _column(self, column: int | str) -> int:
        index = index_resolver(self.names, "the columns")(column)
        if index >= self.n_cols:
            raise IndexError(f"column {index} out of range (there are {self.n_cols})")
        return index

    def _view(self, kind: str, column: int | str) -> memoryview:
        index = self._column(column)
        cached = self._views.get((kind, index))
        if cached is not None:
            return cached
        handle = self._handle
        if handle is None:
            raise ValueError("the columns are closed")
        size = ctypes.c_size_t()
        with LOCK:
            if kind == "data":
                ptr: Any = lib().collect_columnar_data(handle.ptr, index, ctypes.byref(size))
                ctype = ctypes.c_uint8
            else:
                ptr = lib().collect_columnar_offsets(handle.ptr, index, ctypes.byref(size))
                ctype = ctypes.c_uint32
        if not ptr or size.value == 0:
            view = memoryview(b"") if kind == "data" else memoryview(b"").cast("I")
        else:
            array = ctypes.cast(ptr, ctypes.POINTER(ctype * size.value)).contents
            array._owner = handle  # the buffers live while any view over them does
            view = memoryview(array).cast("B")
            view = (view if kind == "data" else view.cast("I")).toreadonly()
        self._views[(kind, index)] = view
        return view

    def data(self, column: int | str) -> memoryview:
        """The column's values end to end: a read-only byte view of the library's buffer."""
        return self._view("data", column)

    def offsets(self, column: int | str) -> memoryview:
        """The column's n_rows + 1 offsets: a read-only view of uint32 (format "I")."""
        return self._view("offsets", column)

    def values(self, column: int | str) -> list[Field]:
        """The column's values as a list of str (bytes in bytes mode)."""
        blob = bytes(self.data(column))
        offs = self.offsets(column).tolist()
        if self.mode == "str" and blob.isascii():  # byte offsets are character offsets
            text = blob.decode("ascii")
            return [text[a:b] for a, b in pairwise(offs)]
        decode = decoder(self.mode, self.errors)
        return [decode(blob[a:b]) for a, b in pairwise(offs)]

    def __getitem__(self, column: int | str) -> list[Field]:
        return self.values(column)

    def __len__(self) -> int:
        return self.n_cols

    def __iter__(self) -> Iterator[str]:
        return iter(self.names)

    def to_lists(self) -> list[list[Field]]:
        """Every column's values, in column order."""
        return [self.values(i) for i in range(self.n_cols)]

    def to_dict(self) -> dict[str, list[Field]]:
        """Column name -> values (a repeated name keeps its first column)."""
        out: dict[str, list[Field]] = {}
        for i, name in enumerate(self.names):
            out.setdefault(name, self.values(i))
        return out

    def rows(self) -> list[tuple[Field, ...]]:
        """The values row by row."""
        return list(zip(*self.to_lists())) if self.n_cols else [() for _ in range(self.n_rows)]

    def to_pandas(self, columns: Sequence[int | str] | None = None, dtypes: Any = None) -> Any:
        """A pandas DataFrame of the columns (all, or those named), each typed by
        inference or by ``dtypes`` as :func:`quelta.read_table` does."""
        from . import frames

        return frames.to_pandas(self, columns, dtypes)

    def to_numpy(self, column: int | str, dtype: Any = None) -> Any:
        """One column as a numpy array. Without dtype the column's inferred type:
        int64 (float64 with NaN when it has blanks), float64 (NaN), bool (object
        with None when it has blanks), datetime64[ns] (NaT) or object of str.
        A dtype converts to it, raising ValueError for a value that does not
        convert or a blank an integer or bool cannot hold. The library writes the
        values straight into the array's memory; ``dtype="uint8"`` is the
        column's raw bytes without a copy, valid after :meth:`close` as well."""
        from . import frames

        return frames.numpy_column(self, self._column(column), dtype)

    def __array__(self, *args: Any, **kwargs: Any) -> Any:
        raise TypeError(
            "Columns has no single array form; use cols.to_pandas() for a DataFrame "
            "(pd.DataFrame(cols) is not supported) or cols.to_numpy(column) for one column"
        )

    def close(self) -> None:
        """Releases the buffers (deferred while a view handed out is still alive)."""
        self._views.clear()
        self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Columns":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<quelta.Columns {self.n_rows} rows x {self.n_cols} columns>"


def parallel_columns(
    path: Any,
    where: Any = None,
    negate: bool = False,
    *,
    threads: int = 0,
    mode: Mode = "str",
    errors: str = "strict",
    **read: Unpack[ReadKeywords],
) -> Columns:
    """A whole CSV or JSON-lines file column by column, read on up to ``threads``
    threads (0: one per processor); the same result as one pass, in file order.

    Every header column is collected. ``where``/``negate`` filter rows as in
    :func:`quelta.open`, and the read keywords (``delimiter``, ``quoting``,
    ``line_ends``, ``encoding``, ``format``, ``nested``) read the file as there:
    quoted line breaks may fall anywhere, the rows are those of one pass. In JSON
    lines, blank and malformed lines are skipped. Returns :class:`Columns`.
    """
    check_mode(mode, errors)
    settings = read_settings(read, "parallel_columns")
    threads = _lib.size_arg(threads, "threads")
    conds = _where.conditions(where)
    with input_path(path) as raw_path:
        return _parallel_columns(raw_path, conds, negate, threads, settings, mode, errors)


def _parallel_columns(
    raw_path: bytes, conds: Any, negate: bool, threads: int, settings: Any, mode: str, errors: str
) -> "Columns":
    names: tuple[str, ...] | None = None
    preds: Any = None
    keep: list[Any] = []
    if conds:
        if any(not isinstance(c.column, int) for c in conds):
            names = read_names(raw_path, settings)
        preds, keep = _where.build(conds, index_resolver(names or (), "the header"))
    pred_ptr = ctypes.cast(preds, ctypes.c_void_p) if preds else None
    record = settings.record()
    with LOCK:
        # keep (the value texts) is alive through the call, which copies the predicates.
        if record is None:
            ptr = lib().parallel_collect_columnar(raw_path, b",", pred_ptr, len(conds), 1 if negate else 0, threads)
        else:
            ptr = lib().parallel_collect_columnar_with(
                raw_path, pred_ptr, len(conds), 1 if negate else 0, threads, ctypes.byref(record)
            )
        if not ptr:
            raise _lib.fail()
        handle = Handle(ptr, "collect_columnar_close")
        n_cols = lib().collect_columnar_n_cols(ptr)
    # With no row collected the header still names the columns (a header-only
    # file, or a filter nothing passed).
    if names is None:
        names = read_names(raw_path, settings)
    return Columns(handle, names, mode, errors, header=names)
