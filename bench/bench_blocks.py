"""Peak memory and time of the command line on large matrices, read and written in blocks.

    python bench/bench_blocks.py [--zones N] [--tables T] [--inputs mat,omx,npz,csv]
                                 [--limit MB] [--dir DIR]

Builds, for each input format, a sparse matrix of N zones and T tables (a few non-zero
cells per row, as trip tables are), written block by block, and a copy differing in one
cell; then runs `orvanel info`, `validate`, `diff` (against the copy) and `convert` to
every other format, each in a fresh process whose address space is limited to --limit MB
(as `ulimit -v` does). Prints each command's wall time, peak resident memory and exit
status. CSV files are written in the nonzero form, and read with --zones.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

import numpy as np

from orvanel.formats.blocks import Facts, default_block, spans
from orvanel.formats.registry import WriteOptions, format_for

SUFFIXES = {"mat": ".mat", "omx": ".omx", "npz": ".npz", "csv": ".csv.gz"}
CELLS_PER_ROW = 5


def sparse_blocks(
    zones: int, tables: int, changed: tuple[int, int, int] | None = None
) -> Iterator[np.ndarray]:
    """Blocks of a sparse matrix: a few whole numbers per row and table; ``changed``
    (table, origin, destination; 0-based table, 1-based zones) gets 0.5 added."""
    rng = np.random.default_rng(11)
    block = default_block(zones, tables)
    values = np.zeros((tables, block, zones))
    for origins in spans(zones, block):
        part = values[:, : len(origins)]
        part.fill(0.0)
        rows = np.repeat(np.arange(len(origins)), CELLS_PER_ROW)
        for table in range(tables):
            columns = rng.integers(0, zones, rows.size)
            part[table, rows, columns] = rng.integers(1, 100, rows.size)
        if changed is not None and changed[1] in origins:
            part[changed[0], changed[1] - origins.start, changed[2] - 1] += 0.5
        yield np.ascontiguousarray(part)


def build(path: str, zones: int, tables: int, changed: tuple[int, int, int] | None = None) -> None:
    """Writes a sparse matrix (see `sparse_blocks`) in the format the name of ``path``
    says; CSV in the nonzero form. The tests build their large inputs with it too."""
    facts = Facts(zones, [(f"T{number}", "D") for number in range(tables)])
    writer = format_for(str(path)).create_blocks(str(path), facts, WriteOptions(nonzero=True))
    with writer:
        for values in sparse_blocks(zones, tables, changed):
            writer.write(values)


# Runs the command line, then writes its peak resident memory (kB) to the file named by
# ORVANEL_PEAK_FILE: the kernel's count for a child (ru_maxrss) would start from the
# resident memory of the process that started it; VmHWM counts this program's alone.
_MEASURED = """
import atexit, os, sys
def peak():
    with open("/proc/self/status") as status:
        found = [line.split()[1] for line in status if line.startswith("VmHWM:")]
    with open(os.environ["ORVANEL_PEAK_FILE"], "w") as out:
        out.write(found[0])
atexit.register(peak)
from orvanel.cli import main
sys.exit(main(sys.argv[1:]))
"""


def run_limited(
    argv: list[object], limit_mb: int
) -> tuple[subprocess.CompletedProcess[str], float]:
    """Runs the ``orvanel`` command line with ``argv`` in an address space of ``limit_mb``,
    set by ``ulimit -v`` as a user would; returns the completed process (its output
    captured) and its peak resident memory in MB. The tests use it too."""
    with tempfile.TemporaryDirectory() as directory:
        peak = os.path.join(directory, "peak")
        # One thread for NumPy's linear algebra library: its per-thread buffers would make
        # the address space depend on the number of processors.
        env = {
            **os.environ,
            "ORVANEL_PEAK_FILE": peak,
            "OPENBLAS_NUM_THREADS": "1",
            "OMP_NUM_THREADS": "1",
        }
        limit = ["sh", "-c", 'ulimit -v "$0" && exec "$@"', str(limit_mb * 1024)]
        command = [*limit, sys.executable, "-c", _MEASURED, *map(str, argv)]
        result = subprocess.run(
            command, capture_output=True, text=True, stdin=subprocess.DEVNULL, env=env
        )
        with open(peak) as measured:
            return result, int(measured.read()) / 1024


def run(argv: list[object], limit_mb: int) -> tuple[float, float, int, str]:
    """Wall seconds, peak resident MB, exit status and the last line of stderr."""
    start = time.perf_counter()
    result, megabytes = run_limited(argv, limit_mb)
    seconds = time.perf_counter() - start
    lines = result.stderr.strip().splitlines()
    return seconds, megabytes, result.returncode, lines[-1] if lines else ""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zones", type=int, default=10_000)
    parser.add_argument("--tables", type=int, default=2)
    parser.add_argument("--inputs", default="omx,npz,csv")
    parser.add_argument("--limit", type=int, default=1500, help="address space, in MB")
    parser.add_argument("--dir", default=None, help="where to build the files")
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="orvanel-bench-", dir=args.dir)
    values_gb = args.zones**2 * args.tables * 8 / 1e9
    print(
        f"{args.zones} zones, {args.tables} tables: {values_gb:.1f} GB of values; "
        f"address space limited to {args.limit} MB"
    )
    try:
        for kind in args.inputs.split(","):
            source = os.path.join(directory, f"in{SUFFIXES[kind]}")
            other = os.path.join(directory, f"other{SUFFIXES[kind]}")
            start = time.perf_counter()
            build(source, args.zones, args.tables)
            build(other, args.zones, args.tables, changed=(1, args.zones // 2 + 1, 7))
            print(
                f"\n{kind}: built in {time.perf_counter() - start:.1f} s, "
                f"{os.path.getsize(source) / 1e6:.1f} MB"
            )
            zones = ["--zones", str(args.zones)] if kind == "csv" else []
            commands = [
                ["info", source],
                ["validate", source],
                ["diff", source, other],
            ]
            for target in SUFFIXES:
                if target != kind:
                    output = os.path.join(directory, f"out{SUFFIXES[target]}")
                    commands.append(["convert", source, output, "-q", "--nonzero", *zones])
            commands.append(
                [
                    "convert",
                    source,
                    os.path.join(directory, "retyped.mat"),
                    "-q",
                    "--type",
                    "S",
                    *zones,
                ]
            )
            for argv in commands:
                seconds, peak, status, last = run(argv, args.limit)
                shown = " ".join(os.path.basename(word) for word in argv)
                print(f"  {shown:<45} {seconds:7.1f} s {peak:8.0f} MB  exit {status}  {last[:60]}")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
