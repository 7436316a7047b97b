"""Thousands of create/load/write/array/free cycles, every error path among them, leave
memory use (resident, malloc, interpreter blocks) flat and every argument with the
reference count it had. Under the sanitizer only the reference counts are checked (its
allocator quarantines freed memory). ORVANEL_LEAK_CYCLES sets the measured cycles."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    TableDef,
    _MatrixCore,
)
from reference_codec import ZERO_ROW, row_record, standard_header

SANITIZED = os.environ.get("ORVANEL_SANITIZED") == "1"
CYCLES = int(os.environ.get("ORVANEL_LEAK_CYCLES", "300" if SANITIZED else "5000"))
WARM_UP = 100

Z = 24
TABLES = [("a", "D"), ("b", "2"), ("c", "S")]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def usage():
    gc.collect()
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    # malloc: bytes handed out and not had back, small and mapped blocks
    return {"resident": resident, "malloc": info.uordblks + info.hblkhd, "blocks": sys.getallocatedblocks()}


class OwnBytes(bytes):
    """Bytes of an object of their own: b"" itself is one object the whole interpreter
    shares, whose reference count moves with any code that touches it."""


class Arguments:
    """Every object the cycle hands to the module, kept for the reference counts."""

    def __init__(self, directory):
        self.stack = np.round(np.random.default_rng(11).standard_normal((len(TABLES), Z, Z)) * 100, 2)
        self.one_table, self.strided = self.stack[:1].copy(), self.stack[:, ::-1]
        self.table = np.asfortranarray(self.stack[1])
        self.tables = [TableDef(name, code) for name, code in TABLES[:1]] + TABLES[1:]
        self.names, self.name_tuple = ["c", "a"], ("b",)
        self.path, self.path_object = str(directory / "cycle.mat"), directory / "cycle-object.mat"
        self.value, self.banner = 12.75, "banner text"
        m = _MatrixCore.create(Z, TABLES)
        m.set_stack_array(self.stack)
        self.data = m.to_bytes()
        # Faulty inputs, one per stage of a load.
        self.empty, self.truncated, self.trailing = OwnBytes(), self.data[:-1], self.data + b"\x00"
        self.bad_header = b"\x03\x00\x00\x00" + self.data[4:]
        header = standard_header(2, [("t", "D")])
        self.bad_preamble = header + row_record(1, 1, b"\x81\x80\x00") + row_record(2, 1, ZERO_ROW)
        zero_rows = row_record(1, 1, ZERO_ROW) + row_record(2, 1, ZERO_ROW)
        self.non_ascii_name = standard_header(2, [("zé", "D")]) + zero_rows
        # Arguments of the wrong kind.
        self.byte_array, self.byte_path = bytearray(self.data), self.path.encode()
        self.int_array, self.wrong_shape = np.zeros((Z, Z), dtype=np.int64), np.zeros((Z, Z + 1))
        self.missing_path = str(directory / "missing" / "x.mat")
        self.unknown_names, self.no_names = ["a", "nope"], []
        self.bad_tables, self.bad_code_tables = [("", "D")], [("a", "X")]

    def counts(self):
        return {name: sys.getrefcount(value) for name, value in vars(self).items()}


class Reentrant:
    """A value whose conversion calls back into the object being changed."""

    def __init__(self, m):
        self.m = m

    def __float__(self):
        return self.m.get(1, 1, 1)


def cycle(a):
    m = _MatrixCore.create(Z, a.tables, a.banner, None)
    m.set_stack_array(a.stack)
    m.set_stack_array(a.strided)
    m.set_table_array("b", a.table)
    m.set(3, 2, 1, a.value)
    m.get(3, 2, 1), m.checked_get(1, Z + 1, 1), m.row("c", 2), m.table_total(1), m.table_diagonal_total("b")
    m.tables(), repr(m), m.table_index_by_name(a.names[0]), m.table_array(2), m.stack_array()
    m.zone_count, m.table_count, m.banner, m.run_id, m.to_bytes(), bytes(m)
    m.write(a.path)
    m.write(a.path_object)
    _MatrixCore.from_bytes(a.data), _MatrixCore.from_bytes_tables(a.data, a.names)
    _MatrixCore.open(a.path), _MatrixCore.open_tables(a.path_object, a.name_tuple)
    _MatrixCore.validate_schema(Z, a.tables).tables(), _MatrixCore.to_bytes_from_stack(Z, a.tables, a.stack)
    _MatrixCore.write_from_stack(a.path, Z, a.tables, a.stack)
    TableDef("x", "S")

    loaded = _MatrixCore.from_bytes(a.non_ascii_name)
    failing = [(OrvanelParseError, _MatrixCore.from_bytes, data) for data in
               (a.empty, a.truncated, a.trailing, a.bad_header, a.bad_preamble)]
    failing += [(OrvanelError, _MatrixCore.from_bytes_tables, data, a.names) for data in
                (a.empty, a.truncated, a.trailing, a.bad_header, a.bad_preamble)]
    failing += [
        (OrvanelIoError, _MatrixCore.open, a.missing_path),
        (OrvanelValidationError, _MatrixCore.open_tables, a.path, a.unknown_names),
        (OrvanelValidationError, _MatrixCore.from_bytes_tables, a.data, a.no_names),
        (OrvanelValidationError, loaded.to_bytes),
        (OrvanelValidationError, loaded.write, a.path),
        (OrvanelIoError, m.write, a.missing_path),
        (OrvanelIoError, _MatrixCore.write_from_stack, a.missing_path, Z, a.tables, a.stack),
        (OrvanelValidationError, _MatrixCore.create, 0, a.tables),
        (OrvanelValidationError, _MatrixCore.create, Z, a.bad_tables),
        (OrvanelValidationError, _MatrixCore.validate_schema, Z, a.no_names),
        (OrvanelValidationError, _MatrixCore.to_bytes_from_stack, Z, a.bad_tables, a.one_table),
        (TypeError, _MatrixCore.from_bytes, a.byte_array),
        (TypeError, _MatrixCore.open, a.byte_path),
        (TypeError, _MatrixCore.open_tables, a.path, a.path),
        (ValueError, m.get, a.names[1] + "x", 1, 1),
        (ValueError, m.get, 1, 0, 1),
        (OverflowError, m.get, 1, 70000, 1),
        (TypeError, m.get, a.value, 1, 1),
        (TypeError, m.set, 1, 1, 1, a.banner),
        (TypeError, m.set_table_array, 1, a.int_array),
        (ValueError, m.set_table_array, 1, a.wrong_shape),
        (ValueError, m.set_stack_array, a.stack[:2]),
        (ValueError, _MatrixCore.to_bytes_from_stack, Z, a.tables, a.wrong_shape[None]),
        (ValueError, _MatrixCore.create, Z, a.bad_code_tables),
        (TypeError, _MatrixCore.create, Z, Z),
        (TypeError, TableDef, Z, "S"),
        (TypeError, m.get, 1, 1),
        (RuntimeError, m.set, 1, 1, 1, Reentrant(m)),  # a refused hold
    ]
    for exception, call, *args in failing:
        with pytest.raises(exception):
            call(*args)


@pytest.fixture(scope="module")
def arguments(tmp_path_factory):
    return Arguments(tmp_path_factory.mktemp("leaks"))


def test_cycles_keep_memory_flat_and_argument_references(arguments):
    for _ in range(WARM_UP):
        cycle(arguments)
    # Garbage left by earlier tests is collected before the counts are taken, not during
    # the measured cycles: its finalizers may change the count of a shared object (b"").
    gc.collect()
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
    # A cycle moves some 100 KB through the module and raises some 40 errors: a leak of
    # one error, one small object or one buffer per cycle exceeds these bounds.
    assert growth["resident"] < 4 * 2**20
    assert growth["malloc"] < 16 * CYCLES
    assert growth["blocks"] < CYCLES // 10


def test_results_are_owned_by_the_caller_alone(arguments):
    """Nothing inside the module keeps a reference to what it returns (or to an array's buffer)."""
    m = _MatrixCore.from_bytes(arguments.data)
    makers = [lambda: m.table_array(1), m.stack_array, lambda: m.row(1, 1), m.tables, m.to_bytes,
              lambda: _MatrixCore.from_bytes(arguments.data), lambda: m.get(1, 1, 1)]
    results = [make() for make in makers]
    # (Counted outside the assert statements, which keep references of their own.)
    counts = [sys.getrefcount(results[k]) for k in range(len(results))]
    assert counts == [2] * len(results)  # the list's and the call's own
    bases = [sys.getrefcount(r.base) for r in results if isinstance(r, np.ndarray)]
    assert bases == [2, 2]  # the array's and the call's own
