"""Thousands of create/load/write/array/free cycles, every error path among them.

Afterwards the process holds no more memory than before (resident pages, bytes in use
by malloc, blocks in use by the interpreter's object allocator), and every argument
handed in (bytes, arrays, table lists, names, paths, values) has the reference count it
had. Under the sanitizer run the memory figures mean nothing (its allocator keeps freed
memory in quarantine) and leaks are the leak checker's business there; the reference
counts are checked all the same.

ORVANEL_LEAK_CYCLES sets the number of measured cycles.
"""

import ctypes
import gc
import os
import pathlib
import struct
import sys

import numpy as np
import pytest

from matrix_bytes import ZERO_ROW, row_record, standard_header
from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    TableDef,
    _MatrixCore,
)

SANITIZED = os.environ.get("ORVANEL_SANITIZED") == "1"
CYCLES = int(os.environ.get("ORVANEL_LEAK_CYCLES", "300" if SANITIZED else "5000"))
WARM_UP = 100

Z = 24
TABLES = [("a", "D"), ("b", "2"), ("c", "S")]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back (small and mapped blocks)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def usage():
    gc.collect()
    return {"resident": resident_bytes(), "malloc": malloc_in_use(), "blocks": sys.getallocatedblocks()}


class Arguments:
    """Every object the cycle hands to the module, kept for the reference counts."""

    def __init__(self, directory):
        rng = np.random.default_rng(11)
        self.stack = np.round(rng.standard_normal((len(TABLES), Z, Z)) * 100, 2)
        self.one_table = self.stack[:1].copy()
        self.table = np.asfortranarray(self.stack[1])
        self.strided = self.stack[:, ::-1, :]
        self.tables = [TableDef(name, code) for name, code in TABLES[:1]] + TABLES[1:]
        self.names = ["c", "a"]
        self.name_tuple = ("b",)
        self.path = str(directory / "cycle.mat")
        self.path_object = directory / "cycle-object.mat"
        self.value = 12.75
        self.banner = "banner text"
        m = _MatrixCore.create(Z, TABLES)
        m.set_stack_array(self.stack)
        self.data = m.to_bytes()
        # Faulty inputs, one per stage of a load.
        self.empty = b""
        self.truncated = self.data[:-1]
        self.trailing = self.data + b"\x00"
        self.bad_header = b"\x03\x00\x00\x00" + self.data[4:]
        header = standard_header(2, [("t", "D")])
        self.bad_preamble = header + row_record(1, 1, b"\x81\x80\x00") + row_record(2, 1, ZERO_ROW)
        self.non_ascii_name = standard_header(2, [("zé", "D")]) + b"".join(
            row_record(o, 1, ZERO_ROW) for o in (1, 2))
        # Arguments of the wrong kind.
        self.byte_array = bytearray(self.data)
        self.byte_path = self.path.encode()
        self.int_array = np.zeros((Z, Z), dtype=np.int64)
        self.wrong_shape = np.zeros((Z, Z + 1))
        self.list_values = [[0.0] * Z] * Z
        self.missing_path = str(directory / "missing" / "x.mat")
        self.unknown_names = ["a", "nope"]
        self.no_names = []
        self.bad_tables = [("", "D")]
        self.bad_code_tables = [("a", "X")]

    def counts(self):
        return {name: sys.getrefcount(value) for name, value in vars(self).items()}


def expect(exception, call, *args):
    try:
        call(*args)
    except exception:
        return
    raise AssertionError(f"{call} did not raise {exception}")


class Reentrant:
    """A value whose conversion calls back into the object being changed."""

    def __init__(self, m):
        self.m = m

    def __float__(self):
        return self.m.get(1, 1, 1)


def cycle(a):
    # Creation, access and arrays.
    m = _MatrixCore.create(Z, a.tables, a.banner, None)
    m.set_stack_array(a.stack)
    m.set_stack_array(a.strided)
    m.set_table_array("b", a.table)
    m.set(3, 2, 1, a.value)
    m.get(3, 2, 1)
    m.checked_get(1, Z + 1, 1)
    m.row("c", 2)
    m.table_total(1)
    m.table_diagonal_total("b")
    m.tables()
    repr(m)
    m.table_index_by_name(a.names[0])
    m.table_array(2)
    m.stack_array()
    (m.zone_count, m.table_count, m.banner, m.run_id)
    # Output and loads.
    m.to_bytes()
    bytes(m)
    m.write(a.path)
    m.write(a.path_object)
    _MatrixCore.from_bytes(a.data)
    _MatrixCore.from_bytes_tables(a.data, a.names)
    _MatrixCore.open(a.path)
    _MatrixCore.open_tables(a.path_object, a.name_tuple)
    _MatrixCore.validate_schema(Z, a.tables).tables()
    _MatrixCore.to_bytes_from_stack(Z, a.tables, a.stack)
    _MatrixCore.write_from_stack(a.path, Z, a.tables, a.stack)
    TableDef("x", "S")

    # Faulty files and byte strings.
    for data in (a.empty, a.truncated, a.trailing, a.bad_header, a.bad_preamble):
        expect(OrvanelParseError, _MatrixCore.from_bytes, data)
        expect(OrvanelError, _MatrixCore.from_bytes_tables, data, a.names)
    expect(OrvanelIoError, _MatrixCore.open, a.missing_path)
    expect(OrvanelValidationError, _MatrixCore.open_tables, a.path, a.unknown_names)
    expect(OrvanelValidationError, _MatrixCore.from_bytes_tables, a.data, a.no_names)
    loaded = _MatrixCore.from_bytes(a.non_ascii_name)
    expect(OrvanelValidationError, loaded.to_bytes)
    expect(OrvanelValidationError, loaded.write, a.path)
    # Failed writes.
    expect(OrvanelIoError, m.write, a.missing_path)
    expect(OrvanelIoError, _MatrixCore.write_from_stack, a.missing_path, Z, a.tables, a.stack)
    expect(OrvanelValidationError, _MatrixCore.create, 0, a.tables)
    expect(OrvanelValidationError, _MatrixCore.create, Z, a.bad_tables)
    expect(OrvanelValidationError, _MatrixCore.validate_schema, Z, a.no_names)
    expect(OrvanelValidationError, _MatrixCore.to_bytes_from_stack, Z, a.bad_tables, a.one_table)
    # Bad arguments.
    expect(TypeError, _MatrixCore.from_bytes, a.byte_array)
    expect(TypeError, _MatrixCore.open, a.byte_path)
    expect(TypeError, _MatrixCore.open_tables, a.path, a.path)
    expect(ValueError, m.get, a.names[1] + "x", 1, 1)
    expect(ValueError, m.get, 1, 0, 1)
    expect(OverflowError, m.get, 1, 70000, 1)
    expect(TypeError, m.get, a.value, 1, 1)
    expect(TypeError, m.set, 1, 1, 1, a.banner)
    expect(TypeError, m.set_table_array, 1, a.list_values)
    expect(TypeError, m.set_table_array, 1, a.int_array)
    expect(ValueError, m.set_table_array, 1, a.wrong_shape)
    expect(ValueError, m.set_stack_array, a.stack[:2])
    expect(ValueError, _MatrixCore.to_bytes_from_stack, Z, a.tables, a.wrong_shape[None])
    expect(ValueError, _MatrixCore.create, Z, a.bad_code_tables)
    expect(TypeError, _MatrixCore.create, Z, Z)
    expect(TypeError, TableDef, Z, "S")
    expect(TypeError, m.get, 1, 1)
    # A refused hold.
    expect(RuntimeError, m.set, 1, 1, 1, Reentrant(m))


@pytest.fixture(scope="module")
def arguments(tmp_path_factory):
    return Arguments(tmp_path_factory.mktemp("leaks"))


def test_cycles_keep_memory_flat_and_argument_references(arguments):
    for _ in range(WARM_UP):
        cycle(arguments)
    counts = arguments.counts()
    before = usage()
    for _ in range(CYCLES):
        cycle(arguments)
    after = usage()
    assert arguments.counts() == counts

    growth = {k: after[k] - before[k] for k in before}
    print(f"\nafter {CYCLES} cycles: resident {growth['resident']:+d} B, malloc {growth['malloc']:+d} B, "
          f"interpreter blocks {growth['blocks']:+d}")
    if SANITIZED:
        return
    # A cycle moves some 100 KB through the module and raises over 40 errors: a leak of
    # one error, one small object or one buffer per cycle exceeds these bounds.
    assert growth["resident"] < 4 * 2**20
    assert growth["malloc"] < 16 * CYCLES
    assert growth["blocks"] < CYCLES // 10


def test_results_are_owned_by_the_caller_alone(arguments):
    """Nothing inside the module keeps a reference to what it returns: dropping a
    result frees it, and an array's buffer goes with its array."""
    m = _MatrixCore.from_bytes(arguments.data)
    makers = [lambda: m.table_array(1), m.stack_array, lambda: m.row(1, 1), m.tables, m.to_bytes,
              lambda: _MatrixCore.from_bytes(arguments.data), lambda: m.get(1, 1, 1)]
    results = [make() for make in makers]
    # (Counted outside the assert statements, which keep references of their own.)
    counts = [sys.getrefcount(results[k]) for k in range(len(results))]
    assert counts == [2] * len(results)  # the list's and the call's own
    bases = [sys.getrefcount(r.base) for r in results if isinstance(r, np.ndarray)]
    assert bases == [2, 2]  # the array's and the call's own
