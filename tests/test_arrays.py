import gc

import numpy as np
import pytest

from orvanel._orvanel import _MatrixCore
from reference_codec import bits, from_bits
from support import raises_exact

Z = 4
TABLES = [("a", "D"), ("b", "2"), ("c", "S")]
M = len(TABLES)
VALUES = np.random.default_rng(5).standard_normal((M, Z, Z))
VALUES[0, 0, 0] = from_bits([0xFFF0000000000123])[0]  # NaN with a payload
VALUES[1, 2, 3] = -0.0
VALUES[1, 0, 1] = 0.123456789  # kept unrounded in memory
VALUES[2, 3, 0] = np.inf


def filled():
    """A matrix holding VALUES, set cell by cell."""
    m = _MatrixCore.create(Z, TABLES)
    for (t, o, d), v in np.ndenumerate(VALUES):
        m.set(t + 1, o + 1, d + 1, float(v))
    return m


class SubArray(np.ndarray):
    pass


def check_result_array(a, shape):
    assert type(a) is np.ndarray and a.shape == shape
    assert a.dtype == np.float64 and a.dtype.isnative
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned


def test_result_arrays_are_independent_copies_that_outlive_the_matrix():
    m = filled()
    for table, index in [(1, 0), ("b", 1), (3, 2)]:
        check_result_array(m.table_array(table), (Z, Z))
        assert bits(m.table_array(table)) == bits(VALUES[index])
    check_result_array(m.stack_array(), (M, Z, Z))
    assert bits(m.stack_array()) == bits(VALUES)
    one = _MatrixCore.create(1, [("t", "D")])
    one.set(1, 1, 1, 2.5)
    check_result_array(one.table_array(1), (1, 1))
    assert one.stack_array().tolist() == [[[2.5]]]
    a, b, s = m.table_array(1), m.table_array(1), m.stack_array()
    assert not np.shares_memory(a, b) and not np.shares_memory(a, s)
    a[1, 1] = 99.0
    s[:] = 7.0
    assert m.get(1, 2, 2) == VALUES[0, 1, 1] and bits(m.table_array(1)) == bits(VALUES[0])
    m.set(1, 2, 2, -1.0)
    assert b[1, 1] == VALUES[0, 1, 1]
    c, s = m.table_array("c"), m.stack_array()
    del m
    gc.collect()
    assert bits(c) == bits(VALUES[2]) and bits(s[2]) == bits(VALUES[2])


def _read_only(a):
    a.flags.writeable = False
    return a


LAYOUTS = [  # target, name, and how the given array is made from a C-ordered one
    ("table", "transposed", lambda src: src.T),
    ("table", "strided", lambda src: np.repeat(src, 3, axis=1)[:, 1::3]),
    ("table", "broadcast-row", lambda src: np.broadcast_to(src[1], (Z, Z))),
    ("table", "read-only", lambda src: _read_only(src.copy())),
    ("stack", "all-reversed", lambda src: src[::-1, ::-1, ::-1]),
    ("stack", "fortran", np.asfortranarray),
    ("stack", "strided", lambda src: np.repeat(src, 2, axis=2)[:, :, ::2]),
    ("stack", "broadcast", lambda src: np.broadcast_to(src[0], (M, Z, Z))),
    ("stack", "subclass", lambda src: src.view(SubArray)),
]


@pytest.mark.parametrize("target, make", [(t, make) for t, _, make in LAYOUTS], ids=[f"{t}-{n}" for t, n, _ in LAYOUTS])
def test_arrays_are_read_in_any_layout(target, make):
    src = np.arange(M * Z * Z, dtype=np.float64).reshape(M, Z, Z) / 3 - 3
    src[1, 1, 2] = from_bits([0x7FF0000000000001])[0]  # a signalling NaN
    m, expected = filled(), VALUES.copy()
    if target == "table":
        given = make(src[1])
        assert m.set_table_array("b", given) is None
        expected[1] = given
    else:
        given = make(src)
        assert m.set_stack_array(given) is None
        expected[:] = given
    assert bits(m.stack_array()) == bits(expected)
    assert bits([m.get(t, o, d) for t in (1, 2, 3) for o in (1, 4) for d in (2, 3)]) == bits(expected[:, [0, 3]][:, :, [1, 2]].ravel())


REJECTED = {  # a value of the given shape, and the type name the message gives
    "list": (lambda shape: np.zeros(shape).tolist(), "'list' object"),
    "none": (lambda shape: None, "'None'"),
    "int64": (lambda shape: np.zeros(shape, dtype=np.int64), "'ndarray' object"),
    "subclass-int": (lambda shape: np.zeros(shape, dtype=np.int32).view(SubArray), "'SubArray' object"),
    "extra-dimension": (lambda shape: np.zeros((1,) + shape), "'ndarray' object"),
}


@pytest.mark.parametrize("case", list(REJECTED))
def test_non_float64_arrays_are_rejected(case):
    make, type_name = REJECTED[case]
    m = filled()
    table, stack = make((Z, Z)), make((M, Z, Z))
    for call, name in [(lambda: m.set_table_array(1, table), "values"),
                       (lambda: m.set_table_array("missing", table), "values"),  # before the table
                       (lambda: m.set_stack_array(stack), "values"),
                       (lambda: _MatrixCore.to_bytes_from_stack(Z, TABLES, stack), "stack")]:
        with raises_exact(TypeError, f"argument '{name}': {type_name} is not an instance of 'ndarray'"):
            call()
    assert bits(m.stack_array()) == bits(VALUES)


@pytest.mark.parametrize("table, shape, error, message", [  # table None: set_stack_array
    (1, (3, 4), ValueError, "table array must have shape (4, 4) (got [3, 4])"),
    ("c", (Z * Z, 1), ValueError, "table array must have shape (4, 4) (got [16, 1])"),
    ("missing", (3, 4), ValueError, "table missing not found in matrix header"),
    (0, (Z, Z), ValueError, "table index must be within 1..=3 (got 0)"),
    (-1, (Z, Z), TypeError, "table must be a table name (str) or 1-based index (int)"),
    (None, (M + 1, Z, Z), ValueError, "stack array must have shape (3, 4, 4) (got [4, 4, 4])")])
def test_array_rejections_change_nothing(table, shape, error, message):
    m = filled()
    with raises_exact(error, message):
        m.set_stack_array(np.ones(shape)) if table is None else m.set_table_array(table, np.ones(shape))
    if "must have shape" not in message:  # a bad selector, which table_array rejects alike
        with raises_exact(error, message):
            m.table_array(table)
    assert bits(m.stack_array()) == bits(VALUES)
