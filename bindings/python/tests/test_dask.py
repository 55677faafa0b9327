"""quelta.dask on a real two-process LocalCluster, against the same work done in this process."""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import random
import shutil
import signal
import tempfile
import threading
import time
import unittest
from operator import itemgetter

import quelta

try:
    import distributed
except ImportError:
    raise unittest.SkipTest("Dask's distributed scheduler cannot be imported (Debian: python3-distributed)") from None

import quelta.dask as qd

HEADER = ("id", "name", "price", "city")
# Repeated keys across and inside files, written differently (10, 10.0, 1e1), and non-numbers.
PRICES = ["10", "10.0", "1e1", "7", "0.1", "0.7", "-3", "2.5", "abc", "", "100", "1e2", "-0.0", "0"]
CITIES = ["Oslo", "Rome", "Lima", ""]
SCHEMA = {"price": {"type": "float", "min": 0}, "city": {"required": True, "one_of": ["Oslo", "Rome", "Lima"]}}


def make_rows(seed: int, n: int) -> list[tuple[str, ...]]:
    rnd = random.Random(seed)
    return [(str(i), f"n{seed}-{i}", rnd.choice(PRICES), rnd.choice(CITIES)) for i in range(n)]


def csv_text(rows: list[tuple[str, ...]], header: tuple[str, ...] = HEADER) -> str:
    return "\n".join(",".join(r) for r in [header, *rows]) + "\n"


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def jsonl_text(rows: list[tuple[str, ...]]) -> str:
    return "".join(json.dumps(dict(zip(HEADER, r))) + "\n" for r in rows)


class DaskTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.dir = tempfile.mkdtemp(prefix="quelta-dask-")
        cls.rows: dict[str, list[tuple[str, ...]]] = {}

        def write(name: str, text: str, rows: list[tuple[str, ...]] | None = None) -> str:
            path = os.path.join(cls.dir, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
            cls.rows[path] = rows or []
            return path

        good = []
        for i in range(5):
            rows = make_rows(i, 40 + 30 * i)
            good.append(write(f"part{i}.csv", csv_text(rows), rows))
        rows = make_rows(9, 50)
        good.insert(2, write("part9.jsonl", jsonl_text(rows), rows))
        good.insert(4, write("header_only.csv", csv_text([])))
        good.append(write("sub/part0.csv", csv_text(make_rows(3, 20)), make_rows(3, 20)))  # same name as another input
        cls.good = good
        cls.missing = os.path.join(cls.dir, "missing.csv")
        cls.cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
        )
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.client.close()
        cls.cluster.close()
        shutil.rmtree(cls.dir)

    def run_both(self, fn, *args, **kw):
        return getattr(qd, fn)(self.good, *args, client=self.client, **kw)

    def test_read_table_one_partition_per_file(self) -> None:
        import pandas as pd

        parts = [p for p in self.good if os.path.basename(p).startswith("part") and p.endswith(".csv")]
        # price holds "abc" and blanks: text; a file whose id column had blanks would be Int64 too.
        frame = qd.read_table(parts, columns=["id", "price", "city"], where=("city", "!=", "Rome"))
        self.assertEqual(frame.npartitions, len(parts))
        self.assertEqual([str(t) for t in frame.dtypes], ["Int64", "object", "object"])
        got = self.client.compute(frame).result()
        want = pd.concat([quelta.read_table(p, columns=["id", "price", "city"], where=("city", "!=", "Rome")) for p in parts])
        pd.testing.assert_frame_equal(got.reset_index(drop=True), want.astype({"id": "Int64"}).reset_index(drop=True))
        self.assertNotIn("Rome", set(got["city"].dropna()))

    def test_count_and_columns(self) -> None:
        for where in (None, ("price", ">", 5), {"city": ["Oslo", "Lima"]}):
            expected = [(p, quelta.open(p, where=where).count()) for p in self.good]
            got = qd.count(self.good, where=where, client=self.client)
            self.assertEqual((got.value, got.per_file, got.failures), (sum(n for _, n in expected), expected, []))
        self.assertEqual(qd.count(self.good, client=self.client).value, sum(len(r) for r in self.rows.values()))
        self.assertEqual(qd.columns(self.good, client=self.client).value, HEADER)

        odd = os.path.join(self.dir, "odd", "x.csv")
        os.makedirs(os.path.dirname(odd), exist_ok=True)
        with open(odd, "w") as f:
            f.write("id,name\n1,a\n")
        with self.assertRaises(qd.ColumnsDiffer) as caught:
            qd.columns(self.good[:2] + [odd, self.missing], client=self.client)
        self.assertEqual(caught.exception.paths, [odd])
        self.assertIn(odd, str(caught.exception))
        self.assertEqual([f.path for f in caught.exception.result.failures], [self.missing])

    def test_aggregate_merges_as_one_pass(self) -> None:
        for where in (None, ("city", "==", "Rome"), ("price", "<", -100)):
            per_file = [(p, quelta.open(p, where=where).aggregate("price")) for p in self.good]
            got = qd.aggregate(self.good, "price", where=where, client=self.client)
            self.assertEqual(got.per_file, per_file)
            self.assertEqual(got.value, qd.merge_aggregates(r for _, r in per_file))
        # An independent oracle: Python's own reading of the values, per-file sums added in file order.
        got = qd.aggregate(self.good, "price", client=self.client).value
        values = [[float(r[2]) for r in self.rows[p] if r[2] not in ("abc", "")] for p in self.good]
        total = 0.0
        for file_values in values:
            partial = 0.0
            for v in file_values:
                partial += v
            total += partial
        flat = [v for vs in values for v in vs]
        self.assertEqual((got.count, got.sum, got.min, got.max), (len(flat), total, min(flat), max(flat)))
        self.assertEqual(got.mean, total / len(flat))
        nothing = qd.aggregate(self.good, "price", where=("price", "<", -100), client=self.client).value
        self.assertEqual(nothing, quelta.AggregateResult(0, 0.0, 0.0, 0.0, 0.0, False))

    def test_aggregate_of_integers_equals_one_pass(self) -> None:
        # Integer values add exactly, so merging per-file sums gives the single pass over all rows.
        paths = []
        for i in range(3):
            path = os.path.join(self.dir, f"ints{i}.csv")
            with open(path, "w") as f:
                f.write("v\n" + "".join(f"{(j * 7919 + i) % 1000 - 500}\n" for j in range(200)))
            paths.append(path)
        joined = os.path.join(self.dir, "ints_all.csv")
        with open(joined, "w") as f:
            f.write("v\n" + "".join(read(p).decode().split("\n", 1)[1] for p in paths))
        self.assertEqual(qd.aggregate(paths, "v", client=self.client).value, quelta.open(joined).aggregate("v"))

    def test_topk_ties_follow_file_order(self) -> None:
        for k, descending in ((5, True), (7, False), (1000, True), (0, True)):
            per_file = [(p, quelta.open(p).topk("price", k, descending)) for p in self.good]
            candidates = [(key, row, p) for p, best in per_file for key, row in best]
            expected = sorted(candidates, key=itemgetter(0), reverse=descending)[:k]
            got = qd.topk(self.good, "price", k, descending=descending, client=self.client)
            self.assertEqual((got.value, got.per_file), (expected, per_file))
            # The keys are those of every numeric value across all files.
            keys = sorted((float(r[2]) for p in self.good for r in self.rows[p] if r[2] not in ("abc", "")), reverse=descending)
            self.assertEqual([key for key, _, _ in got.value], keys[:k])
        # With equal keys everywhere, the first file's rows come first.
        best = qd.topk(self.good, "price", 3, client=self.client).value
        self.assertEqual(best[0][0], 100.0)
        self.assertEqual([p for _, _, p in best], sorted([p for _, _, p in best], key=self.good.index))

    def test_validate(self) -> None:
        per_file = [(p, quelta.validate(p, SCHEMA, max_errors=3)) for p in self.good]
        got = qd.validate(self.good, SCHEMA, max_errors=3, client=self.client)
        self.assertEqual(got.per_file, per_file)
        self.assertEqual(got.value.rows_total, sum(len(r) for r in self.rows.values()))
        for name in ("rows_total", "rows_valid", "rows_invalid", "errors_total"):
            self.assertEqual(getattr(got.value, name), sum(getattr(r, name) for _, r in per_file))
        for rule in ("below_min", "bad_type", "missing_required", "not_in_set"):
            self.assertEqual(got.value.counts.get(rule, 0), sum(r.counts.get(rule, 0) for _, r in per_file))
        self.assertTrue(got.value.truncated)

    def test_read_keywords_reach_every_task(self) -> None:
        # Semicolons, Latin-1 and quoted line breaks: only these keywords read the files right.
        dialect = {"delimiter": ";", "encoding": "latin-1", "quoting": "rfc4180"}
        folder = os.path.join(self.dir, "dialect")
        os.makedirs(folder, exist_ok=True)
        paths = []
        for i in range(3):
            rows = make_rows(20 + i, 30)
            text = ";".join(HEADER) + "\n" + "".join(f'{r[0]};"{r[1]}\n\u00e9";{r[2]};{r[3]}\n' for r in rows)
            paths.append(os.path.join(folder, f"d{i}.csv"))
            with open(paths[-1], "wb") as f:
                f.write(text.encode("latin-1"))
        local = [(p, quelta.open(p, **dialect).topk("price", 4)) for p in paths]
        self.assertEqual(qd.topk(paths, "price", 4, client=self.client, **dialect).per_file, local)
        self.assertEqual(qd.count(paths, client=self.client, **dialect).value, 90)
        self.assertEqual(qd.columns(paths, client=self.client, **dialect).value, HEADER)
        local = [(p, quelta.open(p, **dialect).aggregate("price")) for p in paths]
        self.assertEqual(qd.aggregate(paths, "price", client=self.client, **dialect).per_file, local)
        local = [(p, quelta.validate(p, SCHEMA, **dialect)) for p in paths]
        self.assertEqual(qd.validate(paths, SCHEMA, client=self.client, **dialect).per_file, local)
        out = os.path.join(folder, "out")
        got = qd.validate_to_files(paths, SCHEMA, out, client=self.client, **dialect)
        self.assertEqual(got.failures, [])
        for (path, written), (valid, invalid) in zip(got.per_file, qd.output_names(paths, out)):
            ref = (valid + ".ref", invalid + ".ref")
            self.assertEqual(written.stats, quelta.validate_to_files(path, SCHEMA, *ref, **dialect))
            outputs = [read(valid), read(invalid)]
            self.assertEqual(outputs, [read(r) for r in ref])
            self.assertIn("\u00e9".encode(), b"".join(outputs))  # transcoded to UTF-8

    def test_failures_do_not_lose_the_others(self) -> None:
        bad_binding = os.path.join(self.dir, "bad", "no_city.csv")
        os.makedirs(os.path.dirname(bad_binding), exist_ok=True)
        with open(bad_binding, "w") as f:
            f.write("id,name,price\n1,a,5\n")
        inputs = [self.good[0], self.missing, self.good[1], bad_binding]
        got = qd.validate(inputs, SCHEMA, client=self.client)
        self.assertEqual([p for p, _ in got.per_file], [self.good[0], self.good[1]])
        self.assertEqual(got.failures, [qd.Failure(self.missing, "validate failed: FileNotFound"),
                                        qd.Failure(bad_binding, self.library_error(bad_binding).message)])
        self.assertEqual(got.value.rows_total, quelta.validate(self.good[0], SCHEMA).rows_total
                         + quelta.validate(self.good[1], SCHEMA).rows_total)
        with self.assertRaises(quelta.FileNotFound) as caught:
            qd.count([self.good[0], self.missing], client=self.client, errors="raise")
        self.assertIn(self.missing, "".join(caught.exception.__notes__))
        # The default client is used when none is given.
        self.assertEqual(qd.count(self.good[:2]).value, sum(len(self.rows[p]) for p in self.good[:2]))
        with self.assertRaises(quelta.FileNotFound):
            qd.count(os.path.join(self.dir, "nothing*.csv"), client=self.client)

    def library_error(self, path: str) -> quelta.Error:
        try:
            quelta.validate(path, SCHEMA)
        except quelta.Error as exc:
            return exc
        raise AssertionError("expected a failure")

    def test_validate_to_files(self) -> None:
        broken = os.path.join(self.dir, "broken", "torn.csv")
        os.makedirs(os.path.dirname(broken), exist_ok=True)
        with open(broken, "w") as f:
            f.write(csv_text(make_rows(4, 300)) + '5,x,"1,Oslo\n')  # valid rows, then an open quote
        out = os.path.join(self.dir, "out")
        inputs = self.good + [broken]
        got = qd.validate_to_files(inputs, SCHEMA, out, client=self.client)
        self.assertEqual([f.path for f in got.failures], [broken])
        expected_dir = tempfile.mkdtemp(dir=self.dir)
        for (path, written), (valid, invalid) in zip(got.per_file, qd.output_names(self.good, out)):
            self.assertEqual((written.valid_path, written.invalid_path), (valid, invalid))
            own = os.path.join(expected_dir, str(self.good.index(path)))
            stats = quelta.validate_to_files(path, SCHEMA, own + ".csv", own + ".jsonl")
            self.assertEqual(written.stats, stats)
            self.assertEqual((read(valid), read(invalid)), (read(own + ".csv"), read(own + ".jsonl")))
        self.assertEqual(got.value.rows_total, sum(w.stats.rows_total for _, w in got.per_file))
        names = sorted(os.listdir(out))
        self.assertIn("part0-2.valid.csv", names)  # sub/part0.csv does not collide with part0.csv
        self.assertEqual(len(names), 2 * len(self.good))  # nothing of the broken file, no temporary files
        # A second run overwrites nothing: every file fails and the outputs keep their bytes.
        before = {n: read(os.path.join(out, n)) for n in names}
        again = qd.validate_to_files(self.good[:2], SCHEMA, out, client=self.client)
        self.assertEqual((again.per_file, [f.path for f in again.failures]), ([], self.good[:2]))
        self.assertEqual({n: read(os.path.join(out, n)) for n in os.listdir(out)}, before)

    def test_next_run_removes_stale_temporaries(self) -> None:
        # What a client that died left in out_dir: its unlocked marker, a half-written output,
        # an interrupted publish (the valid output linked, its journal still there) and a
        # temporary of an earlier version. A live call's files (a locked marker) stay.
        out = tempfile.mkdtemp(dir=self.dir)
        valid, invalid = qd.output_names(self.good[:1], out)[0]
        dead, live = "0123456789abcdef", "fedcba9876543210"

        def touch(name: str, text: str = "x") -> str:
            with open(os.path.join(out, name), "w") as f:
                f.write(text)
            return os.path.join(out, name)

        touch(f".quelta-tmp-{dead}.live")
        touch(f".quelta-tmp-{dead}.0a1b2c3d.part0.invalid.jsonl", "half")
        half = touch(f".quelta-tmp-{dead}.0a1b2c3d.part0.valid.csv", "stale")
        os.link(half, valid)
        st = os.stat(half)
        touch(f".quelta-tmp-{dead}.1.publish", json.dumps([{"final": valid, "dev": st.st_dev, "ino": st.st_ino}]))
        touch(".part0.valid.csv.0123456789ab.part")
        kept = [touch(f".quelta-tmp-{live}.live"), touch(f".quelta-tmp-{live}.00000000.other.valid.csv")]
        with open(kept[0]) as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            got = qd.validate_to_files(self.good[:1], SCHEMA, out, client=self.client)
            self.assertEqual(got.failures, [])
            self.assertEqual(sorted(os.listdir(out)), sorted(os.path.basename(p) for p in [valid, invalid, *kept]))
        self.assertEqual(got.value, quelta.validate_to_files(self.good[0], SCHEMA, *(os.path.join(out, n) for n in "ab")))
        self.assertEqual(read(valid), read(os.path.join(out, "a")))


def worker_loss_input(path: str, rows: int, seed: int) -> None:
    """A CSV file of rows x 4 fields, valid and invalid rows mixed, written a block at a time."""
    block = "".join(",".join(r) + "\n" for r in make_rows(seed, 20000))
    with open(path, "w") as f:
        f.write(",".join(HEADER) + "\n")
        for _ in range(rows // 20000):
            f.write(block)


def crash_after_writing(flag: str, victim: str) -> None:
    """Runs on a worker: its next attempt at victim writes its outputs, then kills the worker
    before the result is reported (once: the flag file marks that it happened)."""
    real = qd._split_file

    def split_then_die(path: str, *args: object) -> object:
        result = real(path, *args)
        if path == victim and not os.path.exists(flag):
            open(flag, "w").close()
            os._exit(1)
        return result

    qd._split_file = split_then_die
    qd._unpatched_split_file = real


def restore_split() -> None:
    qd._split_file = qd.__dict__.pop("_unpatched_split_file", qd._split_file)


class WorkerLossTest(unittest.TestCase):
    """validate_to_files on a cluster whose workers die: totals stay exact, the folder clean."""

    @classmethod
    def setUpClass(cls) -> None:
        cls.dir = tempfile.mkdtemp(prefix="quelta-dask-loss-")
        cls.inputs = []
        for i in range(4):
            path = os.path.join(cls.dir, f"big{i}.csv")
            worker_loss_input(path, 1_500_000 + 100_000 * i, i)
            cls.inputs.append(path)
        # The oracle: each file split in this process, its outputs' bytes hashed.
        cls.expected = []
        for path in cls.inputs:
            valid, invalid = path + ".ref.csv", path + ".ref.jsonl"
            stats = quelta.validate_to_files(path, SCHEMA, valid, invalid)
            cls.expected.append((stats, digest(valid), digest(invalid)))
            os.unlink(valid)
            os.unlink(invalid)
        cls.cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
        )
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.client.close()
        cls.cluster.close()
        shutil.rmtree(cls.dir)

    def start(self, out: str, inputs: list[str], **kw: object) -> tuple[threading.Thread, dict[str, object]]:
        outcome: dict[str, object] = {}

        def call() -> None:
            try:
                outcome["result"] = qd.validate_to_files(inputs, SCHEMA, out, client=self.client, **kw)
            except BaseException as exc:  # noqa: BLE001 - handed to the test
                outcome["error"] = exc

        thread = threading.Thread(target=call)
        thread.start()
        return thread, outcome

    def assert_exact(self, result: qd.Result, out: str, inputs: list[str]) -> None:
        self.assertEqual(result.failures, [])
        expected = [self.expected[self.inputs.index(p)] for p in inputs]
        self.assertEqual([p for p, _ in result.per_file], inputs)
        for (_, written), (stats, valid, invalid) in zip(result.per_file, expected):
            self.assertEqual((written.stats, digest(written.valid_path), digest(written.invalid_path)), (stats, valid, invalid))
        totals = [sum(getattr(s, f) for s, _, _ in expected) for f in ("rows_total", "rows_valid", "rows_invalid", "errors_total")]
        self.assertEqual(result.value, quelta.ValidationStats(*totals))
        names = sorted(os.path.basename(p) for pair in qd.output_names(inputs, out) for p in pair)
        self.assertEqual(sorted(os.listdir(out)), names)  # every pair, no temporary

    def test_worker_killed_mid_file(self) -> None:
        for trial in range(3):
            with self.subTest(trial=trial):
                self.client.wait_for_workers(2, timeout=60)
                pids = self.client.run(os.getpid)
                out = tempfile.mkdtemp(dir=self.dir)
                thread, outcome = self.start(out, self.inputs)
                # Once a task has begun writing, kill the process of a worker that is busy.
                deadline = time.monotonic() + 30
                victim = None
                while victim is None and time.monotonic() < deadline and thread.is_alive():
                    if any(n.endswith(".valid.csv") and n.startswith(".quelta-tmp-") for n in os.listdir(out)):
                        busy = [w for w, keys in self.client.processing().items() if keys and w in pids]
                        if busy:
                            victim = pids[busy[trial % len(busy)]]
                            os.kill(victim, signal.SIGKILL)
                    time.sleep(0.002)
                # A loaded machine may take minutes to rerun the lost task; a hang still fails.
                thread.join(600)
                self.assertFalse(thread.is_alive(), "validate_to_files did not return after the worker loss")
                self.assertIsNotNone(victim, "no worker was seen writing")
                self.assertNotIn("error", outcome)
                self.assert_exact(outcome["result"], out, self.inputs)
                shutil.rmtree(out)

    def test_retry_after_a_finished_attempt(self) -> None:
        # The first attempt at one file writes all its outputs, then its worker dies before
        # reporting: the retry's outputs are published once, the lost attempt's removed.
        self.client.wait_for_workers(2, timeout=60)
        out = tempfile.mkdtemp(dir=self.dir)
        flag = os.path.join(self.dir, "crashed")
        inputs = self.inputs[:2]
        self.client.run(crash_after_writing, flag, inputs[1])
        try:
            result = qd.validate_to_files(inputs, SCHEMA, out, client=self.client)
        finally:
            self.client.run(restore_split)
        self.assertTrue(os.path.exists(flag))
        self.assert_exact(result, out, inputs)
        shutil.rmtree(out)
        os.unlink(flag)

    def test_raise_publishes_nothing_after_returning(self) -> None:
        self.client.wait_for_workers(2, timeout=60)
        out = tempfile.mkdtemp(dir=self.dir)
        missing = os.path.join(self.dir, "missing.csv")
        with self.assertRaises(quelta.FileNotFound):
            qd.validate_to_files([missing, *self.inputs], SCHEMA, out, client=self.client, errors="raise")
        published = sorted(n for n in os.listdir(out) if not n.startswith(".quelta-tmp-"))
        # The tasks that were running go on until done; they publish nothing and remove what they wrote.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            busy = sum(self.client.run(lambda dask_worker: dask_worker.state.executing_count).values())
            if not busy and not any(n.startswith(".quelta-tmp-") for n in os.listdir(out)):
                break
            time.sleep(0.05)
        self.assertEqual(sorted(os.listdir(out)), published)
        shutil.rmtree(out)


def digest(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


if __name__ == "__main__":
    unittest.main()
