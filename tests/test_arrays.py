import gc

import numpy as np
import pytest

from expect import raises_exact
from write_support import bits, from_bits
from orvanel._orvanel import _MatrixCore

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
    assert type(a) is np.ndarray
    assert a.shape == shape
    assert a.dtype == np.float64 and a.dtype.isnative
    assert a.strides == tuple(8 * int(np.prod(shape[i + 1 :])) for i in range(len(shape)))
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert not a.flags.owndata
    assert a.base is not None and type(a.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("table, index", [(1, 0), ("b", 1), (3, 2), ("c", 2)])
def test_table_array(table, index):
    a = filled().table_array(table)
    check_result_array(a, (Z, Z))
    assert bits(a) == bits(VALUES[index])


def test_stack_array():
    s = filled().stack_array()
    check_result_array(s, (M, Z, Z))
    assert bits(s) == bits(VALUES)


def test_one_zone_and_one_table_shapes():
    m = _MatrixCore.create(1, [("t", "D")])
    m.set(1, 1, 1, 2.5)
    check_result_array(m.table_array(1), (1, 1))
    check_result_array(m.stack_array(), (1, 1, 1))
    assert m.stack_array().tolist() == [[[2.5]]]


def test_results_are_independent_copies():
    m = filled()
    a, b, s = m.table_array(1), m.table_array(1), m.stack_array()
    assert not np.shares_memory(a, b) and not np.shares_memory(a, s)
    a[1, 1] = 99.0
    s[:] = 7.0
    assert m.get(1, 2, 2) == VALUES[0, 1, 1]
    assert bits(m.table_array(1)) == bits(VALUES[0])
    m.set(1, 2, 2, -1.0)
    assert b[1, 1] == VALUES[0, 1, 1]


def test_result_outlives_its_matrix():
    m = filled()
    a, s = m.table_array("c"), m.stack_array()
    del m
    gc.collect()
    assert bits(a) == bits(VALUES[2]) and bits(s) == bits(VALUES)


def _big():
    return np.arange(2 * Z * 3 * Z, dtype=np.float64).reshape(2 * Z, 3 * Z) / 7


TABLE_INPUTS = {
    "c-order": lambda src: src,
    "transposed": lambda src: src.T,
    "rows-reversed": lambda src: src[::-1],
    "both-reversed": lambda src: src[::-1, ::-1],
    "strided": lambda src: _big()[::2, 1::3],
    "fortran": np.asfortranarray,
    "broadcast-row": lambda src: np.broadcast_to(src[1], (Z, Z)),
    "read-only": lambda src: _read_only(src.copy()),
    "subclass": lambda src: src.view(SubArray),
    "explicit-little-endian": lambda src: src.astype("<f8"),
    "slice-of-3d": lambda src: np.stack([src, src + 1, src + 2], axis=1)[:, 2, :],
}


def _read_only(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("layout", list(TABLE_INPUTS))
def test_set_table_array_reads_any_layout(layout):
    src = np.arange(Z * Z, dtype=np.float64).reshape(Z, Z) * 1.25 - 3
    given = TABLE_INPUTS[layout](src)
    expected = np.array(given, dtype=np.float64, order="C")
    m = filled()
    assert m.set_table_array("b", given) is None
    assert bits(m.table_array(2)) == bits(expected)
    assert bits(m.table_array(1)) == bits(VALUES[0]) and bits(m.table_array(3)) == bits(VALUES[2])


STACK_INPUTS = {
    "c-order": lambda src: src,
    "last-axes-swapped": lambda src: src.transpose(0, 2, 1),
    "tables-reversed": lambda src: src[::-1],
    "all-reversed": lambda src: src[::-1, ::-1, ::-1],
    "fortran": np.asfortranarray,
    "moved-axis": lambda src: np.moveaxis(np.ascontiguousarray(np.moveaxis(src, 0, 2)), 2, 0),
    "strided": lambda src: np.repeat(src, 2, axis=2)[:, :, ::2],
    "broadcast": lambda src: np.broadcast_to(src[0], (M, Z, Z)),
    "subclass": lambda src: src.view(SubArray),
}


@pytest.mark.parametrize("layout", list(STACK_INPUTS))
def test_set_stack_array_reads_any_layout(layout):
    src = np.arange(M * Z * Z, dtype=np.float64).reshape(M, Z, Z) / 3
    src[1, 1, 2] = from_bits([0x7FF0000000000001])[0]
    given = STACK_INPUTS[layout](src)
    expected = np.array(given, dtype=np.float64, order="C")
    m = filled()
    assert m.set_stack_array(given) is None
    assert bits(m.stack_array()) == bits(expected)
    assert bits([m.get(t, o, d) for t in (1, 2, 3) for o in (1, 4) for d in (2, 3)]) == bits(
        [expected[t, o, d] for t in (0, 1, 2) for o in (0, 3) for d in (1, 2)]
    )


def _rejected(shape_2d):
    zeros = np.zeros(shape_2d)
    return {
        "list": (zeros.tolist(), "list"),
        "none": (None, None),
        "int64": (zeros.astype(np.int64), "ndarray"),
        "float32": (zeros.astype(np.float32), "ndarray"),
        "big-endian": (zeros.astype(">f8"), "ndarray"),
        "complex": (zeros.astype(np.complex128), "ndarray"),
        "object": (zeros.astype(object), "ndarray"),
        "longdouble": (zeros.astype(np.longdouble), "ndarray"),
        "subclass-int": (zeros.astype(np.int32).view(SubArray), "SubArray"),
        "scalar": (np.float64(0.0), "float64"),
        "zero-dim": (np.array(0.0), "ndarray"),
        "memoryview": (memoryview(zeros), "memoryview"),
    }


def _message(name, type_name):
    if type_name is None:
        return f"argument '{name}': 'None' is not an instance of 'ndarray'"
    return f"argument '{name}': '{type_name}' object is not an instance of 'ndarray'"


TABLE_REJECTED = {**_rejected((Z, Z)), "1-d": (np.zeros(Z * Z), "ndarray"), "3-d": (np.zeros((1, Z, Z)), "ndarray")}
STACK_REJECTED = {**_rejected((M * Z, Z)), "2-d": (np.zeros((Z, Z)), "ndarray"), "4-d": (np.zeros((1, M, Z, Z)), "ndarray")}
STACK_REJECTED = {
    k: (v.reshape(M, Z, Z) if isinstance(v, np.ndarray) and v.shape == (M * Z, Z) else v, t)
    for k, (v, t) in STACK_REJECTED.items()
}


@pytest.mark.parametrize("case", list(TABLE_REJECTED))
def test_set_table_array_rejects_non_float64_arrays(case):
    given, type_name = TABLE_REJECTED[case]
    m = filled()
    with raises_exact(TypeError, _message("values", type_name)):
        m.set_table_array(1, given)
    with raises_exact(TypeError, _message("values", type_name)):  # before the table
        m.set_table_array("missing", given)
    assert bits(m.stack_array()) == bits(VALUES)


@pytest.mark.parametrize("case", list(STACK_REJECTED))
def test_set_stack_array_rejects_non_float64_arrays(case):
    given, type_name = STACK_REJECTED[case]
    m = filled()
    with raises_exact(TypeError, _message("values", type_name)):
        m.set_stack_array(given)
    with raises_exact(TypeError, _message("stack", type_name)):
        _MatrixCore.to_bytes_from_stack(Z, TABLES, given)
    assert bits(m.stack_array()) == bits(VALUES)


@pytest.mark.parametrize(
    "table, shape, error, message",
    [
        (1, (3, 4), ValueError, "table array must have shape (4, 4) (got [3, 4])"),
        ("c", (Z, Z + 1), ValueError, "table array must have shape (4, 4) (got [4, 5])"),
        (2, (0, 0), ValueError, "table array must have shape (4, 4) (got [0, 0])"),
        (3, (Z * Z, 1), ValueError, "table array must have shape (4, 4) (got [16, 1])"),
        ("missing", (3, 4), ValueError, "table missing not found in matrix header"),
        (0, (3, 4), ValueError, "table index must be within 1..=3 (got 0)"),
        (4, (Z, Z), ValueError, "table index must be within 1..=3 (got 4)"),
        (1.0, (Z, Z), TypeError, "table must be a table name (str) or 1-based index (int)"),
        (-1, (Z, Z), TypeError, "table must be a table name (str) or 1-based index (int)"),
    ],
)
def test_set_table_array_rejections_change_nothing(table, shape, error, message):
    m = filled()
    with raises_exact(error, message):
        m.set_table_array(table, np.ones(shape))
    assert bits(m.stack_array()) == bits(VALUES)


@pytest.mark.parametrize(
    "shape",
    [(M, Z, Z + 1), (M + 1, Z, Z), (M - 1, Z, Z), (Z, Z, M), (0, 0, 0)],
)
def test_set_stack_array_shape_rejections_change_nothing(shape):
    m = filled()
    with raises_exact(ValueError, f"stack array must have shape (3, 4, 4) (got {list(shape)})"):
        m.set_stack_array(np.ones(shape))
    assert bits(m.stack_array()) == bits(VALUES)


def test_table_array_selector_errors():
    m = filled()
    with raises_exact(ValueError, "table nope not found in matrix header"):
        m.table_array("nope")
    with raises_exact(ValueError, "table index must be within 1..=3 (got 0)"):
        m.table_array(0)
    with raises_exact(TypeError, "table must be a table name (str) or 1-based index (int)"):
        m.table_array(None)


def test_keywords_and_binding():
    m = filled()
    new = np.full((Z, Z), 0.5)
    m.set_table_array(table="c", values=new)
    assert bits(m.table_array(table=3)) == bits(new)
    m.set_stack_array(values=np.zeros((M, Z, Z)))
    assert not m.stack_array().any()
    with raises_exact(TypeError, "_MatrixCore.set_table_array() missing 1 required positional argument: 'values'"):
        m.set_table_array(1)
    with raises_exact(TypeError, "_MatrixCore.stack_array() takes 0 positional arguments but 1 was given"):
        m.stack_array(1)
    with raises_exact(TypeError, "_MatrixCore.set_stack_array() got an unexpected keyword argument 'stack'"):
        m.set_stack_array(stack=np.zeros((M, Z, Z)))
