"""Rows in bulk: one library call fills a block of many rows (quelta_next_rows),
and a few calls made in C turn it into tuples (one decode, one split, one zip).

A block holds every field of its rows in order, neighbours parted by one
separator byte. Where that cannot hold (a field holding the separator) or the
text is not UTF-8, the rows are cut from the field offsets instead, and decoded
one row at a time, so that a decoding error comes at its own row and the rows
after it stay readable.
"""

from __future__ import annotations

import ctypes
from bisect import bisect_right
from collections.abc import Iterator
from dataclasses import dataclass
from itertools import islice, repeat
from typing import Callable

from . import errors
from ._lib import RowChunk, fail, lib

_SEP = b"\x1f"
_SEP_TEXT = "\x1f"

#: A run of rows and the iterator whose length tells how many are left in it
#: (the same list iterator, or the source of a row-by-row decoding map).
Segment = tuple[Iterator[tuple], Iterator[object]]


@dataclass
class Block:
    """One block copied out of the library: its bytes and the shape of its rows."""

    data: bytes
    n_rows: int
    n_fields: int
    width: int
    separated: bool
    # Fields per row, where rows differ in width (else None: every row has width).
    widths: list[int] | None
    # End offset of each field, where splitting at the separator cannot find them.
    field_ends: list[int] | None


def take_block(ptr: int, max_rows: int, max_bytes: int, batch: bool = False) -> Block | None:
    """The next block of up to max_rows rows, or None at the end (call with LOCK held).

    The failure of a batch carries the batch prefix its messages always had."""
    record = RowChunk(size=ctypes.sizeof(RowChunk))
    got = lib().next_rows(ptr, max_rows, max_bytes, ctypes.byref(record))
    if got < 0:
        exc = fail()
        if batch and exc.message.startswith("next failed: "):
            exc = errors.from_message("batch failed: " + exc.message[len("next failed: ") :])
        raise exc
    if got == 0:
        return None
    n_rows, n_fields = record.n_rows, record.n_fields
    widths = None
    if not record.uniform:
        ends = record.row_ends[:n_rows]
        widths = [b - a for a, b in zip([0, *ends], ends)]
    return Block(
        data=ctypes.string_at(record.data, record.data_len) if record.data_len else b"",
        n_rows=n_rows,
        n_fields=n_fields,
        width=record.width,
        separated=bool(record.separated),
        widths=widths,
        field_ends=None if record.separated else record.field_ends[:n_fields],
    )


def rows_of(fields: list, n_rows: int, width: int, widths: list[int] | None) -> list[tuple]:
    """The fields cut into rows: width each, or widths[r] for row r."""
    if widths is None:
        if width == 0:
            return [()] * n_rows
        return list(zip(*[iter(fields)] * width))
    it = iter(fields)
    return list(map(tuple, map(islice, repeat(it), widths)))


def byte_fields(block: Block) -> list[bytes]:
    if block.n_fields == 0:
        return []
    if block.field_ends is None:
        return block.data.split(_SEP)
    ends = block.field_ends
    data = block.data
    return [data[a:b] for a, b in zip([0, *(e + 1 for e in ends[:-1])], ends)]


def segments(block: Block, mode: str, errors_: str) -> list[Segment]:
    """The rows of a block as tuples of str (or of bytes in bytes mode), in runs."""
    rows = _whole(block, mode)
    if rows is not None:
        it = iter(rows)
        return [(it, it)]
    if block.field_ends is not None:
        return _decoded_from(block, 0, errors_)
    try:
        block.data.decode("utf-8")
    except UnicodeDecodeError as exc:
        return _decoded_from(block, _row_at(block, exc.start), errors_)
    raise AssertionError("a block that decodes was not taken whole")


def batch(block: Block, mode: str, errors_: str) -> list[tuple]:
    """The rows of a block as one list (a decoding failure raises for the whole batch)."""
    rows = _whole(block, mode)
    if rows is None:
        rows = [row for run, _ in segments(block, mode, errors_) for row in run]
    return rows


def _whole(block: Block, mode: str) -> list[tuple] | None:
    """The rows of a block split and zipped in one go; None where that cannot be
    (fields holding the separator, text that is not UTF-8)."""
    if mode == "bytes":
        return rows_of(byte_fields(block), block.n_rows, block.width, block.widths)
    if block.field_ends is not None:
        return None
    try:
        text = block.data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    fields = text.split(_SEP_TEXT) if block.n_fields else []
    return rows_of(fields, block.n_rows, block.width, block.widths)


def _row_at(block: Block, offset: int) -> int:
    """The row holding the byte at offset of a separated block."""
    field = block.data.count(_SEP, 0, offset)
    if block.widths is None:
        return field // block.width
    ends, total = [], 0
    for w in block.widths:
        total += w
        ends.append(total)
    return bisect_right(ends, field)


def _decoded_from(block: Block, first_bad: int, errors_: str) -> list[Segment]:
    """Rows before first_bad decoded together, the others one row at a time."""
    raw = byte_fields(block)
    widths = block.widths
    split_at = first_bad * block.width if widths is None else sum(widths[:first_bad])
    out: list[Segment] = []
    if first_bad:
        head_text = _SEP.join(raw[:split_at]).decode("utf-8").split(_SEP_TEXT) if split_at else []
        head = iter(rows_of(head_text, first_bad, block.width, None if widths is None else widths[:first_bad]))
        out.append((head, head))
    tail = iter(rows_of(raw[split_at:], block.n_rows - first_bad, block.width, None if widths is None else widths[first_bad:]))
    decode: Callable[[tuple], tuple] = lambda row: tuple([f.decode("utf-8", errors_) for f in row])
    out.append((map(decode, tail), tail))
    return out

