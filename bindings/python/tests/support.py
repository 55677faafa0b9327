"""Shared pieces of the package tests: temporary files and an independent filter oracle."""

from __future__ import annotations

import math
import os
import random
import tempfile
import unittest


class TempDirTest(unittest.TestCase):
    """Each test gets a fresh folder, removed afterwards."""

    def setUp(self) -> None:
        self._tmp = tempfile.TemporaryDirectory(prefix="quelta-py-")
        self.dir = self._tmp.name

    def tearDown(self) -> None:
        self._tmp.cleanup()

    def write(self, name: str, content: str | bytes) -> str:
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        return path


HEADER = ("id", "name", "price", "city")
PRICES = ["10", "9.5", "100", "abc", "", "1e2", "-3", "10.0", "1_000"]
CITIES = ["Oslo", "Rome", "lima", "Lima", "", "Zagreb"]


def sample_rows(n: int = 60, seed: int = 7) -> list[tuple[str, ...]]:
    rnd = random.Random(seed)
    return [(str(i), f"item{i}", rnd.choice(PRICES), rnd.choice(CITIES)) for i in range(n)]


def sample_csv(rows: list[tuple[str, ...]]) -> str:
    return "\n".join(",".join(r) for r in [HEADER, *rows]) + "\n"


def number(text: str) -> float | None:
    """The finite number a text reads as, or None (as Python reads decimals, "1_000" included)."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def text_of(value: object) -> str:
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


def passes(field: str, op: str, value: object) -> bool:
    if op == "in":
        return any(passes(field, "==", v) for v in value)  # type: ignore[attr-defined]
    a, b = number(field), number(text_of(value))
    if a is None or b is None:
        a, b = field.encode(), text_of(value).encode()  # type: ignore[assignment]
    return {"==": a == b, "!=": a != b, ">": a > b, ">=": a >= b, "<": a < b, "<=": a <= b}[op]  # type: ignore[operator]
