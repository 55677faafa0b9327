"""quelta.read_table against pandas.read_csv (default options) on the same file,
in the same run: wall time, the ratio, and each one's peak resident memory.

    QUELTA_LIBRARY=build/release/libquelta.so PYTHONPATH=bindings/python \\
        /usr/bin/python3 bench/bench_read_table.py [CSV] [--repeat 2] [--threads 0] [--no-check]

CSV defaults to bench/data/rows.csv. Every run is a fresh child process, so its
peak memory (ru_maxrss) belongs to that one read; the two readers alternate, and
each figure is the best (least) of --repeat runs, after one untimed pass that
brings the file into the page cache. Unless --no-check, the two DataFrames are
then compared: the same columns and values, and the same dtypes wherever pandas
infers a numeric or boolean type (a datetime column, text to pandas, is
compared after pandas.to_datetime; integers with blanks, float to pandas, are
Int64 in read_table).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "bindings", "python")

CHILD = r"""
import json, resource, sys, time
which, path, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
if which == "quelta":
    import quelta
    import pandas  # imported before the clock starts, as for pandas.read_csv
    read = lambda: quelta.read_table(path, threads=threads)
else:
    import pandas
    read = lambda: pandas.read_csv(path)
start = time.perf_counter()
frame = read()
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "rows": len(frame), "cols": frame.shape[1]}))
"""


def run_child(which: str, path: str, threads: int) -> dict:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", CHILD, which, path, str(threads)], env=env, check=True,
                         capture_output=True, text=True)  # fmt: skip
    return json.loads(out.stdout.strip().splitlines()[-1])


def check(path: str, threads: int) -> list[str]:
    sys.path.insert(0, PACKAGE)
    import pandas as pd

    import quelta

    ours, theirs = quelta.read_table(path, threads=threads), pd.read_csv(path)
    problems = []
    if list(ours.columns) != list(theirs.columns):
        return [f"columns differ: {list(ours.columns)} / {list(theirs.columns)}"]
    for name in theirs.columns:
        a, b = ours[name], theirs[name]
        if b.dtype == object and str(a.dtype).startswith("datetime64"):
            b = pd.to_datetime(b)
        elif str(a.dtype) == "Int64" and b.dtype == float:
            a = a.astype(float)
        elif b.dtype != object and a.dtype != b.dtype:
            problems.append(f"{name}: dtype {a.dtype}, pandas {b.dtype}")
            continue
        try:
            pd.testing.assert_series_equal(a, b, check_dtype=False)
        except AssertionError as exc:
            problems.append(f"{name}: {str(exc).splitlines()[0]}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", nargs="?", default=os.path.join(HERE, "data", "rows.csv"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--no-check", action="store_true")
    args = parser.parse_args()
    size = os.path.getsize(args.csv)
    print(f"file      {args.csv}: {size / 1e6:.1f} MB; load {os.getloadavg()[0]:.2f}; threads {args.threads or 'all'}")
    with open(args.csv, "rb") as f:  # warm the page cache
        while f.read(1 << 24):
            pass
    best: dict[str, dict] = {}
    for _ in range(args.repeat):
        for which in ("quelta", "pandas"):
            got = run_child(which, args.csv, args.threads)
            kept = best.get(which)
            if kept is None or got["seconds"] < kept["seconds"]:
                best[which] = got
    q, p = best["quelta"], best["pandas"]
    print(f"{'reader':<22} {'s':>8} {'MB/s':>8} {'peak MiB':>9}")
    for label, r in (("quelta.read_table", q), ("pandas.read_csv", p)):
        print(f"{label:<22} {r['seconds']:8.3f} {size / 1e6 / r['seconds']:8.1f} {r['peak_mib']:9.0f}")
    ratio = p["seconds"] / q["seconds"]
    print(f"speed-up {ratio:.2f} x (aim >= 3); peak memory {q['peak_mib'] / p['peak_mib']:.2f} x pandas' (aim <= 1)")
    if q["rows"] != p["rows"] or q["cols"] != p["cols"]:
        print(f"shape differs: {q['rows']}x{q['cols']} / {p['rows']}x{p['cols']}")
        return 1
    if not args.no_check:
        problems = check(args.csv, args.threads)
        print("frames equal" if not problems else "frames differ:\n  " + "\n  ".join(problems))
        return 1 if problems else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
