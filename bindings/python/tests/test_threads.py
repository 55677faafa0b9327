"""Threads sharing the package: every result and every error message stays their own."""

from __future__ import annotations

import os
import sys
import threading
import unittest
from typing import Any, Callable

import quelta

from . import support
from .support import TempDirTest

N_THREADS = 8
ROUNDS = 25


def message_of(call: Callable[[], Any]) -> str:
    try:
        call()
    except quelta.Error as exc:
        return exc.message
    return "no error"


class ThreadsTest(TempDirTest):
    def run_threads(self, work: Callable[[int], None]) -> None:
        start = threading.Barrier(N_THREADS)
        failures: list[BaseException] = []

        def body(n: int) -> None:
            try:
                start.wait()
                work(n)
            except BaseException as exc:  # noqa: BLE001 - reported by the test thread
                failures.append(exc)

        threads = [threading.Thread(target=body, args=(n,)) for n in range(N_THREADS)]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # switch threads often, between any two calls
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
        self.assertEqual(failures, [])

    def test_many_files_at_once(self) -> None:
        paths = [self.write(f"f{i}.csv", support.sample_csv(support.sample_rows(300 + 250 * i, seed=i))) for i in range(4)]
        missing = os.path.join(self.dir, "missing.csv")
        quote = self.write("quote.csv", 'a,b\n"open,1\n')
        schema = {"price": {"type": "float"}}
        tasks: list[Callable[[], Any]] = []
        for path in paths:
            tasks += [
                lambda p=path: quelta.open(p, where=("price", ">", 10)).count(),
                lambda p=path: quelta.open(p).aggregate("price"),
                lambda p=path: list(quelta.open(p, select=["city", "id"], limit=50)),
                lambda p=path: quelta.open(p).columnar().to_dict(),
                lambda p=path: quelta.validate(p, schema).counts,
                lambda p=path: quelta.parallel_columns(p, threads=2).n_rows,
            ]
        tasks += [
            lambda: message_of(lambda: quelta.open(missing)),
            lambda: message_of(lambda: list(quelta.open(quote))),
            lambda: message_of(lambda: quelta.validate(paths[0], "{")),
            lambda: message_of(lambda: quelta.validate(missing, schema)),
            lambda: message_of(lambda: quelta.parallel_columns(missing)),
            lambda: message_of(lambda: next(quelta.open(paths[1]).batches(70000))),
        ]
        expected = [task() for task in tasks]
        self.assertEqual(
            expected[-6:],
            [
                "open failed: FileNotFound",
                "next failed: UnterminatedQuote",
                "validate failed: BadSchema",
                "validate failed: FileNotFound",
                "parallel scan failed: FileNotFound",
                "batch failed: InvalidBatchSize",
            ],
        )

        def work(n: int) -> None:
            for i in range(ROUNDS * len(tasks) // N_THREADS):
                k = (i * 7 + n) % len(tasks)
                got = tasks[k]()
                if got != expected[k]:
                    raise AssertionError(f"task {k}: {got!r} != {expected[k]!r}")

        self.run_threads(work)

    def test_one_scanner_shared(self) -> None:
        rows = support.sample_rows(5000)
        scanner = quelta.open(self.write("s.csv", support.sample_csv(rows)))
        seen: list[list[tuple[str, ...]]] = [[] for _ in range(N_THREADS)]

        def work(n: int) -> None:
            for row in scanner:
                seen[n].append(row)

        self.run_threads(work)
        self.assertEqual(sorted(r for part in seen for r in part), sorted(rows))
        scanner.close()


if __name__ == "__main__":
    unittest.main()
