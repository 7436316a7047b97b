"""Large sparse matrices written block by block, and commands run in a limited address space."""

import os
import subprocess
import sys
import tempfile

import numpy as np

from orvanel.formats.blocks import Facts, default_block, spans
from orvanel.formats.registry import WriteOptions, format_for

CELLS_PER_ROW = 4


def sparse_blocks(zones, tables, changed=None, seed=5):
    """The blocks of a matrix with a few whole numbers in each row of each table, as trip
    tables have; ``changed`` (0-based table, 1-based origin and destination) gets 0.5 added."""
    rng = np.random.default_rng(seed)
    block = default_block(zones, tables)
    values = np.zeros((tables, block, zones))
    for origins in spans(zones, block):
        part = values[:, : len(origins)]
        part.fill(0.0)
        rows = np.repeat(np.arange(len(origins)), CELLS_PER_ROW)
        for table in range(tables):
            part[table, rows, rng.integers(0, zones, rows.size)] = rng.integers(1, 100, rows.size)
        if changed is not None and changed[1] in origins:
            part[changed[0], changed[1] - origins.start, changed[2] - 1] += 0.5
        yield np.ascontiguousarray(part)


def build_sparse(path, zones, tables, changed=None, codes="D"):
    """Write a sparse matrix (see `sparse_blocks`) to ``path`` in the format its name says;
    CSV in the nonzero form."""
    facts = Facts(zones, [(f"T{number}", codes) for number in range(tables)], "sparse", "RUN")
    with format_for(path).create_blocks(str(path), facts, WriteOptions(nonzero=True)) as writer:
        for values in sparse_blocks(zones, tables, changed):
            writer.write(values)


# Runs the command line, then writes the process's peak resident memory (kB) to the file
# named by ORVANEL_TEST_PEAK. The kernel's own count for a child (ru_maxrss) starts from
# the resident memory of the process that started it; VmHWM counts this program's alone.
_MEASURED = """
import atexit, os, sys
def peak():
    with open("/proc/self/status") as status:
        found = [line.split()[1] for line in status if line.startswith("VmHWM:")]
    with open(os.environ["ORVANEL_TEST_PEAK"], "w") as out:
        out.write(found[0])
atexit.register(peak)
from orvanel.cli import main
sys.exit(main(sys.argv[1:]))
"""


def run_limited(args, megabytes):
    """Run the ``orvanel`` command line with ``args`` in an address space of
    ``megabytes``, set by ``ulimit -v`` as a user would; returns the completed process and
    its peak resident memory in MB."""
    with tempfile.TemporaryDirectory() as directory:
        peak = os.path.join(directory, "peak")
        # One thread for NumPy's linear algebra library: its per-thread buffers would make
        # the address space depend on the number of processors.
        env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "ORVANEL_TEST_PEAK": peak}
        command = ["sh", "-c", 'ulimit -v "$0" && exec "$@"', str(megabytes * 1024),
                   sys.executable, "-c", _MEASURED, *map(str, args)]
        result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, env=env)
        with open(peak) as measured:
            return result, int(measured.read()) / 1024
