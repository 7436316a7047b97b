import math

import numpy as np
import pytest

from expect import raises_core
from reference_codec import encode_header, encode_payload, encode_plane, read_back
from write_support import bits, from_bits, matrix_with_row, sized_raw_row, written_row
from orvanel._orvanel import OrvanelWriterError, _MatrixCore


def h(text):
    return bytes.fromhex(text)


NAN_QUIET = float(from_bits([0x7FF8000000000000])[0])
NAN_PAYLOAD = float(from_bits([0xFFF0000000000123])[0])  # signalling, negative, payload
F32_MAX = 3.4028234663852886e38
F32_TIE_UP = float(2**128 - 2**103)  # halfway between the largest float32 and 2**128
F32_BELOW_TIE = float(2**128 - 2**103 - 2**75)


@pytest.mark.parametrize(
    "code, row, payload",
    [
        ("2", [1.5, 0.0, -2.25], h("8080 88 0300 9600E1 0300 200021")),
        ("0", [7.0] * 5, h("8080 80 0580 07")),
        ("D", [1.0, -2.5], h("8080 03 0200 F004 0200 3FC0")),
        ("S", [1.0], h("8080 F8 0100 00 0100 00 0100 80 0100 3F 0100 FF")),
        ("7", [0.0, -0.0, 0.0], h("8080 00")),
        ("S", [-0.0] * 4, h("8080 00")),
        ("D", [1.0, 2.0, 0.5, -4.0], h("8080 03 0400 F000E010 0400 3F403FC0")),
    ],
    ids=["fixed2", "fixed0-run", "double", "single", "zero", "negative-zero", "double-planes-6-7"],
)
def test_worked_payloads(code, row, payload):
    got, back = written_row(code, row)
    assert got == payload
    assert encode_payload(code, row) == payload


# Plane 0 of a Fixed(0) row of small non-negative integers is the row itself, so the
# coded plane is the payload after 80 80 80.
@pytest.mark.parametrize(
    "plane, tokens",
    [
        ("0505050505", "058005"),
        ("01020202", "010001 038002"),
        ("0505", "02000505"),
        ("070709", "0300070709"),
        ("010101020303", "038001 0300020303"),
        ("09", "010009"),
        ("000000010000000100000001", "038000 010001 038000 010001 038000 010001"),
        ("0a0b0a0b0a", "05000a0b0a0b0a"),
        ("0101020201", "05000101020201"),
        ("01010102020202", "038001 048002"),
        ("0202030303030302", "02000202 058003 010002"),
    ],
)
def test_plane_tokens(plane, tokens):
    plane, tokens = h(plane), h(tokens)
    got, back = written_row("0", list(plane))
    assert got == b"\x80\x80\x80" + tokens
    assert encode_plane(plane) == tokens
    assert back == [float(b) for b in plane]


def _patterns(rng):
    z = 997
    yield "runs-of-1-to-5", bytes(np.repeat((np.arange(1, 400) % 256).astype(np.uint8), np.arange(399) % 5 + 1)[:z])
    yield "0001-repeated", bytes([0, 0, 0, 1] * 250)[:z]
    yield "alternating", bytes([0xAA, 0x55] * 500)[:z]
    yield "aab", bytes([7, 7, 8] * 400)[:z]
    yield "aabb", bytes([7, 7, 8, 8] * 300)[:z]
    yield "aaab", bytes([7, 7, 7, 8] * 300)[:z]
    yield "abbb", bytes([7, 8, 8, 8] * 300)[:z]
    yield "bits", bytes(rng.integers(0, 2, z, dtype=np.uint8))
    yield "random", bytes(rng.integers(0, 256, z, dtype=np.uint8))
    yield "long-run-then-noise", bytes([3] * 700) + bytes(rng.integers(0, 256, z - 700, dtype=np.uint8))
    yield "two", bytes([9, 9])
    yield "three", bytes([9, 9, 9])
    yield "one", bytes([4])


PATTERNS = dict(_patterns(np.random.default_rng(11)))


@pytest.mark.parametrize("name", list(PATTERNS))
def test_planes_match_reference(name):
    """Eight planes of the same family (each a different rotation) in a D row, so
    every plane is coded from its own bytes."""
    plane = PATTERNS[name]
    words = np.zeros(len(plane), dtype=np.uint64)
    for k in range(8):
        rotated = np.frombuffer(plane[k:] + plane[:k], dtype=np.uint8) ^ np.uint8(k * 17)
        words |= rotated.astype(np.uint64) << np.uint64(8 * k)
    row = words.view(np.float64)
    got, back = written_row("D", row)
    assert got == encode_payload("D", row.tolist())
    assert bits(back) == bits(row)


@pytest.mark.parametrize("code", ["D", "S", "0", "3", "9"])
@pytest.mark.parametrize(
    "source",
    ["normal", "integers", "cents", "sparse", "huge"],
)
def test_random_rows_match_reference(code, source):
    rng = np.random.default_rng([ord(c) for c in code + source])
    z = 257
    row = {
        "normal": rng.standard_normal(z) * 1000,
        "integers": rng.integers(-300, 300, z).astype(float),
        "cents": rng.integers(-10**6, 10**6, z) / 100,
        "sparse": np.where(rng.random(z) < 0.9, 0.0, rng.standard_normal(z)),
        "huge": rng.standard_normal(z) * 1e12,
    }[source]
    got, back = written_row(code, row)
    assert got == encode_payload(code, row.tolist())
    assert bits(back) == bits(read_back(code, row.tolist()))


# (code, row, descriptor of the payload, values read back)
CASES = {
    "fixed2-tie-even": ("2", [0.125, 0.135, -0.125], 0x88, [0.12, 0.14, -0.12]),
    "fixed0-ties": ("0", [2.5, 3.5, 0.5, 1.5, -2.5], 0x88, [2.0, 4.0, 0.0, 2.0, -2.0]),
    "fixed0-small-negative": ("0", [-0.4, -0.5, 5.0], 0x80, [0.0, 0.0, 5.0]),
    "fixed0-all-round-to-zero": ("0", [0.3, 0.4, -0.4], 0x00, [0.0, 0.0, 0.0]),
    "fixed0-bytes": ("0", [1.0, 2.0, 255.0], 0x80, [1.0, 2.0, 255.0]),
    "fixed0-negative": ("0", [1.0, -2.0, 3.0], 0x88, [1.0, -2.0, 3.0]),
    "fixed0-two-planes": ("0", [256.0, 1.0], 0xC0, [256.0, 1.0]),
    "fixed2-limit": ("2", [42949672.95, -42949672.95], 0xF8, [42949672.95, -42949672.95]),
    "fixed2-past-limit": ("2", [1.005, 42949672.96], 0xFF, [1.005, 42949672.96]),
    "fixed0-limit": ("0", [4294967295.0, 4294967295.4], 0xF0, [4294967295.0, 4294967295.0]),
    "fixed0-tie-past-limit": ("0", [1.0, 4294967295.5], 0xFF, [1.0, 4294967295.5]),
    "fixed9-limit": ("9", [4.294967295, 1e-9], 0xF8, [4.294967295, 1e-9]),
    "fixed9-past-limit": ("9", [4.294967296, 1e-10], 0xFF, [4.294967296, 1e-10]),
    "fixed-inf": ("4", [1.0, math.inf], 0xFF, [1.0, math.inf]),
    "fixed-nan-among-zeros": ("1", [0.0, NAN_PAYLOAD, -0.0], 0xFF, [0.0, NAN_PAYLOAD, -0.0]),
    "single-rounds": ("S", [0.1, 3.0e38, -1.0], 0xF8, [0.10000000149011612, 3.0000000054977558e38, -1.0]),
    "single-overflow": ("S", [0.1, 1e39, -0.0], 0xFF, [0.1, 1e39, -0.0]),
    "single-infinity": ("S", [math.inf, -math.inf, 2.0], 0xF8, [math.inf, -math.inf, 2.0]),
    "single-max": ("S", [F32_MAX, F32_BELOW_TIE], 0xF8, [F32_MAX, F32_MAX]),
    "single-tie-overflows": ("S", [1.0, F32_TIE_UP], 0xFF, [1.0, F32_TIE_UP]),
    "single-underflow": ("S", [1e-50, -1e-50, 1e-46], 0xF8, [0.0, -0.0, 0.0]),
    "single-subnormal-ties": ("S", [2.0**-150, 3 * 2.0**-150, -(2.0**-150)], 0xF8, [0.0, 2.0**-148, -0.0]),
    "double-negative-zero": ("D", [-0.0, 1.0, 0.0], 0x03, [-0.0, 1.0, 0.0]),
    "double-nan-among-zeros": ("D", [0.0, NAN_QUIET], 0x03, [0.0, NAN_QUIET]),
    "double-nan-payload": ("D", [NAN_PAYLOAD, 5e-324], 0xC3, [NAN_PAYLOAD, 5e-324]),
    "zero-row-negative": ("D", [-0.0, -0.0], 0x00, [0.0, 0.0]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_encoding_choice_and_read_back(name):
    code, row, descriptor, expected = CASES[name]
    got, back = written_row(code, row)
    assert got[:3] == bytes([0x80, 0x80, descriptor])
    assert got == encode_payload(code, row)
    assert bits(back) == bits(expected)
    assert bits(read_back(code, row)) == bits(expected)


def test_single_precision_nan_stays_single():
    got, back = written_row("S", [1.0, NAN_QUIET, 0.0])
    assert got[:3] == h("8080F8")
    assert back[0] == 1.0 and math.isnan(back[1]) and bits(back[2:]) == bits([0.0])


@pytest.mark.parametrize("code", ["D", "S", "4"])
def test_payload_of_exactly_the_limit_is_written(tmp_path, code):
    row = sized_raw_row(65533)
    m = matrix_with_row(code, row, origin=2)
    data = m.to_bytes()
    m.write(tmp_path / "big.mat")  # a record longer than the write buffer
    assert (tmp_path / "big.mat").read_bytes() == data
    start = len(encode_header(len(row), [("t", code)])) + 8  # after the zero row 1
    assert data[start : start + 5] == h("020001FFFF")
    assert data[start + 5 : start + 5 + 65533] == encode_payload(code, row.tolist())
    back = _MatrixCore.from_bytes(data)
    assert bits(back.row(1, 2)) == bits(row)
    assert back.row(1, 1) == [0.0] * len(row)


@pytest.mark.parametrize("code", ["D", "S", "4"])
def test_payload_one_past_the_limit_fails(code):
    m = matrix_with_row(code, sized_raw_row(65534), origin=3)
    with raises_core(
        OrvanelWriterError,
        "payload_too_large",
        None,
        "encoded row payload too large: maximum 65533 bytes, got 65534",
    ):
        m.to_bytes()
