"""Read and write throughput of orvanel against the alternatives a modeller has.

    python bench/bench_io.py [--zones N] [--repeat R]

Builds a realistic four-table matrix, then measures (median of R runs) orvanel's
writing and loading paths, a NumPy copy of the same stack (memory bandwidth, the
physical anchor), numpy.save/numpy.load, and HDF5 through h5py (gzip level 1 with the
shuffle filter) when h5py is installed. Throughput is in GB/s of float64 values (8 bytes
per cell, whatever the file holds). Peak memory of `open` and `to_bytes` is measured in
a fresh subprocess each.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from orvanel._orvanel import TableDef, _MatrixCore

TABLES = [("TRIPS", "2"), ("TIME", "D"), ("COST", "S"), ("COUNT", "0")]


def build_stack(zones: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    shape = (zones, zones)
    trips = np.round(rng.gamma(0.6, 8.0, shape), 2)
    trips[rng.random(shape) < 0.7] = 0.0
    time_ = np.round(rng.uniform(5.0, 120.0, shape), 4)
    cost = rng.uniform(0.5, 50.0, shape).astype(np.float32).astype(np.float64)
    count = rng.poisson(3.0, shape).astype(np.float64)
    return np.stack([trips, time_, cost, count])


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


# Peak resident memory above the interpreter's own, in a fresh process: the load alone,
# or a load followed by to_bytes. Read from /proc (VmHWM belongs to the new process;
# getrusage's maximum would carry over the parent's).
PEAK_SCRIPT = r"""
import sys
from orvanel._orvanel import _MatrixCore
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))
what, path = sys.argv[1], sys.argv[2]
baseline = status("VmRSS")
m = _MatrixCore.open(path)
if what == "to_bytes":
    data = m.to_bytes()
print((status("VmHWM") - baseline) * 1024)
"""


def peak_memory(what: str, path: str) -> int:
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, what, path], check=True,
                         capture_output=True, text=True)
    return int(out.stdout.strip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zones", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    zones, repeat = args.zones, args.repeat
    stack = build_stack(zones)
    gigabytes = stack.nbytes / 1e9
    defs = [TableDef(name, code) for name, code in TABLES]
    matrix = _MatrixCore.create(zones, defs)
    matrix.set_stack_array(stack)

    rows: list[tuple[str, float, str]] = []
    sizes: dict[str, int] = {}

    with tempfile.TemporaryDirectory() as tmp:
        mat_path = os.path.join(tmp, "bench.mat")
        npy_path = os.path.join(tmp, "bench.npy")
        h5_path = os.path.join(tmp, "bench.h5")

        data = matrix.to_bytes()
        sizes["orvanel"] = len(data)
        matrix.write(mat_path)

        rows.append(("numpy copy (anchor)", median_time(stack.copy, repeat), "anchor"))
        rows.append(("orvanel to_bytes", median_time(matrix.to_bytes, repeat), "write"))
        rows.append(("orvanel write", median_time(lambda: matrix.write(mat_path), repeat), "write"))
        rows.append(("orvanel from_bytes", median_time(lambda: _MatrixCore.from_bytes(data), repeat), "load"))
        rows.append(("orvanel open", median_time(lambda: _MatrixCore.open(mat_path), repeat), "load"))
        rows.append(("orvanel open_tables (1)",
                     median_time(lambda: _MatrixCore.open_tables(mat_path, ["TIME"]), repeat), "other"))
        rows.append(("orvanel stack_array", median_time(matrix.stack_array, repeat), "other"))

        rows.append(("numpy.save", median_time(lambda: np.save(npy_path, stack), repeat), "other"))
        sizes["npy"] = os.path.getsize(npy_path)
        rows.append(("numpy.load", median_time(lambda: np.load(npy_path), repeat), "other"))

        try:
            import h5py
        except ImportError:
            h5py = None
        if h5py is not None:
            def h5_write():
                with h5py.File(h5_path, "w") as f:
                    for (name, _), table in zip(TABLES, stack):
                        f.create_dataset(f"data/{name}", data=table, compression="gzip",
                                         compression_opts=1, shuffle=True, chunks=True)

            def h5_read():
                with h5py.File(h5_path, "r") as f:
                    return [f[f"data/{name}"][...] for name, _ in TABLES]

            rows.append(("h5py write (gzip 1 + shuffle)", median_time(h5_write, repeat), "other"))
            sizes["hdf5"] = os.path.getsize(h5_path)
            rows.append(("h5py read", median_time(h5_read, repeat), "other"))

        open_peak = peak_memory("open", mat_path)
        to_bytes_peak = peak_memory("to_bytes", mat_path)

    anchor = next(seconds for name, seconds, kind in rows if kind == "anchor")
    print(f"{zones} zones, {len(TABLES)} tables, {gigabytes:.3f} GB of float64 values, median of {repeat}\n")
    print(f"{'operation':34} {'seconds':>9} {'GB/s':>8} {'vs copy':>8}")
    for name, seconds, _ in rows:
        print(f"{name:34} {seconds:9.4f} {gigabytes / seconds:8.2f} {anchor / seconds:8.3f}")
    print()
    for name, size in sizes.items():
        print(f"file size {name:10} {size / 1e6:10.1f} MB  ({size / stack.size:.2f} bytes per cell)")
    block = stack.nbytes
    print(f"\npeak memory open      {open_peak / 1e6:8.1f} MB  (value block {block / 1e6:.1f} MB, "
          f"limit {(block + 16e6) / 1e6:.1f} MB)")
    print(f"peak memory to_bytes  {to_bytes_peak / 1e6:8.1f} MB  (limit block + 2 x file + 16 MB = "
          f"{(block + 2 * sizes['orvanel'] + 16e6) / 1e6:.1f} MB)")
    targets = {"load": 1 / 3, "write": 1 / 6}
    print()
    for name, seconds, kind in rows:
        if kind in targets:
            ratio = anchor / seconds
            verdict = "meets" if ratio >= targets[kind] else "MISSES"
            print(f"{name:34} {ratio:.3f} of copy throughput: {verdict} the target {targets[kind]:.3f}")


if __name__ == "__main__":
    main()
