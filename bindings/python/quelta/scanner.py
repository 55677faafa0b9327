"""The Scanner: rows of one input file with a projection, filters and a limit."""

from __future__ import annotations

import ctypes
import itertools
import operator
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Unpack

from . import _bulk, _lib, errors
from ._lib import LOCK, Handle, lib
from ._fields import Mode, check_mode, decoder, index_resolver, name_text, open_scanner, scan_options
from ._read_options import ReadKeywords, read_settings
from ._source import display_name, input_path

if TYPE_CHECKING:
    from .columns import Columns

Row = tuple  # a tuple of str (or of bytes in bytes mode)

# Iteration takes rows from the library in blocks of this many (or fewer, once
# their text reaches _ITER_BYTES); rows taken but not delivered when another
# way of reading starts are given back to the library.
_ITER_ROWS = 1024
_ITER_BYTES = 1 << 18
_MAX_BATCH_ROWS = 65536
_NO_ROWS: Iterator[Any] = iter(())


@dataclass(frozen=True)
class AggregateResult:
    """Count, sum, min, max and mean of the numeric values of one column."""

    count: int
    sum: float
    min: float
    max: float
    mean: float
    has_values: bool


class _Steps:
    """Rows pulled one by one from a result handle (top-k, order-by) until it ends."""

    def __init__(self, handle: Handle, step: Callable[[int], Any]) -> None:
        self._handle = handle
        self._step = step

    def __iter__(self) -> "_Steps":
        return self

    def __next__(self) -> Any:
        with LOCK:
            if self._handle.ptr is None:
                raise StopIteration
            item = self._step(self._handle.ptr)
            if item is None:
                self._handle.close()
                raise StopIteration
            return item

    def close(self) -> None:
        """Releases the result; later iteration ends at once."""
        self._handle.close()

    def __enter__(self) -> "_Steps":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class RowIterator(_Steps):
    """The rows of an order-by result, in order; releases the result at its end or on close()."""


class Scanner:
    """An open input: an iterator of rows (tuples of str, or of bytes in bytes mode).

    Made by :func:`quelta.open`. Every way of reading rows (iteration,
    :meth:`count`, :meth:`batches` and the operators) advances the same
    position; an operator takes every row left. Use it as a context manager, or
    call :meth:`close`; a scanner that is dropped is closed when collected.
    """

    def __init__(
        self,
        path: Any,
        select: Sequence[Any] | None = None,
        where: Any = None,
        limit: int | None = None,
        negate: bool = False,
        *,
        max_column: int | None = None,
        mode: Mode = "str",
        errors: str = "strict",
        **read: Unpack[ReadKeywords],
    ) -> None:
        check_mode(mode, errors)
        settings = read_settings(read, "Scanner")
        with input_path(path) as raw_path:
            opts, keep, projection = scan_options(raw_path, settings, select, where, limit, negate, max_column)

            with LOCK:
                ptr = open_scanner(raw_path, ctypes.byref(opts), settings)
                if not ptr:
                    raise _lib.fail()
                # The scanner reads the projection array and the value texts until it closes.
                self._handle = Handle(ptr, "close", keep)
                n = lib().n_columns(ptr)
                self.header: tuple[str, ...] = tuple(name_text(lib().column_name(ptr, i)) for i in range(n))
        self.path = display_name(path)
        self.mode = mode
        self.errors = errors
        self._decode = decoder(mode, errors)
        self._projection = projection
        # Rows taken in bulk and not yet delivered: the current run (shared by
        # next() and every iterator of the scanner), the iterator whose length
        # is the rows left in it, and later runs of the same block.
        self._rows: Iterator[Row] = _NO_ROWS
        self._left: Iterator[Any] = _NO_ROWS
        self._later: list[_bulk.Segment] = []

    # ---- state -------------------------------------------------------------

    @property
    def columns(self) -> tuple[str, ...]:
        """Names of the fields of each delivered row ("" for a projected index beyond the header)."""
        if self._projection is None:
            return self.header
        return tuple(self.header[i] if i < len(self.header) else "" for i in self._projection)

    @property
    def closed(self) -> bool:
        return self._handle.ptr is None

    def _ptr(self) -> int:
        ptr = self._handle.ptr
        if ptr is None:
            raise ValueError("the scanner is closed")
        return ptr

    def close(self) -> None:
        """Closes the input; results already returned stay valid."""
        with LOCK:
            self._take_pending()
            self._handle.close()

    def __enter__(self) -> "Scanner":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<quelta.Scanner {self.path!r} {state}>"

    def index(self, name: str) -> int:
        """The index of the first header column called name; UnknownColumn if there is none."""
        raw = _lib.text_arg(name, "a column name")
        with LOCK:
            found = lib().column_index(self._ptr(), raw)
        if found < 0:
            raise errors.UnknownColumn(f"unknown column {name!r} in the header", "UnknownColumn")
        return found

    def _position(self, column: Any) -> int:
        """An operator's column: a position in the delivered row, or the name of a delivered field."""
        return index_resolver(self.columns, "the selected columns")(column)

    # ---- rows ----------------------------------------------------------------

    def __iter__(self) -> Iterator[Row]:
        # Each loop pulls runs of rows through the scanner, so loops, next()
        # and threads share one position; rows go out from C without a Python
        # call per row.
        return itertools.chain.from_iterable(iter(self._next_run, None))

    def __next__(self) -> Row:
        while True:
            try:
                return next(self._rows)
            except StopIteration:
                pass
            if self._next_run() is None:
                raise StopIteration

    def _next_run(self) -> Iterator[Row] | None:
        """The run of rows to deliver from, taking a block from the library when
        every run taken is used up; None at the end of the rows."""
        with LOCK:
            if operator.length_hint(self._left):
                return self._rows  # another loop or thread took a block meanwhile
            if self._later:
                self._rows, self._left = self._later.pop(0)
                return self._rows
            block = _bulk.take_block(self._ptr(), _ITER_ROWS, _ITER_BYTES)
            if block is None:
                return None
            # Converted under the lock: the runs must be in place before
            # anyone else reads from the scanner.
            (self._rows, self._left), *self._later = _bulk.segments(block, self.mode, self.errors)
            return self._rows

    def _take_pending(self) -> int:
        """Ends the runs of rows not yet delivered and returns how many rows they held
        (call with LOCK held). A loop still holding a run sees it end."""
        runs = [self._left, *(left for _, left in self._later)]
        self._rows = self._left = _NO_ROWS
        self._later = []
        # Counting by taking: a row another thread takes meanwhile is its own.
        return sum(len(list(left)) for left in runs)

    def _settle(self) -> int:
        """Gives the rows taken for iteration but not delivered back to the library,
        which then delivers them first to whatever reads next (call with LOCK held);
        returns the scanner handle."""
        ptr = self._ptr()
        left = self._take_pending()
        if left and lib().unread_rows(ptr, left) < 0:
            raise _lib.fail()
        return ptr

    def count(self) -> int:
        """How many rows are left; consumes them."""
        with LOCK:
            n = lib().count(self._settle())
            if n < 0:
                raise _lib.fail()
            return n

    def batches(self, max_rows: int = 4096, max_bytes: int = 1 << 20, *, raw: bool = False) -> Iterator[Any]:
        """The rows left, as lists of up to max_rows rows (1..65536), a batch ending
        once its rows' text reaches max_bytes (their fields with one byte between
        each two). With raw=True each batch is the library's JSON text, ending
        once that text reaches max_bytes."""
        _lib.size_arg(max_rows, "max_rows")
        _lib.size_arg(max_bytes, "max_bytes")
        return self._json_batches(max_rows, max_bytes) if raw else self._batches(max_rows, max_bytes)

    def _batches(self, max_rows: int, max_bytes: int) -> Iterator[list[Row]]:
        if not (1 <= max_rows <= _MAX_BATCH_ROWS and max_bytes > 0):
            with LOCK:  # the library says why
                _bulk.take_block(self._settle(), max_rows, max_bytes, batch=True)
        while True:
            # A batch is built from blocks of iteration's size, which convert
            # faster than one large block (they stay in the processor's cache).
            batch: list[Row] = []
            used = 0
            failure: Exception | None = None
            with LOCK:
                ptr = self._settle()
                while len(batch) < max_rows and used < max_bytes:
                    try:
                        block = _bulk.take_block(ptr, min(_ITER_ROWS, max_rows - len(batch)), max_bytes - used, batch=True)
                    except errors.Error as exc:
                        if not batch:
                            raise
                        failure = exc  # after the rows before it
                        break
                    if block is None:
                        break
                    batch += _bulk.batch(block, self.mode, self.errors)
                    used += len(block.data) + 1
            if not batch:
                return
            yield batch
            if failure is not None:
                raise failure

    def _json_batches(self, max_rows: int, max_bytes: int) -> Iterator[str]:
        while True:
            text = self._next_batch(max_rows, max_bytes)
            if text is None:
                return
            yield text.decode("utf-8")

    def _next_batch(self, max_rows: int, max_bytes: int) -> bytes | None:
        out = ctypes.c_void_p()
        with LOCK:
            got = lib().next_batch(self._settle(), max_rows, max_bytes, ctypes.byref(out))
            if got < 0:
                raise _lib.fail()
            if got == 0:
                return None
            try:
                length = ctypes.c_size_t()
                data = lib().batch_json(out, ctypes.byref(length))
                return ctypes.string_at(data, length.value)
            finally:
                lib().batch_free(out)

    # ---- operators -------------------------------------------------------------

    def aggregate(self, column: Any) -> AggregateResult:
        """Count, sum, min, max and mean of the numeric fields of a delivered column (name or position)."""
        position = self._position(column)
        result = _lib.AggregateResult()
        with LOCK:
            if lib().aggregate(self._settle(), position, ctypes.byref(result)) != 0:
                raise _lib.fail()
        return AggregateResult(result.count, result.sum, result.min, result.max, result.mean, bool(result.has_values))

    def topk(self, column: Any, k: int, descending: bool = True) -> list[tuple[float, Row]]:
        """The k rows with the largest (or, descending=False, smallest) numeric key, best
        first, as (key, row) pairs; rows without a numeric key are left out."""
        position = self._position(column)
        k = _lib.size_arg(k, "k")
        with LOCK:
            ptr = lib().topk(self._settle(), position, k, 1 if descending else 0)
            if not ptr:
                raise _lib.fail()
            handle = Handle(ptr, "topk_close")
        key = ctypes.c_double()

        def step(ctx: int) -> Any:
            row = self._pull(lib().topk_next, ctx, ctypes.byref(key))
            return None if row is None else (key.value, row)

        with _Steps(handle, step) as rows:
            return list(rows)

    def order_by(self, column: Any, descending: bool = False) -> RowIterator:
        """Every row left, sorted stably by a column (numbers as numbers, other text
        bytewise). The rows are held by the library until the iterator ends or closes."""
        position = self._position(column)
        with LOCK:
            ptr = lib().order_by(self._settle(), position, 1 if descending else 0)
            if not ptr:
                raise _lib.fail()
            handle = Handle(ptr, "order_by_close")
        return RowIterator(handle, lambda ctx: self._pull(lib().order_by_next, ctx))

    def _pull(self, fn: Callable[..., int], ctx: int, *extra: Any) -> Row | None:
        """One row from a result handle's stepping export (called with LOCK held)."""
        fields = ctypes.POINTER(ctypes.c_char_p)()
        count = ctypes.c_size_t()
        got = fn(ctx, ctypes.byref(fields), ctypes.byref(count), *extra)
        if got < 0:
            raise _lib.fail()
        if got == 0:
            return None
        return tuple(map(self._decode, fields[: count.value]))

    def collect(self) -> list[Row]:
        """Every row left, through one buffer filled by the library.

        The buffer records no per-row field count, so rows of different widths
        (a ragged CSV without ``select``) raise DataError; iterate such inputs.
        """
        with LOCK:
            ptr = lib().collect(self._settle())
            if not ptr:
                raise _lib.fail()
            try:
                n_rows, n_cols = lib().collect_n_rows(ptr), lib().collect_n_cols(ptr)
                length = ctypes.c_size_t()
                data = lib().collect_data(ptr, ctypes.byref(length))
                blob = ctypes.string_at(data, length.value) if length.value else b""
            finally:
                lib().collect_close(ptr)
        values = blob.split(b"\0")[:-1] if blob else []
        if len(values) != n_rows * n_cols:
            raise errors.DataError(
                f"collect: {n_rows} rows of {n_cols} fields hold {len(values)} values "
                "(rows differ in width or hold NUL bytes); select columns or iterate instead"
            )
        decode = self._decode
        return [tuple(map(decode, values[r * n_cols : (r + 1) * n_cols])) for r in range(n_rows)]

    def columnar(self) -> "Columns":
        """Every row left, column by column (see :class:`quelta.Columns`)."""
        from .columns import Columns

        with LOCK:
            ptr = lib().collect_columnar(self._settle())
            if not ptr:
                raise _lib.fail()
            handle = Handle(ptr, "collect_columnar_close")
        return Columns(handle, self.columns, self.mode, self.errors)


def open(
    path: Any,
    select: Sequence[Any] | None = None,
    where: Any = None,
    limit: int | None = None,
    negate: bool = False,
    *,
    max_column: int | None = None,
    mode: Mode = "str",
    errors: str = "strict",
    **read: Unpack[ReadKeywords],
) -> Scanner:
    """Opens a CSV or JSON-rows file (chosen by its name: .ndjson, .jsonl, .json, unless
    ``format`` says) for reading rows.

    select: the columns to deliver, by name or header index, in output order.
    where: filter conditions, all of which must hold (see :mod:`quelta.where`).
    limit: most rows to deliver. negate: deliver the rows that fail the conditions.
    max_column: the highest header index needed; later fields are not split.
    mode: "str" gives rows of str (decoded as UTF-8 with ``errors``), "bytes" rows of bytes.
    delimiter, quoting, line_ends, encoding, format, nested: how the file is read (the
    read keywords, docs/python.md); their defaults read as this function always has.
    Raises FileNotFound, DataError (EmptyFile, UnterminatedQuote, ...), UnknownColumn, Error,
    and ValueError or TypeError for a read keyword out of its range.
    """
    read_settings(read, "open")  # a misspelt keyword is named as open()'s
    return Scanner(path, select, where, limit, negate, max_column=max_column, mode=mode, errors=errors, **read)
