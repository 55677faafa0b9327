"""parallel_columns: the same rows as one pass, whatever the thread count."""

from __future__ import annotations

import os
import unittest

import quelta

from . import support
from .support import TempDirTest


class ParallelColumnsTest(TempDirTest):
    def test_same_result_as_a_scanner(self) -> None:
        rows = support.sample_rows(30000)  # about 800 KiB: several chunks
        path = self.write("big.csv", support.sample_csv(rows))
        self.assertGreater(os.path.getsize(path), 4 * 65536)
        for where, negate in [(None, False), (("price", ">", 9.5), False), ({"city": ["Oslo", ""]}, True)]:
            with quelta.open(path, where=where, negate=negate) as scanner:
                want = list(scanner)
            for threads in (1, 2, 4, 0):
                with self.subTest(where=where, threads=threads):
                    with quelta.parallel_columns(path, where, negate, threads=threads) as cols:
                        self.assertEqual(cols.names, support.HEADER)
                        self.assertEqual(cols.rows(), want)
                        self.assertEqual(len(cols.offsets("id")), len(want) + 1)

    def test_delimiters_json_lines_and_bytes(self) -> None:
        path = self.write("semi.csv", "a;b\n1;x\n2;y\n")
        cols = quelta.parallel_columns(path, where=("b", "==", "y"), delimiter=";")
        self.assertEqual((cols.names, cols.to_dict()), (("a", "b"), {"a": ["2"], "b": ["y"]}))
        path = self.write("rows.jsonl", '{"k":"a","v":1}\nnot json\n\n{"v":2,"k":"b\\u00e9"}\n')
        cols = quelta.parallel_columns(path, mode="bytes")
        self.assertEqual(cols.to_lists(), [[b"a", "bé".encode()], [b"1", b"2"]])
        self.assertEqual(quelta.parallel_columns(self.write("h.csv", "a,b\n")).rows(), [])

    def test_failures(self) -> None:
        missing = os.path.join(self.dir, "missing.csv")
        with self.assertRaises(quelta.FileNotFound) as caught:
            quelta.parallel_columns(missing)
        self.assertEqual(caught.exception.message, "parallel scan failed: FileNotFound")
        with self.assertRaises(quelta.DataError) as caught:
            quelta.parallel_columns(self.write("q.csv", 'a\n"open\n'))
        self.assertEqual(caught.exception.message, "parallel scan failed: UnterminatedQuote")


if __name__ == "__main__":
    unittest.main()
