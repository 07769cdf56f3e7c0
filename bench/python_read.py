"""Speed and memory of vesk.read and vesk.iter_batches against pandas.read_csv
and numpy.fromfile on the same data (2,000,000 x 20 numbers by default).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_read.py [--rows N] [--dir DIR]

Each measurement runs in a fresh interpreter, so its peak resident memory
(VmHWM) is its own; "above start" subtracts the interpreter with numpy
and pandas imported. Logical MB are the float64 values delivered; "cpu s"
is the processor time of all the process's threads (less disturbed than the
wall time when other work shares the machine).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

COLUMNS = 20


def make_files(directory, rows, kind):
    import numpy as np
    import pandas as pd

    import vesk

    rng = np.random.default_rng(7)
    if kind == "integers":  # values the bytecode stores in one byte each
        data = rng.integers(-50, 150, size=(rows, COLUMNS)).astype(np.float64)
    else:
        data = np.round(rng.normal(100, 15, size=(rows, COLUMNS)), 3)
    df = pd.DataFrame(data, columns=[f"v{i}" for i in range(COLUMNS)])
    paths = {}
    for comp in ("bytecode", "zlib", "none"):
        paths[comp] = os.path.join(directory, f"{kind}_{comp}.sys")
        vesk.write(df, paths[comp], compression=comp)
    paths["raw"] = os.path.join(directory, f"{kind}.f64")
    np.ascontiguousarray(data.T).tofile(paths["raw"])
    paths["csv"] = os.path.join(directory, f"{kind}.csv")
    if rows <= 2_000_000:
        df.to_csv(paths["csv"], index=False)
    return paths


CHILD = r"""
import sys, time
import numpy as np, pandas as pd, vesk
def hwm():  # peak resident MB of this process (ru_maxrss would include the parent's)
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
what, path, rows = sys.argv[1], sys.argv[2], int(sys.argv[3])
start = hwm()
t, cpu = time.perf_counter(), time.process_time()
if what == "read":
    n = len(vesk.read(path))
elif what == "iter":
    n = sum(len(b) for b in vesk.iter_batches(path))
elif what == "csv":
    n = len(pd.read_csv(path))
elif what == "fromfile":
    n = len(np.fromfile(path, dtype=np.float64)) // 20
t, cpu = time.perf_counter() - t, time.process_time() - cpu
print(t, n, start, hwm(), cpu)
"""


def measure(what, path, rows, repeat):
    best = None
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", CHILD, what, path, str(rows)], check=True,
                             capture_output=True, text=True).stdout.split()
        t, n, start, peak, cpu = float(out[0]), int(out[1]), float(out[2]), float(out[3]), float(out[4])
        assert n == rows, (what, n)
        if best is None or t < best[0]:
            best = (t, start, peak, cpu)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    logical_mb = args.rows * COLUMNS * 8 / 1e6
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for kind in ("integers", "decimals"):
            paths = make_files(directory, args.rows, kind)
            print(f"\n{kind}: {args.rows} x {COLUMNS} ({logical_mb:.0f} MB of float64)")
            print(f"{'what':28} {'file MB':>8} {'s':>7} {'MB/s':>7} {'cpu s':>7} {'peak MB':>8} {'above start':>11}")
            cases = [("read", "bytecode"), ("read", "zlib"), ("read", "none"), ("iter", "bytecode"),
                     ("fromfile", "raw"), ("csv", "csv")]
            for what, key in cases:
                if not os.path.exists(paths[key]):
                    continue
                t, start, peak, cpu = measure(what, paths[key], args.rows, 1 if what == "csv" else args.repeat)
                size = os.path.getsize(paths[key]) / 1e6
                print(f"{what + ' ' + key:28} {size:8.0f} {t:7.3f} {logical_mb / t:7.0f} {cpu:7.3f} {peak:8.0f} "
                      f"{peak - start:11.0f}")


if __name__ == "__main__":
    main()
