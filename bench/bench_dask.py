"""Throughput of quelta.dask: validate and aggregate over 16 files of 32 MiB each,
as a plain loop in this process and on a LocalCluster of one and of two worker
processes (one thread each).

    QUELTA_LIBRARY=build/release/libquelta.so PYTHONPATH=bindings/python \\
        /usr/bin/python3 bench/bench_dask.py [--dir DATA] [--files 16] [--mib 32] [--repeat 2]

The files are generated once (a fixed seed) under --dir and reused. Each figure
is the best of --repeat runs, after one untimed warm-up pass that brings the
files into the page cache and starts the workers' library.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings", "python"))

import quelta  # noqa: E402
import quelta.dask as qd  # noqa: E402

HEADER = "id,name,price,city,email,created\n"
CITIES = ["Oslo", "Rome", "Lima", "Zagreb", "Quito", "Perth", ""]
SCHEMA = {
    "id": {"type": "integer", "required": True, "min": 0},
    "name": {"type": "string", "max_len": 20},
    "price": {"type": "float", "min": 0, "max": 5000},
    "city": {"required": True, "one_of": CITIES[:-1]},
    "created": {"type": "datetime"},
}


def generate(path: str, seed: int, size: int) -> None:
    rnd = random.Random(seed)
    rows = []
    for i in range(20000):
        price = rnd.choice([f"{rnd.uniform(-10, 6000):.2f}", str(rnd.randrange(1, 999)), "n/a", ""])
        rows.append(
            f"{i},name{rnd.randrange(10**6)},{price},{rnd.choice(CITIES)},u{i}@example.org,"
            f"2024-{rnd.randrange(1, 13):02d}-{rnd.randrange(1, 29):02d}T10:00:00\n"
        )
    block = "".join(rows).encode()
    with open(path + ".tmp", "wb") as f:
        f.write(HEADER.encode())
        written = len(HEADER)
        while written < size:
            f.write(block)
            written += len(block)
    os.replace(path + ".tmp", path)


def best(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=os.path.join("build", "bench-dask-data"))
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--mib", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    paths = [os.path.join(args.dir, f"drop{i:02d}.csv") for i in range(args.files)]
    for i, path in enumerate(paths):
        if not os.path.exists(path) or os.path.getsize(path) < args.mib << 20:
            generate(path, i, args.mib << 20)
    total_mib = sum(os.path.getsize(p) for p in paths) / (1 << 20)
    print(f"{len(paths)} files, {total_mib:.0f} MiB, library {quelta.library_path()} ({quelta.build_mode()})")

    def loop_validate() -> None:
        for p in paths:
            quelta.validate(p, SCHEMA)

    def loop_aggregate() -> None:
        for p in paths:
            with quelta.open(p) as rows:
                rows.aggregate("price")

    loop_validate()  # warm-up: page cache
    plain = {"validate": best(args.repeat, loop_validate), "aggregate": best(args.repeat, loop_aggregate)}

    import distributed

    timed: dict[int, dict[str, float]] = {}
    for workers in (1, 2):
        with distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
        ) as cluster, distributed.Client(cluster) as client:
            qd.aggregate(paths, "price", client=client)  # warm-up: workers load the library
            timed[workers] = {
                "validate": best(args.repeat, lambda: qd.validate(paths, SCHEMA, client=client)),
                "aggregate": best(args.repeat, lambda: qd.aggregate(paths, "price", client=client)),
            }

    print(f"{'operation':<10} {'loop s':>8} {'1 worker s':>11} {'2 workers s':>12} {'speed-up':>9} {'overhead':>9} {'MiB/s (2)':>10}")
    for op in ("validate", "aggregate"):
        one, two = timed[1][op], timed[2][op]
        print(
            f"{op:<10} {plain[op]:8.2f} {one:11.2f} {two:12.2f} {one / two:9.2f} "
            f"{(one / plain[op] - 1) * 100:8.1f}% {total_mib / two:10.0f}"
        )
    print(f"load average at the end: {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")


if __name__ == "__main__":
    main()
