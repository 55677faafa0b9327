"""Operators of a Scanner checked against Python computing the same thing."""

from __future__ import annotations

import gc
import unittest

import quelta

from . import support
from .support import TempDirTest


class OperatorTest(TempDirTest):
    def setUp(self) -> None:
        super().setUp()
        self.rows = support.sample_rows(200)
        self.path = self.write("items.csv", support.sample_csv(self.rows))
        self.numeric = [r for r in self.rows if support.number(r[2]) is not None]

    def test_aggregate(self) -> None:
        values = [support.number(r[2]) for r in self.numeric]
        for column in ("price", 2):
            with self.subTest(column=column), quelta.open(self.path) as scanner:
                agg = scanner.aggregate(column)
                self.assertEqual((agg.count, agg.has_values), (len(values), True))
                self.assertAlmostEqual(agg.sum, sum(values))
                self.assertEqual((agg.min, agg.max), (min(values), max(values)))
                self.assertAlmostEqual(agg.mean, sum(values) / len(values))
                self.assertEqual(scanner.aggregate(column).count, 0)  # the rows are used up
        with quelta.open(self.path, select=["city", "price"]) as scanner:
            self.assertEqual(scanner.aggregate("price").count, len(values))  # a name among the selected
        with quelta.open(self.path, select=["city"]) as scanner:
            self.assertRaises(quelta.UnknownColumn, scanner.aggregate, "price")

    def test_topk_and_order_by(self) -> None:
        key = lambda r: support.number(r[2])  # noqa: E731
        for descending in (True, False):
            with self.subTest(descending=descending):
                best = sorted(self.numeric, key=key, reverse=descending)[:7]
                with quelta.open(self.path) as scanner:
                    got = scanner.topk("price", 7, descending=descending)
                self.assertEqual([k for k, _ in got], [key(r) for r in best])
                with quelta.open(self.path, where=("price", "!=", "abc"), select=["price", "id"]) as scanner:
                    ordered = list(scanner.order_by("price", descending=descending))
                # Numbers sort as numbers and stably; the empty text comes first ascending.
                numbers = [(r[2], r[0]) for r in sorted(self.numeric, key=key, reverse=descending)]
                empty = [(r[2], r[0]) for r in self.rows if r[2] == ""]
                self.assertEqual(ordered, numbers + empty if descending else empty + numbers)
        with quelta.open(self.path) as scanner:
            self.assertEqual(scanner.topk(2, 0), [])
            self.assertRaises(ValueError, scanner.topk, 2, -1)

    def test_order_by_iterator_outlives_its_scanner(self) -> None:
        with quelta.open(self.path, limit=3) as scanner:
            ordered = scanner.order_by("id", descending=True)
        with ordered:
            self.assertEqual(next(ordered)[0], "2")
        self.assertEqual(list(ordered), [])  # closed: iteration ends

    def test_collect_needs_rows_of_one_width(self) -> None:
        path = self.write("ragged.csv", "a,b,c\n1,2,3\n4,5\n6,7,8\n")
        with quelta.open(path, select=["c", "a"]) as scanner:
            self.assertEqual(scanner.collect(), [("3", "1"), ("", "4"), ("8", "6")])
        with quelta.open(path) as scanner, self.assertRaises(quelta.DataError):
            scanner.collect()
        with quelta.open(path, where=("a", ">", 100)) as scanner:
            self.assertEqual(scanner.collect(), [])

    def test_columnar_views_are_zero_copy_and_outlive_close(self) -> None:
        with quelta.open(self.path, select=["name", "city"]) as scanner:
            cols = scanner.columnar()
        self.assertEqual((cols.n_rows, cols.n_cols, cols.names), (200, 2, ("name", "city")))
        data, offsets = cols.data("name"), cols.offsets("name")
        self.assertTrue(data.readonly and offsets.readonly)
        self.assertEqual((data.format, offsets.format, len(offsets)), ("B", "I", 201))
        self.assertIs(cols.data(0), data)  # the same view, not a new copy
        want = [r[1] for r in self.rows]
        self.assertEqual(bytes(data), "".join(want).encode())
        cols.close()
        gc.collect()
        junk = [bytes(64) * i for i in range(2000)]  # would reuse the buffers had they been freed
        offs = offsets.tolist()
        self.assertEqual([bytes(data[offs[i] : offs[i + 1]]).decode() for i in range(200)], want)
        del junk
        self.assertRaises(ValueError, cols.values, "city")


if __name__ == "__main__":
    unittest.main()
