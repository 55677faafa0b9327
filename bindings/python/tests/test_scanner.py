"""Scanner: rows, projection, every where form against an oracle, modes, errors and lifetimes."""

from __future__ import annotations

import gc
import os
import unittest

import quelta
from quelta import col

from . import support
from .support import HEADER, TempDirTest


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


class WhereTest(TempDirTest):
    def setUp(self) -> None:
        super().setUp()
        self.rows = support.sample_rows()
        self.path = self.write("items.csv", support.sample_csv(self.rows))

    # (where argument, the same conditions as (column index, op, value) for the oracle)
    CASES = [
        (("price", ">", 10), [(2, ">", 10)]),
        (("price", "<=", "1e2"), [(2, "<=", "1e2")]),
        (("city", "==", "Lima"), [(3, "==", "Lima")]),
        (("city", "!=", ""), [(3, "!=", "")]),
        (("city", "in", ["Oslo", "lima"]), [(3, "in", ["Oslo", "lima"])]),
        (("price", "in", [100, "abc"]), [(2, "in", [100, "abc"])]),
        (("price", "IN", []), [(2, "in", [])]),
        (col("price") >= 9.5, [(2, ">=", 9.5)]),
        (col("city").isin("Rome", "Zagreb"), [(3, "in", ["Rome", "Zagreb"])]),
        (quelta.lt("price", 0), [(2, "<", 0)]),
        ({"city": "Rome", "price": ["10", "100"]}, [(3, "==", "Rome"), (2, "in", ["10", "100"])]),
        ([("price", ">", 0), ("city", "<", "M")], [(2, ">", 0), (3, "<", "M")]),
        ((0, "eq", 3), [(0, "==", 3)]),
        (quelta.ne("city", None), [(3, "!=", "")]),
    ]

    def test_every_form_matches_the_oracle(self) -> None:
        for where, conds in self.CASES:
            for negate in (False, True):
                with self.subTest(where=where, negate=negate):
                    want = [r for r in self.rows if all(support.passes(r[c], op, v) for c, op, v in conds) != negate]
                    with quelta.open(self.path, where=where, negate=negate) as rows:
                        self.assertEqual(list(rows), want)
                    with quelta.open(self.path, select=["city", 0], where=where, negate=negate, limit=3) as rows:
                        self.assertEqual(rows.columns, ("city", "id"))
                        self.assertEqual(list(rows), [(r[3], r[0]) for r in want[:3]])
                    with quelta.open(self.path, where=where, negate=negate) as rows:
                        self.assertEqual(rows.count(), len(want))

    def test_bad_conditions_are_refused_before_opening(self) -> None:
        for where, exc in [
            (("price", "~", 1), ValueError),
            (("city", "in", "Oslo"), TypeError),
            (("price", ">", object()), TypeError),
            (("price", ">", "a\0b"), ValueError),
            (("nope", "==", 1), quelta.UnknownColumn),
            (42, TypeError),
        ]:
            with self.subTest(where=where), self.assertRaises(exc):
                quelta.open(self.path, where=where)


class ScannerTest(TempDirTest):
    def test_reading_paths_agree(self) -> None:
        rows = support.sample_rows(300)
        path = self.write("items.csv", support.sample_csv(rows))
        readers = {
            "iterate": lambda s: list(s),
            "batches": lambda s: [r for b in s.batches(7, 200) for r in b],
            "collect": lambda s: s.collect(),
            "columnar": lambda s: s.columnar().rows(),
        }
        for name, read in readers.items():
            with self.subTest(name), quelta.open(path) as scanner:
                self.assertEqual(scanner.header, HEADER)
                self.assertEqual(read(scanner), rows)
                self.assertEqual(list(scanner), [])  # every reader consumes the same position
        with quelta.open(path) as scanner:
            next(scanner), next(scanner)
            self.assertEqual(scanner.count(), 298)
        with quelta.open(path, limit=5) as scanner:
            raw = list(scanner.batches(2, raw=True))
            self.assertEqual(len(raw), 3)
            self.assertTrue(raw[0].startswith('[["0","item0"'))

    def test_json_rows_and_modes(self) -> None:
        path = self.write("r.jsonl", '{"a":"x\\u00e9","b":1.50,"c":true}\n{"a":"y","b":null}\n')
        with quelta.open(path) as scanner:
            self.assertEqual(scanner.columns, ("a", "b", "c"))
            self.assertEqual(list(scanner), [("xé", "1.50", "true"), ("y", "", "")])
        latin = self.write("latin.csv", b"name,n\ncaf\xe9,1\nok,2\n")
        for mode, errors, want in [
            ("bytes", "strict", [(b"caf\xe9", b"1"), (b"ok", b"2")]),
            ("str", "replace", [("caf\ufffd", "1"), ("ok", "2")]),
        ]:
            with self.subTest(mode=mode, errors=errors):
                with quelta.open(latin, mode=mode, errors=errors) as scanner:
                    self.assertEqual(list(scanner), want)
                with quelta.open(latin, mode=mode, errors=errors) as scanner:
                    self.assertEqual([r for b in scanner.batches() for r in b], want)
        with quelta.open(latin) as scanner, self.assertRaises(UnicodeDecodeError):
            next(scanner)

    def test_failures_carry_the_library_message(self) -> None:
        folder = os.path.join(self.dir, "sub")
        os.mkdir(folder)
        cases = [
            (os.path.join(self.dir, "missing.csv"), quelta.FileNotFound, "open failed: FileNotFound"),
            (folder, quelta.IsADirectory, "open failed: IsDir"),
            ("/dev/null", quelta.NotRegularFile, "open failed: NotRegularFile"),
            (self.write("empty.csv", ""), quelta.DataError, "open failed: EmptyFile"),
        ]
        for path, exc, message in cases:
            with self.subTest(message), self.assertRaises(exc) as caught:
                quelta.open(path)
            self.assertIsInstance(caught.exception, quelta.Error)
            self.assertEqual(caught.exception.message, message)
        self.assertIsInstance(caught.exception, ValueError)
        with self.assertRaises(FileNotFoundError):  # the standard class works too
            quelta.open(cases[0][0])

        path = self.write("quote.csv", 'a,b\n1,2\n"x,3\n4,5\n')
        with quelta.open(path) as scanner:
            self.assertEqual(next(scanner), ("1", "2"))
            with self.assertRaises(quelta.DataError) as caught:
                next(scanner)
            self.assertEqual(caught.exception.message, "next failed: UnterminatedQuote")
            self.assertEqual(caught.exception.condition, "UnterminatedQuote")
            self.assertEqual(next(scanner), ("4", "5"))  # the scanner goes on after a bad line
            with self.assertRaises(quelta.InvalidArgument) as caught:
                next(scanner.batches(0))
            self.assertEqual(str(caught.exception), "batch failed: InvalidBatchSize")
            self.assertEqual(scanner.index("b"), 1)
            self.assertRaises(quelta.UnknownColumn, scanner.index, "c")
            self.assertRaises(ValueError, scanner.batches, -1)
        self.assertRaises(ValueError, scanner.count)  # closed

    def test_handles_are_released_when_abandoned(self) -> None:
        path = self.write("items.csv", support.sample_csv(support.sample_rows()))
        gc.collect()
        before = open_fds()
        for _ in range(40):
            scanner = quelta.open(path, where=("price", ">", 1))
            next(scanner)
            ordered = quelta.open(path).order_by("price")
            next(ordered)
            try:
                for _row in quelta.open(path):
                    raise KeyError("interrupted")
            except KeyError:
                pass
        del scanner, ordered
        gc.collect()
        self.assertEqual(open_fds(), before)

    def test_condition_values_live_as_long_as_the_scanner(self) -> None:
        rows = support.sample_rows()
        path = self.write("items.csv", support.sample_csv(rows))
        scanner = quelta.open(path, select=[3, 2], where=("city", ">=", "".join(["L", "i"])))
        gc.collect()
        junk = [str(i) * 50 for i in range(20000)]  # reuse freed memory
        want = [(r[3], r[2]) for r in rows if r[3] >= "Li"]
        self.assertEqual(list(scanner), want)
        del junk
        scanner.close()


if __name__ == "__main__":
    unittest.main()
