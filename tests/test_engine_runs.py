"""The engine at work: signals during long loads and writes, memory of sparse files, and
the public functions and command line that use it."""

import mmap
import os
import subprocess
import sys

import numpy as np
import pytest

import orvanel
from orvanel import _engine
from orvanel._orvanel import OrvanelWriterError, _MatrixCore
from reference_codec import ZERO_ROW, encode_row, row_record, sized_raw_row, standard_header
from support import (
    Stop,
    alarms,
    assert_one_line_failure,
    orvanel_cli,
    raise_once,
    same_bits,
    shared_out,
)

# ---- signals ----------------------------------------------------------------------

BIG_Z = 3000
BIG_TABLES = [("a", "D"), ("b", "D"), ("c", "S"), ("d", "D")]


def broadcast_stack(zones, tables, row):
    """A (T, Z, Z) stack whose every row is `row`, without the memory of one."""
    return np.broadcast_to(np.asarray(row, dtype=np.float64), (tables, zones, zones))


# About 300 MB of values that do not compress much: loading or writing them takes a while.
BIG_STACK = broadcast_stack(BIG_Z, len(BIG_TABLES),
                            np.random.default_rng(4).standard_normal(BIG_Z).astype(np.float32).astype(np.float64))


@pytest.fixture(scope="module")
def big_file():
    return _engine.write(None, BIG_Z, BIG_TABLES, BIG_STACK, threads=2)


def test_signal_handlers_run_during_a_long_load_and_write(big_file):
    """The calling thread looks for signals between batches, at most every 20 ms: handlers
    run while the work goes on. Signals arriving meanwhile would otherwise be handled
    once, when the call returns; the count allows for that one."""
    # Each call lasts several times the polling interval even on a fast, idle machine: the
    # load on one thread, the write of rows the processor keeps in its cache over 32 tables.
    many_tables = [(f"t{k}", code) for k in range(8) for _, code in BIG_TABLES]
    many = np.broadcast_to(BIG_STACK[:1], (len(many_tables), BIG_Z, BIG_Z))
    for work in (lambda: _engine.load(big_file, threads=1),
                 lambda: _engine.write("/dev/null", BIG_Z, many_tables, many, threads=2)):
        handled = []
        with alarms(lambda signum, frame: handled.append(signum), every=0.005):
            work()
        assert len(handled) >= 2


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_exception_from_a_signal_handler_stops_a_long_write(threads):
    """Were it not stopped, the write would outlast the watchdog of `alarms`."""
    row = np.arange(32000) % 200
    with alarms(raise_once()), pytest.raises(Stop):
        _engine.write("/dev/null", 32000, [(f"t{k}", "0") for k in range(255)], broadcast_stack(32000, 255, row),
                      threads=threads)


@pytest.mark.parametrize("threads", [1, 2])
def test_exception_from_a_signal_handler_stops_a_long_load(big_file, threads):
    with alarms(raise_once()), pytest.raises(Stop):
        _engine.load(big_file, threads=threads)


def test_interrupted_public_write_keeps_the_previous_file(tmp_path):
    target = tmp_path / "trips.mat"
    old = orvanel.sample().to_bytes()
    target.write_bytes(old)
    sevens = np.broadcast_to(np.float64(7.0), (4000, 4000))
    with alarms(raise_once()), pytest.raises(Stop):
        orvanel.write(target, {f"t{k}": sevens for k in range(40)}, types=0, threads=2)
    assert target.read_bytes() == old and os.listdir(tmp_path) == ["trips.mat"]


# ---- memory -----------------------------------------------------------------------

MEMORY_CHILD = """
import sys
from orvanel import _engine

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

baseline = status("VmRSS")
values = _engine.load(sys.argv[1], threads=int(sys.argv[2]))[0]
peak = (status("VmHWM") - baseline) * 1024
print(peak, values.shape, float(values[0, 0].sum()), float(values[0, -1].sum()), float(values.sum()))
"""


@pytest.mark.skipif(os.environ.get("ORVANEL_SANITIZED") == "1",
                    reason="the sanitizer marks every byte of an allocation in memory of its own")
@pytest.mark.parametrize("threads", [1, 2])
def test_sparse_file_of_32000_zones_loads_without_the_memory_of_its_block(tmp_path, threads):
    """Zero rows are never written to, so the 8 GB block costs only the pages of the rows
    that hold values."""
    z = 32000
    row = (np.arange(z) % 97).astype(np.float64)
    records = [row_record(o, 1, encode_row("0", row)[0] if o in (1, z) else ZERO_ROW) for o in range(1, z + 1)]
    path = tmp_path / "sparse.mat"
    path.write_bytes(standard_header(z, [("t", "0")]) + b"".join(records))
    done = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path, str(threads)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    peak, *facts = done.stdout.split(" ", 1)
    assert facts[0].strip() == f"(1, {z}, {z}) {row.sum()} {row.sum()} {2 * row.sum()}"
    assert int(peak) < 64e6


# ---- public functions -------------------------------------------------------------


def same_matrix(a, b):
    return (a.zones, a.tables, a.banner, a.run_id) == (b.zones, b.tables, b.banner, b.run_id) and same_bits(
        a.to_numpy(), b.to_numpy())


@pytest.mark.parametrize("threads", [None, 1, 2, 3])
def test_public_reads_give_the_low_level_matrix(sample, threads):
    expected = orvanel.Matrix.from_core(_MatrixCore.open(sample))
    data = sample.read_bytes()
    with open(sample, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        doubled = np.repeat(np.frombuffer(data, np.uint8), 2).tobytes()
        sources = [data, bytearray(data), memoryview(data), mapped, np.frombuffer(data, np.uint8),
                   memoryview(doubled)[::2]]
        got = [orvanel.read(sample, threads=threads)] + [orvanel.read_bytes(s, threads=threads) for s in sources]
        assert all(same_matrix(m, expected) for m in got)
    # Named tables in the file's order, not the request's.
    for selected in (orvanel.read(sample, ["COUNT", "TIME"], threads=threads),
                     orvanel.read_bytes(memoryview(data), tables=("COUNT", "TIME"), threads=threads)):
        assert selected.names == ["TIME", "COUNT"] and same_bits(selected.to_numpy(), expected.to_numpy()[[1, 3]])
    assert orvanel.read(str(sample), tables="TIME", threads=threads).names == ["TIME"]
    with pytest.raises(orvanel.TableNotFoundError) as info:
        orvanel.read_bytes(data, ["TIME", "NONE"], threads=threads)
    assert info.value.kind == "table_not_found"


@pytest.mark.parametrize("setting, message", [
    (0, "threads must be at least 1 (got 0)"), (-2, "threads must be at least 1 (got -2)"),
    ("env:0", "the environment variable ORVANEL_NUM_THREADS must be a whole number of at least 1 (got '0')"),
    ("env:two", "the environment variable ORVANEL_NUM_THREADS must be a whole number of at least 1 (got 'two')"),
])
def test_thread_settings_refused(sample, monkeypatch, setting, message):
    m = orvanel.sample()
    threads = setting
    if isinstance(setting, str):
        monkeypatch.setenv("ORVANEL_NUM_THREADS", setting[4:])
        threads = None
    for call in (lambda: orvanel.read(sample, threads=threads), lambda: m.to_bytes(threads=threads),
                 lambda: m.write(sample, threads=threads),
                 lambda: orvanel.write(sample, {"a": np.eye(2)}, threads=threads)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert same_matrix(orvanel.read(sample, threads=1), m)
    with pytest.raises(TypeError):
        orvanel.read(sample, threads=True)


def test_thread_count_from_the_environment(sample, monkeypatch):
    monkeypatch.setenv("ORVANEL_NUM_THREADS", " 3 ")
    assert same_matrix(orvanel.read(sample), orvanel.sample())


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_public_writes_give_the_low_level_bytes(tmp_path, threads):
    rng = np.random.default_rng(2)
    big = rng.integers(-1000, 1000, (60, 60))
    arrays = {
        "int32": big.astype(np.int32),
        "float32-transposed": rng.standard_normal((60, 60)).astype(np.float32).T,
        "float64-strided": np.repeat(rng.standard_normal((60, 60)), 2, axis=0)[::2],
        "big-endian": rng.standard_normal((60, 60)).astype(">f8"),
        "bool": big > 0,
    }
    types = {"int32": 0, "float32-transposed": "S", "bool": 0}
    expected = orvanel.from_arrays(arrays, types, banner="B", run_id="R").to_bytes(threads=1)
    stack = np.stack([np.asarray(a, dtype=np.float64) for a in arrays.values()])
    pairs = [(name, str(types.get(name, "D"))) for name in arrays]
    assert expected == _MatrixCore.to_bytes_from_stack(60, pairs, stack, "B", "R")
    with shared_out():
        orvanel.write(tmp_path / "w.mat", arrays, types, banner="B", run_id="R", threads=threads)
        m = orvanel.read(tmp_path / "w.mat", threads=threads)
        assert (tmp_path / "w.mat").read_bytes() == expected == m.to_bytes(threads=threads)
        m.write(tmp_path / "m.mat", threads=threads)
    assert (tmp_path / "m.mat").read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == ["m.mat", "w.mat"]


def test_public_write_of_an_oversized_row_names_it(tmp_path):
    row = sized_raw_row(65534)
    table = np.zeros((len(row), len(row)))
    table[6] = row
    with pytest.raises(OrvanelWriterError) as info:
        orvanel.write(tmp_path / "out.mat", {"small": np.zeros_like(table), "LARGE": table}, threads=2)
    assert info.value.kind == "payload_too_large"
    assert info.value.__notes__ == ["in table 'LARGE' (number 2), origin zone 7"]
    assert os.listdir(tmp_path) == []


# ---- command line -----------------------------------------------------------------


def test_command_line_threads(tmp_path, sample):
    out = tmp_path / "copy.mat"
    for args in (["convert", "--threads", "3", sample, out], ["validate", "--threads", "2", out],
                 ["diff", "--threads", "2", sample, out], ["info", "--threads", "1", out]):
        done = orvanel_cli(*args)
        assert done.returncode == 0, done.stderr
    assert out.read_bytes() == sample.read_bytes()
    for command in (["info", out], ["validate", out], ["diff", out, out], ["convert", out, tmp_path / "x.mat"]):
        assert_one_line_failure(orvanel_cli(command[0], "--threads", "0", *command[1:]), 2, "--threads",
                                "at least 1")
        failed = orvanel_cli(*command, env={**os.environ, "ORVANEL_NUM_THREADS": "lots"})
        assert_one_line_failure(failed, 2, "ORVANEL_NUM_THREADS", "'lots'")
    assert not (tmp_path / "x.mat").exists()
