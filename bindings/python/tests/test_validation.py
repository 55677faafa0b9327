"""Validation through the four ways the package offers, checked against each other."""

from __future__ import annotations

import json
import os
import pathlib
import unittest

import quelta

from .support import TempDirTest

SCHEMA = {"name": {"type": "string", "required": True}, "age": {"type": "integer", "min": 0}}
CSV = 'name,age\nann,31\nbob,x\n,5\n"c,d",-1\n'
# Breaches as (row, column name, rule), in file order.
BREACHES = [(2, "age", "bad_type"), (3, "name", "missing_required"), (4, "age", "below_min")]


class ValidationTest(TempDirTest):
    def setUp(self) -> None:
        super().setUp()
        self.path = self.write("people.csv", CSV)

    def test_report(self) -> None:
        for schema in (SCHEMA, json.dumps(SCHEMA), json.dumps(SCHEMA).encode()):
            report = quelta.validate(self.path, schema)
            self.assertEqual((report.rows_total, report.rows_valid, report.rows_invalid), (4, 1, 3))
            self.assertEqual([(e.row, e.column_name, e.rule) for e in report.errors], BREACHES)
            self.assertEqual(report.counts, {"missing_required": 1, "bad_type": 1, "below_min": 1})
            self.assertFalse(report.truncated or report.valid)
            self.assertEqual(json.loads(report.json)["errors_total"], 3)
        report = quelta.validate(self.path, SCHEMA, max_errors=1)
        self.assertTrue(report.truncated)
        self.assertEqual(len(report.errors), 1)

    def test_validator_rows_and_batches(self) -> None:
        with quelta.Validator(self.path, SCHEMA) as validator:
            self.assertEqual(validator.columns, ("name", "age"))
            first = next(validator)
            self.assertEqual((first.number, first.values, first.valid), (1, ("ann", "31"), True))
            rest = [row for batch in validator.batches(max_rows=2) for row in batch]
            self.assertEqual((validator.rows_total, validator.rows_valid, validator.rows_invalid), (4, 1, 3))
        got = [(row.number, e.column_name, e.rule) for row in rest for e in row.errors]
        self.assertEqual(got, BREACHES)
        self.assertEqual(rest[-1].values, ("c,d", "-1"))
        self.assertTrue(validator.closed)
        self.assertRaises(ValueError, next, validator)

    def test_to_files(self) -> None:
        valid, invalid = os.path.join(self.dir, "ok.csv"), os.path.join(self.dir, "bad.jsonl")
        stats = quelta.validate_to_files(self.path, SCHEMA, valid, invalid)
        self.assertEqual(stats, quelta.ValidationStats(4, 1, 3, 3))
        with open(valid, "rb") as f:
            self.assertEqual(f.read(), b"name,age\r\nann,31\r\n")
        with open(invalid) as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual([line["values"] for line in lines], [["bob", "x"], ["", "5"], ["c,d", "-1"]])
        with self.assertRaises(quelta.FileExists) as caught:
            quelta.validate_to_files(self.path, SCHEMA, valid, os.path.join(self.dir, "other.jsonl"))
        self.assertEqual(str(caught.exception), "validate_to_files failed: PathAlreadyExists")

    def test_outcome_for_paths_text_and_bytes(self) -> None:
        jsonl = '{"name":"ann","age":31}\n{"name":"bob","age":"x"}\n'
        sources = [
            (pathlib.Path(self.path), "csv", 3),
            (CSV, "csv", 3),
            (CSV.encode(), "csv", 3),
            (jsonl, "json", 1),
            ("name,age\nann,1\n", "csv", 0),
        ]
        for source, fmt, n_invalid in sources:
            with self.subTest(source=source):
                self.assertEqual(quelta.validate_outcome(source, SCHEMA, format=fmt), n_invalid == 0)
                rows = quelta.validate_outcome(source, SCHEMA, format=fmt, details=True)
                self.assertEqual(len(rows), n_invalid)
                self.assertTrue(all(r.errors and r.number is None for r in rows))

    def test_text_that_is_not_utf8(self) -> None:
        path = self.write("latin.csv", b"name,age\ncaf\xe9,-1\n")
        with quelta.Validator(path, SCHEMA, mode="bytes") as validator:
            row = next(validator)
        self.assertEqual((row.values, row.errors[0].value), ((b"caf\xe9", b"-1"), b"-1"))
        report = quelta.validate(path, {"name": {"max_len": 1}}, errors="replace")
        self.assertEqual(report.errors[0].value, "caf\ufffd")
        with self.assertRaises(quelta.DataError) as caught:
            quelta.validate_outcome(pathlib.Path(path), SCHEMA)
        self.assertEqual(str(caught.exception), "validate failed: InvalidUtf8")

    def test_failures(self) -> None:
        missing = os.path.join(self.dir, "missing.csv")
        cases = [
            (lambda: quelta.validate(missing, SCHEMA), quelta.FileNotFound, "validate failed: FileNotFound"),
            (lambda: quelta.validate(self.path, "{"), quelta.SchemaError, "validate failed: BadSchema"),
            (lambda: quelta.validate(self.path, {"zip": {}}), quelta.UnknownColumn, "validate failed: UnknownColumn"),
            (lambda: quelta.Validator(missing, SCHEMA), quelta.FileNotFound, "cannot open validator: FileNotFound"),
            (lambda: quelta.validate_outcome("", SCHEMA), quelta.DataError, "validate failed: EmptyFile"),
            (lambda: quelta.validate_outcome(pathlib.Path(missing), SCHEMA), quelta.FileNotFound, None),
        ]
        for call, exc, message in cases:
            with self.subTest(message or exc.__name__), self.assertRaises(exc) as caught:
                call()
            if message is not None:
                self.assertEqual(str(caught.exception), message)


if __name__ == "__main__":
    unittest.main()
