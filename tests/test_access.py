import functools
import operator

import numpy as np
import pytest

from orvanel._orvanel import TableDef, _MatrixCore
from reference_codec import bits, from_bits, matrix_file
from support import raises_exact

Z = 4
TABLES = [("a", "D"), ("b", "2"), ("a", "S")]
VALUES = np.stack([
    np.array([[1e16, 1.0, -1e16, 1.0], [0.5, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0], [9.0, 10.0, 11.0, 12.5]]),
    (np.arange(16).reshape(Z, Z) - 7) * 13 / 100,
    (np.arange(16).reshape(Z, Z) * 0.1 - 0.5).astype(np.float32).astype(np.float64),
])
VALUES[2, 3, 3] = -0.0
DATA = matrix_file(Z, TABLES, VALUES, banner="banner", run_id="run")


def sequential_sum(values):
    return functools.reduce(operator.add, values, -0.0)


# Storage-order sums differ from sums taken in other orders.
assert sequential_sum(VALUES[0].ravel()) != sequential_sum(VALUES[0].T.ravel())
TOTAL_1 = sequential_sum(VALUES[0].ravel())


@pytest.fixture
def m():
    return _MatrixCore.from_bytes(DATA)


class Hooked:
    def __init__(self, value, hook=lambda: None):
        self.value, self.hook = value, hook

    def get(self):
        self.hook()
        return self.value


class Index(Hooked):
    __index__ = Hooked.get


class Real(Hooked):
    __float__ = Hooked.get


class Name(str):
    pass


def test_properties_and_tables_cannot_be_changed(m):
    for obj, name in [(m, "zone_count"), (m, "table_count"), (m, "banner"), (m, "run_id"), (m.tables()[0], "name")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    infos = m.tables()
    infos.clear()
    assert [(i.index, i.name, i.type_code) for i in m.tables()] == [(1, "a", "D"), (2, "b", "2"), (3, "a", "S")]


def test_every_cell_row_and_total(m):
    for t in range(1, 4):
        table = VALUES[t - 1]
        for o in range(1, Z + 1):
            assert bits(m.row(t, o)) == bits(table[o - 1])
            for d in range(1, Z + 1):
                expected = bits(table[o - 1, d - 1])
                assert bits(m.get(t, o, d)) == expected
                assert bits(m.checked_get(table=t, origin=o, destination=d)) == expected
                assert bits(m.get(t, destination=d, origin=o)) == expected
        assert bits(m.table_total(t)) == bits(sequential_sum(table.ravel()))
        assert bits(m.table_diagonal_total(table=t)) == bits(sequential_sum(np.diagonal(table)))
    row = m.row(origin=2, table=1)
    row[0] = 99.0
    assert m.row(1, 2) is not row and m.get(1, 2, 1) == 0.5
    assert (m.get(1, np.uint16(2), np.int64(3)), m.get(1, Index(2), True), m.checked_get(1, Index(5), 1)) == (3.0, 0.5, None)
    assert [m.checked_get(1, o, d) for o, d in OUTSIDE] == [None] * len(OUTSIDE)


@pytest.mark.parametrize("fill, sign", [(-0.0, -1.0), (0.0, 1.0)])
def test_totals_of_signed_zero_tables(fill, sign):
    m = _MatrixCore.from_bytes(matrix_file(2, [("z", "D")], np.full((1, 2, 2), fill), code="raw"))
    assert np.copysign(1.0, m.table_total(1)) == np.copysign(1.0, m.table_diagonal_total(1)) == sign


@pytest.mark.parametrize("table, index", [("a", 1), (Name("b"), 2), (2, 2), (True, 1), (np.int64(2), 2), (Index(3), 3)])
def test_table_selector(m, table, index):
    if isinstance(table, str):
        assert m.table_index_by_name(table) == m.table_index_by_name(name=table) == index
        assert m.table_index_by_name(table.upper()) is None
    assert m.get(table, 2, 3) == VALUES[index - 1, 1, 2]
    assert m.row(table, 4) == VALUES[index - 1, 3].tolist()
    assert m.table_total(table) == m.table_total(index)


TABLE_CALLS = [lambda m, t: m.get(t, 1, 1), lambda m, t: m.checked_get(t, 0, 1), lambda m, t: m.set(t, 1, 1, 0.0),
               lambda m, t: m.row(t, 1), lambda m, t: m.table_total(t), lambda m, t: m.table_diagonal_total(t)]


@pytest.mark.parametrize("call", TABLE_CALLS)
@pytest.mark.parametrize("table, exc, message", [
    *[(t, ValueError, f"table index must be within 1..=3 (got {int(t)})") for t in (0, False, 4)],
    ("A", ValueError, "table A not found in matrix header"),
    *[(t, TypeError, "table must be a table name (str) or 1-based index (int)")
      for t in (256, -1, 2**70, 1.0, "\ud800")],
])
def test_table_selector_rejects(m, call, table, exc, message):
    with raises_exact(exc, message):
        call(m, table)
    assert m.get(1, 1, 1) == 1e16


OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_INT = "argument '{}': 'str' object cannot be interpreted as an integer"
ZONE_CALLS = [(lambda m, z: m.get(1, z, 1), "origin"), (lambda m, z: m.get(1, 1, z), "destination"),
              (lambda m, z: m.checked_get(1, z, 1), "origin"), (lambda m, z: m.set(1, 1, z, 0.0), "destination"),
              (lambda m, z: m.row(1, z), "origin")]
OUTSIDE = [(0, 1), (1, 0), (5, 1), (1, 5), (65535, 65535)]
RANGE = "origin and destination must be within 1..=4 (got origin={}, destination={})"
ZONE_ERRORS = [(65536, OverflowError, OUT_OF_RANGE), (-1, OverflowError, OUT_OF_RANGE),
               (2**64, OverflowError, "Python int too large to convert to C long"),
               (1.0, TypeError, "argument '{}': 'float' object cannot be interpreted as an integer")]


# Zones outside the matrix; zones that cannot be converted, in each place; values that
# cannot; the first of several bad arguments.
@pytest.mark.parametrize("call, exc, message", [
    *[(lambda m, o=o, d=d: m.get(1, o, d), ValueError, RANGE.format(o, d)) for o, d in OUTSIDE],
    *[(lambda m, o=o, d=d: m.set(1, o, d, 9.0), ValueError, RANGE.format(o, d)) for o, d in OUTSIDE],
    *[(lambda m, o=o: m.row(1, o), ValueError, f"origin must be within 1..=4 (got {o})") for o in (0, 5, 65535)],
    *[(lambda m, c=call, z=zone: c(m, z), exc, message.format(name))
      for call, name in ZONE_CALLS for zone, exc, message in ZONE_ERRORS],
    (lambda m: m.get("zz", "x", 1), TypeError, NOT_INT.format("origin")),
    (lambda m: m.get("zz", 0, 1), ValueError, "table zz not found in matrix header"),
    (lambda m: m.set("zz", 0, 1, "v"), TypeError, "argument 'value': must be real number, not str"),
    (lambda m: m.set(1, 1, 1, 2**1024), OverflowError, "int too large to convert to float"),
])
def test_argument_conversion_errors(m, call, exc, message):
    with raises_exact(exc, message):
        call(m)
    assert m.table_total(1) == TOTAL_1


SET_VALUES = [(v, v) for v in from_bits([0x7FF8000000000ABC, 0xFFF0000000000001, 0x8000000000000000, 1]).tolist()] + [
    (0.123456789, 0.123456789), (3, 3.0), (Real(2.5), 2.5), (Index(7), 7.0), (np.float32(0.1), float(np.float32(0.1)))]


@pytest.mark.parametrize("table", [1, 2, 3])
@pytest.mark.parametrize("value, stored", SET_VALUES)
def test_set_stores_exact_bits(m, table, value, stored):
    others = [m.table_total(t) for t in (1, 2, 3) if t != table]
    assert m.set(table=table, origin=3, destination=2, value=value) is None
    assert bits(m.get(table, 3, 2)) == bits(m.checked_get(table, 3, 2)) == bits(m.row(table, 3)[1]) == bits(stored)
    expected = VALUES[table - 1].copy()
    expected[2, 1] = stored
    assert bits(m.table_total(table)) == bits(sequential_sum(expected.ravel().tolist()))
    assert [m.table_total(t) for t in (1, 2, 3) if t != table] == others


def test_hold_is_released_when_argument_conversion_fails(m):
    """Which calls a hold refuses, on this and other threads, is for test_stress."""
    def fail():
        raise KeyError("from conversion")

    for call in (lambda: m.set(1, Index(1, fail), 1, 0.0), lambda: m.get(1, 1, Index(1, fail))):
        with pytest.raises(KeyError):
            call()
    m.set(1, 1, 2, 8.0)
    assert (m.get(1, 1, 2), m.get(2, 1, 1)) == (8.0, VALUES[1, 0, 0])


@pytest.mark.parametrize("code, outcome", [
    (0, "0"), (9, "9"), ("S", "S"), (Index(7), "7"),
    *[(c, (TypeError, "type code must be int 0..9 or string '0'..'9', 'S', or 'D'")) for c in (256, -1, 2.0, b"S")],
    (10, (ValueError, "invalid fixed-point precision 10; expected 0..9")),
    *[(c, (ValueError, f"invalid type code {c}; expected '0'..'9', 'S', or 'D'")) for c in ("s", "22", "\u0663")],
])
def test_table_def_type_code(code, outcome):
    if isinstance(outcome, str):
        assert (TableDef(type_code=code, name="t1").name, TableDef("", code).type_code) == ("t1", outcome)
    else:
        with raises_exact(*outcome):
            TableDef("t", code)
