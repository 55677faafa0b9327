"""Typed columns, read_table, to_pandas and to_numpy: each conversion against
Python's own float(), int() and datetime on edge and random texts, the inferred
types, and read_table against pandas.read_csv on generated and sample files."""

from __future__ import annotations

import csv
import io
import math
import os
import random
import re
import unittest
from datetime import datetime, timezone

import quelta
from quelta import frames

from .support import TempDirTest

try:
    import numpy as np
    import pandas as pd
except ImportError:  # pragma: no cover
    np = pd = None

SOURCE_DIR = os.environ.get("QUELTA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", ".."))
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
NS_MIN, NS_MAX = -(2**63) + 1, 2**63 - 1
DATETIME_GRAMMAR = re.compile(
    r"\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?([Zz]|[+-]\d{2}:\d{2})?)?", re.ASCII
)


# ---- the oracles: Python's own conversions, narrowed to the library's grammar ----


def plain(text: str) -> bool:
    return text.isascii() and text == text.strip() and text != ""


def want_float(text: str) -> float | None:
    if not plain(text):
        return None
    body = text.lstrip("+-")
    try:
        value = float.fromhex(text) if body[:2].lower() == "0x" else float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def want_int(text: str) -> int | None:
    if not plain(text) or not re.fullmatch(r"[+-]?[0-9_]+", text):
        return None
    try:
        value = int(text, 10)
    except ValueError:
        return None
    return value if -(2**63) <= value < 2**63 else None


def want_bool(text: str) -> bool | None:
    t = text.strip(" \t").lower()
    return {"true": True, "false": False}.get(t)


def want_ns_micro(text: str) -> int | None:
    """Microseconds since the epoch (the fraction truncated, as datetime does)."""
    t = text.strip(" \t")
    if not DATETIME_GRAMMAR.fullmatch(t):
        return None
    second_60 = len(t) >= 19 and t[16] == ":" and t[17:19] == "60"
    if second_60:
        t = t[:17] + "59" + t[19:]
    try:
        dt = datetime.fromisoformat(t.replace("z", "Z"))
    except ValueError:
        return None
    if dt.tzinfo is None:
        dt = dt.replace(tzinfo=timezone.utc)
    delta = dt - EPOCH
    micros = (delta.days * 86400 + delta.seconds + second_60) * 1_000_000 + delta.microseconds
    frac = re.search(r"\.(\d+)", t)
    nanos_rest = int((frac.group(1) + "000000000")[6:9]) if frac else 0
    ns = micros * 1000 + nanos_rest
    return micros if NS_MIN <= ns <= NS_MAX else None


def blank(text: str) -> bool:
    return text.strip(" \t\r\n") == ""


EDGE_TEXTS = [
    "", " ", "\t", "0", "-0", "+7", "007", "1_000", "1__000", "_1", "1_", "1_000.5", "1e1_0", "0x1p3", "-0x1.8p1",
    "inf", "-Infinity", "nan", "NaN", "1e400", "-1e400", "1e-400", "4.9e-324", "1.7976931348623157e308", ".5", "5.",
    "+.5e-3", "1e", "e5", "1.2.3", " 1", "1 ", "1,5", "9223372036854775807", "-9223372036854775808",
    "9223372036854775808", "-9223372036854775809", "12345678901234567890", "1234567890123456789", "true", "FALSE",
    " True\t", "tru", "yes", "1", "2024-02-29", "2023-02-29", "1900-02-29", "2000-02-29T23:59:59.999999999Z",
    "2024-01-16T01:03:27", "2024-01-16 01:03", "2024-01-16T01:03:27+05:30", "2024-01-16T01:03:27-08:00",
    "2024-01-16T01:03:27.123456789123z", "2016-12-31T23:59:60Z", "2024-13-01", "2024-01-32", "2024-01-16T24:00",
    "2024-01-16T01:03:27+24:00", "1677-09-21T00:12:44Z", "1677-09-21T00:12:43Z", "2262-04-11T23:47:16Z",
    "2262-04-11T23:47:17Z", "0001-01-01", "9999-12-31", " 2024-01-16 ", "2024-01-16Z", "١٢", "a", "-",
]


def random_texts(rnd: random.Random, n: int) -> list[str]:
    out = []
    for _ in range(n):
        form = rnd.randrange(6)
        if form == 0:
            out.append(str(rnd.randrange(-(10 ** rnd.randrange(1, 21)), 10 ** rnd.randrange(1, 21))))
        elif form == 1:
            out.append(repr(rnd.uniform(-1e6, 1e6)))
        elif form == 2:
            out.append(f"{rnd.random():.{rnd.randrange(1, 18)}e}{rnd.choice(['', '0', '00'])}".replace("e", rnd.choice("eE")))
        elif form == 3:
            year, month, day = rnd.randrange(1670, 2270), rnd.randrange(1, 13), rnd.randrange(1, 32)
            text = f"{year:04d}-{month:02d}-{day:02d}"
            if rnd.random() < 0.8:
                text += f"{rnd.choice('T ')}{rnd.randrange(24):02d}:{rnd.randrange(60):02d}"
                if rnd.random() < 0.7:
                    text += f":{rnd.randrange(61):02d}"
                    if rnd.random() < 0.5:
                        text += "." + "".join(rnd.choice("0123456789") for _ in range(rnd.randrange(1, 13)))
                zone = rnd.randrange(4)
                if zone == 1:
                    text += "Z"
                elif zone >= 2:
                    text += f"{rnd.choice('+-')}{rnd.randrange(24):02d}:{rnd.randrange(60):02d}"
            out.append(text)
        elif form == 4:
            out.append(rnd.choice(["true", "false", "True", "FALSE", " true ", "truth", "", "  "]))
        else:
            out.append("".join(rnd.choice("0123456789_.-+eExXpP") for _ in range(rnd.randrange(1, 8))))
    return out


def one_column_csv(texts: list[str]) -> str:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n", quoting=csv.QUOTE_ALL)
    w.writerow(["v"])
    for t in texts:
        w.writerow([t])
    return buf.getvalue()


@unittest.skipIf(np is None, "numpy and pandas are needed")
class ConversionsTest(TempDirTest):
    def columns(self, texts: list[str]) -> quelta.Columns:
        return quelta.parallel_columns(self.write("v.csv", one_column_csv(texts)), threads=1)

    def check_against_python(self, texts: list[str]) -> None:
        with self.columns(texts) as cols:
            self.assertEqual(cols.n_rows, len(texts))
            floats, fvalid, fcounts = frames.convert(cols, 0, "float64")
            ints, ivalid, _ = frames.convert(cols, 0, "int64")
            bools, bvalid, _ = frames.convert(cols, 0, "boolean")
            stamps, dvalid, _ = frames.convert(cols, 0, "datetime")
        self.assertEqual(fcounts.n_blank, sum(blank(t) for t in texts))
        for r, text in enumerate(texts):
            with self.subTest(text=text):
                f = want_float(text)
                self.assertEqual(bool(fvalid[r]), f is not None)
                if f is not None:
                    self.assertEqual(floats[r].hex(), f.hex())  # bit for bit, signed zero included
                i = want_int(text)
                self.assertEqual(bool(ivalid[r]), i is not None)
                if i is not None:
                    self.assertEqual(int(ints[r]), i)
                b = want_bool(text)
                self.assertEqual(bool(bvalid[r]), b is not None)
                if b is not None:
                    self.assertEqual(bool(bools[r]), b)
                d = want_ns_micro(text)
                self.assertEqual(bool(dvalid[r]), d is not None)
                if d is not None:
                    self.assertEqual(int(stamps[r]) // 1000, d)

    def test_edge_texts_against_python(self) -> None:
        self.check_against_python(EDGE_TEXTS)

    def test_random_texts_against_python(self) -> None:
        self.check_against_python(random_texts(random.Random(22), 6000))

    def test_inferred_type_is_the_first_every_value_meets(self) -> None:
        rnd = random.Random(5)
        pools = {
            "int64": ["1", "-20", "3_000", "", " "],
            "float64": ["1", "2.5", "-1e-3", "0x1p3", ""],
            "boolean": ["true", "False", " TRUE", ""],
            "datetime": ["2024-01-01", "2024-02-29T10:00:00Z", "2024-01-01 10:00", ""],
            "text": ["1", "x", "true", "2024-01-01"],
        }
        for kind, pool in pools.items():
            for _ in range(5):
                texts = [rnd.choice(pool) for _ in range(rnd.randrange(1, 40))]
                meets = [
                    k for k, ok in (
                        ("int64", want_int), ("float64", want_float), ("boolean", want_bool), ("datetime", want_ns_micro)
                    ) if all(ok(t) is not None for t in texts if not blank(t))
                ]  # fmt: skip
                want = "blank" if all(blank(t) for t in texts) else (meets[0] if meets else "text")
                with self.subTest(texts=texts), self.columns(texts) as cols:
                    self.assertEqual(frames.infer(cols, 0), want)


@unittest.skipIf(np is None, "numpy and pandas are needed")
class ReadTableTest(TempDirTest):
    def generated(self, n: int, seed: int) -> str:
        rnd = random.Random(seed)
        lines = ["id,name,price,qty,flag,ts,note,mixed,empty"]
        for i in range(n):
            lines.append(
                ",".join([
                    str(i),
                    rnd.choice(["ana", "bo", "Zoë", "x y"]),
                    rnd.choice(["1.5", "-2.25", "1e3", "7", "0.1"]),
                    rnd.choice(["1", "22", "-3"]) if i % 10 else "",
                    rnd.choice(["true", "false", "True", "FALSE"]),
                    f"2024-0{rnd.randrange(1, 10)}-1{rnd.randrange(10)}T0{rnd.randrange(10)}:30:00",
                    rnd.choice(['"a, b"', "plain", "", '"say ""hi"""']),
                    rnd.choice(["1", "x", "2.5"]),
                    "",
                ])  # fmt: skip
            )
        return self.write("g.csv", "\n".join(lines) + "\n")

    def assert_like_pandas(self, ours, theirs, datetimes=()) -> None:
        self.assertEqual(list(ours.columns), list(theirs.columns))
        for name in theirs.columns:
            a, b = ours[name], theirs[name]
            with self.subTest(column=name):
                if name in datetimes:
                    b = pd.to_datetime(b)
                if str(a.dtype) in ("Int64", "boolean"):
                    # pandas.read_csv makes blanks in integers float, in booleans object.
                    a = a.astype("float64" if a.dtype == "Int64" else object)
                    self.assertTrue(a.isna().any())
                pd.testing.assert_series_equal(a, b, check_dtype=str(b.dtype) != "object" or a.dtype == object)

    def test_generated_file_equals_pandas(self) -> None:
        path = self.generated(6000, 1)  # past the sample: text columns by their distinct values
        ours = quelta.read_table(path, threads=3)
        self.assertEqual(
            {k: str(v) for k, v in ours.dtypes.items()},
            {"id": "int64", "name": "object", "price": "float64", "qty": "Int64", "flag": "bool",
             "ts": "datetime64[ns]", "note": "object", "mixed": "object", "empty": "float64"},
        )  # fmt: skip
        self.assert_like_pandas(ours, pd.read_csv(path), datetimes=("ts",))

    def test_sample_files_equal_pandas(self) -> None:
        people = os.path.join(SOURCE_DIR, "examples", "people.csv")
        self.assert_like_pandas(quelta.read_table(people), pd.read_csv(people))
        jsonl = os.path.join(SOURCE_DIR, "examples", "people.jsonl")
        frame = quelta.read_table(jsonl)
        self.assertEqual(len(frame), len(pd.read_json(jsonl, lines=True)))

    def test_columns_where_and_dtypes(self) -> None:
        path = self.generated(500, 2)
        frame = quelta.read_table(path, columns=["price", 0], where=("price", ">", 1), dtypes={"id": "float"})
        self.assertEqual(list(frame.columns), ["price", "id"])
        self.assertEqual(str(frame["id"].dtype), "float64")
        self.assertTrue((frame["price"] > 1).all())
        forced = quelta.read_table(path, dtypes={"qty": np.float64, "flag": "str", "ts": "datetime64[ns]"})
        self.assertEqual([str(forced[c].dtype) for c in ("qty", "flag", "ts")], ["float64", "object", "datetime64[ns]"])
        with self.assertRaisesRegex(ValueError, "'mixed'.* do not convert to float64"):
            quelta.read_table(path, dtypes={"mixed": float})
        with self.assertRaisesRegex(ValueError, "unsupported dtype"):
            quelta.read_table(path, dtypes={"mixed": "complex"})

    def test_no_rows_keeps_the_header_as_pandas_does(self) -> None:
        header_only = self.write("h.csv", "a,b,c\n")
        none_pass = self.generated(50, 3)
        cases = [  # (file, keywords, dtypes pandas is given for the same frame); no values: text
            (header_only, {}, {}),
            (header_only, {"columns": ["c", 0], "dtypes": {"a": "int64", "c": float}}, {"a": "int64", "c": float}),
            (none_pass, {"where": ("price", ">", 1e9)}, object),
        ]
        for path, keywords, dtypes in cases:
            with self.subTest(path=os.path.basename(path), keywords=keywords):
                ours = quelta.read_table(path, **keywords)
                theirs = pd.read_csv(path, dtype=dtypes or None).iloc[0:0]
                if "columns" in keywords:
                    theirs = theirs[["c", "a"]]
                pd.testing.assert_frame_equal(ours, theirs, check_index_type=False)
        with self.assertRaisesRegex(quelta.DataError, "EmptyFile"):
            quelta.read_table(self.write("e.csv", ""))

    def test_zones_not_utf8_and_blank_booleans(self) -> None:
        path = self.write("z.csv", b"t,b,s\n2024-01-01T00:00:00+01:00,true,caf\xc3\xa9\n2024-01-01,,\xff\xfe\n")
        frame = quelta.read_table(path)
        self.assertEqual(str(frame["t"].dtype), "datetime64[ns, UTC]")
        self.assertEqual(frame["t"][0], pd.Timestamp("2023-12-31T23:00:00Z"))
        self.assertEqual(str(frame["b"].dtype), "boolean")
        self.assertTrue(frame["b"].isna()[1])
        self.assertEqual(list(frame["s"]), ["café", b"\xff\xfe"])


@unittest.skipIf(np is None, "numpy and pandas are needed")
class ColumnsArraysTest(TempDirTest):
    def test_to_numpy_to_pandas_and_dataframe_of_columns(self) -> None:
        path = self.write("a.csv", "i,f,b,t,s,n\n1,1.5,true,2024-01-01,x,1\n2,,false,,,\n")
        cols = quelta.parallel_columns(path)
        self.assertEqual(cols.to_numpy("i").tolist(), [1, 2])
        self.assertEqual(cols.to_numpy("i").dtype, np.int64)
        self.assertTrue(np.isnan(cols.to_numpy("f")[1]))
        self.assertEqual(cols.to_numpy("b").tolist(), [True, False])
        self.assertEqual(cols.to_numpy("t").dtype, np.dtype("datetime64[ns]"))
        self.assertTrue(np.isnat(cols.to_numpy("t")[1]))
        self.assertEqual(cols.to_numpy("s").tolist(), ["x", ""])
        self.assertEqual(cols.to_numpy("n").tolist()[0], 1.0)  # an integer column with a blank
        self.assertEqual(cols.to_numpy("i", dtype="float32").dtype, np.float32)
        with self.assertRaisesRegex(ValueError, "blank"):
            cols.to_numpy("n", dtype="int64")
        self.assertEqual(list(cols.to_pandas().columns), ["i", "f", "b", "t", "s", "n"])
        with self.assertRaisesRegex(TypeError, "to_pandas"):
            pd.DataFrame(cols)
        raw = cols.to_numpy("s", dtype="uint8")
        cols.close()
        # The raw view outlives its Columns: it holds the library's buffer.
        self.assertEqual(raw.tobytes(), b"x")
        with self.assertRaisesRegex(ValueError, "closed"):
            cols.to_numpy("i")


if __name__ == "__main__":
    unittest.main()
