import numpy as np
import pytest

from expect import EOF_MESSAGE, TRAILING_MESSAGE, raises_core
from matrix_bytes import (
    ZERO_ROW,
    assemble,
    float32_payload,
    row_record,
    standard_header,
    zero_records,
)
from orvanel._orvanel import OrvanelParseError

Z, T = 3, 2
HEADER = standard_header(Z, [("a", "D"), ("b", "S")])


def zero_file(records=None):
    return assemble(HEADER, zero_records(Z, T) if records is None else records)


def order_message(expected, got):
    return f"row order violation: expected row {expected[0]}, table {expected[1]}; got row {got[0]}, table {got[1]}"


@pytest.mark.parametrize("count", range(Z * T))
def test_missing_records(load, count):
    data, _ = assemble(HEADER, zero_records(Z, T)[:count])
    with raises_core(OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE):
        load(data)


@pytest.mark.parametrize("record", [0, 3, Z * T - 1])
@pytest.mark.parametrize("keep", [1, 4, 5, 7])
def test_record_cut_short(load, record, keep):
    data, starts = zero_file()
    data = data[: starts[record] + keep]
    with raises_core(OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE):
        load(data)


@pytest.mark.parametrize("extra", [b"\x00", b"\xff", row_record(1, 1, ZERO_ROW), b"\x00" * 70_000])
def test_bytes_after_last_record(load, extra):
    data, _ = zero_file()
    with raises_core(OrvanelParseError, "trailing_bytes", len(data), TRAILING_MESSAGE):
        load(data + extra)


@pytest.mark.parametrize("target", [65_535, 65_536, 65_537, 131_072])
@pytest.mark.parametrize("extra", [b"", b"\x01"])
def test_end_of_data_at_read_buffer_boundaries(load, target, extra):
    base = standard_header(Z, [("a", "D"), ("b", "S")], banner="")
    pad = target - len(base) - Z * T * 8
    data = standard_header(Z, [("a", "D"), ("b", "S")], banner="x" * pad) + b"".join(zero_records(Z, T))
    assert len(data) == target
    if extra:
        with raises_core(OrvanelParseError, "trailing_bytes", target, TRAILING_MESSAGE):
            load(data + extra)
    else:
        assert load(data).banner == "x" * pad


@pytest.mark.parametrize("record", [0, 3, Z * T - 1])
@pytest.mark.parametrize("chunk", [0, 1])
@pytest.mark.parametrize("position", ["expected", "out of range"])
def test_chunk_size_below_two(load, record, chunk, position):
    records = zero_records(Z, T)
    row, table = (record // T + 1, record % T + 1) if position == "expected" else (0, 9)
    records[record] = row_record(row, table, b"", chunk_size=chunk)
    data, starts = assemble(HEADER, records)
    message = f"invalid row record chunk size: expected at least 2, got {chunk}"
    with raises_core(OrvanelParseError, "invalid_chunk_size", starts[record] + 3, message):
        load(data)
    # Reported before any payload byte is looked for.
    with raises_core(OrvanelParseError, "invalid_chunk_size", starts[record] + 3, message):
        load(data[: starts[record] + 5])


@pytest.mark.parametrize("row, table", [(0, 1), (1, 0), (1, T + 1), (Z + 1, 1), (0, 0), (65535, 255)])
@pytest.mark.parametrize("record", [0, 4])
def test_row_or_table_out_of_range(load, row, table, record):
    records = zero_records(Z, T)
    records[record] = row_record(row, table, ZERO_ROW)
    data, starts = assemble(HEADER, records)
    message = f"row index out of range: row {row}, table {table} (expected row 1..={Z}, table 1..={T})"
    with raises_core(OrvanelParseError, "invalid_row_index", starts[record], message):
        load(data)


def test_range_is_checked_after_the_payload_is_read(load):
    data, _ = assemble(HEADER, [row_record(0, 0, ZERO_ROW, chunk_size=40)])
    with raises_core(OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE):
        load(data)


def _swap_first_two(records):
    records[0], records[1] = records[1], records[0]


@pytest.mark.parametrize(
    "change, record, expected, got",
    [
        (_swap_first_two, 0, (1, 1), (1, 2)),
        (lambda r: r.__setitem__(1, row_record(2, 1, ZERO_ROW)), 1, (1, 2), (2, 1)),
        (lambda r: r.__setitem__(1, row_record(1, 1, ZERO_ROW)), 1, (1, 2), (1, 1)),
        (lambda r: r.pop(2), 2, (2, 1), (2, 2)),
        (lambda r: r.__setitem__(5, row_record(3, 1, ZERO_ROW)), 5, (3, 2), (3, 1)),
        (lambda r: r.insert(0, row_record(3, 2, ZERO_ROW)), 0, (1, 1), (3, 2)),
    ],
    ids=["swapped", "next-row-early", "repeated", "skipped", "last-table-wrong", "last-first"],
)
def test_record_out_of_order(load, change, record, expected, got):
    records = zero_records(Z, T)
    change(records)
    data, starts = assemble(HEADER, records)
    with raises_core(OrvanelParseError, "row_order_violation", starts[record], order_message(expected, got)):
        load(data)


@pytest.mark.parametrize(
    "payload, chunk, kind, message",
    [
        (b"", None, "unexpected_eof", EOF_MESSAGE),
        # A chunk size that swallows the next record makes the zero row too long.
        (ZERO_ROW + row_record(1, 2, ZERO_ROW), None, "trailing_bytes", TRAILING_MESSAGE),
    ],
)
def test_payload_faults_are_reported_at_payload_start(load, payload, chunk, kind, message):
    records = zero_records(Z, T)
    records[2] = row_record(2, 1, payload, chunk)
    data, starts = assemble(HEADER, records)
    with raises_core(OrvanelParseError, kind, starts[2] + 5, message):
        load(data)


# A float32 table of 200 zones: every record is 1018 bytes, so records straddle the
# reader's 64 KiB buffer boundaries.
BIG_Z = 200
BIG_VALUES = np.random.default_rng(7).standard_normal((BIG_Z, BIG_Z)).astype(np.float32)
BIG_HEADER = standard_header(BIG_Z, [("s", "S")])
BIG_RECORDS = [row_record(o + 1, 1, float32_payload(BIG_VALUES[o])) for o in range(BIG_Z)]


def test_large_file_loads(load):
    data, _ = assemble(BIG_HEADER, BIG_RECORDS)
    assert len(data) > 3 * 65_536
    m = load(data)
    assert [m.row(1, o + 1) for o in range(BIG_Z)] == BIG_VALUES.astype(np.float64).tolist()


@pytest.mark.parametrize("boundary", [65_536, 131_072])
@pytest.mark.parametrize("fault", ["preamble", "order", "chunk", "cut"])
def test_offsets_across_buffer_boundaries(load, boundary, fault):
    _, starts = assemble(BIG_HEADER, BIG_RECORDS)
    k = max(i for i, s in enumerate(starts) if s <= boundary - 3)
    records = list(BIG_RECORDS)
    if fault == "preamble":
        records[k] = records[k][:5] + b"\x80\x7f" + records[k][7:]
        expected = ("invalid_preamble", starts[k] + 5, "invalid row preamble: expected 0x80 0x80, got 0x80 0x7F")
    elif fault == "order":
        records[k] = row_record(k + 2, 1, float32_payload(BIG_VALUES[k]))
        expected = ("row_order_violation", starts[k], order_message((k + 1, 1), (k + 2, 1)))
    elif fault == "chunk":
        records[k] = records[k][:3] + b"\x01\x00" + records[k][5:]
        expected = ("invalid_chunk_size", starts[k] + 3, "invalid row record chunk size: expected at least 2, got 1")
    data, _ = assemble(BIG_HEADER, records)
    if fault == "cut":
        data = data[: boundary + 1]
        expected = ("unexpected_eof", boundary + 1, EOF_MESSAGE)
    with raises_core(OrvanelParseError, *expected):
        load(data)
