"""The read keywords (delimiter, quoting, line_ends, encoding, format, nested) through
every call that takes a path, against Python's own csv and json modules."""

from __future__ import annotations

import codecs
import csv
import functools
import json
import os
import pathlib
import random
import statistics
import tempfile
import unittest
from dataclasses import dataclass, field
from typing import Any

import quelta
import quelta.dask as qd

from . import support
from .support import TempDirTest


def _c1_controls(exc: UnicodeError) -> tuple[str, int]:
    # The library reads Windows-1252's five unassigned bytes as the C1 controls of the same value.
    assert isinstance(exc, UnicodeDecodeError)
    return exc.object[exc.start : exc.end].decode("latin-1"), exc.end


codecs.register_error("quelta-test-c1", _c1_controls)
csv.field_size_limit(1 << 26)  # the long quoted fields below


@dataclass
class Case:
    name: str  # the file name (its extension matters to format="auto")
    data: bytes
    read: dict[str, Any] = field(default_factory=dict)
    # How the oracle reads the file: csv.reader with this encoding and delimiter, or json.
    encoding: str = "utf-8"
    delimiter: str = ","
    kind: str = "csv"  # "csv", "jsonl" or "json"


def json_text(value: Any) -> str:
    """A JSON value as a field: strings as they are, null empty, anything else as written."""
    if isinstance(value, str):
        return value
    return "" if value is None else json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def json_bytes(objects: list[dict[str, Any]], array: bool) -> bytes:
    parts = [json.dumps(o, separators=(",", ":"), ensure_ascii=False) for o in objects]
    return ("[" + ",\n".join(parts) + "]" if array else "\n".join(parts) + "\n").encode()


def oracle(path: str, case: Case) -> list[list[str]]:
    """Header then rows, as Python reads the file."""
    if case.kind == "csv":
        with open(path, newline="", encoding=case.encoding, errors="quelta-test-c1") as f:
            return list(csv.reader(f, delimiter=case.delimiter))
    with open(path, encoding="utf-8") as f:
        objects = json.load(f) if case.kind == "json" else [json.loads(line) for line in f if line.strip()]
    names = list(objects[0])
    return [names] + [[json_text(o.get(n)) for n in names] for o in objects]


def long_quoted_field(rnd: random.Random, size: int) -> str:
    """Text with line breaks (LF and CRLF) and doubled quotes scattered through it, so some
    fall on any read-buffer boundary; as written inside quotes (quotes doubled)."""
    pieces, length = [], 0
    while length < size:
        pieces.append("abcxyz ,;|"[rnd.randrange(10) :] * rnd.randrange(1, 8))
        pieces.append(rnd.choice(["\n", "\r\n", '""', '"",""', "\n,\n"]))
        length += len(pieces[-2]) + len(pieces[-1])
    return "".join(pieces)


@functools.cache
def big_field_csv() -> bytes:
    rnd = random.Random(11)
    lines = ["id,text,tail", f'1,"{long_quoted_field(rnd, 300 * 1024)}",end', '2,"short\nbreak",x', "3,plain,y"]
    return ("\n".join(lines) + "\n").encode()


NESTED = [
    {"id": 1, "doc": {"tags": ["a", "b"], "n": None}, "s": 'q"uote', "ok": True},
    {"id": 2.5, "doc": [], "s": "caf\u00e9", "ok": False},
    {"doc": {"deep": {"x": [1, {"y": "\u20ac"}]}}, "id": None, "s": ""},
]

CASES = [
    Case("tab.tsv", b'id\tname\tnote\n1\t"a\tb"\t"say ""hi"""\n2\tplain\t,comma,\n3\t""\tx\n', {"delimiter": "\t"}, delimiter="\t"),
    Case("semi.csv", b'a;b;c\r\n1;"x;y";3\r\n;;\r\n"q""";2,5;last\r\n', {"delimiter": ";"}, delimiter=";"),
    Case("pipe.txt", b'a|b\n1|"|"\n2|x,y\n3|z', {"delimiter": b"|"}, delimiter="|"),
    Case("bom.csv", b"\xef\xbb\xbfname,age\nann,3\nbob,40\n", encoding="utf-8-sig"),
    Case("bomq.csv", b'\xef\xbb\xbf"first name",age\n"ann",3\nbob,40\n', encoding="utf-8-sig"),
    Case("bomq_semi.csv", b'\xef\xbb\xbf"first;name";age\n"a;nn";3\n', {"delimiter": ";"}, encoding="utf-8-sig", delimiter=";"),
    Case("cr.csv", b'a,b\r1,2\r"x",y\r3,"4"', {"line_ends": "any"}),
    Case("mixed.csv", b"a,b\r\n1,2\r3,4\n5,6\r", {"line_ends": "any"}),
    Case(
        "latin1.csv",
        "name;city\nJos\u00e9;Z\u00fcrich\n\u00c5se;\"Malm\u00f6; Sk\u00e5ne\"\n\u00ff;\u00a0\n".encode("latin-1"),
        {"delimiter": ";", "encoding": "latin1"}, encoding="latin-1", delimiter=";",
    ),  # fmt: skip
    Case(
        "cp1252.csv",
        "word,mark\n\u20acuro,\u201cquoted\u201d\n\u2026,\u0160\n".encode("cp1252") + b"x\x81\x8d,\x8f\x90\x9d\n",
        {"encoding": "windows-1252"}, encoding="cp1252",
    ),  # fmt: skip
    Case("rfc.csv", b'a,b\n1,"line1\nline2"\n2,"x\r\ny"\n3,"""\n"""\n4,"a,\n""b"""\n', {"quoting": "rfc4180"}),
    Case("big_field.csv", big_field_csv(), {"quoting": "rfc4180"}),
    Case(
        "all.csv",
        'k|v\r1|"a\rb\r\nc"\r2|"\u00e9|\u00e8"\r'.encode("latin-1"),
        {"quoting": "rfc4180", "line_ends": "any", "encoding": "ISO-8859-1", "delimiter": "|"},
        encoding="latin-1", delimiter="|",
    ),  # fmt: skip
    Case("nested.txt", json_bytes(NESTED, array=False), {"format": "jsonl", "nested": "text"}, kind="jsonl"),
    Case("nested.csv", json_bytes(NESTED, array=True), {"format": "json", "nested": "text"}, kind="json"),
    Case("table.json", b'a,b\n1,"{""x"":1}"\n', {"format": "csv"}),
]  # fmt: skip


Rows = list[tuple[str, ...]]


class ReadKeywordsTest(TempDirTest):
    def test_every_path_call_reads_as_python_does(self) -> None:
        for case in CASES:
            with self.subTest(case=case.name):
                path = self.write(case.name, case.data)
                header, *rows = oracle(path, case)
                rows = [tuple(r) for r in rows]
                self.check_reading(path, case.read, tuple(header), rows)
                self.check_validation(path, case.read, tuple(header), rows)

    def check_reading(self, path: str, read: dict[str, Any], header: tuple[str, ...], rows: Rows) -> None:
        with quelta.open(path, **read) as scanner:
            self.assertEqual((scanner.header, list(scanner)), (header, rows))
        # A name in select: the header itself is read with the keywords.
        with quelta.open(path, select=[header[-1], 0], **read) as scanner:
            self.assertEqual(list(scanner), [(r[-1], r[0]) for r in rows])
        with quelta.open(path, **read) as scanner:
            self.assertEqual(scanner.columnar().rows(), rows)
        # One chunk here (the threaded splits are ThreadedTest's): the keywords reach the worker.
        with quelta.parallel_columns(path, threads=1, **read) as cols:
            self.assertEqual((cols.names, cols.rows()), (header, rows))
        # A condition by name makes parallel_columns read the header itself.
        first = rows[0][0]
        with quelta.parallel_columns(path, where=(header[0], "==", first), threads=1, **read) as cols:
            self.assertEqual(cols.rows(), [r for r in rows if support.passes(r[0], "==", first)])

    def check_validation(self, path: str, read: dict[str, Any], header: tuple[str, ...], rows: Rows) -> None:
        # A rule on characters: a byte-level or mis-decoded reading counts differently.
        column = header[-1]
        limit = int(statistics.median(len(r[-1]) for r in rows))
        schema = {column: {"max_len": limit}}
        invalid = [r for r in rows if len(r[-1]) > limit]
        valid = [r for r in rows if len(r[-1]) <= limit]
        totals = (len(rows), len(valid), len(invalid))

        report = quelta.validate(path, schema, **read)
        self.assertEqual((report.rows_total, report.rows_valid, report.rows_invalid), totals)
        with quelta.Validator(path, schema, **read) as validator:
            self.assertEqual(validator.columns, header)
            self.assertEqual([(r.values, r.valid) for r in validator], [(r, len(r[-1]) <= limit) for r in rows])
        details = quelta.validate_outcome(pathlib.Path(path), schema, details=True, **read)
        self.assertEqual([r.values for r in details], invalid)
        self.assertEqual(quelta.validate_outcome(pathlib.Path(path), schema, **read), not invalid)

        out = os.path.join(self.dir, "out")
        os.makedirs(out, exist_ok=True)
        valid_path, invalid_path = os.path.join(out, "valid.csv"), os.path.join(out, "invalid.jsonl")
        stats = quelta.validate_to_files(path, schema, valid_path, invalid_path, **read)
        self.assertEqual((stats.rows_total, stats.rows_valid, stats.rows_invalid), totals)
        with open(valid_path, newline="", encoding="utf-8") as f:
            self.assertEqual([tuple(r) for r in csv.reader(f)], [header, *valid])
        with open(invalid_path, encoding="utf-8") as f:
            self.assertEqual([tuple(json.loads(line)["values"]) for line in f], invalid)
        os.unlink(valid_path)
        os.unlink(invalid_path)

    def test_text_formats_of_validate_outcome(self) -> None:
        schema = {"a": {"type": "integer"}}
        lines, array = '{"a":1}\n{"a":"x"}\n', '[{"a":1},{"a":"x"}]'
        for text, keywords, invalid in [
            ("a;b\n1;2\nx;3\n", {"delimiter": ";"}, [("x", "3")]),
            ("a\r1\rx\r", {"line_ends": "any"}, [("x",)]),
            ('a,b\n"1\n",2\n', {"quoting": "rfc4180"}, [("1\n", "2")]),
            (lines, {"format": "json"}, [("x",)]),  # "json" text: lines or an array, as the text holds
            (array, {"format": "json"}, [("x",)]),
            (lines, {"format": "jsonl"}, [("x",)]),
            ("a\n\xe9\n".encode("latin-1"), {"encoding": "latin-1"}, [("\u00e9",)]),
        ]:
            with self.subTest(text=text, keywords=keywords):
                got = quelta.validate_outcome(text, schema, details=True, **keywords)
                self.assertEqual([r.values for r in got], invalid)
        with self.assertRaises(quelta.DataError):
            quelta.validate_outcome(array, schema, format="jsonl")

    def test_bad_keywords_fail_before_reading(self) -> None:
        # The path does not exist: a keyword that got through would end in FileNotFound instead.
        missing = os.path.join(self.dir, "missing.csv")
        schema = {"a": {}}
        calls = {
            "open": lambda **kw: quelta.open(missing, **kw),
            "Scanner": lambda **kw: quelta.Scanner(missing, **kw),
            "parallel_columns": lambda **kw: quelta.parallel_columns(missing, **kw),
            "validate": lambda **kw: quelta.validate(missing, schema, **kw),
            "Validator": lambda **kw: quelta.Validator(missing, schema, **kw),
            "validate_to_files": lambda **kw: quelta.validate_to_files(missing, schema, missing + ".v", missing + ".i", **kw),
            "validate_outcome": lambda **kw: quelta.validate_outcome(pathlib.Path(missing), schema, **kw),
            "validate_outcome text": lambda **kw: quelta.validate_outcome("a\n1\n", schema, **kw),
            "dask.count": lambda **kw: qd.count([missing], **kw),
            "dask.aggregate": lambda **kw: qd.aggregate([missing], "a", **kw),
            "dask.topk": lambda **kw: qd.topk([missing], "a", 3, **kw),
            "dask.columns": lambda **kw: qd.columns([missing], **kw),
            "dask.validate": lambda **kw: qd.validate([missing], schema, **kw),
            "dask.validate_to_files": lambda **kw: qd.validate_to_files([missing], schema, self.dir, **kw),
        }  # fmt: skip
        bad = [
            ({"delimiter": ""}, ValueError, "delimiter must be one ASCII character"),
            ({"delimiter": ";;"}, ValueError, "delimiter must be"),
            ({"delimiter": '"'}, ValueError, "delimiter must be"),
            ({"delimiter": "\n"}, ValueError, "delimiter must be"),
            ({"delimiter": "\r"}, ValueError, "delimiter must be"),
            ({"delimiter": "\0"}, ValueError, "delimiter must be"),
            ({"delimiter": "\u00a7"}, ValueError, "delimiter must be"),  # two bytes in UTF-8
            ({"delimiter": b"ab"}, ValueError, "delimiter must be"),
            ({"delimiter": 44}, TypeError, "delimiter must be"),
            ({"quoting": "RFC4180"}, ValueError, "quoting must be one of 'line', 'rfc4180', not 'RFC4180'"),
            ({"quoting": 1}, TypeError, "quoting must be one of 'line', 'rfc4180'"),
            ({"line_ends": "crlf"}, ValueError, "line_ends must be one of 'lf', 'any', not 'crlf'"),
            ({"encoding": "utf-16"}, ValueError, "encoding must be 'utf-8', 'latin-1' .*'cp1252'"),
            ({"encoding": "ascii"}, ValueError, "encoding must be"),
            ({"encoding": "no-such-codec"}, ValueError, "encoding must be"),
            ({"encoding": None}, TypeError, "encoding must be"),
            ({"format": "ndjson"}, ValueError, "format must be"),
            ({"nested": "flatten"}, ValueError, "nested must be one of 'refuse', 'text', not 'flatten'"),
            ({"delim": ";"}, TypeError, "unexpected keyword argument 'delim'"),
        ]
        for name, call in calls.items():
            for keywords, error, message in bad:
                with self.subTest(call=name, keywords=keywords):
                    with self.assertRaisesRegex(error, message):
                        call(**keywords)
        with self.assertRaisesRegex(ValueError, "'auto' needs a path"):
            quelta.validate_outcome("a\n1\n", schema, format="auto")


def multiline_records(n: int, seed: int, end: str, inner: tuple[str, ...]) -> str:
    """n records whose middle field is quoted and holds line breaks (from inner) and
    lines that look like records and quotes, so a split point almost always falls
    inside quotes; each record ends with end."""
    rnd = random.Random(seed)
    lookalikes = ['{i},""x"",y', '"",{i},""', "{i},plain,z", "caf\u00e9;\u00e8|{i}"]
    out = ["id,body,tail" + end]
    for i in range(n):
        lines = [rnd.choice(lookalikes).format(i=i) for _ in range(rnd.randrange(20, 100))]
        body = "".join(line + rnd.choice(inner) for line in lines)
        out.append(f'{i},"{body}",t{i}{end}')
    return "".join(out)


def single_line_records(n: int, seed: int) -> str:
    rnd = random.Random(seed)
    out = ["id;name;note\r\n"]
    for i in range(n):
        note = rnd.choice(['"a;b"', '"say ""x"""', "caf\u00e9", '"\u00e8;"', "", "plain"])
        out.append(f"{i};n{i};{note}\r\n")
    return "".join(out)


class ThreadedTest(unittest.TestCase):
    """parallel_columns over files of several chunks, against Python's csv module."""

    @classmethod
    def setUpClass(cls) -> None:
        cls._tmp = tempfile.TemporaryDirectory(prefix="quelta-py-")
        cls.files: dict[str, tuple[str, dict[str, Any], list[list[str]]]] = {}

        def write(name: str, text: str, read: dict[str, Any], encoding: str = "utf-8", delimiter: str = ",") -> None:
            path = os.path.join(cls._tmp.name, name)
            with open(path, "wb") as f:
                f.write(text.encode(encoding))
            with open(path, newline="", encoding=encoding) as f:
                table = list(csv.reader(f, delimiter=delimiter))
            cls.files[name] = (path, read, table)

        rfc = {"quoting": "rfc4180"}
        breaks = multiline_records(4000, 1, "\n", ("\n", "\r\n"))
        # Nearly every line end of the file lies inside quotes (one per record does not).
        assert 4001 * 10 < breaks.count("\n") and len(breaks) > 3_000_000
        write("breaks.csv", breaks, rfc)
        breaks_cr = multiline_records(1600, 2, "\r", ("\n", "\r", "\r\n"))
        write("breaks_cr.csv", breaks_cr, {**rfc, "line_ends": "any", "encoding": "latin-1"}, "latin-1")
        write("big_field.csv", big_field_csv().decode(), rfc)
        write("plain.csv", single_line_records(60000, 3), {**rfc, "delimiter": ";", "encoding": "cp1252"}, "cp1252", ";")

    @classmethod
    def tearDownClass(cls) -> None:
        cls._tmp.cleanup()

    def check_threads(self, names: list[str]) -> None:
        for name in names:
            path, read, (header, *rows) = self.files[name]
            self.assertGreater(os.path.getsize(path), 2 * 65536)  # more than one chunk for two threads
            expected = (tuple(header), [tuple(r) for r in rows])
            for threads in (2, 3, 4, 8):
                with self.subTest(file=name, threads=threads):
                    with quelta.parallel_columns(path, threads=threads, **read) as cols:
                        self.assertEqual((cols.names, cols.rows()), expected)

    def test_single_pass(self) -> None:
        for name, (path, read, (header, *rows)) in self.files.items():
            with self.subTest(file=name), quelta.open(path, **read) as scanner:
                self.assertEqual((scanner.header, scanner.columnar().rows()), (tuple(header), [tuple(r) for r in rows]))

    def test_threads_on_single_line_records_and_decoded_input(self) -> None:
        self.check_threads(["plain.csv", "breaks_cr.csv"])

    # Quoted line breaks fall at the split points: chunks must start at record starts.
    def test_threads_with_quoted_line_breaks_on_split_points(self) -> None:
        self.check_threads(["breaks.csv", "big_field.csv"])
