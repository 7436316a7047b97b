"""Read and write throughput of orvanel's public API against the alternatives a modeller has.

    python bench/bench_io.py [--zones N] [--repeat R] [--threads 1,2]

Builds a realistic four-table matrix, then measures (best of R runs after a warm-up)
orvanel's loading and writing through the public API on 1 and 2 threads, a NumPy copy
of the same stack into a fresh array (the anchor: memory bandwidth and the page faults
of a new array, which every load into a new array pays too), numpy.save/numpy.load,
HDF5 through h5py (gzip level 1 with the shuffle filter, and Blosc2 with zstd through
hdf5plugin) and openmatrix, where installed. Every figure is also given as a ratio to
the copy measured in the same run, so that runs on a busy machine stay comparable.
Throughput is in GB/s of float64 values (8 bytes per cell, whatever the file holds).

The pipeline's own cost is the difference between a one-thread load or write and the
serial reader or writer of the low-level module doing the same work (same codec, same
page faults, no batches or pool). Peak memory of each orvanel operation is measured in a
fresh subprocess each and compared with its limit.

A write that replaces a large file lets go of the old file in the background once the new
one is in place. Every run waits for the previous run's, outside its timing, and the
longest of these releases is printed beside the table.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import numpy as np

import orvanel
from orvanel import _release
from orvanel._orvanel import _MatrixCore
from orvanel._replace import _rename_over

TABLES = [("TRIPS", "2"), ("TIME", "D"), ("COST", "S"), ("COUNT", "0")]
MB = 1e6

# Ratio to the copy each operation must reach, by thread count.
TARGETS = {
    "load": {1: 0.6, 2: 1.0},
    "write": {1: 0.55, 2: 0.8},
}


def build_stack(zones: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    shape = (zones, zones)
    trips = np.round(rng.gamma(0.6, 8.0, shape), 2)
    trips[rng.random(shape) < 0.7] = 0.0
    time_ = np.round(rng.uniform(5.0, 120.0, shape), 4)
    cost = rng.uniform(0.5, 50.0, shape).astype(np.float32).astype(np.float64)
    count = rng.poisson(3.0, shape).astype(np.float64)
    return np.stack([trips, time_, cost, count])


def best_time(fn: Callable[[], object], repeat: int) -> float:
    """Best of `repeat` runs after one warm-up run; each result is dropped before the
    next run starts, so that every run allocates afresh."""
    return timed_runs(fn, repeat)[0]


def timed_runs(fn: Callable[[], object], repeat: int) -> tuple[float, float]:
    """The best time of `repeat` runs after a warm-up, and the longest time a run's
    replaced file took to be let go of after the run returned. That happens in the
    background (see orvanel._release); each run waits for the last one's, outside its
    timing, so that no run shares the machine with another's clean-up."""
    fn()
    _release.wait_for_releases()
    times, releases = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
        start = time.perf_counter()
        _release.wait_for_releases()
        releases.append(time.perf_counter() - start)
    return min(times), max(releases)


# Peak resident memory of one operation in a fresh process, above what the process held
# before it (for a write: above the matrix it starts from, whose values the caller adds).
# The peak is reset by /proc/self/clear_refs where the kernel allows it.
PEAK_SCRIPT = r"""
import sys
import orvanel

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass

what, path, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(path, "rb").read() if what == "read_bytes" else None
m = orvanel.read(path, threads=1) if what in ("write", "to_bytes") else None
baseline = status("VmRSS")
reset_peak()
if what == "read":
    result = orvanel.read(path, threads=threads)
elif what == "read_bytes":
    result = orvanel.read_bytes(data, threads=threads)
elif what == "write":
    m.write(path + ".out", threads=threads)
else:
    result = m.to_bytes(threads=threads)
print((status("VmHWM") - baseline) * 1024)
"""


def _start_writeback() -> Callable[[int, int, int], object] | None:
    """sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE) where the C library
    has it; Python's os module does not."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        call = libc.sync_file_range
    except (OSError, AttributeError):
        return None
    call.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
    return lambda fd, offset, length: call(fd, offset, length, 2)


START_WRITEBACK = _start_writeback()


def _reserve_blocks() -> Callable[[int, int, int], object] | None:
    """fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length): reserves blocks without
    changing the file's size."""
    try:
        call = ctypes.CDLL(None, use_errno=True).fallocate
    except (OSError, AttributeError):
        return None
    call.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
    return lambda fd, offset, length: call(fd, 1, offset, length)


RESERVE_BLOCKS = _reserve_blocks()


def kernel_write(data: bytes, path: str) -> None:
    """Writes `data` as the writer does, without encoding anything: 1 MiB write calls
    into a temporary file, then the writer's own rename over `path` (a large file
    already there is freed in the background). When a file is replaced, its write-back
    is started every 8 MiB, as the writer starts it; a new file has its blocks reserved
    8 MiB ahead instead."""
    temporary = path + ".tmp"
    replacing = os.path.isfile(path)
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        view = memoryview(data)
        step, started, reserved = 1 << 20, 0, 0
        for start in range(0, len(view), step):
            if not replacing and RESERVE_BLOCKS and start + step > reserved:
                RESERVE_BLOCKS(fd, reserved, 8 * step)
                reserved += 8 * step
            os.write(fd, view[start : start + step])
            written = min(start + step, len(view))
            if replacing and START_WRITEBACK and written - started >= 8 * step:
                START_WRITEBACK(fd, started, written - started)
                started = written
        if reserved > len(view):
            os.ftruncate(fd, len(view))  # gives back the blocks reserved past the end
    finally:
        os.close(fd)
    _rename_over(temporary, path, replaces_a_large_file=replacing)


def new_files_time(write_to: Callable[[str], None], tmp: str, repeat: int) -> float:
    """Best time of `write_to` writing a new file each run. The files stay while the runs
    last, so that no run pays for freeing another's pages, and are removed after them."""
    directory = tempfile.mkdtemp(dir=tmp)
    names = (os.path.join(directory, f"new-{k}.mat") for k in range(1 << 30))
    try:
        return best_time(lambda: write_to(next(names)), repeat)
    finally:
        shutil.rmtree(directory)


def peak_memory(what: str, path: str, threads: int) -> int:
    out = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, what, path, str(threads)],
        check=True,
        capture_output=True,
        text=True,
    )
    return int(out.stdout.strip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zones", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument(
        "--threads", default="1,2", help="thread counts to measure (comma-separated)"
    )
    args = parser.parse_args()

    zones, repeat = args.zones, args.repeat
    thread_counts = [int(t) for t in args.threads.split(",")]
    stack = build_stack(zones)
    gigabytes = stack.nbytes / 1e9
    matrix = orvanel.from_arrays(
        {name: table for (name, _), table in zip(TABLES, stack)},
        {name: code for name, code in TABLES},
    )
    core = matrix.to_core()

    rows: list[tuple[str, float, str, int]] = []  # name, seconds, kind, threads (0: not orvanel's)
    sizes: dict[str, int] = {}
    peaks: list[tuple[str, int, int, float]] = []  # operation, threads, bytes, limit
    releases: dict[int, float] = {}  # threads: longest release of a replaced file

    with tempfile.TemporaryDirectory() as tmp:
        mat_path = os.path.join(tmp, "bench.mat")
        data = matrix.to_bytes(threads=1)
        sizes["orvanel"] = len(data)
        matrix.write(mat_path, threads=1)

        rows.append(("numpy copy (anchor)", best_time(lambda: np.copy(stack), repeat), "anchor", 0))
        for threads in thread_counts:
            rows.append(
                (
                    "read_bytes",
                    best_time(lambda: orvanel.read_bytes(data, threads=threads), repeat),
                    "load",
                    threads,
                )
            )
            rows.append(
                (
                    "read (cached file)",
                    best_time(lambda: orvanel.read(mat_path, threads=threads), repeat),
                    "load",
                    threads,
                )
            )
            seconds, releases[threads] = timed_runs(
                lambda: matrix.write(mat_path, threads=threads), repeat
            )
            rows.append(("write (replacing)", seconds, "write", threads))
            rows.append(
                (
                    "write (new file)",
                    new_files_time(lambda p: matrix.write(p, threads=threads), tmp, repeat),
                    "write",
                    threads,
                )
            )
            rows.append(
                (
                    "to_bytes",
                    best_time(lambda: matrix.to_bytes(threads=threads), repeat),
                    "write",
                    threads,
                )
            )
        serial_load = best_time(lambda: _MatrixCore.from_bytes(data), repeat)
        serial_write = best_time(lambda: core.write(os.devnull), repeat)
        one_thread_write = best_time(lambda: matrix.write(os.devnull, threads=1), repeat)
        rows.append(("low-level from_bytes (serial)", serial_load, "other", 0))
        rows.append(("low-level to_bytes (serial)", best_time(core.to_bytes, repeat), "other", 0))
        rows.append(("low-level write /dev/null (serial)", serial_write, "other", 0))
        rows.append(("write /dev/null", one_thread_write, "other", 1))
        # The kernel's share of a write: the file's bytes alone, replacing the previous
        # file as every write does, and into a new file each time.
        rows.append(
            (
                "kernel only: bytes, replacing",
                best_time(lambda: kernel_write(data, mat_path + ".k"), repeat),
                "other",
                0,
            )
        )
        rows.append(
            (
                "kernel only: bytes, new file",
                new_files_time(lambda p: kernel_write(data, p), tmp, repeat),
                "other",
                0,
            )
        )

        npy_path = os.path.join(tmp, "bench.npy")
        rows.append(("numpy.save", best_time(lambda: np.save(npy_path, stack), repeat), "other", 0))
        sizes["npy"] = os.path.getsize(npy_path)
        rows.append(("numpy.load", best_time(lambda: np.load(npy_path), repeat), "other", 0))

        try:
            import h5py
        except ImportError:
            h5py = None
        if h5py is not None:
            filters = {
                "gzip 1 + shuffle": dict(compression="gzip", compression_opts=1, shuffle=True)
            }
            try:
                import hdf5plugin

                filters["blosc2 zstd"] = dict(
                    hdf5plugin.Blosc2(cname="zstd", clevel=1, filters=hdf5plugin.Blosc2.SHUFFLE)
                )
            except ImportError:
                pass
            for label, options in filters.items():
                h5_path = os.path.join(tmp, f"bench-{len(sizes)}.h5")

                def h5_write(h5_path=h5_path, options=options):
                    with h5py.File(h5_path, "w") as f:
                        for (name, _), table in zip(TABLES, stack):
                            f.create_dataset(f"data/{name}", data=table, chunks=True, **options)

                def h5_read(h5_path=h5_path):
                    with h5py.File(h5_path, "r") as f:
                        return [f[f"data/{name}"][...] for name, _ in TABLES]

                rows.append((f"h5py write ({label})", best_time(h5_write, repeat), "other", 0))
                sizes[f"hdf5 {label}"] = os.path.getsize(h5_path)
                rows.append((f"h5py read ({label})", best_time(h5_read, repeat), "other", 0))
        try:
            import openmatrix
        except ImportError:
            openmatrix = None
        if openmatrix is not None:
            omx_path = os.path.join(tmp, "bench.omx")

            def omx_write():
                with openmatrix.open_file(omx_path, "w") as f:
                    for (name, _), table in zip(TABLES, stack):
                        f[name] = table

            def omx_read():
                with openmatrix.open_file(omx_path, "r") as f:
                    return [np.array(f[name]) for name, _ in TABLES]

            rows.append(("openmatrix write", best_time(omx_write, repeat), "other", 0))
            sizes["omx (openmatrix)"] = os.path.getsize(omx_path)
            rows.append(("openmatrix read", best_time(omx_read, repeat), "other", 0))

        block = stack.nbytes
        file_size = sizes["orvanel"]
        limits = {
            "read": block + 16 * MB,
            "read_bytes": block + file_size + 16 * MB,
            "write": block + 16 * MB,
            "to_bytes": block + 2 * file_size + 16 * MB,
        }
        for threads in thread_counts:
            for what, limit in limits.items():
                peak = peak_memory(what, mat_path, threads)
                # A write is measured above the matrix it starts from: its values count too.
                if what in ("write", "to_bytes"):
                    peak += block
                peaks.append((what, threads, peak, limit))

    anchor = next(seconds for _, seconds, kind, _ in rows if kind == "anchor")
    print(
        f"{zones} zones, {len(TABLES)} tables, {gigabytes:.3f} GB of float64 values, "
        f"best of {repeat} after a warm-up, {os.cpu_count()} processors\n"
    )
    print(f"{'operation':38} {'threads':>7} {'seconds':>9} {'GB/s':>8} {'vs copy':>8}")
    for name, seconds, _kind, threads in rows:
        shown = f"orvanel {name}" if threads else name
        print(
            f"{shown:38} {threads or '':>7} {seconds:9.4f} {gigabytes / seconds:8.2f} {anchor / seconds:8.3f}"
        )
    print()
    for name, size in sizes.items():
        print(f"file size {name:22} {size / MB:10.1f} MB  ({size / stack.size:.2f} bytes per cell)")

    for threads, seconds in releases.items():
        print(
            f"replaced file let go of in the background after a write on {threads} thread"
            f"{'s' if threads > 1 else ''} returned: at most {seconds * 1e3:.1f} ms"
        )

    print("\npipeline cost (one thread against the serial low-level reader and writer, same work):")
    for name, serial in (("read_bytes", serial_load), ("write /dev/null", serial_write)):
        one = next((s for n, s, k, t in rows if n == name and t == 1), None)
        if one is not None:
            print(
                f"  {name:16} {one - serial:+8.4f} s  ({(one - serial) / serial * 100:+.1f} % of the serial "
                f"{serial:.4f} s)"
            )

    print("\npeak memory (fresh process; values included):")
    for what, threads, peak, limit in peaks:
        verdict = "meets" if peak <= limit else "EXCEEDS"
        print(
            f"  {what:10} {threads} thread{'s' if threads > 1 else ' '} {peak / MB:8.1f} MB  "
            f"limit {limit / MB:8.1f} MB  {verdict}"
        )

    print("\ntargets (ratio to the copy):")
    for name, seconds, kind, threads in rows:
        target = TARGETS.get(kind, {}).get(threads)
        if target is None:
            continue
        ratio = anchor / seconds
        verdict = "meets" if ratio >= target else "MISSES"
        print(
            f"  {name:20} {threads} thread{'s' if threads > 1 else ' '} {ratio:6.3f}  {verdict} the target "
            f"{target:.2f}"
        )


if __name__ == "__main__":
    main()
