import numpy as np
import pytest

import reference_codec as ref
from orvanel._orvanel import OrvanelParseError
from support import EOF_MESSAGE, TRAILING_MESSAGE, raises_core

Z, T = 3, 2
HEADER = ref.standard_header(Z, [("a", "D"), ("b", "S")])
CHUNK_MESSAGE = "invalid row record chunk size: expected at least 2, got {}"


def zero_file(replace=None):
    """The all-zero file, with record k replaced when `replace` is (k, record)."""
    records = ref.zero_records(Z, T)
    if replace:
        records[replace[0]] = replace[1]
    return ref.assemble(HEADER, records)


def order_message(expected, got):
    return f"row order violation: expected row {expected[0]}, table {expected[1]}; got row {got[0]}, table {got[1]}"


# Input cut short `keep` bytes into record k; in the last case the record claims 40 bytes
# and row 0 of table 0, which is judged only once its payload has been read.
@pytest.mark.parametrize("record, keep, chunk", [(0, 0, None), (1, 0, None), (5, 0, None), (0, 1, None), (0, 5, None),
                                                 (5, 4, None), (5, 7, None), (0, 8, 40)])
def test_input_ending_in_records(load, record, keep, chunk):
    data, starts = zero_file(chunk and (record, ref.row_record(0, 0, ref.ZERO_ROW, chunk_size=chunk)))
    data = data[: starts[record] + keep]
    with raises_core(OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE):
        load(data)


@pytest.mark.parametrize("target", [65_535, 65_536, 131_072])
@pytest.mark.parametrize("extra", [b"", b"\x01", ref.row_record(1, 1, ref.ZERO_ROW)])
def test_end_of_data_and_trailing_bytes_at_read_buffer_boundaries(load, target, extra):
    pad = target - len(ref.standard_header(Z, [("a", "D"), ("b", "S")], banner="")) - Z * T * 8
    data = ref.standard_header(Z, [("a", "D"), ("b", "S")], banner="x" * pad) + b"".join(ref.zero_records(Z, T))
    assert len(data) == target
    if extra:
        with raises_core(OrvanelParseError, "trailing_bytes", target, TRAILING_MESSAGE):
            load(data + extra)
    else:
        assert load(data).banner == "x" * pad


@pytest.mark.parametrize("record", [0, Z * T - 1])
@pytest.mark.parametrize("chunk", [0, 1])
@pytest.mark.parametrize("position", ["expected", "out of range"])
def test_chunk_size_below_two(load, record, chunk, position):
    row, table = (record // T + 1, record % T + 1) if position == "expected" else (0, 9)
    data, starts = zero_file((record, ref.row_record(row, table, b"", chunk_size=chunk)))
    # Reported before any payload byte is looked for.
    for cut in (data, data[: starts[record] + 5]):
        with raises_core(OrvanelParseError, "invalid_chunk_size", starts[record] + 3, CHUNK_MESSAGE.format(chunk)):
            load(cut)


# Record k replaced by one for (row, table): out of range in each field and at each end,
# both for the first record and a later one; or in range but out of order (swapped
# tables, a row early, a repeat, a skip).
@pytest.mark.parametrize("record, got, kind", [
    *[(k, got, "invalid_row_index") for got in [(0, 1), (1, 0), (1, T + 1), (Z + 1, 1), (65535, 255)] for k in (0, 4)],
    *[(k, got, "row_order_violation") for k, got in [(0, (1, 2)), (1, (2, 1)), (1, (1, 1)), (2, (2, 2)), (5, (3, 1))]],
])
def test_record_out_of_range_or_order(load, record, got, kind):
    data, starts = zero_file((record, ref.row_record(*got, ref.ZERO_ROW)))
    message = (order_message((record // T + 1, record % T + 1), got) if kind == "row_order_violation" else
               f"row index out of range: row {got[0]}, table {got[1]} (expected row 1..={Z}, table 1..={T})")
    with raises_core(OrvanelParseError, kind, starts[record], message):
        load(data)


# A float32 table of 200 zones: records of 1018 bytes straddle the reader's 64 KiB buffers.
BIG_Z = 200
BIG_VALUES = np.random.default_rng(7).standard_normal((BIG_Z, BIG_Z)).astype(np.float32)
BIG_HEADER = ref.standard_header(BIG_Z, [("s", "S")])
BIG_RECORDS = [ref.row_record(o + 1, 1, ref.float32_payload(BIG_VALUES[o])) for o in range(BIG_Z)]


def test_large_file_loads(load):
    data, _ = ref.assemble(BIG_HEADER, BIG_RECORDS)
    assert len(data) > 3 * 65_536
    m = load(data)
    assert [m.row(1, o + 1) for o in range(BIG_Z)] == BIG_VALUES.astype(np.float64).tolist()


@pytest.mark.parametrize("boundary", [65_536, 131_072])
@pytest.mark.parametrize("fault", ["preamble", "order", "chunk", "cut"])
def test_offsets_across_buffer_boundaries(load, boundary, fault):
    _, starts = ref.assemble(BIG_HEADER, BIG_RECORDS)
    k = max(i for i, s in enumerate(starts) if s <= boundary - 3)
    records = list(BIG_RECORDS)
    if fault == "preamble":
        records[k] = records[k][:5] + b"\x80\x7f" + records[k][7:]
        expected = ("invalid_preamble", starts[k] + 5, "invalid row preamble: expected 0x80 0x80, got 0x80 0x7F")
    elif fault == "order":
        records[k] = ref.row_record(k + 2, 1, ref.float32_payload(BIG_VALUES[k]))
        expected = ("row_order_violation", starts[k], order_message((k + 1, 1), (k + 2, 1)))
    elif fault == "chunk":
        records[k] = records[k][:3] + b"\x01\x00" + records[k][5:]
        expected = ("invalid_chunk_size", starts[k] + 3, CHUNK_MESSAGE.format(1))
    data, _ = ref.assemble(BIG_HEADER, records)
    if fault == "cut":
        data = data[: boundary + 1]
        expected = ("unexpected_eof", boundary + 1, EOF_MESSAGE)
    with raises_core(OrvanelParseError, *expected):
        load(data)
