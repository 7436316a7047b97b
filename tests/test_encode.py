"""What the writer stores for each row (payload bytes, encoding choice, rounding) and what
it reads back as, against the reference codec, for worked cases and random matrices."""

import math
import string

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel._orvanel import _MatrixCore
from reference_codec import bits, encode_payload, from_bits, matrix_file, read_back, sized_raw_row
from support import matrix_with_row, written_row

h = bytes.fromhex
NAN_QUIET = float(from_bits([0x7FF8000000000000])[0])
NAN_PAYLOAD = float(from_bits([0xFFF0000000000123])[0])  # signalling, negative, payload
F32_MAX = 3.4028234663852886e38
F32_TIE_UP = float(2**128 - 2**103)  # halfway between the largest float32 and 2**128
F32_BELOW_TIE = float(2**128 - 2**103 - 2**75)


def plane(plane, tokens):
    """A Fixed(0) row of small non-negative integers: plane 0 is the row itself."""
    return "0", list(h(plane)), "808080" + tokens, None


# (code, row, the payload or its first bytes, values read back; None: the row itself)
CASES = {
    "fixed2": ("2", [1.5, 0.0, -2.25], "8080 88 0300 9600E1 0300 200021", None),
    "fixed0-run": ("0", [7.0] * 5, "8080 80 0580 07", None),
    "double": ("D", [1.0, -2.5], "8080 03 0200 F004 0200 3FC0", None),
    "single": ("S", [1.0], "8080 F8 0100 00 0100 00 0100 80 0100 3F 0100 FF", None),
    "zero-row": ("7", [0.0, -0.0, 0.0], "8080 00", [0.0] * 3),
    "literal-run": plane("01020202", "010001 038002"),
    "pair-in-literal": plane("070709", "0300070709"),
    "run-literal": plane("010101020303", "038001 0300020303"),
    "pairs-in-literal": plane("0101020201", "05000101020201"),
    "literal-run-literal": plane("0202030303030302", "02000202 058003 010002"),
    "fixed2-tie-even": ("2", [0.125, 0.135, -0.125], "808088", [0.12, 0.14, -0.12]),
    "fixed0-ties": ("0", [2.5, 3.5, 0.5, 1.5, -2.5], "808088", [2.0, 4.0, 0.0, 2.0, -2.0]),
    "fixed0-small-negative": ("0", [-0.4, -0.5, 5.0], "808080", [0.0, 0.0, 5.0]),
    "fixed0-all-round-to-zero": ("0", [0.3, 0.4, -0.4], "808000", [0.0, 0.0, 0.0]),
    "fixed0-two-planes": ("0", [256.0, 1.0], "8080C0", None),
    "fixed2-past-limit": ("2", [1.005, 42949672.96], "8080FF", None),
    "fixed0-limit": ("0", [4294967295.0, 4294967295.4], "8080F0", [4294967295.0, 4294967295.0]),
    "fixed0-tie-past-limit": ("0", [1.0, 4294967295.5], "8080FF", None),
    "fixed-inf": ("4", [1.0, math.inf], "8080FF", None),
    "fixed-nan-among-zeros": ("1", [0.0, NAN_PAYLOAD, -0.0], "8080FF", None),
    "single-rounds": ("S", [0.1, 3.0e38, -1.0], "8080F8", [0.10000000149011612, 3.0000000054977558e38, -1.0]),
    "single-quiet-nan": ("S", [1.0, NAN_QUIET, 0.0], "8080F8", None),
    "single-overflow": ("S", [0.1, 1e39, -0.0], "8080FF", None),
    "single-infinity": ("S", [math.inf, -math.inf, 2.0], "8080F8", None),
    "single-max": ("S", [F32_MAX, F32_BELOW_TIE], "8080F8", [F32_MAX, F32_MAX]),
    "single-tie-overflows": ("S", [1.0, F32_TIE_UP], "8080FF", None),
    "single-subnormal-ties": ("S", [2.0**-150, 3 * 2.0**-150, -(2.0**-150)], "8080F8", [0.0, 2.0**-148, -0.0]),
    "double-negative-zero": ("D", [-0.0, 1.0, 0.0], "808003", None),
    "double-nan-payload": ("D", [NAN_PAYLOAD, 5e-324], "8080C3", None),
    "zero-row-negative": ("D", [-0.0, -0.0], "808000", [0.0, 0.0]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_payload_and_read_back(name):
    code, row, payload, expected = CASES[name]
    got, back = written_row(code, row)
    assert got == encode_payload(code, row) and got[: len(h(payload))] == h(payload)
    assert bits(back) == bits(read_back(code, row)) == bits(row if expected is None else expected)


@pytest.mark.parametrize("code", ["D", "S", "4"])
def test_payload_of_exactly_the_limit_is_written(tmp_path, code):
    row = sized_raw_row(65533)
    m = matrix_with_row(code, row, origin=2)
    m.write(tmp_path / "big.mat")  # a record longer than the write buffer
    data = (tmp_path / "big.mat").read_bytes()
    assert data == m.to_bytes() and h("020001FFFF") + encode_payload(code, row.tolist()) in data
    assert bits(_MatrixCore.from_bytes(data).row(1, 2)) == bits(row)


CODES = [str(p) for p in range(10)] + ["S", "D"]

AWKWARD = [  # ties, fixed-point and single-precision limits, subnormals, NaN payloads
    0.0, -0.0, 0.5, -0.5, 1.5, 2.5, 3.5, -2.5, 0.125, 0.135, 0.005, -0.004, 1e-9, 5e-10, 42949672.95, 42949672.96,
    -42949672.95, 4294967295.0, 4294967295.5, 4294967296.0, 4.294967295, 3.0e38, -3.0e38, F32_MAX, F32_TIE_UP,
    F32_BELOW_TIE, 1e39, 2.0**-150, 3 * 2.0**-150, 2.0**-149, 1e-45, 5e-324, -5e-324, 1e-300, 1e300,
    1.7976931348623157e308, math.inf, -math.inf, math.nan, 0.1, -1 / 3, 255.0, 256.0, 65535.0, -65536.0,
] + from_bits([0x7FF0000000000001, 0xFFF8000000000123, 0x7FF4000000000000]).tolist()

values = st.one_of(
    st.sampled_from(AWKWARD),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(10**7), 10**7).map(lambda i: i / 100),
    st.integers(0, 2**64 - 1).map(lambda b: float(from_bits([b])[0])),
    st.just(0.0),
)
texts = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=12)
names = st.text(st.sampled_from(string.printable.replace("\x0b", "") + "= "), min_size=1, max_size=6)


@st.composite
def matrices(draw):
    zones = draw(st.integers(1, 5))
    count = draw(st.integers(1, 4))
    tables = [(draw(names), draw(st.sampled_from(CODES))) for _ in range(count)]
    cells = draw(st.lists(values, min_size=count * zones * zones, max_size=count * zones * zones))
    stack = np.array(cells, dtype=np.float64).reshape(count, zones, zones)
    for t, (_, code) in enumerate(tables):
        if code == "S":  # a NaN's single-precision bits are the hardware's choice
            stack[t][np.isnan(stack[t])] = 0.25
    for t, o in draw(st.lists(st.tuples(st.integers(0, count - 1), st.integers(0, zones - 1)), max_size=4)):
        stack[t, o] = draw(st.sampled_from([0.0, -0.0]))
    return zones, tables, stack, draw(st.none() | texts), draw(st.none() | texts)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(matrices())
def test_written_matrix_reads_back_as_encoded(case):
    zones, tables, stack, banner, run_id = case
    m = _MatrixCore.create(zones, tables, banner, run_id)
    m.set_stack_array(stack)
    data = m.to_bytes()
    expected_banner = DEFAULT_BANNER if banner is None else banner
    expected_run_id = DEFAULT_RUN_ID if run_id is None else run_id
    assert data == matrix_file(zones, tables, stack, expected_banner, expected_run_id)
    assert _MatrixCore.to_bytes_from_stack(zones, tables, stack, banner, run_id) == data
    back = _MatrixCore.from_bytes(data)
    assert (back.zone_count, back.banner, back.run_id) == (zones, expected_banner, expected_run_id)
    assert [(t.index, t.name, t.type_code) for t in back.tables()] == [(i, *t) for i, t in enumerate(tables, start=1)]
    expected = [[read_back(code, stack[t, o].tolist()) for o in range(zones)] for t, (_, code) in enumerate(tables)]
    assert bits(back.stack_array()) == bits(expected)
