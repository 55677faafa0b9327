"""Rows in bulk: iteration and batches() against csv.reader and against the
library's row-by-row export, across block boundaries, with the position shared
by every way of reading and failures at their own rows."""

from __future__ import annotations

import csv
import ctypes
import io
import random
import unittest
from typing import Any, Callable
from unittest import mock

import quelta
from quelta import _lib, scanner as scanner_module

from .support import TempDirTest

# Block sizes for iteration: (rows, bytes) per library call.
BLOCKS = [(1, 1 << 20), (2, 1 << 20), (3, 40), (7, 1), (2048, 1 << 20)]


def blocks(rows: int, size: int) -> Any:
    return mock.patch.multiple(scanner_module, _ITER_ROWS=rows, _ITER_BYTES=size)


def csv_oracle(raw: bytes, encoding: str = "utf-8", errors: str = "strict") -> list[tuple[str, ...]]:
    """The data rows as Python's csv module reads them; an empty line is a row of
    one empty field in this library (csv gives an empty list)."""
    text = raw.decode(encoding, errors)
    rows = list(csv.reader(io.StringIO(text, newline="")))[1:]
    return [tuple(r) if r else ("",) for r in rows]


def per_row(path: str, **options: Any) -> list[Any]:
    """Rows (and failures, as "!" + message) through quelta_next, one call per row."""
    lib = _lib.lib()
    opts = _lib.ScanOptions(limit=options.get("limit", -1), max_column=-1)
    with _lib.LOCK:
        ptr = lib.open(path.encode(), ctypes.byref(opts))
        assert ptr, _lib.last_error()
        fields, count = ctypes.POINTER(ctypes.c_char_p)(), ctypes.c_size_t()
        out: list[Any] = []
        try:
            while (got := lib.next(ptr, ctypes.byref(fields), ctypes.byref(count))) != 0:
                out.append("!" + _lib.last_error() if got < 0 else tuple(f.decode() for f in fields[: count.value]))
        finally:
            lib.close(ptr)
    return out


def trace(step: Callable[[], Any]) -> list[Any]:
    """Every step until the end, a failure recorded as "!" + its message (or its class)."""
    out: list[Any] = []
    for _ in range(10000):
        try:
            out.append(step())
        except StopIteration:
            return out
        except quelta.Error as exc:
            out.append("!" + exc.message)
        except UnicodeDecodeError:
            out.append("!UnicodeDecodeError")
    raise AssertionError("no end")


def random_csv(seed: int, n_rows: int) -> bytes:
    """Rows written by csv.writer from awkward pieces: separators, quotes, line
    breaks, the unit separator the blocks use, non-ASCII text, ragged widths."""
    rnd = random.Random(seed)
    pieces = ["a", "b c", "", ",", '"', 'x""y', "\n", "\r\n", "\x1f", "é", "日本", " ", "1.5", "-"]
    out = io.StringIO(newline="")
    writer = csv.writer(out, lineterminator=rnd.choice(["\n", "\r\n"]))
    writer.writerow(["h1", "h2", "h3"])
    for _ in range(n_rows):
        width = rnd.choice([3, 3, 3, 3, 1, 2, 4])
        writer.writerow(["".join(rnd.choice(pieces) for _ in range(rnd.randrange(4))) for _ in range(width)])
    return out.getvalue().encode()


class AgainstCsvReader(TempDirTest):
    # (name, file bytes, open keywords, how the oracle decodes the file)
    CASES: list[tuple[str, bytes, dict[str, Any], dict[str, str]]] = [
        ("quotes", b'a,b\n"x,1","say ""hi"""\n"",plain\n"a"b,c\n', {}, {}),
        ("rfc4180 line breaks", b'a,b\n"one\ntwo","x\r\ny"\n3,"\n"\n', {"quoting": "rfc4180"}, {}),
        ("empty fields and lines", b"a,b,c\n,,\n\n,x,\n", {}, {}),
        ("ragged", b"a,b\n1\n1,2,3,4\n\n5,6\n", {}, {}),
        ("BOM and CRLF", b"\xef\xbb\xbfa,b\r\n1,2\r\n3,4\r\n", {}, {"encoding": "utf-8-sig"}),
        ("no final line end", b"a,b\n1,2\n3,4", {}, {}),
        ("unit separator in fields", b"a,b\nx\x1fy,\x1f\n1,2\n\x1f\x1f,3\n", {}, {}),
        ("non-UTF-8 as surrogates", b"a,b\ncaf\xe9,1\n\xff,\xfe\xfd\nok,2\n", {"errors": "surrogateescape"},
         {"errors": "surrogateescape"}),
        ("non-UTF-8 replaced", b"a,b\ncaf\xe9,1\nok,\xc3\n", {"errors": "replace"}, {"errors": "replace"}),
        ("one column", b"a\n1\n\n2\n", {}, {}),
        ("tab", b"a\tb\n1\t2\n\"x\ty\"\t3\n", {"delimiter": "\t"}, {}),
        ("generated", random_csv(1, 400), {"quoting": "rfc4180"}, {}),
        ("generated 2", random_csv(2, 400), {"quoting": "rfc4180"}, {}),
    ]

    def test_rows_equal_csv_reader_for_every_block_size(self) -> None:
        for name, raw, keywords, decoding in self.CASES:
            path = self.write("in.csv", raw)
            want = csv_oracle(raw, **decoding)
            if keywords.get("delimiter") == "\t":
                want = [tuple(r) for r in csv.reader(io.StringIO(raw.decode(), newline=""), delimiter="\t")][1:]
            for rows, size in BLOCKS:
                with self.subTest(name, rows=rows, size=size), blocks(rows, size):
                    with quelta.open(path, **keywords) as scanner:
                        self.assertEqual(list(scanner), want)
                    with quelta.open(path, **keywords) as scanner:
                        self.assertEqual([r for b in scanner.batches(rows, size) for r in b], want)

    def test_bytes_mode_gives_the_bytes_of_the_file(self) -> None:
        raw = b"a,b\ncaf\xe9,\x1f\n\xff\xfe,x\n\n" + random_csv(3, 50)[9:]
        path = self.write("in.csv", raw)
        want = [tuple(f.encode("latin-1") for f in row) for row in csv_oracle(raw, "latin-1")]
        for rows, size in BLOCKS:
            with self.subTest(rows=rows, size=size), blocks(rows, size):
                with quelta.open(path, mode="bytes", quoting="rfc4180") as scanner:
                    self.assertEqual(list(scanner), want)
                with quelta.open(path, mode="bytes", quoting="rfc4180") as scanner:
                    self.assertEqual([r for b in scanner.batches(rows, size) for r in b], want)

    def test_json_rows(self) -> None:
        path = self.write("r.jsonl", '{"a":"x\\u001fy","b":1}\n{"b":"\\u00e9"}\n{}\n{"a":null,"b":true}\n')
        want = [("x\x1fy", "1"), ("", "é"), ("", ""), ("", "true")]
        for rows, size in BLOCKS:
            with self.subTest(rows=rows, size=size), blocks(rows, size), quelta.open(path) as scanner:
                self.assertEqual(list(scanner), want)
        empty = self.write("e.jsonl", "{}\n{}\n")
        with quelta.open(empty) as scanner:
            self.assertEqual(list(scanner), [(), ()])


class SharedPosition(TempDirTest):
    def setUp(self) -> None:
        super().setUp()
        self.rows = [(str(i), f"n{i}", str(i % 7)) for i in range(40)]
        self.path = self.write("in.csv", "id,name,k\n" + "".join(",".join(r) + "\n" for r in self.rows))

    def test_every_reader_goes_on_where_iteration_stopped(self) -> None:
        readers: dict[str, Callable[[quelta.Scanner], Any]] = {
            "next": lambda s: trace(lambda: next(s)),
            "loop": lambda s: list(s),
            "count": lambda s: s.count(),
            "batches": lambda s: [r for b in s.batches(3) for r in b],
            "raw batches": lambda s: sum(b.count("],[") + 1 for b in s.batches(5, raw=True)),
            "collect": lambda s: s.collect(),
            "columnar": lambda s: s.columnar().rows(),
            "aggregate": lambda s: s.aggregate("id").count,
            "order_by": lambda s: list(s.order_by("k")),
            "topk": lambda s: [r for _, r in s.topk("id", 100)],
        }
        for limit in (None, 25):
            all_rows = self.rows[:limit]
            for taken in (0, 1, 2, 6, 7, 24):
                left = all_rows[taken:]
                want: dict[str, Any] = {
                    "next": left, "loop": left, "count": len(left), "batches": left, "raw batches": len(left),
                    "collect": left, "columnar": left, "aggregate": len(left),
                    "order_by": sorted(left, key=lambda r: int(r[2])),
                    "topk": sorted(left, key=lambda r: -int(r[0])),
                }
                for name, read in readers.items():
                    with self.subTest(limit=limit, taken=taken, reader=name), blocks(7, 1 << 20):
                        with quelta.open(self.path, limit=limit) as scanner:
                            # A loop left early and next() take from the same block.
                            first = [row for _, row in zip(range(taken // 2), scanner)]
                            first += [next(scanner) for _ in range(taken - len(first))]
                            self.assertEqual(first, all_rows[:taken])
                            self.assertEqual(read(scanner), want[name])
                            self.assertEqual(list(scanner), [])

    def test_where_limit_and_selection(self) -> None:
        for rows, size in BLOCKS:
            with self.subTest(rows=rows, size=size), blocks(rows, size):
                with quelta.open(self.path, select=["k", "id"], where=("k", ">", 2), limit=9) as scanner:
                    want = [(r[2], r[0]) for r in self.rows if int(r[2]) > 2][:9]
                    self.assertEqual(next(scanner), want[0])
                    self.assertEqual(scanner.count(), len(want) - 1)
                with quelta.open(self.path, where=("k", ">", 2), negate=True, limit=5) as scanner:
                    self.assertEqual(list(scanner), [r for r in self.rows if int(r[2]) <= 2][:5])

    def test_close_ends_every_loop(self) -> None:
        with blocks(8, 1 << 20):
            scanner = quelta.open(self.path)
            loop = iter(scanner)
            self.assertEqual(next(loop), self.rows[0])
            scanner.close()
            self.assertRaises(ValueError, next, loop)
            self.assertRaises(ValueError, next, scanner)


class FailuresAtTheirRow(TempDirTest):
    def test_read_failures_match_the_row_by_row_export(self) -> None:
        raw = 'a,b\n1,2\n"x,3\n4,5\n6,7\n"y\n"z\n8,9\n' + "".join(f"{i},{i}\n" for i in range(20)) + '"end\n'
        path = self.write("bad.csv", raw)
        for limit in (None, 4):
            want = per_row(path, limit=-1 if limit is None else limit)
            for rows, size in BLOCKS:
                with self.subTest(limit=limit, rows=rows, size=size), blocks(rows, size):
                    with quelta.open(path, limit=limit) as scanner:
                        self.assertEqual(trace(lambda: next(scanner)), want)
        # A loop stops at the failure; the next one goes on after it.
        with blocks(50, 1 << 20), quelta.open(path) as scanner:
            with self.assertRaises(quelta.DataError) as caught:
                for _ in scanner:
                    pass
            self.assertEqual(caught.exception.message, "next failed: UnterminatedQuote")
            self.assertEqual(next(iter(scanner)), ("4", "5"))
        # A batch ends before the failure, which the next batch raises.
        with quelta.open(path) as scanner:
            batches = scanner.batches(100)
            self.assertEqual(next(batches), [("1", "2")])
            with self.assertRaises(quelta.DataError) as caught:
                next(batches)
            self.assertEqual(str(caught.exception), "batch failed: UnterminatedQuote")

    def test_a_field_that_does_not_decode_fails_at_its_row(self) -> None:
        path = self.write("latin.csv", b"a\nx\nb\xe9\ny\n" + b"".join(b"r%d\n" % i for i in range(10)))
        want = [("x",), "!UnicodeDecodeError", ("y",)] + [(f"r{i}",) for i in range(10)]
        for rows, size in BLOCKS:
            with self.subTest(rows=rows, size=size), blocks(rows, size), quelta.open(path) as scanner:
                self.assertEqual(trace(lambda: next(scanner)), want)


if __name__ == "__main__":
    unittest.main()
