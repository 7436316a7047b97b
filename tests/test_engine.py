"""The engine against the low-level module: for any input and number of threads the same
values, bytes and errors; signals, memory, and the public functions and command line."""

import contextlib
import itertools
import mmap
import os
import subprocess
import sys

import numpy as np
import pytest

import orvanel
from conftest import EngineMatrix, engine_source
from orvanel import _engine
from orvanel._orvanel import (
    OrvanelError,
    OrvanelParseError,
    OrvanelWriterError,
    TableDef,
    _MatrixCore,
)
from reference_codec import (
    ZERO_ROW,
    assemble,
    encode_row,
    literal,
    payload,
    row_record,
    run,
    sized_raw_row,
    standard_header,
)
from support import (
    Stop,
    alarms,
    assert_one_line_failure,
    check_core_error,
    orvanel_cli,
    raise_once,
    raises_exact,
    same_bits,
    shared_out,
)

THREADS = [1, 2, 3, 8, 2**70]  # more threads than the machine has are capped
SOURCES = ["bytes", "path", "bytearray", "memoryview", "mmap"]


def outcome(call):
    """The value a call returns, or the exception it raises."""
    try:
        return call()
    except OrvanelError as exc:
        return exc


def check_same_error(got, expected):
    assert isinstance(expected, OrvanelError), expected
    check_core_error(got, type(expected), expected.kind, expected.offset,
                     str(expected).split(": ", 1)[1] if expected.offset is not None else str(expected))


def low_level_load(data, names=None):
    return outcome(lambda: _MatrixCore.from_bytes(data) if names is None else _MatrixCore.from_bytes_tables(data, names))


def engine_load(data, names=None, threads=1, kind="bytes", path=None):
    return outcome(lambda: EngineMatrix(_engine.load(engine_source(kind, data, path), names, threads=threads)))


def check_same_load(got, expected):
    """An engine load's outcome is the low-level module's."""
    if isinstance(expected, OrvanelError):
        check_same_error(got, expected)
        return
    assert isinstance(got, EngineMatrix), got
    assert (got.zone_count, got.banner, got.run_id) == (expected.zone_count, expected.banner, expected.run_id)
    assert [tuple(t) for t in got.tables()] == [(t.index, t.name, t.type_code) for t in expected.tables()]
    assert same_bits(got.values, expected.stack_array())


# ---- round trips ------------------------------------------------------------------


def realistic_stack(zones, seed):
    """Four tables with every kind of row: zero rows, fixed point, single precision,
    doubles, values that fall back to raw doubles."""
    rng = np.random.default_rng(seed)
    shape = (zones, zones)
    trips = np.round(rng.gamma(0.6, 8.0, shape), 2)
    trips[rng.random(shape) < 0.7] = 0.0
    trips[::7] = 0.0
    time = np.round(rng.uniform(5.0, 120.0, shape), 4)
    cost = rng.uniform(0.5, 50.0, shape).astype(np.float32).astype(np.float64)
    cost[3, 5] = 1e39
    count = rng.poisson(3.0, shape).astype(np.float64)
    count[11, 2] = np.nan
    return np.stack([trips, time, cost, count])


REALISTIC_TABLES = [("TRIPS", "2"), ("TIME", "D"), ("COST", "S"), ("COUNT", "0")]
Z = 230
STACK = realistic_stack(Z, 5)
EXPECTED = _MatrixCore.to_bytes_from_stack(Z, REALISTIC_TABLES, STACK)


def unaligned(stack):
    """The same values in an array whose data does not start on an 8-byte boundary."""
    raw = np.zeros(stack.nbytes + 1, dtype=np.uint8)
    raw[1:] = np.frombuffer(stack.tobytes(), dtype=np.uint8)
    array = np.frombuffer(raw.data, dtype=np.float64, offset=1).reshape(stack.shape)
    assert not array.flags.aligned
    return array


LAYOUTS = {
    "stack": lambda s: s,
    "tables": lambda s: list(s),
    "fortran-tables": lambda s: [np.asfortranarray(t) for t in s],
    "strided": lambda s: np.repeat(s, 2, axis=2)[:, :, ::2],
    "negative-strides": lambda s: np.ascontiguousarray(s[:, ::-1, ::-1])[:, ::-1, ::-1],
    "unaligned": unaligned,
}


@pytest.mark.parametrize("batch_cells", [1, 3 * Z, None], ids=["record-batches", "3-row-batches", "default"])
@pytest.mark.parametrize("layout, kind", list(itertools.zip_longest(LAYOUTS, SOURCES, fillvalue="bytes")))
def test_same_bytes_and_values_for_every_thread_count(tmp_path, layout, kind, batch_cells):
    """Writes from every layout of the values, loads from every kind of source."""
    values, path = LAYOUTS[layout](STACK), tmp_path / "m.mat"
    with shared_out(1, batch_cells or _engine._tuning()[1]):
        for threads in THREADS:
            assert _engine.write(None, Z, REALISTIC_TABLES, values, threads=threads) == EXPECTED
            _engine.write(str(path), Z, REALISTIC_TABLES, values, threads=threads)
            assert path.read_bytes() == EXPECTED
            for names in (None, ["COST"], ["COUNT", "TRIPS", "COUNT"]):
                check_same_load(engine_load(EXPECTED, names, threads, kind, path), low_level_load(EXPECTED, names))


@contextlib.contextmanager
def through_blocks():
    """Writes to memory go through blocks, then into their bytes object, instead of
    straight into a bytes object with room for the largest file."""
    previous = _engine._region_limit(0)
    try:
        yield
    finally:
        _engine._region_limit(previous)


@pytest.mark.parametrize("route", [contextlib.nullcontext, through_blocks], ids=["in-place", "through-blocks"])
@pytest.mark.parametrize("threads", [1, 2])
def test_bytes_written_in_place_or_through_blocks_are_the_same(route, threads):
    """Also for a file far smaller than the room it was written in (zero rows)."""
    zeros = np.zeros_like(STACK)
    zeros[1, 7] = 1.5
    with route():
        got = [_engine.write(None, Z, REALISTIC_TABLES, values, threads=threads) for values in (STACK, zeros)]
    expected = [EXPECTED, _MatrixCore.to_bytes_from_stack(Z, REALISTIC_TABLES, zeros)]
    assert got == expected and hash(got[1]) == hash(bytes(bytearray(expected[1])))


IN_LITTLE_ADDRESS_SPACE = r"""
import resource, sys
import numpy as np
from orvanel import _engine
from orvanel._orvanel import _MatrixCore
zones, tables = 2000, [("a", "D"), ("b", "S"), ("c", "0"), ("d", "2")]
stack = np.zeros((4, zones, zones))  # never touched: no memory, only address space
stack[:, :, 0] = 1.0
expected = _MatrixCore.to_bytes_from_stack(zones, tables, stack)
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
# 40 MB more: no room for the largest file of this header (over 100 MB), plenty for this one.
resource.setrlimit(resource.RLIMIT_AS, (size + 40_000_000, resource.RLIM_INFINITY))
got = _engine.write(None, zones, tables, stack, threads=int(sys.argv[1]))
print(got == expected, len(expected))
"""


@pytest.mark.skipif(os.environ.get("ORVANEL_SANITIZED") == "1", reason="the sanitizer reserves address space")
@pytest.mark.parametrize("threads", [1, 2])
def test_bytes_without_room_for_the_largest_file_go_through_blocks(threads):
    done = subprocess.run([sys.executable, "-c", IN_LITTLE_ADDRESS_SPACE, str(threads)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    same, size = done.stdout.split()
    assert same == "True" and int(size) < 1_000_000


def test_a_file_larger_than_a_read_chunk(tmp_path):
    """Records cross the boundaries of the chunks a file is read in and of the blocks it is
    written in (and write-back is started for, or blocks reserved ahead for), a longer file
    written over in place is cut to the new length and keeps no reserved block past its
    end, and a chunk is reused only once every record in it was decoded."""
    zones = 1100
    stack = realistic_stack(zones, 9)[1:3]
    data = _MatrixCore.to_bytes_from_stack(zones, REALISTIC_TABLES[1:3], stack)
    assert len(data) > 9 << 20
    path = tmp_path / "big.mat"
    for threads, writeback in [(1, False), (1, True), (3, True)]:
        path.write_bytes(data + b"longer")
        _engine.write(str(path), zones, REALISTIC_TABLES[1:3], stack, threads=threads, start_writeback=writeback)
        assert path.read_bytes() == data and same_bits(_engine.load(path, threads=threads)[0], stack)
        assert path.stat().st_blocks * 512 < len(data) + (1 << 20)
    with shared_out(1, 7 * zones):
        assert same_bits(_engine.load(path, threads=2)[0], stack)


# ---- faults in several rows -------------------------------------------------------

FZ, FT = 24, 3
FAULT_TABLES = [("a", "D"), ("b", "2"), ("c", "S")]
FAULT_VALUES = realistic_stack(FZ, 3)[1:]
FAULT_VALUES[~np.isfinite(FAULT_VALUES) | (FAULT_VALUES > 1e30)] = 0.5
FAULT_VALUES[1] = np.round(FAULT_VALUES[1], 2)
FAULT_VALUES[:, 5] = 0.0


def fault_records():
    codes = [code for _, code in FAULT_TABLES]
    return [row_record(o + 1, t + 1, encode_row(codes[t], FAULT_VALUES[t, o])[0])
            for o in range(FZ) for t in range(FT)]


# Each fault replaces record k: (kind of fault, function of the original record).
FAULTS = {
    "preamble": lambda k, r: r[:5] + b"\x81" + r[6:],
    "descriptor": lambda k, r: r[:5] + payload(0x07),
    "zero-run": lambda k, r: row_record(k // FT + 1, k % FT + 1, payload(0x80, bytes.fromhex("0000"))),
    "plane-size": lambda k, r: row_record(k // FT + 1, k % FT + 1, payload(0x80, run(FZ + 1, 1))),
    "trailing": lambda k, r: row_record(k // FT + 1, k % FT + 1, payload(0x80, run(FZ, 1), b"\x00")),
    "eof-in-payload": lambda k, r: row_record(k // FT + 1, k % FT + 1, payload(0x80, literal(b"\x01" * FZ)[:-1])),
    "order": lambda k, r: row_record(k // FT + 2, k % FT + 1, ZERO_ROW),
    "chunk": lambda k, r: r[:3] + b"\x01\x00" + r[5:],
    "range": lambda k, r: row_record(FZ + 5, 1, ZERO_ROW),
}
PAYLOAD_FAULTS = ["preamble", "descriptor", "zero-run", "plane-size", "trailing", "eof-in-payload"]


def faulty_file(faults):
    """The file with record k replaced for each (k, fault); "cut" ends the file there."""
    records = fault_records()
    cut = None
    for k, fault in faults:
        if fault == "cut":
            cut = k
        else:
            records[k] = FAULTS[fault](k, records[k])
    data, starts = assemble(standard_header(FZ, FAULT_TABLES), records)
    return data[: starts[cut] + 3] if cut is not None else data


FAULT_SETS = [
    [(40, "preamble"), (41, "descriptor"), (70, "zero-run")],
    [(70, "plane-size"), (12, "trailing"), (13, "eof-in-payload")],
    [(3, "descriptor"), (4, "order")],
    [(30, "preamble"), (29, "chunk")],
    [(50, "range"), (49, "zero-run"), (51, "preamble")],
    [(60, "cut"), (59, "trailing")],
    [(60, "cut"), (61, "preamble")],
    [(FZ * FT - 1, "descriptor"), (1, "plane-size")],
    [(k, "preamble") for k in range(0, FZ * FT, 5)],
    [(k, "eof-in-payload") for k in range(FZ * FT - 1, 10, -4)],
]


@pytest.mark.parametrize("batch_cells", [1, 2 * FZ], ids=["record-batches", "2-row-batches"])
@pytest.mark.parametrize("faults", FAULT_SETS, ids=lambda f: "+".join(f"{k}:{n}" for k, n in f))
def test_faults_in_rows_other_threads_decode_give_the_serial_error(tmp_path, faults, batch_cells):
    data = faulty_file(faults)
    expected = low_level_load(data)
    assert isinstance(expected, OrvanelParseError)
    with shared_out(1, batch_cells):
        for threads in THREADS:
            for kind in SOURCES:
                check_same_load(engine_load(data, None, threads, kind, tmp_path / "m.mat"), expected)
            for names in (["a"], ["c", "b"]):
                check_same_load(engine_load(data, names, threads, "bytes"), low_level_load(data, names))


# ---- sources --------------------------------------------------------------------


THREAD_ERRORS = [
    (0, ValueError, "threads must be at least 1 (got 0)"),
    (-(2**70), ValueError, f"threads must be at least 1 (got {-(2**70)})"),
    (True, TypeError, "argument 'threads': 'bool' object is not an instance of 'int'"),
    ("2", TypeError, "argument 'threads': 'str' object cannot be interpreted as an integer")]


@pytest.mark.parametrize("call, cls, message", [
    (lambda: _engine.load(5), TypeError, "argument 'source': expected a path (str or os.PathLike) or a bytes-like object, not int"),
    (lambda: _engine.load(np.arange(40.0)[::2]), BufferError, "argument 'source': a bytes-like object must be C-contiguous"),
    (lambda: _engine.write(None, Z, REALISTIC_TABLES, np.zeros((4, Z, Z + 1))), ValueError,
     f"stack array must have shape (4, {Z}, {Z}) (got [4, {Z}, {Z + 1}])"),
    (lambda: _engine.write(None, Z, REALISTIC_TABLES, [np.zeros((Z, Z))] * 3), ValueError, "values must hold 4 tables (got 3)"),
    (lambda: _engine.write(None, Z, REALISTIC_TABLES, [np.zeros((Z, Z))] * 3 + [np.zeros((Z, 2))]), ValueError,
     f"table array must have shape ({Z}, {Z}) (got [{Z}, 2])"),
    (lambda: _engine.write(None, Z, REALISTIC_TABLES, np.zeros((4, Z, Z), np.float32)), TypeError,
     "argument 'values': 'ndarray' object is not an instance of 'ndarray'"),
    (lambda: _engine.write(None, Z, REALISTIC_TABLES, {"a": STACK[0]}), TypeError,
     "argument 'values': 'dict' object is not an instance of 'ndarray'"),
    *[(lambda t=threads: _engine.load(EXPECTED, threads=t), cls, message) for threads, cls, message in THREAD_ERRORS],
    *[(lambda t=threads: _engine.write(None, Z, REALISTIC_TABLES, STACK, threads=t), cls, message)
      for threads, cls, message in THREAD_ERRORS],
])
def test_arguments_refused(call, cls, message):
    with raises_exact(cls, message):
        call()


def test_loads_release_files_and_buffers(tmp_path):
    """Files are closed, and buffers read in place released, after a failure too."""
    path = tmp_path / "m.mat"
    before = sorted(os.listdir("/proc/self/fd"))
    loads = [lambda names: _MatrixCore.open(path), lambda names: _MatrixCore.open_tables(path, names or ["COST"]),
             lambda names: _engine.load(path, names, threads=1), lambda names: _engine.load(path, names, threads=3)]
    with shared_out():
        for data, names in [(EXPECTED, None), (EXPECTED[:-1], ["COST"]), (EXPECTED[:60], None),
                            (EXPECTED + b"\0", None), (EXPECTED, ["zz"]), (faulty_file(FAULT_SETS[0]), None)]:
            path.write_bytes(data)
            for load in loads:
                outcome(lambda: load(names))
            buffer, mapped = bytearray(data), engine_source("mmap", data, tmp_path / "mapped.mat")
            for source in (buffer, mapped):
                outcome(lambda: _engine.load(source, names, threads=2))
            buffer += b"x"  # resizing fails while a buffer is exported
            mapped.close()  # as does closing a map
    assert sorted(os.listdir("/proc/self/fd")) == before


# ---- writing errors ---------------------------------------------------------------


def low_level_write(*args, **kwargs):
    return outcome(lambda: _MatrixCore.to_bytes_from_stack(*args, **kwargs))


@pytest.mark.parametrize("zones, tables, kwargs", [
    (0, [("a", "D")], {}), (2, [], {}), (2, [("a", "D")] * 256, {}), (2, [("Zürich", "D")], {}),
    (2, [("a", "D")], {"banner": "x" * 2_000_000}), (2, [("n" * 4110, "D")] * 255, {}),
    (2, [TableDef("a", 3), ("b", "S")], {"banner": "", "run_id": ""})])
def test_schema_checks_as_the_low_level_module(tmp_path, zones, tables, kwargs):
    stack = np.zeros((len(tables), zones, zones))
    expected = low_level_write(zones, tables, stack, **kwargs)
    target = tmp_path / "out.mat"
    for threads in (1, 3):
        got = outcome(lambda: _engine.write(None, zones, tables, stack, threads=threads, **kwargs))
        file_got = outcome(lambda: _engine.write(target, zones, tables, list(stack), threads=threads, **kwargs))
        if isinstance(expected, OrvanelError):
            check_same_error(got, expected)
            check_same_error(file_got, expected)
            assert not target.exists()  # checked before the file is opened
        else:
            assert got == expected and file_got is None and target.read_bytes() == expected


@pytest.mark.parametrize("how, threads", [*itertools.product(["bytes", "bytes-through-blocks", "file"], THREADS),
                                          *itertools.product(["rows"], [1, 2, 3]), ("public", 2)])
def test_oversized_row_is_the_serial_error_with_a_note(tmp_path, how, threads):
    """Written whole, to memory or a file, block by block (orvanel.RowWriter), or by the
    public function: the low-level module's error, the row named, no file left."""
    row = sized_raw_row(65534)
    zones = len(row)
    stack = np.zeros((2, zones, zones))
    stack[1, 2] = stack[0, 40] = stack[1, 90] = row  # later records fail too
    tables = [("a", "D"), ("TRIPS", "S")]
    expected = low_level_write(zones, tables, stack)
    assert isinstance(expected, OrvanelWriterError) and expected.kind == "payload_too_large"
    target = tmp_path / "m.mat"

    def rows():
        with orvanel.RowWriter(target, zones, tables, threads=threads) as writer:
            writer.write(stack[:, :2])
            writer.write(stack[:, 2:])

    def through_blocks_to_bytes():
        with through_blocks():
            return _engine.write(None, zones, tables, stack, threads=threads)

    write = {"bytes": lambda: _engine.write(None, zones, tables, stack, threads=threads),
             "bytes-through-blocks": through_blocks_to_bytes,
             "file": lambda: _engine.write("/dev/null", zones, tables, list(stack), threads=threads), "rows": rows,
             "public": lambda: orvanel.write(target, dict(zip(["a", "TRIPS"], stack)), {"TRIPS": "S"}, threads=threads)}
    with shared_out(1, 3 * zones):
        got = outcome(write[how])
    check_same_error(got, expected)
    assert got.__notes__ == ["in table 'TRIPS' (number 2), origin zone 3"]
    assert os.listdir(tmp_path) == []


def zero_row_file(zones, tables):
    """A valid file of zero rows, built record by record as arrays (millions of them)."""
    count = zones * tables
    records = np.zeros(count, dtype=[("row", "<u2"), ("table", "u1"), ("chunk", "<u2"), ("payload", "S3")])
    records["row"] = np.arange(count) // tables + 1
    records["table"] = np.arange(count) % tables + 1
    records["chunk"] = len(ZERO_ROW) + 2
    records["payload"] = ZERO_ROW
    return standard_header(zones, [(f"t{k}", "D") for k in range(tables)]) + records.tobytes()


def refuses_a_terabyte():
    """Whether the system refuses an allocation far beyond its memory (unless told to)."""
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() in ("0", "2")
    except OSError:
        return False


@pytest.mark.skipif(not refuses_a_terabyte(), reason="the system hands out any amount of memory")
def test_a_block_memory_cannot_hold_is_a_memory_error():
    """A file that holds every row its header promises, for a block of a terabyte: a
    plain MemoryError, as from the low-level module."""
    data = zero_row_file(65535, 40)
    for load in (lambda: _MatrixCore.from_bytes(data), lambda: _engine.load(data, threads=1),
                 lambda: _engine.load(data, threads=2)):
        with pytest.raises(MemoryError) as info:
            load()
        assert type(info.value) is MemoryError and info.value.args == ()


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


def test_signal_handlers_run_during_a_long_load(big_file):
    """The calling thread looks for signals between batches, at most every 20 ms: handlers
    run while the load (on one thread, several times that long) goes on. Signals arriving
    meanwhile would otherwise be handled once, when the call returns. (A write that did not
    look for them would outlast the watchdog of the test below.)"""
    handled = []
    with alarms(lambda signum, frame: handled.append(signum), every=0.005):
        _engine.load(big_file, threads=1)
    assert len(handled) >= 2


@pytest.mark.parametrize("work, threads", [("write", 1), ("write", 3), ("load", 1), ("load", 2)])
def test_exception_from_a_signal_handler_stops_a_long_call(big_file, work, threads):
    """Were it not stopped, the write would outlast the watchdog of `alarms`."""
    with alarms(raise_once()), pytest.raises(Stop):
        if work == "load":
            _engine.load(big_file, threads=threads)
        else:
            _engine.write("/dev/null", 32000, [(f"t{k}", "0") for k in range(255)],
                          broadcast_stack(32000, 255, np.arange(32000) % 200), threads=threads)


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


# ---- public functions and the command line -----------------------------------------


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


@pytest.mark.parametrize("setting, message", [
    (0, "threads must be at least 1 (got 0)"),
    ("env:0", "the environment variable ORVANEL_NUM_THREADS must be a whole number of at least 1 (got '0')"),
    ("env:two", "the environment variable ORVANEL_NUM_THREADS must be a whole number of at least 1 (got 'two')")])
def test_thread_settings_refused(sample, monkeypatch, setting, message):
    m, threads = orvanel.sample(), None if isinstance(setting, str) else setting
    if threads is None:
        monkeypatch.setenv("ORVANEL_NUM_THREADS", setting[4:])
    for call in (lambda: orvanel.read(sample, threads=threads), lambda: m.to_bytes(threads=threads),
                 lambda: m.write(sample, threads=threads),
                 lambda: orvanel.write(sample, {"a": np.eye(2)}, threads=threads)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(TypeError):
        orvanel.read(sample, threads=True)
    monkeypatch.setenv("ORVANEL_NUM_THREADS", " 3 ")
    assert same_matrix(orvanel.read(sample), m)


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
