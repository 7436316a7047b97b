import numpy as np
import pytest

from expect import EOF_MESSAGE, TRAILING_MESSAGE, raises_core
from matrix_bytes import (
    ZERO_ROW,
    assemble,
    bits_of,
    doubles_from_bits,
    fixed_payload,
    float32_payload,
    literal,
    payload,
    plane_mask_payload,
    raw_double_payload,
    row_record,
    run,
    standard_header,
    zero_records,
)
from orvanel._orvanel import OrvanelParseError, _MatrixCore


def payload_file(code, zones, row_payload):
    """Tables "x" (D, all zero) and "y" of type `code`; `row_payload` is the last row
    of "y". Returns the bytes, the row number and the record's start offset."""
    row = zones
    records = zero_records(zones, 2)
    records[2 * row - 1] = row_record(row, 2, row_payload)
    data, starts = assemble(standard_header(zones, [("x", "D"), ("y", code)]), records)
    return data, row, starts[2 * row - 1]


def decoded(load, code, zones, row_payload):
    data, row, _ = payload_file(code, zones, row_payload)
    return load(data).row("y", row)


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize(
    "code, zones, row_payload, expected",
    [
        ("2", 3, h("8080 88 0300 9600E1 0300 200021"), [1.5, 0.0, -2.25]),
        ("0", 5, h("8080 80 0580 07"), [7.0] * 5),
        ("D", 2, h("8080 03 0200 F004 0200 3FC0"), [1.0, -2.5]),
        ("S", 1, h("8080 F8 0100 00 0100 00 0100 80 0100 3F 0100 FF"), [1.0]),
        ("D", 2, h("8080 01 0200 3F00"), [3.0517578125e-05, 0.0]),
        ("0", 5, h("8080 80 0200 AABB 0380 CC"), [170.0, 187.0, 204.0, 204.0, 204.0]),
        ("3", 4, ZERO_ROW, [0.0] * 4),
        ("S", 4, ZERO_ROW, [0.0] * 4),
        (
            "5",
            8,
            fixed_payload(
                [12345, 12345, 12345, 0, 1, 4294967295, 4294967295, 150],
                [0x21, 0x2F, 0x2E, 0x01, 0xF0, 0x00, 0x90, 0x20],
            ),
            [-123.45, -123.45, 123.45, -0.0, 1e-15, 4294967295.0, 4.294967295, 1.5],
        ),
        ("0", 3, fixed_payload([7, 0, 65536]), [7.0, 0.0, 65536.0]),
        ("9", 2, fixed_payload([0, 0], [0x01, 0x00]), [-0.0, 0.0]),
        ("1", 3, fixed_payload([1, 2, 3], [0x10, 0x11, 0x00], descriptor=0xF8), [0.1, -0.2, 3.0]),
        ("1", 2, fixed_payload([258, 65535], style="runs"), [258.0, 65535.0]),
        ("2", 2, raw_double_payload([0.1, -1e300]), [0.1, -1e300]),
        (
            "S",
            7,
            float32_payload(np.float32([1.0, -0.1, np.inf, -np.inf, 3.4028235e38, 1e-45, -0.0])),
            np.float32([1.0, -0.1, np.inf, -np.inf, 3.4028235e38, 1e-45, -0.0]).astype(float).tolist(),
        ),
        ("S", 2, raw_double_payload([0.1, 1e39]), [0.1, 1e39]),
        ("D", 300, plane_mask_payload(np.arange(300) * 0.75 - 9), (np.arange(300) * 0.75 - 9).tolist()),
        ("D", 300, plane_mask_payload(np.arange(300) * 0.75 - 9, style="runs"), (np.arange(300) * 0.75 - 9).tolist()),
        ("D", 1000, plane_mask_payload([2.5] * 1000, style="mixed"), [2.5] * 1000),
        ("D", 3, payload(0x80, b"\x01\x00\x05", run(2, 0x07)), doubles_from_bits([5, 7, 7]).tolist()),
    ],
)
def test_payload_decodes(load, code, zones, row_payload, expected):
    got = decoded(load, code, zones, row_payload)
    assert [bits_of(v) for v in got] == [bits_of(v) for v in expected]


# NaNs with payloads (quiet and signalling), infinities, signed zeros, subnormals.
SPECIAL_BITS = [
    0x7FF8000000000001,
    0xFFF0000000000001,
    0x7FF0000000000000,
    0x8000000000000000,
    0x0000000000000001,
    0x800FFFFFFFFFFFFF,
    0x3FF0000000000000,
]


@pytest.mark.parametrize("code", ["D", "S", "0", "9"])
@pytest.mark.parametrize("style", ["literal", "runs"])
def test_raw_double_rows_are_bit_exact(load, code, style):
    got = decoded(load, code, 7, raw_double_payload(doubles_from_bits(SPECIAL_BITS), style))
    assert [bits_of(v) for v in got] == SPECIAL_BITS


def test_plane_mask_rows_are_bit_exact(load):
    got = decoded(load, "D", 7, plane_mask_payload(doubles_from_bits(SPECIAL_BITS)))
    assert [bits_of(v) for v in got] == SPECIAL_BITS


def test_float32_nan_payload_is_widened(load):
    single = np.array([0x7FC00001, 0xFFC00000], dtype="<u4").view("<f4")
    got = decoded(load, "S", 2, float32_payload(single))
    assert [bits_of(v) for v in got] == [0x7FF8000020000000, 0xFFF8000000000000]


def _error(kind, **fields):
    messages = {
        "unexpected_eof": EOF_MESSAGE,
        "trailing_bytes": TRAILING_MESSAGE,
        "invalid_preamble": "invalid row preamble: expected 0x80 0x80, got {}",
        "invalid_descriptor": "invalid descriptor byte for type code {}",
        "zero_run_count": "invalid compressed row data: run with zero count",
        "plane_size": "compressed row size mismatch: expected {} bytes after decode, got {}",
        "invalid_float32_marker": "invalid float32 marker byte: index {}, expected 0xFF, got {}",
    }
    return kind, messages[kind].format(*fields.values())


ZERO_PLANE3 = run(3, 0)
F32_3 = float32_payload([1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    "code, row_payload, error",
    [
        ("D", b"", _error("unexpected_eof")),
        ("D", b"\x80", _error("unexpected_eof")),
        ("D", b"\x80\x80", _error("unexpected_eof")),
        ("D", b"\x81\x80", _error("unexpected_eof")),
        ("D", h("818000"), _error("invalid_preamble", b="0x81 0x80")),
        ("S", h("808100"), _error("invalid_preamble", b="0x80 0x81")),
        ("D", h("00FF00"), _error("invalid_preamble", b="0x00 0xFF")),
        ("0", h("1234FF"), _error("invalid_preamble", b="0x12 0x34")),
        ("D", h("80800000"), _error("trailing_bytes")),
        ("S", h("808000000000"), _error("trailing_bytes")),
        ("S", payload(0xF0), _error("invalid_descriptor", d="'S': got 0xF0")),
        ("S", payload(0x07), _error("invalid_descriptor", d="'S': got 0x07")),
        ("S", payload(0xF9, ZERO_PLANE3 * 5), _error("invalid_descriptor", d="'S': got 0xF9")),
        ("S", payload(0x80, ZERO_PLANE3), _error("invalid_descriptor", d="'S': got 0x80")),
        ("2", payload(0xF4), _error("invalid_descriptor", d="'2': got 0xF4")),
        ("0", payload(0x01, ZERO_PLANE3), _error("invalid_descriptor", d="'0': got 0x01")),
        ("9", payload(0x8F), _error("invalid_descriptor", d="'9': got 0x8F")),
        ("7", payload(0x42), _error("invalid_descriptor", d="'7': got 0x42")),
        ("D", payload(0x80, h("0000")), _error("zero_run_count")),
        ("D", payload(0x80, h("008005")), _error("zero_run_count")),
        ("D", payload(0x80, h("0080")), _error("zero_run_count")),
        ("D", payload(0x80, run(2, 1), h("0000")), _error("zero_run_count")),
        ("4", payload(0x08, h("0000")), _error("zero_run_count")),
        ("D", payload(0x80, run(4, 0)), _error("plane_size", e=3, g=4)),
        ("D", payload(0x80, literal(b"\xaa\xbb"), literal(b"\xcc\xdd")), _error("plane_size", e=3, g=4)),
        ("D", payload(0x80, h("FF7F")), _error("plane_size", e=3, g=32767)),
        ("D", payload(0x80, h("FFFF00")), _error("plane_size", e=3, g=32767)),
        ("D", payload(0x80, h("0001") + bytes(256)), _error("plane_size", e=3, g=256)),
        ("S", payload(0xF8, ZERO_PLANE3 * 4, run(2, 0xFF), run(2, 0xFF)), _error("plane_size", e=3, g=4)),
        ("D", payload(0x80, h("0380")), _error("unexpected_eof")),
        ("D", payload(0x80, h("03")), _error("unexpected_eof")),
        ("D", payload(0x80, h("0300AABB")), _error("unexpected_eof")),
        ("D", payload(0x80), _error("unexpected_eof")),
        ("D", payload(0xC0, run(3, 1)), _error("unexpected_eof")),
        ("S", F32_3[: -len(literal(b"\xff" * 3))], _error("unexpected_eof")),
        ("3", payload(0x88, ZERO_PLANE3), _error("unexpected_eof")),
        ("0", payload(0xFF, ZERO_PLANE3 * 7), _error("unexpected_eof")),
        ("D", payload(0x80, run(3, 1), b"\x00"), _error("trailing_bytes")),
        ("0", payload(0x80, run(3, 1), run(3, 1)), _error("trailing_bytes")),
        ("D", raw_double_payload([1.0, 2.0, 3.0]) + b"\x01", _error("trailing_bytes")),
        ("S", F32_3 + b"\xff", _error("trailing_bytes")),
        ("S", float32_payload([1, 2, 3], marker=b"\xff\xff\xfe"), _error("invalid_float32_marker", i=2, g="0xFE")),
        ("S", float32_payload([1, 2, 3], marker=b"\x00\xff\x7f"), _error("invalid_float32_marker", i=0, g="0x00")),
        ("S", payload(0xF8, ZERO_PLANE3 * 4, h("0200FFFF 0100FE")), _error("invalid_float32_marker", i=2, g="0xFE")),
        ("S", float32_payload([1, 2, 3], marker=b"\xfe\xff\xff") + b"\x00", _error("trailing_bytes")),
    ],
)
def test_payload_errors(load, code, row_payload, error):
    data, _, start = payload_file(code, 3, row_payload)
    with raises_core(OrvanelParseError, error[0], start + 5, error[1]):
        load(data)
    # A table that is not loaded is framed but never decoded.
    m = _MatrixCore.from_bytes_tables(data, ["x"])
    assert [t.name for t in m.tables()] == ["x"]
