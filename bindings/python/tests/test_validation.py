"""Validation through the four ways the package offers, checked against each other."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import unittest

import quelta

from .support import TempDirTest

SCHEMA = {"name": {"type": "string", "required": True}, "age": {"type": "integer", "min": 0}}
CSV = 'name,age\nann,31\nbob,x\n,5\n"c,d",-1\n'
# Breaches as (row, column name, rule), in file order.
BREACHES = [(2, "age", "bad_type"), (3, "name", "missing_required"), (4, "age", "below_min")]


# Runs quelta.validate_to_files in a child that exits with status 9 at a chosen step of publishing.
CRASH_CHILD = """
import os, quelta
kind, _, when = {crash!r}.partition(" ")
real = getattr(os, kind)
calls = []
def dying(*a, **kw):
    calls.append(a)
    if (kind == "link" and len(calls) == int(when)) or (kind == "unlink" and str(a[0]).endswith(when)):
        os._exit(9)
    return real(*a, **kw)
setattr(os, kind, dying)
quelta.validate_to_files(*{args!r})
"""


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


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

    def test_report_with_html_page(self) -> None:
        page = os.path.join(self.dir, "report.html")
        report = quelta.validate(self.path, SCHEMA, html=page)
        self.assertEqual(report, quelta.validate(self.path, SCHEMA))
        text = read_bytes(page).decode("utf-8")
        self.assertIn('id="rows-invalid" data-value="3"', text)
        self.assertIn('data-column="age" data-count="2"', text)
        self.assertIn("people.csv", text)  # the input named as given
        # A page that exists is refused and kept; a failed run leaves no page and no temporaries.
        with self.assertRaises(quelta.FileExists):
            quelta.validate(self.path, SCHEMA, html=page)
        self.assertEqual(read_bytes(page).decode("utf-8"), text)
        other = os.path.join(self.dir, "other.html")
        with self.assertRaises(quelta.UnknownColumn) as caught:
            quelta.validate(self.path, {"zip": {}}, html=pathlib.Path(other))
        self.assertEqual(caught.exception.message, "validate_html failed: UnknownColumn")
        self.assertEqual(sorted(os.listdir(self.dir)), ["people.csv", "report.html"])
        # Bytes in memory are validated through a copy; the page calls them by their type.
        quelta.validate(CSV.encode(), SCHEMA, html=other)
        self.assertIn("&lt;bytes&gt;", read_bytes(other).decode("utf-8"))

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
        self.assertEqual(caught.exception.message, "validate_to_files failed: PathAlreadyExists")

    def test_to_files_pair_is_whole_after_a_crash(self) -> None:
        # A process that dies while publishing leaves, once the next call has run in the
        # folder, both outputs or neither, and no temporaries; the next call then succeeds.
        reference = quelta.validate_to_files(self.path, SCHEMA, *(os.path.join(self.dir, n) for n in ("r.csv", "r.jsonl")))
        expected = {n: read_bytes(os.path.join(self.dir, n)) for n in ("r.csv", "r.jsonl")}
        # Where the child dies: at its n-th os.link, or when removing its journal (the commit point).
        for crash in ("link 1", "link 2", "unlink .publish"):
            with self.subTest(crash=crash):
                out = os.path.join(self.dir, crash.replace(" ", "_"))
                os.mkdir(out)
                valid, invalid = os.path.join(out, "ok.csv"), os.path.join(out, "bad.jsonl")
                child = CRASH_CHILD.format(crash=crash, args=(self.path, SCHEMA, valid, invalid))
                done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True)
                self.assertEqual(done.returncode, 9, done.stderr)
                self.assertTrue(any(n.startswith(".quelta-tmp-") for n in os.listdir(out)))
                stats = quelta.validate_to_files(self.path, SCHEMA, valid, invalid)
                self.assertEqual(stats, reference)
                self.assertEqual(sorted(os.listdir(out)), ["bad.jsonl", "ok.csv"])
                self.assertEqual((read_bytes(valid), read_bytes(invalid)), (expected["r.csv"], expected["r.jsonl"]))

    def test_to_files_leaves_only_its_outputs(self) -> None:
        # Failures at every stage leave the folder as it was: no output, no temporary.
        valid, invalid = os.path.join(self.dir, "v.csv"), os.path.join(self.dir, "i.jsonl")
        cases = [
            (os.path.join(self.dir, "missing.csv"), valid, invalid, quelta.FileNotFound),
            (self.path, valid, valid, quelta.FileExists),  # both outputs under one name
            (self.path, valid, os.path.join(self.dir, "no", "i.jsonl"), quelta.FileNotFound),
            (self.path, self.path, invalid, quelta.FileExists),
        ]
        for source, v, i, error in cases:
            with self.subTest(v=v, i=i):
                with self.assertRaises(error) as caught:
                    quelta.validate_to_files(source, SCHEMA, v, i)
                self.assertTrue(caught.exception.message.startswith("validate_to_files failed: "))
                self.assertEqual(sorted(os.listdir(self.dir)), ["people.csv"])

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
        self.assertEqual(caught.exception.message, "validate failed: InvalidUtf8")

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
                self.assertEqual(caught.exception.message, message)


if __name__ == "__main__":
    unittest.main()
