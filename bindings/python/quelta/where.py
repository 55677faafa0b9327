"""Readable filter conditions, translated into the library's predicate records.

A ``where`` argument is any of:

* a tuple ``(column, op, value)``: ``("price", ">", 500)``, ``("city", "in", ["Oslo", "Rome"])``;
* a :class:`Condition`, made by :func:`col` (``col("price") > 500``,
  ``col("city").isin("Oslo", "Rome")``) or by :func:`eq`, :func:`gt`, ... ;
* a mapping ``{"city": "Oslo", "kind": ["a", "b"]}``: equality, or ``in`` for a list, tuple or set;
* a list of any of these, all of which must hold.

Columns are names or indices into the input's header (before ``select``).
Values are text, numbers, booleans (``true``/``false``), bytes, or None (the
empty text). Where field and value both read as finite numbers they compare
as numbers, otherwise as bytes.
"""

from __future__ import annotations

import ctypes
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from numbers import Real
from typing import Any, Callable, Union

from ._lib import Predicate

Column = Union[str, int]
Value = Union[str, bytes, int, float, bool, None]

OPS: dict[str, int] = {
    "=": 0, "==": 0, "eq": 0,
    "!=": 1, "ne": 1,
    ">": 2, "gt": 2,
    ">=": 3, "ge": 3,
    "<": 4, "lt": 4,
    "<=": 5, "le": 5,
    "in": 6,
}  # fmt: skip
_IN = 6


@dataclass(frozen=True)
class Condition:
    """One filter condition: ``column op value`` (for ``in``, value is a tuple of values)."""

    column: Column
    op: str
    value: Any

    def __post_init__(self) -> None:
        op = self.op.lower() if isinstance(self.op, str) else self.op
        if op not in OPS:
            raise ValueError(f"unknown operator {self.op!r}; use one of {', '.join(OPS)}")
        if OPS[op] == _IN:
            if isinstance(self.value, (str, bytes, bytearray)) or not isinstance(self.value, Iterable):
                raise TypeError("the value of 'in' must be a list, tuple or set of values")
            object.__setattr__(self, "value", tuple(self.value))
        object.__setattr__(self, "op", op)


class col:
    """A column in a condition: ``col("price") > 500``, ``col(2) == "x"``, ``col("city").isin("a", "b")``."""

    __hash__ = None  # type: ignore[assignment]

    def __init__(self, column: Column) -> None:
        self.column = column

    def __eq__(self, value: Any) -> Condition:  # type: ignore[override]
        return Condition(self.column, "==", value)

    def __ne__(self, value: Any) -> Condition:  # type: ignore[override]
        return Condition(self.column, "!=", value)

    def __gt__(self, value: Any) -> Condition:
        return Condition(self.column, ">", value)

    def __ge__(self, value: Any) -> Condition:
        return Condition(self.column, ">=", value)

    def __lt__(self, value: Any) -> Condition:
        return Condition(self.column, "<", value)

    def __le__(self, value: Any) -> Condition:
        return Condition(self.column, "<=", value)

    def isin(self, *values: Any) -> Condition:
        """Equal to any of the values (given one by one or as one list)."""
        if len(values) == 1 and isinstance(values[0], (list, tuple, set, frozenset)):
            values = tuple(values[0])
        return Condition(self.column, "in", values)


def eq(column: Column, value: Value) -> Condition:
    return Condition(column, "==", value)


def ne(column: Column, value: Value) -> Condition:
    return Condition(column, "!=", value)


def gt(column: Column, value: Value) -> Condition:
    return Condition(column, ">", value)


def ge(column: Column, value: Value) -> Condition:
    return Condition(column, ">=", value)


def lt(column: Column, value: Value) -> Condition:
    return Condition(column, "<", value)


def le(column: Column, value: Value) -> Condition:
    return Condition(column, "<=", value)


def isin(column: Column, values: Iterable[Value]) -> Condition:
    return Condition(column, "in", values)


def conditions(where: Any) -> list[Condition]:
    """Every condition of a ``where`` argument, in order."""
    if where is None:
        return []
    if isinstance(where, Condition):
        return [where]
    if isinstance(where, tuple) and len(where) == 3 and isinstance(where[0], (str, int)) and isinstance(where[1], str):
        return [Condition(*where)]
    if isinstance(where, Mapping):
        out = []
        for column, value in where.items():
            many = isinstance(value, (list, tuple, set, frozenset))
            out.append(Condition(column, "in" if many else "==", value))
        return out
    if isinstance(where, (list, tuple)):
        return [c for item in where for c in conditions(item)]
    raise TypeError(f"cannot read a condition from {where!r}")


def value_text(value: Any) -> bytes:
    """The comparison text of a value, as the library reads it."""
    if value is None:
        text = b""
    elif isinstance(value, bool):
        text = b"true" if value else b"false"
    elif isinstance(value, int):
        text = str(value).encode()
    elif isinstance(value, float):
        text = repr(value).encode() if math.isfinite(value) else str(value).encode()
    elif isinstance(value, str):
        text = value.encode("utf-8", "surrogateescape")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        text = bytes(value)
    elif isinstance(value, Real):
        text = str(value).encode()
    else:
        raise TypeError(f"cannot compare with a value of type {type(value).__name__}")
    if b"\0" in text:
        raise ValueError("a condition value holds a NUL byte")
    return text


def build(conds: list[Condition], resolve: Callable[[Column], int]) -> tuple[Any, list[Any]]:
    """The Predicate array for conds, and every object it points into (to keep alive)."""
    array = (Predicate * len(conds))()
    keep: list[Any] = [array]
    for record, cond in zip(array, conds):
        record.column = resolve(cond.column)
        record.op = OPS[cond.op]
        if record.op == _IN:
            texts = [value_text(v) for v in cond.value]
            table = (ctypes.c_char_p * len(texts))(*texts)
            keep += [texts, table]
            record.in_values = ctypes.cast(table, ctypes.POINTER(ctypes.c_char_p))
            record.n_in_values = len(texts)
        else:
            text = value_text(cond.value)
            keep.append(text)
            record.value = text
    return array, keep
