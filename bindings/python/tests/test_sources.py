"""Inputs given as bytes or as binary file objects, compressed or not: every call
that takes a path reads them as it reads the same bytes in a file."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import tempfile
import unittest

import quelta

from .support import TempDirTest, sample_csv, sample_rows

SCHEMA = {"price": {"type": "float"}, "name": {"required": True}}


class SourcesTest(TempDirTest):
    def setUp(self) -> None:
        super().setUp()
        self.plain = sample_csv(sample_rows(300)).encode()
        self.path = self.write("rows.csv", self.plain)

    def packings(self) -> list[tuple[str, object]]:
        """(what, source) pairs, each a fresh source over the same rows."""
        gz, bz, xz = gzip.compress(self.plain), bz2.compress(self.plain), lzma.compress(self.plain)
        named = self.write("named.csv.gz", gz)
        return [
            ("bytes", self.plain),
            ("bytearray", bytearray(self.plain)),
            ("memoryview", memoryview(self.plain)),
            ("BytesIO", io.BytesIO(self.plain)),
            ("gzip bytes", gz),
            ("bzip2 BytesIO", io.BytesIO(bz)),
            ("xz BytesIO", io.BytesIO(xz)),
            ("open gzip file", open(named, "rb")),
        ]

    def test_every_call_reads_data_as_the_file(self) -> None:
        with quelta.open(self.path) as s:
            want_rows = list(s)
        want_report = quelta.validate(self.path, SCHEMA)
        want_cols = quelta.parallel_columns(self.path, where=("price", ">", 9), threads=2).to_dict()
        calls = {
            "open": lambda src: list(quelta.open(src, select=["name", "price"])),
            "open all": lambda src: list(quelta.open(src)),
            "validate": lambda src: quelta.validate(src, SCHEMA).counts,
            "Validator": lambda src: [r.valid for r in quelta.Validator(src, SCHEMA)],
            "parallel_columns": lambda src: quelta.parallel_columns(src, where=("price", ">", 9), threads=2).to_dict(),
            "validate_outcome": lambda src: quelta.validate_outcome(src, SCHEMA, details=True),
        }
        expected = {
            "open": [(r[1], r[2]) for r in want_rows],
            "open all": want_rows,
            "validate": want_report.counts,
            "Validator": [r.valid for r in quelta.Validator(self.path, SCHEMA)],
            "parallel_columns": want_cols,
            "validate_outcome": quelta.validate_outcome(open(self.path, "rb"), SCHEMA, details=True),
        }
        before = set(os.listdir(tempfile.gettempdir()))
        for name, call in calls.items():
            for what, _ in self.packings():
                if name == "validate_outcome" and what in ("bytes", "gzip bytes", "bytearray", "memoryview"):
                    continue  # validate_outcome reads bytes as CSV text in memory, as it always has
                # Each call takes a fresh source: a file object is read once.
                source = dict(self.packings())[what]
                with self.subTest(call=name, source=what):
                    self.assertEqual(call(source), expected[name])
                if hasattr(source, "close"):
                    source.close()
        for n, (what, source) in enumerate(self.packings()):
            with self.subTest(call="validate_to_files", source=what):
                stats = quelta.validate_to_files(source, SCHEMA, self.dir + f"/v{n}.csv", self.dir + f"/i{n}.jsonl")
                self.assertEqual(stats.rows_total, want_report.rows_total)
        # The temporary copies are gone.
        left = {n for n in set(os.listdir(tempfile.gettempdir())) - before if n.startswith("quelta-input-")}
        self.assertEqual(left, set())

    def test_names_and_refusals(self) -> None:
        # A file object's name gives the format: JSON lines here.
        jsonl = b'{"a":1}\n{"a":2}\n'
        with open(self.write("x.jsonl", jsonl), "rb") as f:
            with quelta.open(f) as s:
                self.assertEqual((s.header, list(s), s.path), (("a",), [("1",), ("2",)], f.name))
        self.assertEqual(list(quelta.open(jsonl, format="jsonl")), [("1",), ("2",)])
        with open(self.path, encoding="utf-8") as text:
            with self.assertRaisesRegex(TypeError, "binary mode"):
                quelta.open(text)
        with self.assertRaises(quelta.DataError):
            list(quelta.open(gzip.compress(self.plain)[:-12]))


if __name__ == "__main__":
    unittest.main()
