"""Smoke test of an installed orvanel, run inside a fresh virtual environment by
tools/smoke_install.sh: the package imports from the environment (not from a source
tree), reads its sample, writes and reads a matrix file back unchanged on one and two
threads, and its command answers ``orvanel info`` and ``orvanel --version``."""

from __future__ import annotations

import subprocess
import sys
import tempfile
from importlib import metadata
from pathlib import Path

import numpy as np

import orvanel


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"smoke test failed: {what}")


def main() -> None:
    location = Path(orvanel.__file__).resolve().parent
    check("site-packages" in location.parts, f"orvanel imported from {location}")
    check(orvanel.__version__ == metadata.version("orvanel"), "__version__ is not the package's")

    m = orvanel.sample()
    check(m.zones == 50 and m.names == ["TRIPS", "TIME", "COST", "COUNT"], "the sample")
    rng = np.random.default_rng(3)
    with tempfile.TemporaryDirectory() as folder:
        for threads in (1, 2):
            path = Path(folder) / f"round-{threads}.mat"
            m.write(path, threads=threads)
            back = orvanel.read(path, threads=threads)
            check(back.to_bytes() == m.to_bytes(), f"sample round trip on {threads} threads")
            check(np.array_equal(back.to_numpy(), m.to_numpy()), "sample values")
        values = rng.random((120, 120))
        orvanel.write(Path(folder) / "new.mat", {"TIME": values}, types="D", run_id="smoke")
        new = orvanel.read(Path(folder) / "new.mat")
        check(np.array_equal(new["TIME"], values) and new.run_id == "smoke", "array round trip")

    command = Path(sys.executable).parent / "orvanel"
    info = subprocess.run([command, "info"], capture_output=True, text=True, check=False)
    check(info.returncode == 0 and "TRIPS" in info.stdout, f"orvanel info: {info.stderr}")
    version = subprocess.run([command, "--version"], capture_output=True, text=True, check=False)
    check(version.stdout.strip() == f"orvanel {orvanel.__version__}", "orvanel --version")
    print(f"smoke test passed: orvanel {orvanel.__version__} installed in {location}")


if __name__ == "__main__":
    main()
