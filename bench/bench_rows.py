"""Row iteration in Python: the package's rows (a loop over the scanner, and
batches()) against Python's csv.reader over the same file, in the same run.

    QUELTA_LIBRARY=build/release/libquelta.so PYTHONPATH=bindings/python \\
        /usr/bin/python3 bench/bench_rows.py [--source bench/data/rows.csv] [--mib 32] [--repeat 5]

The file is the first --mib MiB of --source cut at a line end, written once
under --dir. Each round times every reader once, in turn (interleaved, so a
busy machine slows them alike); the figures are medians over --repeat rounds
after one untimed warm-up round, as wall time and as this process's CPU time.
The ratio is csv.reader's time over the reader's: above 1.0 is faster. The
row-by-row export (one library call per row, as iteration was before rows in
bulk) is timed too, as a reference.
"""

from __future__ import annotations

import argparse
import csv
import ctypes
import os
import statistics
import sys
import time
from typing import Callable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings", "python"))

import quelta  # noqa: E402
from quelta import _lib  # noqa: E402


def make_slice(source: str, path: str, size: int) -> None:
    with open(source, "rb") as f:
        data = f.read(size)
    cut = data.rfind(b"\n") + 1
    if cut <= 0:
        raise SystemExit(f"{source}: no line end in the first {size} bytes")
    with open(path + ".tmp", "wb") as f:
        f.write(data[:cut])
    os.replace(path + ".tmp", path)


def csv_rows(path: str) -> int:
    n = 0
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        next(reader)  # the header
        for _row in reader:
            n += 1
    return n


def quelta_rows(path: str) -> int:
    n = 0
    with quelta.open(path) as rows:
        for _row in rows:
            n += 1
    return n


def quelta_batches(path: str) -> int:
    n = 0
    with quelta.open(path) as rows:
        for batch in rows.batches():
            for _row in batch:
                n += 1
    return n


def per_row_export(path: str) -> int:
    """One quelta_next per row, fields decoded into a tuple: the package's loop before rows in bulk."""
    lib = _lib.lib()
    fields, count = ctypes.POINTER(ctypes.c_char_p)(), ctypes.c_size_t()
    refs = (ctypes.byref(fields), ctypes.byref(count))
    step = lib.next
    n = 0
    with _lib.LOCK:
        ptr = lib.open(os.fsencode(path), None)
        try:
            while step(ptr, *refs) == 1:
                _row = tuple([f.decode("utf-8", "strict") for f in fields[: count.value]])
                n += 1
        finally:
            lib.close(ptr)
    return n


READERS: dict[str, Callable[[str], int]] = {
    "csv.reader": csv_rows,
    "quelta rows": quelta_rows,
    "quelta batches()": quelta_batches,
    "quelta_next per row": per_row_export,
}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", default=os.path.join("bench", "data", "rows.csv"))
    parser.add_argument("--dir", default=os.path.join("build", "bench-rows-data"))
    parser.add_argument("--mib", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-per-row", action="store_true", help="leave out the row-by-row reference")
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    path = os.path.join(args.dir, f"rows_{args.mib}mib.csv")
    if not os.path.exists(path):
        make_slice(args.source, path, args.mib << 20)
    readers = {k: v for k, v in READERS.items() if not (args.no_per_row and k == "quelta_next per row")}
    size = os.path.getsize(path)
    print(f"{path}: {size / (1 << 20):.1f} MiB; library {quelta.library_path()} ({quelta.build_mode()});"
          f" Python {sys.version.split()[0]}; load {os.getloadavg()[0]:.1f}")

    counts = {name: read(path) for name, read in readers.items()}  # warm-up, and every reader agrees
    if len(set(counts.values())) != 1:
        raise SystemExit(f"readers disagree on the row count: {counts}")
    n_rows = next(iter(counts.values()))
    wall: dict[str, list[float]] = {name: [] for name in readers}
    cpu: dict[str, list[float]] = {name: [] for name in readers}
    for _ in range(args.repeat):
        for name, read in readers.items():
            w0, c0 = time.perf_counter(), time.process_time()
            read(path)
            wall[name].append(time.perf_counter() - w0)
            cpu[name].append(time.process_time() - c0)

    base_wall, base_cpu = statistics.median(wall["csv.reader"]), statistics.median(cpu["csv.reader"])
    print(f"{n_rows} rows, medians of {args.repeat} interleaved rounds")
    print(f"{'reader':<22}{'wall s':>8}{'rows/s':>12}{'ratio':>7}{'cpu s':>9}{'ratio':>7}")
    for name in readers:
        w, c = statistics.median(wall[name]), statistics.median(cpu[name])
        print(f"{name:<22}{w:>8.3f}{n_rows / w:>12,.0f}{base_wall / w:>7.2f}{c:>9.3f}{base_cpu / c:>7.2f}")


if __name__ == "__main__":
    main()
