import numpy as np
import pytest

import reference_codec as ref
from orvanel._orvanel import OrvanelParseError, _MatrixCore
from support import EOF_MESSAGE, TRAILING_MESSAGE, raises_core


def payload_file(code, zones, row_payload):
    """Tables "x" (D, all zero) and "y" of type `code` whose last row is `row_payload`;
    returns the bytes and that record's start offset."""
    records = ref.zero_records(zones, 2)
    records[-1] = ref.row_record(zones, 2, row_payload)
    data, starts = ref.assemble(ref.standard_header(zones, [("x", "D"), ("y", code)]), records)
    return data, starts[-1]


h = bytes.fromhex
# NaNs with payloads (quiet and signalling), infinities, signed zeros, subnormals.
SPECIAL = ref.from_bits([0x7FF8000000000001, 0xFFF0000000000001, 0x7FF0000000000000, 0x8000000000000000, 1, 0x800FFFFFFFFFFFFF])
F32 = np.float32([1.0, -0.1, np.inf, -np.inf, 3.4028235e38, 1e-45, -0.0])


# Payloads as the writer codes them are read back in the tests of writing and of loading;
# these are coded otherwise (by hand, other token choices, planes the writer would drop).
@pytest.mark.parametrize("code, zones, row_payload, expected", [
    ("5", 8, ref.fixed_payload([12345, 12345, 12345, 0, 1, 4294967295, 4294967295, 150], [0x21, 0x2F, 0x2E, 0x01, 0xF0, 0x00, 0x90, 0x20]),
     [-123.45, -123.45, 123.45, -0.0, 1e-15, 4294967295.0, 4.294967295, 1.5]),
    ("1", 3, ref.fixed_payload([1, 2, 3], [0x10, 0x11, 0x00], descriptor=0xF8), [0.1, -0.2, 3.0]),
    ("S", 7, ref.float32_payload(F32), F32.astype(float).tolist()),
    ("S", 2, ref.float32_payload(np.array([0x7FC00001, 0xFFC00000], "<u4").view("<f4")),
     ref.from_bits([0x7FF8000020000000, 0xFFF8000000000000]).tolist()),
    ("D", 1000, ref.plane_mask_payload([2.5] * 1000, style="mixed"), [2.5] * 1000),
    ("D", 3, ref.payload(0x80, b"\x01\x00\x05", ref.run(2, 0x07)), ref.from_bits([5, 7, 7]).tolist()),
    # Raw doubles (descriptor 0xFF) are read in every table type; all rows keep every bit.
    ("D", 6, ref.raw_double_payload(SPECIAL), SPECIAL.tolist()),
    ("S", 6, ref.raw_double_payload(SPECIAL, "runs"), SPECIAL.tolist()),
    ("0", 6, ref.raw_double_payload(SPECIAL, "runs"), SPECIAL.tolist()),
    ("9", 3, ref.raw_double_payload([0.1, -1e300, 1e39]), [0.1, -1e300, 1e39]),
])
def test_payload_decodes(load, code, zones, row_payload, expected):
    got = load(payload_file(code, zones, row_payload)[0]).row("y", zones)
    assert ref.bits(got) == ref.bits(expected)


ERRORS = {
    "unexpected_eof": EOF_MESSAGE,
    "trailing_bytes": TRAILING_MESSAGE,
    "invalid_preamble": "invalid row preamble: expected 0x80 0x80, got {}",
    "invalid_descriptor": "invalid descriptor byte for type code {}",
    "zero_run_count": "invalid compressed row data: run with zero count",
    "plane_size": "compressed row size mismatch: expected 3 bytes after decode, got {}",
    "invalid_float32_marker": "invalid float32 marker byte: index {}, expected 0xFF, got {}",
}
EOF, TRAILING, ZERO_COUNT = "unexpected_eof", "trailing_bytes", "zero_run_count"
ZERO_PLANE3 = ref.run(3, 0)


# Each kind of damage, in its place in the payload; the decoder's other damaged inputs are
# compared with the reference decoder on every kernel set by the core's codec test.
@pytest.mark.parametrize("code, row_payload, kind, details", [
    ("D", b"", EOF, ()), ("D", b"\x80\x80", EOF, ()), ("D", b"\x81\x80", EOF, ()),
    ("S", h("808100"), "invalid_preamble", ("0x80 0x81",)),
    ("D", h("80800000"), TRAILING, ()),
    ("S", ref.payload(0x07), "invalid_descriptor", ("'S': got 0x07",)),
    ("S", ref.payload(0xF9, ZERO_PLANE3 * 5), "invalid_descriptor", ("'S': got 0xF9",)),
    ("0", ref.payload(0x01, ZERO_PLANE3), "invalid_descriptor", ("'0': got 0x01",)),
    ("D", ref.payload(0x80, h("0000")), ZERO_COUNT, ()),
    ("D", ref.payload(0x80, h("0080")), ZERO_COUNT, ()),
    ("D", ref.payload(0x80, ref.run(4, 0)), "plane_size", (4,)),
    ("D", ref.payload(0x80, ref.literal(b"\xaa\xbb"), ref.literal(b"\xcc\xdd")), "plane_size", (4,)),
    ("D", ref.payload(0x80, h("FF7F")), "plane_size", (32767,)),
    ("D", ref.payload(0x80, h("FFFF00")), "plane_size", (32767,)),
    ("D", ref.payload(0x80, h("0380")), EOF, ()), ("D", ref.payload(0x80, h("03")), EOF, ()),
    ("D", ref.payload(0x80, h("0300AABB")), EOF, ()), ("D", ref.payload(0xC0, ref.run(3, 1)), EOF, ()),
    ("D", ref.payload(0x80, ref.run(3, 1), b"\x00"), TRAILING, ()),
    ("S", ref.float32_payload([1, 2, 3], marker=b"\xff\xff\xfe"), "invalid_float32_marker", (2, "0xFE")),
    ("S", ref.float32_payload([1, 2, 3], marker=b"\x00\xff\x7f"), "invalid_float32_marker", (0, "0x00")),
    ("S", ref.float32_payload([1, 2, 3], marker=b"\xfe\xff\xff") + b"\x00", TRAILING, ()),
])
def test_payload_errors(load, code, row_payload, kind, details):
    data, start = payload_file(code, 3, row_payload)
    with raises_core(OrvanelParseError, kind, start + 5, ERRORS[kind].format(*details)):
        load(data)
    # A table that is not loaded is framed but never decoded.
    assert [t.name for t in _MatrixCore.from_bytes_tables(data, ["x"]).tables()] == ["x"]
