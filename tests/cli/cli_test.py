#!/usr/bin/env python3
"""Runs the built quelta tool on files and on standard input and checks its exact
output and exit status; the README's tool commands and C example are replayed too.

Usage: cli_test.py --tool PATH --source DIR [--cc CC --cflags FLAGS --libdir DIR] [unittest args]
"""
import argparse
import codecs
import csv
import io
import json
import lzma
import bz2
import gzip
import os
import pathlib
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

OPTS = None
PEOPLE = "examples/people.csv"
SCHEMA = "examples/people.schema.json"


def run(args, stdin=b"", cwd=None, preexec_fn=None):
    p = subprocess.run([OPTS.tool] + args, input=stdin, capture_output=True, cwd=cwd or OPTS.source,
                       preexec_fn=preexec_fn, timeout=120)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def limit(kind, size):
    """A preexec_fn that caps one resource of the tool's process (None: no cap)."""
    return None if size is None else lambda: resource.setrlimit(kind, (size, size))


def split_rows(n):
    """A CSV of n rows where every other row breaks the schema SPLIT_SCHEMA."""
    return b"n,word\n" + b"".join(b"%d,%s\n" % (i, b"toolongvalue" if i % 2 else b"ok") for i in range(n))


SPLIT_SCHEMA = '{"n":{"type":"integer"},"word":{"max_len":5}}'
MIB = 1 << 20


def people():
    with open(os.path.join(OPTS.source, PEOPLE), newline="") as f:
        return list(csv.reader(f))


def project_version():
    text = open(os.path.join(OPTS.source, "CMakeLists.txt")).read()
    return re.search(r"project\(quelta VERSION ([0-9.]+)", text).group(1)


class ToolCases(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_table(self):
        head, *rows = people()
        age = head.index("age")
        numeric = [r for r in rows if r[age].isdigit()]
        # Numbers compare as numbers, anything else as text ("thirty-seven" > "85").
        old = [[r[1], r[age]] for r in rows if (int(r[age]) >= 85 if r[age].isdigit() else r[age] >= "85")]
        ages = [int(r[age]) for r in numeric]
        quoted = self.write("quoted.csv", b'a,b\n"x, y","say ""hi"""\n,\n')
        broken = self.write("broken.csv", b'a,b\n1,2\n"3,4\n5,6\n')
        bytes_file = self.write("bytes.csv", b"a\n\xff\x00\n")
        spans = self.write("spans.csv", b'a,b\n"x\ny",2\n')
        usage_rows = "Usage: quelta rows FILE"
        # (arguments, standard input, expected status, expected stdout, expected stderr start)
        cases = [
            (["columns", PEOPLE], b"", 0, "".join(f"{i}  {n}\n" for i, n in enumerate(head)), ""),
            (["rows", PEOPLE, "--select", "name,age", "--where", "age >= 85", "--format", "csv"], b"", 0,
             "name,age\n" + "".join(f"{n},{a}\n" if "," not in n else f'"{n}",{a}\n' for n, a in old), ""),
            (["rows", "examples/people.jsonl", "--where", "country in NL | CH", "--select", "#0,name",
              "--format", "json"], b"", 0,
             '{"id":"4","name":"Edsger Dijkstra"}\n{"id":"8","name":"Niklaus Wirth"}\n', ""),
            (["rows", PEOPLE, "--where", "country=US", "--not", "--where", "age<50", "--limit", "2",
              "--select", "id", "--format", "csv"], b"", 0, "id\n1\n2\n", ""),
            (["rows", quoted, "--format", "csv"], b"", 0, 'a,b\n"x, y","say ""hi"""\n,\n', ""),
            (["rows", bytes_file, "--format", "json"], b"", 0, '{"a":[255,0]}\n', ""),
            # The quote that opens on row 3 runs to the end of the file, unclosed.
            (["rows", broken, "--format", "csv"], b"", 2, "a,b\n1,2\n",
             f"quelta: {broken}: line 4: next failed: UnterminatedQuote (the quote opened at line 3)\n"),
            # A quoted line break is part of its field; --quotes line keeps a quote within its line.
            (["rows", spans, "--format", "csv"], b"", 0, 'a,b\n"x\ny",2\n', ""),
            (["count", spans], b"", 0, "1\n", ""),
            (["rows", spans, "--format", "csv", "--quotes", "line"], b"", 2, "a,b\n",
             f"quelta: {spans}: line 2, column 1: next failed: UnterminatedQuote (the quote at column 1 is not closed)\n"),
            (["rows", PEOPLE, "--select", "name", "--limit", "2", "--format", "table"], b"", 0,
             "name\n----\nAda Lovelace\nAlan Turing\n", ""),
            (["count", PEOPLE], b"", 0, f"{len(rows)}\n", ""),
            (["count", PEOPLE, "--where", "age<50"], b"", 0, f"{sum(a < 50 for a in ages)}\n", ""),
            # Every field of every row and its NUL; the first row fixes the column count.
            (["collect", PEOPLE], b"", 0,
             f"rows {len(rows)}\ncolumns {len(head)}\nbytes {sum(len(f.encode()) + 1 for r in rows for f in r)}\n", ""),
            (["stats", PEOPLE, "age"], b"", 0,
             f"column  age\ncount   {len(ages)}\nsum     {sum(ages)}\nmin     {min(ages)}\nmax     {max(ages)}\n"
             f"mean    {float(sum(ages)) / len(ages)!r}\n", ""),
            (["stats", PEOPLE, "name"], b"", 0, "column  name\ncount   0\nsum     0\nmin     -\nmax     -\nmean    -\n", ""),
            (["top", PEOPLE, "age", "-k", "2", "--asc", "--select", "name,age", "--format", "csv"], b"", 0,
             "name,age\nAda Lovelace,36\nAlan Turing,41\n", ""),
            (["sort", PEOPLE, "country", "--desc", "--select", "id,country", "--where", "id<=4",
              "--format", "csv"], b"", 0, "id,country\n3,US\n4,NL\n1,GB\n2,GB\n", ""),
            (["columnar", quoted, "--threads", "2"], b"", 0,
             '#  column  rows  empty  bytes  first values\n0  a          2      1      4  "x, y", ""\n'
             '1  b          2      1      8  "say \\"hi\\"", ""\n2 rows, 2 columns, 12 bytes of values\n', ""),
            (["check", "-", "--schema", '{"a":{"type":"integer"}}'], b"a\n1\n-2\n", 0, "standard input: valid\n", ""),
            (["check", "-", "--schema", '{"a":{"type":"integer"}}', "--list"], b"a\n1\nx\n", 1,
             '[{"values":["x"],"errors":[{"column":0,"column_name":"a","rule":"bad_type","value":"x"}]}]\n', ""),
            (["check", "-", "--input-format", "json", "--schema", '{"a":{"max":3}}'], b'{"a":5}\n', 1,
             "standard input: invalid: above_max 1 (the first invalid row, row 1; --max-errors N reads further)\n", ""),
            (["check", PEOPLE, "--schema", SCHEMA], b"", 1,
             f"{PEOPLE}: invalid: missing_required 1 (the first invalid row, row 6; --max-errors N reads further)\n",
             ""),
            (["check", "-", "--schema", '{"b":{}}'], b"a\n1\n", 2, "",
             'quelta: --schema: line 1, column 2: validate failed: UnknownColumn: no column "b" in the header\n'),
            (["validate", PEOPLE, "--schema", "{}", "--json"], b"", 0,
             '{"rows_total":20,"rows_valid":19,"rows_invalid":1,"errors_total":1,"truncated":false,'
             '"counts":{"too_few_fields":1},"errors":[{"row":17,"column":null,"column_name":"","rule":'
             '"too_few_fields","value":""}]}\n', ""),
            (["validate", PEOPLE, "--schema", '{"age":{"max":100},"country":{"one_of":["GB"]}}', "--stream"], b"",
             0, None, ""),
            # Failures and bad usage.
            (["rows", "missing.csv"], b"", 2, "", "quelta: missing.csv: open failed: FileNotFound\n"),
            (["validate", "missing.csv", "--schema", "{}"], b"", 2, "", "quelta: missing.csv: validate failed: FileNotFound\n"),
            (["rows", PEOPLE, "--select", "nope"], b"", 2, "", "quelta: no column named 'nope' in examples/people.csv"),
            (["rows", PEOPLE, "--where", "#9=1"], b"", 2, "", "quelta: no column #9 in examples/people.csv"),
            (["validate", PEOPLE, "--schema", "nope.json"], b"", 2, "", "quelta: cannot read schema nope.json: "),
            (["rows"], b"", 2, "", "quelta rows: missing arguments\n\n" + usage_rows),
            (["rows", PEOPLE, "--where", "age"], b"", 2, "", "quelta rows: cannot read --where 'age'"),
            (["rows", PEOPLE, "--format", "xml"], b"", 2, "", "quelta rows: --format takes csv, json or table"),
            (["top", PEOPLE, "age", "-k", "many"], b"", 2, "", "quelta top: option -k needs a whole number"),
            (["check", PEOPLE], b"", 2, "", "quelta check: --schema is required"),
            ([], b"", 2, "", "Usage: quelta COMMAND"),
            (["--help"], b"", 0, None, ""),
            (["sort", "--help"], b"", 0, None, ""),
            (["--version"], b"", 0, f"quelta {project_version()} (ReleaseFast)\n", ""),
        ]
        for args, stdin, status, stdout, stderr in cases:
            with self.subTest(args=args):
                got_status, got_out, got_err = run(args, stdin)
                self.assertEqual(got_status, status, got_err)
                if stdout is not None:
                    self.assertEqual(got_out, stdout)
                self.assertTrue(got_err.startswith(stderr) if stderr else got_err == "", got_err)

    def test_help_names_every_command_and_stream_lists_each_invalid_row(self):
        _, text, _ = run(["--help"])
        for command in ["columns", "rows", "count", "stats", "top", "sort", "columnar", "validate", "check",
                        "summary", "infer"]:
            self.assertIn(f"\n  {command} ", text)
            status, usage, _ = run([command, "--help"])
            self.assertEqual((status, usage.split()[:3]), (0, ["Usage:", "quelta", command]))
        status, out, _ = run(["validate", PEOPLE, "--schema", '{"age":{"max":100},"country":{"one_of":["GB","US"]}}',
                              "--stream"])
        head, *rows = people()
        bad = [i + 1 for i, r in enumerate(rows) if len(r) < len(head) or r[4] not in ("GB", "US")
               or (r[3].isdigit() and int(r[3]) > 100) or not r[3].isdigit()]
        lines = out.splitlines()
        self.assertEqual([int(line.split(":")[0].split()[1]) for line in lines[:-1]], bad)
        self.assertIn('row 7: age bad_type "thirty-seven"', lines)
        self.assertIn("row 17: too_few_fields (5 of 7 fields, no joined, active)", lines)
        self.assertEqual(lines[-1], f"{PEOPLE}: 20 rows, {20 - len(bad)} valid, {len(bad)} invalid")

    def test_help_describes_exactly_the_options_each_command_takes(self):
        """Every option a command accepts is in its --help and every option its --help names is
        accepted; docs/cli.md names every option, and the tool's --help every reading flag."""
        option = re.compile(r"(?<![\w-])(--[a-z][a-z-]*[a-z]|-[a-zA-Z])\b")
        _, tool_help, _ = run(["--help"])
        commands = re.findall(r"^  ([a-z]+) ", tool_help.split("Commands:\n")[1].split("\n\n")[0], re.M)
        self.assertEqual(len(commands), 12)
        docs = pathlib.Path(OPTS.source, "docs", "cli.md").read_text()
        helps = {command: run([command, "--help"])[1] for command in commands}
        # The probes: every option named anywhere, so that one a command accepts without naming it shows.
        probes = set(option.findall(tool_help + docs + "".join(helps.values()))) - {"-h", "--help", "-V", "--version"}
        accepted = {}
        for command, text in helps.items():
            named = set(option.findall(text)) - {"-h", "--help"}
            accepted[command] = set()
            for probe in sorted(probes | named):
                status, _, err = run([command, probe])
                with self.subTest(command=command, option=probe):
                    self.assertEqual(status, 2)
                    taken = "unknown option" not in err
                    self.assertEqual(taken, probe in named, err)
                if taken:
                    accepted[command].add(probe)
        every_option = set().union(*accepted.values())
        self.assertEqual(every_option - set(option.findall(docs)), set())
        reading = set.intersection(*accepted.values())
        self.assertEqual(len(reading), 6)
        self.assertEqual(reading - set(option.findall(tool_help)), set())

    def test_stream_json_lists_exactly_the_invalid_rows_across_batches(self):
        # Rows come in batches of 4096: invalid ones at both sides of the first boundary, none
        # in the third batch; a NUL byte and a control byte stay in the values.
        invalid = {1, 4096, 4097, 13000}
        words = {4097: b"x\x00\x08y-long"}
        data = b"n,word\n" + b"".join(b"%d,%s\n" % (n, words.get(n, b"toolongvalue") if n in invalid else b"ok")
                                      for n in range(1, 14001))
        path = self.write("rows.csv", data)
        status, out, err = run(["validate", path, "--schema", SPLIT_SCHEMA, "--stream", "--json"])
        self.assertEqual((status, err), (0, ""))
        rows = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([r["number"] for r in rows], sorted(invalid))
        self.assertEqual(rows[2]["values"], ["4097", "x\x00\x08y-long"])
        self.assertEqual({e["rule"] for r in rows for e in r["errors"]}, {"too_long"})

    def test_split_writes_both_files_and_refuses_to_overwrite(self):
        valid, invalid = os.path.join(self.dir, "v.csv"), os.path.join(self.dir, "i.jsonl")
        status, out, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--split", valid, invalid])
        self.assertEqual((status, err), (0, ""))
        with open(valid, newline="") as f:
            kept = list(csv.reader(f))
        with open(invalid) as f:
            rejected = [json.loads(line) for line in f]
        self.assertEqual(kept[0], people()[0])
        self.assertEqual(len(kept) - 1 + len(rejected), 20)
        self.assertEqual(out.splitlines()[1:], [f"  {len(kept) - 1} valid rows written to {valid}",
                                                f"  {len(rejected)} invalid rows with "
                                                f"{sum(len(r['errors']) for r in rejected)} breaches written to {invalid}"])
        status, _, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--split", valid, invalid])
        self.assertEqual((status, err),
                         (2, f"quelta: {valid}: validate_to_files failed: PathAlreadyExists (--force replaces it)\n"))

    def test_html_page_beside_the_report(self):
        page = os.path.join(self.dir, "report.html")
        _, text, _ = run(["validate", PEOPLE, "--schema", SCHEMA])
        status, out, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--html", page])
        self.assertEqual((status, err, out), (0, "", text + f"\nHTML report written to {page}\n"))
        with open(page, encoding="utf-8") as f:
            first = f.read()
        self.assertIn(f"<title>Validation report: {PEOPLE}</title>", first)
        _, report, _ = run(["validate", PEOPLE, "--schema", SCHEMA, "--json"])
        self.assertIn('id="errors-total" data-value="%d"' % json.loads(report)["errors_total"], first)
        # An existing page is refused unless --force, which replaces it whole; the JSON stays on stdout.
        status, _, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--html", page])
        self.assertEqual((status, err), (2, f"quelta: {page}: validate_html failed: PathAlreadyExists (--force replaces it)\n"))
        status, out, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--html", page, "--force", "--json",
                                "--max-errors", "2"])
        self.assertEqual((status, err, json.loads(out)["truncated"]), (0, "", True))
        with open(page, encoding="utf-8") as f:
            self.assertIn("The table lists the first 2 of", f.read())
        self.assertEqual(sorted(os.listdir(self.dir)), ["report.html"])
        for args, message in [(["--split", "v.csv", "i.jsonl"], "--html writes the report; it takes no --split or --stream"),
                              (["--stream"], "--html writes the report; it takes no --split or --stream")]:
            status, _, err = run(["validate", PEOPLE, "--schema", SCHEMA, "--html", page] + args)
            self.assertEqual((status, err.splitlines()[0]), (2, "quelta validate: " + message))

    def test_report_escapes_what_a_terminal_would_act_on(self):
        # Names and values reach the terminal with controls, C1 controls and
        # bidirectional formatting shown as escapes, never raw.
        cases = [
            (b"x\xe2\x80\xaey", '"x\\u202Ey"'),  # right-to-left override
            (b"x\xc2\x9b2Jy", '"x\\u009B2Jy"'),   # C1 control sequence introducer
            (b"x\x1b[2Jy", '"x\\x1B[2Jy"'),        # escape
            (b"x\xe2\x81\xa6y", '"x\\u2066y"'),  # left-to-right isolate
            (b"caf\xc3\xa9", '"caf\u00e9"'),      # ordinary text stays as it is
        ]
        for raw, shown in cases:
            with self.subTest(shown=shown):
                path = os.path.join(self.dir, "v.csv")
                with open(path, "wb") as f:
                    f.write(b"a\xe2\x80\xae,b\n" + raw + b",1\n")
                status, out, _ = run(["validate", path, "--schema", '{"b":{"max":0},"a\u202e":{"type":"integer"}}'])
                self.assertEqual(status, 0)
                self.assertNotIn("\u202e", out)
                self.assertIn("a\\u202E", out)
                self.assertIn(shown, out)

    def test_split_failures_leave_the_folder_as_it_was(self):
        big = self.write("big.csv", split_rows(200000))
        out = os.path.join(self.dir, "out")
        exists = "quelta: {}: validate_to_files failed: PathAlreadyExists (--force replaces it)\n"
        same = "quelta: same.csv and {} name the same file; the outputs need two\n"
        # (targets, files in the folder before, file-size limit, status, stderr)
        cases = [
            (["v.csv", "i.jsonl"], {}, None, 0, ""),
            (["v.csv", "i.jsonl"], {}, 256 * 1024, 2, "quelta: v.csv, i.jsonl: validate_to_files failed: FileTooBig\n"),
            (["v.csv", "i.jsonl"], {"i.jsonl": b"kept"}, None, 2, exists.format("i.jsonl")),
            (["v.csv", "i.jsonl"], {"v.csv": b""}, None, 2, exists.format("v.csv")),
            (["same.csv", "./same.csv"], {}, None, 2, same.format("./same.csv")),
            (["same.csv", "same.csv"], {}, None, 2, same.format("same.csv")),
            (["v.csv", "no/such/folder/i.jsonl"], {}, None, 2,
             "quelta: no/such/folder/i.jsonl: validate_to_files failed: FileNotFound\n"),
            # --force replaces files, never a folder, and only once both outputs are complete.
            (["v.csv", "i.jsonl", "--force"], {"v.csv": b"old", "i.jsonl": b"old"}, None, 0, ""),
            (["v.csv", "i.jsonl", "--force"], {"i.jsonl": b"old"}, 256 * 1024, 2,
             "quelta: v.csv, i.jsonl: validate_to_files failed: FileTooBig\n"),
            (["v.csv", "d", "--force"], {"v.csv": b"old", "d/x": b""}, None, 2,
             "quelta: d: is a folder; --force replaces files only\n"),
            (["same.csv", "./same.csv", "--force"], {"same.csv": b"old"}, None, 2, same.format("./same.csv")),
        ]
        for targets, before, fsize, status, stderr in cases:
            with self.subTest(targets=targets, before=before, fsize=fsize):
                os.mkdir(out)
                self.addCleanup(shutil.rmtree, out, ignore_errors=True)
                for name, data in before.items():
                    pathlib.Path(out, name).parent.mkdir(exist_ok=True)
                    pathlib.Path(out, name).write_bytes(data)
                got_status, _, got_err = run(["validate", big, "--schema", SPLIT_SCHEMA, "--split"] + targets,
                                             cwd=out, preexec_fn=limit(resource.RLIMIT_FSIZE, fsize))
                left = {str(p.relative_to(out)): p.read_bytes() for p in pathlib.Path(out).rglob("*") if p.is_file()}
                shutil.rmtree(out)
                self.assertEqual((got_status, got_err), (status, stderr))
                if status == 0:
                    self.assertEqual(sorted(left), sorted(targets[:2]))
                    self.assertEqual(left[targets[0]].count(b"\n") - 1 + left[targets[1]].count(b"\n"), 200000)
                else:
                    self.assertEqual(left, before)

    def test_signal_removes_split_temporaries(self):
        rows = 400000
        big = self.write("big.csv", split_rows(rows))
        # (signal, ignored by the tool's parent): an ignored signal stays ignored.
        cases = [(signal.SIGINT, False), (signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGHUP, True)]
        for sig, ignored in cases:
            with self.subTest(signal=sig.name, ignored=ignored):
                # The run must still be going when its temporaries are seen; a run that
                # finished first is repeated on a larger input.
                for _ in range(6):
                    reached = self.interrupt_split(big, sig, ignored)
                    if reached:
                        break
                    rows *= 2
                    big = self.write("big.csv", split_rows(rows))
                self.assertTrue(reached, "every run ended before the signal reached it")

    def interrupt_split(self, big, sig, ignored):
        """Signals a --split run once both of its temporaries exist; whether the signal
        came while the run was writing them (not once it had finished or was publishing)."""
        out = os.path.join(self.dir, "out")
        os.mkdir(out)

        def dispositions():
            for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(s, signal.SIG_IGN if ignored and s == sig else signal.SIG_DFL)

        try:
            p = subprocess.Popen([OPTS.tool, "validate", big, "--schema", SPLIT_SCHEMA, "--split", "v.csv", "i.jsonl"],
                                 cwd=out, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=dispositions)
            seen = []
            while p.poll() is None and len(seen) < 2:
                seen = [n for n in os.listdir(out) if n.startswith(".") and n.endswith(".tmp")]
                time.sleep(0.001)
            if len(seen) == 2:
                p.send_signal(sig)
            err = p.communicate(timeout=120)[1]
            left = sorted(os.listdir(out))
            if ignored:
                self.assertEqual((p.returncode, err, left), (0, b"", ["i.jsonl", "v.csv"]))
                return len(seen) == 2
            if p.returncode == 0 or left:
                # Finished (or publishing) before the signal: both outputs, nothing else.
                self.assertIn(p.returncode, (0, 128 + sig))
                self.assertEqual(left, ["i.jsonl", "v.csv"])
                return False
            self.assertEqual((p.returncode, err), (128 + sig, b""))
            self.assertEqual(len(seen), 2)
            return True
        finally:
            shutil.rmtree(out)

    def test_endless_inputs_end_in_a_message(self):
        sparse = os.path.join(self.dir, "sparse.csv")
        with open(sparse, "wb") as f:
            f.truncate(2 << 30)  # one line of 2 GiB of NUL bytes, stored as a hole
        people = os.path.join(OPTS.source, PEOPLE)
        check_stdin = ["check", "-", "--schema", "{}"]
        # (arguments, standard input, address-space cap, stderr start)
        cases = [
            # Standard input is copied aside to a file, not held in memory, whatever the cap.
            (check_stdin, "/dev/zero", 512 * MIB, "quelta: standard input is larger than 1 GiB, "),
            (["rows", "-"], "/dev/zero", None, "quelta: standard input is larger than 1 GiB, "),
            (["check", people, "--schema", "/dev/zero"], "/dev/null", 512 * MIB,
             "quelta: schema /dev/zero is larger than 8 MiB, "),
            (["validate", people, "--schema", "/dev/zero"], "/dev/null", None,
             "quelta: schema /dev/zero is larger than 8 MiB, "),
            # The library reads the header line, whatever the delimiter.
            (["columnar", sparse, "--delimiter", ";"], "/dev/null", 512 * MIB, f"quelta: {sparse}: line 1: open failed: OutOfMemory"),
        ]
        for args, stdin, cap, stderr in cases:
            if cap and OPTS.sanitized:
                continue  # the sanitizers reserve more address space than any cap allows
            with self.subTest(args=args, stdin=stdin, cap=cap):
                with open(stdin, "rb") as source:
                    p = subprocess.run([OPTS.tool] + args, stdin=source, capture_output=True, timeout=120,
                                       preexec_fn=limit(resource.RLIMIT_AS, cap))
                err = p.stderr.decode()
                self.assertEqual(p.returncode, 2, err)
                self.assertTrue(err.startswith(stderr) and err.count("\n") == 1, err)
                if stdin == "/dev/zero":
                    self.assertIn("save it to a file and pass its path", err)

    def test_where_refuses_what_it_cannot_read(self):
        forms = "A --where condition is one of\n  COL=V  COL==V  COL!=V  COL>V  COL>=V  COL<V  COL<=V  'COL in A|B|C'\n"
        joined = "conditions are not joined with && or ||; write --where for each"
        one = "one --where holds one condition; write --where for each"
        quotes = "the quotes around {} would be compared as part of the value; write {}"
        # (expression, what the message says is wrong)
        cases = [
            ("age>50 && country=GB", joined),
            ("age>50&&country=GB", joined),
            ("age<50 || age>80", joined),
            ("age>50, country=GB", one),
            ("age>50; country=GB", one),
            ("age>50 and country=GB", one),
            ("age>50 OR country=GB", one),
            ("age>50 country=GB", one),
            ("note=a b=c", one),
            ("country in GB|US and age>5", one),
            ("country in GB,US", "the values of 'in' are separated by |, not commas; write country in GB|US"),
            ("country in GB, US", "the values of 'in' are separated by |, not commas; write country in GB|US"),
            ("country in (GB|US)", "write the values without brackets: country in A|B|C"),
            ("country in [GB|US]", "write the values without brackets: country in A|B|C"),
            ("country in GB|", "an empty value between the |"),
            ("country in GB||US", "an empty value between the |, or conditions joined with ||; write --where for each"),
            ("country in 'GB'|US", "the quotes around 'GB' would be compared as part of the value; write the values without quotes"),
            ("country='GB'", quotes.format("'GB'", "country=GB")),
            ('country = "GB"', quotes.format('"GB"', "country=GB")),
            ("country!='GB'", quotes.format("'GB'", "country!=GB")),
            ("'country'=GB", "the quotes around the column 'country' are not part of its name"),
            ("age=>5", "unknown operator '=>'"),
            ("age=<5", "unknown operator '=<'"),
            ("age<>5", "unknown operator '<>'"),
            ("age===5", "unknown operator '==='"),
            ("age!5", "unknown operator '!'"),
            ("age > = 5", "unknown operator '>='"),
            ("age>", "no value after >"),
            ("age<=", "no value after <="),
            ("=5", "no column before the operator"),
            ("age", "no operator"),
            ("age ~ 5", "no operator"),
        ]
        for expr, why in cases:
            with self.subTest(expr=expr):
                status, out, err = run(["count", PEOPLE, "--where", expr])
                self.assertEqual((status, out), (2, ""))
                self.assertEqual(err, f"quelta count: cannot read --where '{expr}': {why}" + err[err.index("\n"):])
                self.assertIn(forms, err)

    def test_where_forms_count_as_a_reference_reading_does(self):
        """Accepted forms against a reading of the same rows in Python: numbers compare
        as numbers when both sides are numbers, anything else as bytes."""
        data = self.write("m.csv", "k,v,note\na,500,x\nb,N/A,y\nc,1e3,a=b\nd,-,!urgent\ne,,z\nf,0x200,\n"
                                   "g,1_000,Hoare, Tony\nh,499.5,\ni,inf,\nj, 7,\n".encode())
        rows = [line.split(",", 2) for line in open(data).read().splitlines()[1:]]

        def number(text):
            if re.fullmatch(r"[+-]?0[xX][0-9a-fA-F]+(\.[0-9a-fA-F]*)?([pP][+-]?\d+)?", text):
                return float.fromhex(text)
            if re.fullmatch(r"[+-]?(\d+(_\d+)*(\.(\d+(_\d+)*)?)?|\.\d+(_\d+)*)([eE][+-]?\d+(_\d+)*)?", text):
                value = float(text.replace("_", ""))
                return value if abs(value) != float("inf") else None
            return None

        def holds(value, op, ref):
            a, b = number(value), number(ref)
            x, y = (a, b) if a is not None and b is not None else (value.encode(), ref.encode())
            return {"=": x == y, "!=": x != y, ">": x > y, ">=": x >= y, "<": x < y, "<=": x <= y}[op]

        # (arguments after the file, the rows that match by the reference reading)
        cases = []
        for op in ("=", "==", "!=", ">", ">=", "<", "<="):
            for ref in ("500", "5e2", "N/A", "0x1f4", ""):
                if ref == "" and op not in ("=", "!="):
                    continue
                want = [r for r in rows if holds(r[1], op.replace("==", "="), ref)]
                cases.append((["--where", f"v{op}{ref}"], want))
                if ref and op != "==" and number(ref) is not None:
                    cases.append((["--where", f"v {op} {ref}", "--numeric"],
                                  [r for r in want if number(r[1]) is not None]))
                    cases.append((["--where", f"v{op}{ref}", "--numeric", "--not"],
                                  [r for r in rows if not (number(r[1]) is not None and holds(r[1], op, ref))]))
        cases += [
            (["--where", "v in 500|N/A|1000"], [r for r in rows if any(holds(r[1], "=", v) for v in ("500", "N/A", "1000"))]),
            (["--where", "v in 500|1000", "--numeric"],
             [r for r in rows if number(r[1]) is not None and number(r[1]) in (500, 1000)]),
            (["--where", "note=a=b"], [rows[2]]),
            (["--where", "note in !urgent"], [rows[3]]),
            (["--where", "note=Hoare, Tony"], []),  # the header has three columns: the row has four fields
        ]
        for args, want in cases:
            with self.subTest(args=args):
                status, out, err = run(["rows", data, "--select", "k", "--format", "csv"] + args)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(out.split()[1:], [r[0] for r in want])
        for value in ("N/A", "1e400", "inf", "1__0", "0x"):
            with self.subTest(numeric=value):
                status, _, err = run(["count", data, "--where", f"v>{value}", "--numeric"])
                self.assertEqual((status, err.splitlines()[0]),
                                 (2, f'quelta count: --numeric compares numbers, and "{value}" in --where '
                                     f"'v>{value}' is not one"))

    def test_mistyped_commands_and_options(self):
        # (arguments, stderr)
        cases = [
            (["rwos", PEOPLE], 'quelta: unknown command "rwos"; did you mean "rows"?\n'),
            (["cuont", PEOPLE], 'quelta: unknown command "cuont"; did you mean "count"?\n'),
            (["validat"], 'quelta: unknown command "validat"; did you mean "validate"?\n'),
            (["colums"], 'quelta: unknown command "colums"; did you mean "columns"?\n'),
            (["frobnicate"], 'quelta: unknown command "frobnicate"; the commands are columns, rows, count, collect, '
                             "stats, top, sort, columnar, validate, check, summary, infer ('quelta --help' describes them)\n"),
            (["rows", PEOPLE, "--wher", "a=1"], 'quelta rows: unknown option "--wher"; did you mean "--where"?\n'),
            (["rows", PEOPLE, "--selcet=a"], 'quelta rows: unknown option "--selcet"; did you mean "--select"?\n'),
            (["top", PEOPLE, "age", "--k", "3"], 'quelta top: unknown option "--k"; did you mean "-k"?\n'),
            (["check", PEOPLE, "--schemas", "{}"], 'quelta check: unknown option "--schemas"; did you mean "--schema"?\n'),
            (["count", PEOPLE, "--numric"], 'quelta count: unknown option "--numric"; did you mean "--numeric"?\n'),
            (["validate", PEOPLE, "--froce"], 'quelta validate: unknown option "--froce"; did you mean "--force"?\n'),
            (["count", PEOPLE, "--select", "a"],
             "quelta count: unknown option \"--select\"; 'quelta count --help' lists the options\n"),
            (["rows", PEOPLE, "--bogus"], "quelta rows: unknown option \"--bogus\"; 'quelta rows --help' lists the options\n"),
        ]
        for args, stderr in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args), (2, "", stderr))

    def test_errors_name_their_subject(self):
        bad_schema = self.write("s.json", b'{"age": {"type": "integer", "minimum": 0}}')
        nested = self.write("n.jsonl", b'{"a":1}\n{"a":[1]}\n')
        comma = self.write("comma.json", b'{\n  "age": {"type": "integer"},\n  "name": {"required": true},\n}\n')
        json_schema = self.write("js.json", b'{"$schema": "https://json-schema.org/draft/2020-12/schema",\n'
                                            b' "type": "object", "properties": {"age": {"type": "integer"}}}')
        bad_line = self.write("bad.jsonl", b'{"a":1}\n{"a":2}\n{"a" 3}\n')
        # (arguments, standard input, stderr)
        cases = [
            (["check", PEOPLE, "--schema", comma], b"",
             f"quelta: {comma}: line 3, column 29: validate failed: BadSchema: "
             "a comma before the closing bracket (JSON allows no trailing comma)\n"),
            (["check", PEOPLE, "--schema", '{"age":{"type":"int"}}'], b"",
             'quelta: --schema: line 1, column 16: validate failed: BadSchema: unknown type "int" (did you mean '
             '"integer"?); types are any, integer, float, boolean, datetime, string\n'),
            (["check", PEOPLE, "--schema", '{"age":{"min":"0"}}'], b"",
             'quelta: --schema: line 1, column 15: validate failed: BadSchema: "min" must be a number\n'),
            (["check", PEOPLE, "--schema", json_schema], b"",
             f'quelta: {json_schema}: line 1, column 2: validate failed: UnknownColumn: this looks like JSON Schema '
             '("$schema"); a schema here maps column names to rules, e.g. {"age":{"type":"integer","min":0}}\n'),
            (["rows", bad_line, "--format", "json"], b"",
             f"quelta: {bad_line}: line 3: batch failed: InvalidJson (expected ':' after key)\n"),
            (["rows", "rows.csv"], b"", "quelta: rows.csv: open failed: FileNotFound\n"),
            (["count", self.dir], b"", f"quelta: {self.dir}: open failed: IsDir\n"),
            (["rows", nested, "--format", "json"], b"",
             f'quelta: {nested}: line 2: batch failed: NestedValueNotSupported (the value of "a" is an object or an array)\n'),
            (["validate", PEOPLE, "--schema", bad_schema], b"",
             f'quelta: {bad_schema}: line 1, column 29: validate failed: BadSchema: unknown key "minimum" (did you mean "min"?)\n'),
            (["validate", PEOPLE, "--schema", bad_schema, "--stream"], b"",
             f'quelta: {bad_schema}: line 1, column 29: cannot open validator: BadSchema: unknown key "minimum" (did you mean "min"?)\n'),
            (["check", PEOPLE, "--schema", '{"agee":{}}'], b"",
             'quelta: --schema: line 1, column 2: validate failed: UnknownColumn: no column "agee" in the header (did you mean "age"?)\n'),
            (["check", "-", "--schema", "{}"], b"a\n\xff\n", "quelta: standard input: validate failed: InvalidUtf8\n"),
            (["check", "missing.csv", "--schema", "{}"], b"", "quelta: missing.csv: validate failed: FileNotFound\n"),
            (["validate", "missing.csv", "--schema", "{}", "--split", "v.csv", "i.jsonl"], b"",
             "quelta: missing.csv: validate_to_files failed: FileNotFound\n"),
        ]
        for args, stdin, stderr in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args, stdin, cwd=self.dir if "--split" in args else None)[::2], (2, stderr))

    def test_top_and_sort_say_when_numbers_are_missing(self):
        mixed = self.write("mixed.csv", b"k,n\na,10\nb,9\nc,1a\nd,\n")
        # (arguments, status, stdout, stderr)
        cases = [
            (["top", PEOPLE, "name"], 2, "",
             "quelta: top: column \"name\" has no numeric values in the 20 matching rows ('quelta sort' orders text)\n"),
            (["top", PEOPLE, "name", "--where", "country=GB"], 2, "",
             "quelta: top: column \"name\" has no numeric values in the 6 matching rows ('quelta sort' orders text)\n"),
            # No matching row, or no row asked for: an empty answer is the right one.
            (["top", PEOPLE, "age", "--where", "country=ZZ", "--select", "id,age", "--format", "csv"], 0, "id,age\n", ""),
            (["top", PEOPLE, "name", "-k", "0", "--select", "name", "--format", "csv"], 0, "name\n", ""),
            (["top", mixed, "n", "-k", "1", "--format", "csv"], 0, "k,n\na,10\n", ""),
            (["sort", PEOPLE, "country", "--select", "id,country", "--where", "id<=3", "--format", "csv"], 0,
             "id,country\n1,GB\n2,GB\n3,US\n", ""),
            (["sort", mixed, "n", "--format", "csv"], 0, "k,n\nd,\nb,9\na,10\nc,1a\n",
             'quelta: sort: column "n" holds 2 numbers and 1 text (such as "1a"); a number and a text compare as text, '
             "so this order is not numeric\n"),
        ]
        for args, status, stdout, stderr in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args), (status, stdout, stderr))

    def test_sort_matches_the_library_order(self):
        """The tool sorts by keys it works out once per row; the same rows in a file
        that holds a NUL byte (in a row the filter drops) go through quelta_order_by,
        which serves as the oracle for every case."""
        import random
        rng = random.Random(23)
        numbers = ["0", "-0", "2", "2.0", "+5", ".5", "5.", "-1.25", "1e3", "1000", "-7", "123456789012345678901",
                   "0.1", "0.10000000000000001", "9007199254740993", "-0.0", "3.14159", "1E-3", ""]
        texts = ["", "b", "a", "B", "abcdefgh", "abcdefghi", "abcdefgha", "abcdefgh\u00e9", "inf", "nan", "-Infinity",
                 "x,y", 'say "hi"', "\u00e9t\u00e9", "zz", "abc", "ab", "1a"]
        pools = {"numbers": numbers, "texts": texts}
        for name, pool in pools.items():
            lines = ["id,key,other"]
            for i in range(300):
                key = rng.choice(pool)
                quoted = '"' + key.replace('"', '""') + '"' if any(c in key for c in ',"') else key
                # Now and then a row without the key column, or with an extra field.
                width = rng.choice([3, 3, 3, 3, 1, 4])
                fields = [str(i), quoted, "r%d" % (i % 7), "extra"][:width]
                lines.append(",".join(fields))
            quick = "\n".join(lines + ["1000000,dropped,plain"]) + "\n"
            oracle = "\n".join(lines + ["1000000,dropped,nul\0byte"]) + "\n"
            quick_path = self.write(name + ".csv", quick.encode())
            oracle_path = self.write(name + "_oracle.csv", oracle.encode())
            for extra in [[], ["--desc"], ["--format", "json"], ["--desc", "--select", "key,id"], ["--limit", "50"]]:
                args = ["key", "--where", "id<1000000", "--format", "csv"] + extra
                with self.subTest(pool=name, args=extra):
                    got = run(["sort", quick_path] + args)
                    self.assertEqual(got, run(["sort", oracle_path] + args))
                    self.assertEqual(got[0], 0)

    def test_standard_input_reads_as_the_file(self):
        """Every command reads '-' as it reads the file, the input compressed or not."""
        data = open(os.path.join(OPTS.source, PEOPLE), "rb").read()
        commands = [
            ["columns"], ["rows", "--where", "age>40", "--select", "name,age"], ["count"],
            ["count", "--where", "country=GB"], ["collect"], ["stats", "age"], ["top", "age", "-k", "3"],
            ["sort", "name", "--desc"], ["columnar", "--threads", "2"], ["validate", "--schema", SCHEMA],
            ["validate", "--schema", SCHEMA, "--json"], ["validate", "--schema", SCHEMA, "--stream"],
            ["check", "--schema", SCHEMA, "--max-errors", "5"], ["summary"], ["summary", "--json"], ["infer"],
        ]
        packings = [("plain", data), ("gzip", gzip.compress(data)), ("bzip2", bz2.compress(data)),
                    ("xz", lzma.compress(data))]
        # A compressed file's name still says tab-separated.
        with tempfile.TemporaryDirectory() as folder:
            tsv = os.path.join(folder, "people.tsv.gz")
            with open(tsv, "wb") as f:
                f.write(gzip.compress(data.replace(b",", b"\t")))
            self.assertEqual(run(["count", tsv, "--where", "country=GB"]), run(["count", PEOPLE, "--where", "country=GB"]))
        for command in commands:
            want = run([command[0], PEOPLE] + command[1:])
            for name, stdin in packings:
                with self.subTest(command=command, input=name):
                    status, out, err = run([command[0], "-"] + command[1:], stdin)
                    self.assertEqual((status, out.replace("standard input", PEOPLE), err), want)

    def test_summary_and_infer(self):
        head, *rows = people()
        status, out, err = run(["summary", PEOPLE, "--json"])
        self.assertEqual((status, err), (0, ""))
        profile = json.loads(out)
        self.assertEqual(profile["rows"], len(rows))
        self.assertEqual([c["name"] for c in profile["columns"]], head)
        for i, column in enumerate(profile["columns"]):
            values = [r[i] if i < len(r) else "" for r in rows]
            self.assertEqual(column["blanks"], sum(1 for v in values if not v.strip()), head[i])
            present = sorted({v for v in values if v.strip()})
            self.assertEqual(column["distinct"]["count"], len(present), head[i])
        # The table: a title line, a heading, one line per column with its name and type.
        status, out, _ = run(["summary", PEOPLE])
        lines = out.splitlines()
        self.assertEqual((status, lines[0]), (0, f"{PEOPLE}: 20 rows, 7 columns"))
        self.assertEqual(lines[2].split()[:4], ["column", "type", "blank", "distinct"])
        self.assertEqual([line.split()[:2] for line in lines[3:]],
                         [[c["name"], c["type"]] for c in profile["columns"]])
        # infer: the file passes its schema (as well as an empty one: row 17 is short);
        # a row with a value never seen in a one_of column does not.
        status, schema, _ = run(["infer", PEOPLE])
        self.assertEqual(status, 0)
        self.assertEqual(json.loads(schema)["id"], {"type": "integer", "required": True, "min": 1, "max": 20})
        path = self.write("schema.json", schema.encode())
        self.assertEqual(run(["validate", PEOPLE, "--schema", path])[1], run(["validate", PEOPLE, "--schema", "{}"])[1])
        good = [r for r in rows if len(r) == len(head)]
        data = "\n".join(",".join(f'"{v}"' for v in r) for r in [head] + good) + "\n"
        self.assertEqual(run(["check", "-", "--schema", path], data.encode())[0], 0)
        bad = data + "21,Nobody,x@example.org,40,ZZ,2020-01-01,true\n"
        self.assertEqual(run(["check", "-", "--schema", path], bad.encode())[0], 1)
        one = self.write("one.csv", b"only\n1\n")
        self.assertEqual(run(["summary", one])[1].splitlines()[0], f"{one}: 1 row, 1 column")
        # Any number of threads gives the same profile and schema.
        for threads in ("1", "3"):
            self.assertEqual(run(["summary", PEOPLE, "--json", "--threads", threads]), run(["summary", PEOPLE, "--json"]))
            self.assertEqual(run(["infer", PEOPLE, "--threads", threads])[1], schema)
        # Failures name the file.
        status, _, err = run(["summary", "missing.csv"])
        self.assertEqual((status, err), (2, "quelta: missing.csv: open failed: FileNotFound\n"))

    def test_check_gives_its_reasons(self):
        status, report, _ = run(["validate", PEOPLE, "--schema", SCHEMA, "--json"])
        report = json.loads(report)
        invalid_rows = sorted({e["row"] for e in report["errors"]})
        every = ", ".join(f"{rule} {n}" for rule, n in report["counts"].items())
        further = "; --max-errors N reads further"
        # (arguments, standard input, stdout); the report of 'validate' is the reference.
        cases = [
            ([PEOPLE], b"", f"{PEOPLE}: invalid: missing_required 1 (the first invalid row, row 6{further})\n"),
            ([PEOPLE, "--max-errors", "3"], b"",
             f"{PEOPLE}: invalid: missing_required 1, bad_type 2 (the first 3 invalid rows, rows 6 to 9{further})\n"),
            ([PEOPLE, "--max-errors", "100"], b"",
             f"{PEOPLE}: invalid: {every} (all {report['rows_invalid']} invalid rows, rows {invalid_rows[0]} to "
             f"{invalid_rows[-1]})\n"),
            (["-"], open(os.path.join(OPTS.source, PEOPLE), "rb").read(),
             f"standard input: invalid: missing_required 1 (the first invalid row, row 6{further})\n"),
            (["-", "--max-errors", "100"], open(os.path.join(OPTS.source, PEOPLE), "rb").read(),
             f"standard input: invalid: {every} (all {report['rows_invalid']} invalid rows, rows {invalid_rows[0]} to "
             f"{invalid_rows[-1]})\n"),
        ]
        # The report counts rules in order of first sight by row; check must agree.
        self.assertEqual(list(report["counts"]), ["too_few_fields", "missing_required", "bad_type", "above_max",
                                                  "not_in_set"])
        cases[2] = (cases[2][0], b"", cases[2][2].replace(every, "missing_required 1, bad_type 3, above_max 1, "
                                                                 "too_few_fields 1, not_in_set 1"))
        cases[4] = (cases[4][0], cases[4][1], cases[4][2].replace(every, "missing_required 1, bad_type 3, "
                                                                         "above_max 1, too_few_fields 1, not_in_set 1"))
        for args, stdin, stdout in cases:
            with self.subTest(args=args):
                self.assertEqual(run(["check"] + args + ["--schema", SCHEMA], stdin), (1, stdout, ""))
        status, out, _ = run(["check", PEOPLE, "--schema", SCHEMA, "--list", "--max-errors", "2"])
        self.assertEqual((status, [r["errors"][0]["rule"] for r in json.loads(out)]), (1, ["missing_required", "bad_type"]))
        self.assertEqual(run(["check", PEOPLE, "--schema", SCHEMA, "--max-errors", "0"])[0], 2)

    def test_schema_document_examples(self):
        """docs/schema.md: each type's accepted and refused values, run through check."""
        doc = open(os.path.join(OPTS.source, "docs", "schema.md")).read()
        for kind in ("integer", "float", "boolean", "datetime"):
            section = re.search(r"### `%s`\n(.*?)(?=\n### |\Z)" % kind, doc, re.S).group(1)
            cells = re.findall(r"^\|\s*(?:`([^`]*)`)?\s*\|\s*(?:`([^`]*)`)?\s*\|$", section, re.M)
            accepted, refused = [a for a, _ in cells if a], [r for _, r in cells if r]
            self.assertGreaterEqual(min(len(accepted), len(refused)), 4, kind)
            text = io.StringIO()
            csv.writer(text, lineterminator="\n").writerows([["v"]] + [[v] for v in accepted + refused])
            # Surrounding spaces and tabs are ignored, as the page says.
            csv.writer(text, lineterminator="\n").writerows([[f" \t{v} "] for v in accepted])
            with self.subTest(type=kind):
                status, out, err = run(["check", "-", "--schema", json.dumps({"v": {"type": kind}}), "--list"],
                                       text.getvalue().encode())
                self.assertEqual(sorted(r["values"][0] for r in json.loads(out)), sorted(refused), err)

    def test_closed_pipe_ends_quietly(self):
        big = self.write("big.csv", b"n,text\n" + b"".join(b"%d,some text here\n" % i for i in range(300000)))
        for args in (["rows", big, "--format", "csv"], ["rows", big, "--format", "json"]):
            p = subprocess.Popen([OPTS.tool] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            first = p.stdout.readline()
            p.stdout.close()
            err = p.stderr.read()
            p.stderr.close()
            self.assertEqual((p.wait(), err), (0, b""), args)
            self.assertIn(first, (b"n,text\n", b'{"n":"0","text":"some text here"}\n'))


def run_bytes(args, stdin=b"", cwd=None):
    p = subprocess.run([OPTS.tool] + args, input=stdin, capture_output=True, cwd=cwd or OPTS.source, timeout=120)
    return p.returncode, p.stdout, p.stderr.decode("utf-8", "replace")


# Windows-1252 leaves five bytes unassigned; they read as the C1 controls of the same number.
codecs.register_error("c1_controls", lambda e: (e.object[e.start:e.end].decode("latin-1"), e.end))


def python_csv(data, delimiter=",", encoding="utf-8", strict=False):
    """The records Python's csv module reads from data, header first (strict: an
    unclosed quote raises csv.Error)."""
    csv.field_size_limit(1 << 30)
    errors = "c1_controls" if encoding == "cp1252" else "strict"
    with io.TextIOWrapper(io.BytesIO(data), encoding=encoding, errors=errors, newline="") as f:
        return list(csv.reader(f, delimiter=delimiter, strict=strict))


def python_json_rows(data, array):
    """The rows Python's json module reads from JSON lines or one array, each value as
    the tool gives it: numbers as written, null empty, nested values as compact text."""
    text = data.decode("utf-8-sig")
    if array:
        values, literals = json.loads(text), json.loads(text, parse_int=str, parse_float=str)
    else:
        lines = [line for line in text.splitlines() if line.strip()]
        values = [json.loads(line) for line in lines]
        literals = [json.loads(line, parse_int=str, parse_float=str) for line in lines]
    def shown(value, literal):
        if isinstance(value, (dict, list)):
            return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
        if isinstance(value, bool):
            return "true" if value else "false"
        return "" if value is None else literal
    head = list(values[0])
    return [head] + [[shown(v.get(k), l.get(k)) for k in head] for v, l in zip(values, literals)]


def is_utf8(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def tool_value(value):
    """A value of the tool's JSON rows as bytes: a string, or an array of byte values."""
    return bytes(value) if isinstance(value, list) else value.encode()


LONG_TEXT = "a long note\r\nover many lines,\n" * 12000  # 380 KiB: past the read buffer's 256 KiB


class ReadingFiles(unittest.TestCase):
    """The tool reads delimited and JSON files as Python's csv and json modules do."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data, folder=None):
        path = os.path.join(folder or self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    # (file name, bytes, tool flags, Python csv delimiter, Python encoding, tool keeps the bytes as read)
    CSV_CASES = [
        ("tabs.tsv", b'name\tnote\nAda\t"a\ttab"\nBob\tx,y\n', [], "\t", "utf-8", False),
        ("tabs.TAB", b"name\tnote\nAda\tx,y\n", [], "\t", "utf-8", False),
        ("tabs.txt", b'name\tnote\nAda\t"a\ttab"\n', ["--delimiter", "tab"], "\t", "utf-8", False),
        ("semi.csv", b'a;b;c\n1;"2;3";4\r\n5;;"6 ""q"""\n', ["--delimiter", ";"], ";", "utf-8", False),
        ("pipe.csv", b'a|b\n"x|y"|z\n|\n', ["--delimiter", "|"], "|", "utf-8", False),
        ("bom.csv", b"\xef\xbb\xbfid,name\n1,Ada\n", [], ",", "utf-8-sig", False),
        ("bomq.csv", b'\xef\xbb\xbf"id",name\n1,Ada\n', [], ",", "utf-8-sig", False),
        ("cr.csv", b'a,b\r1,"x\ry"\r2,3', ["--line-ends", "any"], ",", "utf-8", False),
        ("mixed.csv", b"a,b\r1,2\r\n3,4\n5,6\r", ["--line-ends", "any"], ",", "utf-8", False),
        ("latin1.csv", b'n\xe9,b\n\xe9t\xe9,"\xa3 5"\n', ["--encoding", "latin1"], ",", "latin-1", False),
        ("cp1252.csv", b'name,price\ncaf\xe9,\x805\n"\x93q\x94",\x81\n', ["--encoding", "cp1252"], ",", "cp1252",
         False),
        # Without --encoding the bytes pass through, and JSON shows them as arrays.
        ("raw.csv", b"n\xe9,b\n\xe9t\xe9,x\n", [], ",", "latin-1", True),
        ("breaks.csv", b'id,text\n1,"one\ntwo"\n2,"crlf\r\nin, ""it"""\n3,plain\n', [], ",", "utf-8", False),
        ("long.csv", b"id,text\n" + b"".join(b"%d,short\n" % i for i in range(3000)) +
         b'3000,"' + LONG_TEXT.encode() + b'"\n3001,end', [], ",", "utf-8", False),
        ("stray.csv", b'a,b\nx"y,"q"r\n "s",t\n,\n', [], ",", "utf-8", False),
    ]

    def test_delimited_files_read_as_python_csv(self):
        for name, data, flags, delimiter, encoding, raw in self.CSV_CASES:
            with self.subTest(file=name, flags=flags):
                path = self.write(name, data)
                head, *rows = python_csv(data, delimiter, encoding)
                out_encoding = encoding if raw else "utf-8"
                as_bytes = [[f.encode(out_encoding) for f in r] for r in rows]
                status, out, err = run_bytes(["rows", path, "--format", "json"] + flags)
                self.assertEqual((status, err), (0, ""))
                got = [json.loads(line, object_pairs_hook=list) for line in out.splitlines()]
                self.assertEqual([[tool_value(v) for _, v in r] for r in got], as_bytes)
                keys = [n if is_utf8(n.encode(out_encoding)) else f"#{i}" for i, n in enumerate(head)]
                self.assertTrue(all([k for k, _ in r] == keys for r in got))
                status, out, err = run_bytes(["rows", path, "--format", "csv"] + flags)
                self.assertEqual(python_csv(out, ",", out_encoding), [head] + rows)
                status, out, _ = run_bytes(["count", path] + flags)
                self.assertEqual(out, b"%d\n" % len(rows))
                status, out, err = run_bytes(["columnar", path, "--threads", "4"] + flags)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(out.splitlines()[-1].decode(),
                                 f"{len(rows)} rows, {len(head)} columns, {sum(map(len, sum(as_bytes, [])))} "
                                 "bytes of values")

    # Files split among threads, with quoted line breaks on every side of the split points.
    def test_threads_split_outside_quotes(self):
        small = b'1,"a\nb, c\r\nd"\n'
        long_case = next(c for c in self.CSV_CASES if c[0] == "long.csv")
        for name, data in [("small.csv", b"id,text\n" + small * 20000), long_case[:2]]:
            head, *rows = python_csv(data)
            path = self.write(name, data)
            for threads in ("2", "4"):
                with self.subTest(file=name, threads=threads):
                    status, out, err = run_bytes(["columnar", path, "--threads", threads])
                    self.assertEqual((status, err), (0, ""))
                    self.assertEqual(out.splitlines()[-1].decode(),
                                     f"{len(rows)} rows, {len(head)} columns, "
                                     f"{sum(len(f.encode()) for r in rows for f in r)} bytes of values")

    def test_json_rows_read_as_python_json(self):
        nested = b'{"id":1,"tags":["a","b"],"meta":{"k":{"x":null}},"ok":true}\n{"id":2,"tags":[],"meta":{},"ok":null}\n'
        array = b'\xef\xbb\xbf [{"a":"x\\u00e9","b":1.50,"c":-0},\n {"a":"","b":1e3,"c":false}]'
        lines = b'{"a":"1","b":2}\r\n{"a":"q\\"","b":null}\n'
        # (file name, bytes, tool flags, whether Python reads one array)
        cases = [
            ("nested.jsonl", nested, ["--nested", "text"], False),
            ("array.json", array, [], True),
            ("array.txt", array, ["--input-format", "json"], True),
            ("lines.txt", lines, ["--input-format", "json"], False),
            ("lines.data", lines, ["--input-format", "jsonl"], False),
        ]
        for name, data, flags, is_array in cases:
            with self.subTest(file=name, flags=flags):
                path = self.write(name, data)
                head, *rows = python_json_rows(data, is_array)
                status, out, err = run_bytes(["rows", path, "--format", "json"] + flags)
                self.assertEqual((status, err), (0, ""))
                got = [json.loads(line, object_pairs_hook=list) for line in out.splitlines()]
                self.assertEqual([[k for k, _ in r] for r in got], [head] * len(rows))
                self.assertEqual([[v for _, v in r] for r in got], rows)

    def test_failures_and_bad_flags(self):
        last_line = b"a,b\n1,2\n3,\"open\n"
        with self.assertRaises(csv.Error):
            python_csv(last_line, strict=True)
        nested = self.write("nested.jsonl", b'{"a":[1]}\n')
        # (file bytes, arguments after the file, status, stdout, stderr start)
        cases = [
            (last_line, ["rows", "--format", "csv"], 2, b"a,b\n1,2\n",
             "quelta: {}: line 3, column 3: next failed: UnterminatedQuote (the quote at column 3 is not closed)\n"),
            (last_line, ["count"], 2, b"", "quelta: {}: count failed: UnterminatedQuote\n"),
            (last_line, ["columnar"], 2, b"", "quelta: {}: parallel scan failed: UnterminatedQuote\n"),
            (last_line, ["check", "--schema", "{}"], 2, b"",
             "quelta: {}: line 3, column 3: validate failed: UnterminatedQuote (the quote at column 3 is not closed)\n"),
            (b"a\n1\n", ["rows", "--delimiter", ";;"], 2, b"", "quelta rows: --delimiter takes one byte"),
            (b"a\n1\n", ["count", "--delimiter", '"'], 2, b"", "quelta count: --delimiter takes one byte"),
            (b"a\n1\n", ["columns", "--encoding", "ebcdic"], 2, b"", "quelta columns: --encoding takes utf-8"),
            (b"a\n1\n", ["stats", "a", "--quotes", "none"], 2, b"", "quelta stats: --quotes takes rfc4180 or line"),
            (b"a\n1\n", ["check", "--schema", "{}", "--input-format", "xml"], 2, b"",
             "quelta check: --input-format takes csv, jsonl or json"),
            (b"a\n1\n", ["validate", "--schema", "{}", "--nested", "yes"], 2, b"",
             "quelta validate: --nested takes refuse or text"),
            (b"a\n1\n", ["columnar", "--line-ends", "cr"], 2, b"", "quelta columnar: --line-ends takes lf or any"),
        ]
        for data, args, status, stdout, stderr in cases:
            with self.subTest(args=args):
                path = self.write("data.csv", data)
                got = run_bytes([args[0], path] + args[1:])
                self.assertEqual(got[:2], (status, stdout))
                self.assertTrue(got[2].startswith(stderr.replace("{}", path)), got[2])
        status, _, err = run_bytes(["rows", nested])
        self.assertEqual((status, err), (2, f'quelta: {nested}: line 1: next failed: NestedValueNotSupported '
                                            '(the value of "a" is an object or an array)\n'))

    def test_every_command_reads_with_the_flags(self):
        """Each command gives the same output on a semicolon-separated Windows-1252 file
        with lone CR line ends, read with the flags, as on the plain UTF-8 CSV file that
        Python's csv module writes from the records it reads there."""
        odd = 'id;name;score\r1;"Café; bar";10\r2;“Quote”;x\r3;"two\rlines";7\r4;;30\r'.encode("cp1252")
        records = python_csv(odd, ";", "cp1252")
        plain = io.StringIO(newline="")
        csv.writer(plain, lineterminator="\n").writerows(records)
        flags = ["--delimiter", ";", "--encoding", "cp1252", "--line-ends", "any"]
        odd_dir, plain_dir = os.path.join(self.dir, "odd"), os.path.join(self.dir, "plain")
        os.mkdir(odd_dir)
        os.mkdir(plain_dir)
        self.write("data.txt", odd, odd_dir)
        self.write("data.txt", plain.getvalue().encode(), plain_dir)
        schema = '{"score":{"type":"integer","max":20},"name":{"required":true}}'
        commands = [
            ["columns"], ["rows", "--format", "json"], ["rows", "--where", "score>5", "--select", "name"],
            ["count"], ["count", "--where", "name!="], ["collect"], ["stats", "score"],
            ["top", "score", "-k", "2"], ["sort", "name", "--format", "json"],
            ["columnar", "--threads", "2"], ["columnar", "--select", "name,id"],
            ["validate", "--schema", schema], ["validate", "--schema", schema, "--json"],
            ["validate", "--schema", schema, "--stream"], ["validate", "--schema", schema, "--stream", "--json"],
            ["validate", "--schema", schema, "--split", "v.csv", "i.jsonl"],
            ["check", "--schema", schema], ["check", "--schema", schema, "--list"],
            ["summary"], ["summary", "--json", "--select", "name,score"], ["infer"],
        ]
        for command in commands:
            with self.subTest(command=command):
                args = [command[0], "data.txt"] + command[1:]
                want = run_bytes(args, cwd=plain_dir)
                self.assertEqual(run_bytes(args + flags, cwd=odd_dir), want)
                if "--split" in command:
                    for name in ("v.csv", "i.jsonl"):
                        self.assertEqual(pathlib.Path(odd_dir, name).read_bytes(),
                                         pathlib.Path(plain_dir, name).read_bytes())
        # Standard input takes the same flags.
        for extra in ([], ["--list"]):
            with self.subTest(stdin=extra):
                args = ["check", "-", "--schema", schema] + extra
                self.assertEqual(run_bytes(args + flags, stdin=odd), run_bytes(args, stdin=plain.getvalue().encode()))


class ReadmeTour(unittest.TestCase):
    """The README's console examples and its C example must give what the README shows."""

    def setUp(self):
        self.readme = open(os.path.join(OPTS.source, "README.md")).read()

    def test_tool_commands(self):
        blocks = re.findall(r"```console\n(.*?)```", self.readme, re.S)
        commands = 0
        for block in blocks:
            for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
                command, _, expected = chunk.partition("\n")
                argv = shlex.split(command)
                self.assertEqual(argv[0], "quelta", command)
                with self.subTest(command=command):
                    status, out, err = run(argv[1:])
                    self.assertEqual(err, "")
                    self.assertIn(status, (0, 1))
                    self.assertEqual(out, expected)
                commands += 1
        self.assertGreaterEqual(commands, 5)

    def test_reading_guide(self):
        """docs/reading-real-files.md: its shell sessions, run in order in an empty folder."""
        guide = open(os.path.join(OPTS.source, "docs", "reading-real-files.md")).read()
        env = dict(os.environ, PATH=os.path.dirname(OPTS.tool) + os.pathsep + os.environ["PATH"])
        commands = 0
        with tempfile.TemporaryDirectory() as tmp:
            for block in re.findall(r"```console\n(.*?)```", guide, re.S):
                for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
                    command, _, expected = chunk.partition("\n")
                    with self.subTest(command=command):
                        p = subprocess.run(["sh", "-c", command], capture_output=True, cwd=tmp, env=env)
                        self.assertEqual((p.returncode, p.stderr, p.stdout.decode()), (0, b"", expected))
                    commands += 1
        self.assertGreaterEqual(commands, 10)

    def test_c_example(self):
        if not OPTS.cc:
            self.skipTest("no C compiler given")
        code, expected = re.search(r"```c\n(.*?)```.*?```text\n(.*?)```", self.readme, re.S).groups()
        with tempfile.TemporaryDirectory() as tmp:
            source, program = os.path.join(tmp, "tour.c"), os.path.join(tmp, "tour")
            with open(source, "w") as f:
                f.write(code)
            build = [OPTS.cc, *shlex.split(OPTS.cflags), "-std=c99", "-Wall", "-Werror", "-I",
                     os.path.join(OPTS.source, "include"), source, "-o", program, "-L", OPTS.libdir, "-lquelta",
                     "-Wl,-rpath," + OPTS.libdir]
            subprocess.run(build, check=True)
            p = subprocess.run([program], capture_output=True, text=True, cwd=OPTS.source)
            self.assertEqual((p.returncode, p.stderr, p.stdout), (0, "", expected))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cc", default="")
    parser.add_argument("--cflags", default="")
    parser.add_argument("--libdir", default="")
    parser.add_argument("--sanitized", action="store_true", help="the tool is built with the sanitizers")
    OPTS, rest = parser.parse_known_args()
    OPTS.tool, OPTS.source = os.path.abspath(OPTS.tool), os.path.abspath(OPTS.source)
    unittest.main(argv=[sys.argv[0]] + rest)
