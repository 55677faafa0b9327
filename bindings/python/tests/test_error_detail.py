"""Exceptions carry the library's detail: the subject and position as attributes, shown in their text."""

from __future__ import annotations

import errno
import os
import pickle
import unittest

import quelta

from .support import TempDirTest

CSV = "id,price,name\n1,2,x\n"


class SchemaDetailTest(unittest.TestCase):
    def test_schema_failures_name_key_and_place(self) -> None:
        # (schema, class, key, column, detail, text the position points at)
        cases = [
            ('{"price": {"minimum": 0}}', quelta.SchemaError, "price.minimum", None,
             'unknown key "minimum" (did you mean "min"?)', '"minimum"'),
            ('{"price": {"type": "int"}}', quelta.SchemaError, "price.type", None,
             'unknown type "int" (did you mean "integer"?); types are any, integer, float, boolean, datetime, string',
             '"int"'),
            ('{"price": {"min": "0"}}', quelta.SchemaError, "price.min", None, '"min" must be a number', '"0"'),
            ('{"Price": {}}', quelta.UnknownColumn, None, "Price",
             'no column "Price" in the header (did you mean "price"?)', '"Price"'),
            ('{"properties": {"price": {}}}', quelta.UnknownColumn, None, "properties",
             'this looks like JSON Schema ("properties"); a schema here maps column names to rules, '
             'e.g. {"age":{"type":"integer","min":0}}', '"properties"'),
            ('{\n  "price": {"min": 0},\n}', quelta.SchemaError, None, None,
             "a comma before the closing bracket (JSON allows no trailing comma)", ",\n}"),
        ]
        for schema, cls, key, column, detail, at in cases:
            with self.subTest(schema=schema):
                with self.assertRaises(cls) as caught:
                    quelta.validate_outcome(CSV, schema)
                e = caught.exception
                offset = schema.index(at)
                line = schema.count("\n", 0, offset) + 1
                colno = offset - (schema.rfind("\n", 0, offset) + 1) + 1
                self.assertEqual((e.key, e.column, e.detail), (key, column, detail))
                self.assertEqual((e.schema_line, e.schema_colno, e.schema_offset), (line, colno, offset))
                self.assertEqual((e.line, e.offset, e.filename), (None, None, None))
                self.assertEqual(str(e), f"schema line {line}, column {colno}: {e.message}: {detail}")


class InputDetailTest(TempDirTest):
    def test_missing_file_has_the_standard_form(self) -> None:
        path = os.path.join(self.dir, "rows.csv")
        for call in (lambda: quelta.open(path), lambda: quelta.validate(path, {})):
            with self.subTest(call=call), self.assertRaises(FileNotFoundError) as caught:
                call()
            e = caught.exception
            self.assertEqual((e.errno, e.filename), (errno.ENOENT, path))
            self.assertEqual(str(e), f"{path}: {e.message}")
            self.assertEqual(pickle.loads(pickle.dumps(e)).filename, path)

    def test_output_that_exists_is_named(self) -> None:
        data = self.write("in.csv", "a\n1\n")
        valid = self.write("valid.csv", "kept")
        with self.assertRaises(FileExistsError) as caught:
            quelta.validate_to_files(data, {}, valid, os.path.join(self.dir, "invalid.jsonl"))
        self.assertEqual((caught.exception.errno, caught.exception.filename), (errno.EEXIST, valid))

    def test_read_failures_give_line_and_offset(self) -> None:
        # (file name, content, read, line, colno, text at the offset, key, detail)
        cases = [
            ("quote.csv", "a,b\n1,2\n3,\"x\n4,5\n", lambda s: list(s), 3, 3, '3,"', None,
             "the quote at column 3 is not closed"),
            ("bad.jsonl", '{"a":1}\n{"a" 2}\n', lambda s: list(s), 2, None, '{"a" 2', None, "expected ':' after key"),
            ("nested.jsonl", '{"a":1}\n{"a":{"b":1}}\n', lambda s: list(s), 2, None, '{"a":{', "a",
             'the value of "a" is an object or an array'),
        ]
        for name, content, read, line, colno, at, key, detail in cases:
            with self.subTest(name=name):
                path = self.write(name, content)
                with quelta.open(path) as scanner, self.assertRaises(quelta.DataError) as caught:
                    read(scanner)
                e = caught.exception
                self.assertEqual((e.line, e.colno, e.offset), (line, colno, content.index(at)))
                self.assertEqual((e.key, e.detail, e.schema_line), (key, detail, None))
                where = f"line {line}" + (f", column {colno}" if colno else "")
                self.assertEqual(str(e), f"{where}: {e.message} ({detail})")


if __name__ == "__main__":
    unittest.main()
