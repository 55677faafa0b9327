"""quelta.profile() and quelta.infer_schema() against Python's own computation:
the statistics module for moments, exact counts and sorted values for the rest."""

from __future__ import annotations

import io
import math
import random
import statistics
import unittest

import quelta

from .support import TempDirTest, number

QUANTILES = {"p1": 0.01, "p25": 0.25, "p50": 0.5, "p75": 0.75, "p99": 0.99}


def blank(text: str) -> bool:
    return text.strip(" \t\r\n") == ""


def generated(rows: int, seed: int) -> tuple[list[str], list[list[str]]]:
    """Columns with blanks, mixed kinds and many distinct values."""
    rnd = random.Random(seed)
    header = ["id", "price", "mixed", "category", "word"]
    data = []
    for i in range(rows):
        price = "" if rnd.random() < 0.05 else f"{rnd.lognormvariate(3, 1.5):.2f}"
        mixed = rnd.choice(["12", "-3", "4.5e2", "true", "2024-02-29", "n/a", "", " 8 "])
        category = rnd.choice(["red", "green", "blue", "teal"])
        word = "".join(rnd.choice("abcdé") for _ in range(rnd.randint(1, 6)))
        data.append([str(i), price, mixed, category, word])
    return header, data


def rank_error(values: list[float], v: float, fraction: float) -> float:
    values = sorted(values)
    n = len(values)
    below = sum(1 for x in values if x < v)
    through = sum(1 for x in values if x <= v)
    target = math.ceil(fraction * n)
    if below <= target <= through:
        return 0.0
    return min(abs(target - below), abs(target - through)) / n


class ProfileTest(TempDirTest):
    def test_numbers_against_statistics(self) -> None:
        for rows, seed in ((150, 1), (4000, 2), (30000, 3)):
            with self.subTest(rows=rows):
                header, data = generated(rows, seed)
                path = self.write("g.csv", "\n".join(",".join(r) for r in [header, *data]) + "\n")
                p = quelta.profile(path)
                self.assertEqual(p["rows"], rows)
                for index, column in enumerate(p["columns"]):
                    values = [r[index] for r in data]
                    present = [v for v in values if not blank(v)]
                    numbers = [x for x in (number(v.strip(" \t")) for v in present) if x is not None]
                    self.assertEqual(column["name"], header[index])
                    self.assertEqual(column["blanks"], len(values) - len(present))
                    self.assertEqual(column["numeric"], len(numbers))
                    self.assertEqual(column["min_length"], min(map(len, present)))
                    self.assertEqual(column["max_length"], max(map(len, present)))
                    self.assertEqual(column["min_text"].encode(), min(v.encode() for v in present))
                    self.assertEqual(column["max_text"].encode(), max(v.encode() for v in present))
                    counts: dict[str, int] = {}
                    for v in present:
                        counts[v] = counts.get(v, 0) + 1
                    distinct = column["distinct"]
                    if len(counts) <= 1000:
                        self.assertTrue(distinct["exact"])
                        expected = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0].encode()))
                        self.assertEqual([(d["value"], d["count"]) for d in distinct["values"]], expected)
                    else:
                        self.assertFalse(distinct["exact"])
                        bound = 3 * distinct["standard_error"] * len(counts)
                        self.assertLessEqual(abs(distinct["count"] - len(counts)), bound)
                    if not numbers:
                        self.assertIsNone(column["mean"])
                        continue
                    self.assertEqual(column["min"], min(numbers))
                    self.assertEqual(column["max"], max(numbers))
                    self.assertAlmostEqual(column["mean"], statistics.fmean(numbers), delta=1e-9 * max(map(abs, numbers)))
                    self.assertTrue(math.isclose(column["stddev"], statistics.stdev(numbers), rel_tol=1e-9))
                    q = column["quantiles"]
                    for key, fraction in QUANTILES.items():
                        self.assertLessEqual(rank_error(numbers, q[key], fraction), q["rank_error"], key)

    def test_kinds_of_the_mixed_column(self) -> None:
        header, data = generated(2000, 5)
        p = quelta.profile(io.BytesIO(("\n".join(",".join(r) for r in [header, *data]) + "\n").encode()))
        mixed = [r[2].strip(" \t") for r in data]
        column = p["columns"][2]
        self.assertEqual(column["integers"], sum(v in ("12", "-3", "8") for v in mixed))
        self.assertEqual(column["booleans"], mixed.count("true"))
        self.assertEqual(column["datetimes"], mixed.count("2024-02-29"))
        self.assertEqual(column["texts"], mixed.count("n/a"))
        self.assertEqual(column["type"], "string")
        self.assertEqual(p["columns"][0]["type"], "integer")

    def test_rows_columns_and_read_keywords(self) -> None:
        path = self.write("t.tsv", "a\tb\n1\tx\n2\ty\n3\tx\n")
        p = quelta.profile(path, select=["b"], where=("a", ">", 1), delimiter="\t")
        self.assertEqual(p["rows"], 2)
        self.assertEqual([c["name"] for c in p["columns"]], ["b"])
        self.assertEqual(p["columns"][0]["index"], 1)
        with self.assertRaises(quelta.FileNotFound):
            quelta.profile(self.dir + "/missing.csv")
        with self.assertRaises(TypeError):
            quelta.profile(path, delimeter=",")  # type: ignore[call-arg]
        # The threads share out the columns: the same answer from any number of them.
        one = quelta.profile(path, delimiter="\t", threads=1)
        for threads in (0, 2, 5):
            self.assertEqual(quelta.profile(path, delimiter="\t", threads=threads), one)
            self.assertEqual(quelta.infer_schema(path, delimiter="\t", threads=threads),
                             quelta.infer_schema(path, delimiter="\t", threads=1))
        with self.assertRaises(ValueError):
            quelta.profile(path, threads=-1)
        with self.assertRaises(TypeError):
            quelta.infer_schema(path, threads="2")  # type: ignore[arg-type]


class InferSchemaTest(TempDirTest):
    def test_round_trip(self) -> None:
        header, data = generated(25000, 9)
        data[21067][1] = "unpriced"  # row 21,068 breaks the price column's numbers
        text = "\n".join(",".join(r) for r in [header, *data]) + "\n"
        path = self.write("g.csv", text)
        schema = quelta.infer_schema(path)
        self.assertEqual(schema["price"]["type"], "string")
        self.assertEqual(schema["id"], {"type": "integer", "required": True, "min": 0, "max": 24999})
        self.assertEqual(sorted(schema["category"]["one_of"]), ["blue", "green", "red", "teal"])
        self.assertTrue(quelta.validate(path, schema).valid)
        broken = self.write("b.csv", text + "0,12.50,12,pink,abc\n")
        report = quelta.validate(broken, schema)
        self.assertEqual(report.rows_invalid, 1)
        self.assertEqual(report.counts, {"not_in_set": 1})


if __name__ == "__main__":
    unittest.main()
