import pytest

from expect import EOF_MESSAGE, raises_core
from matrix_bytes import (
    ZERO_ROW,
    frame_header,
    header_contents,
    header_record,
    record_end,
    row_record,
    standard_header,
    zero_records,
)
from orvanel._orvanel import OrvanelParseError, OrvanelValidationError

# Three zones, one table "a" of type Fixed(2), default banner and run identifier,
# followed by three zero rows.
WORKED_HEADER = (
    bytes.fromhex("1e000000") + b"MAT PGM=ORVANEL VER=0.4.3\x00"
    + bytes.fromhex("0f000000") + b"ID=ORVANEL\x00"
    + bytes.fromhex("14000000") + b"PAR Zones=3 M=1\x00"
    + bytes.fromhex("0e000000") + b"MVR 1\x00a=2\x00"
    + bytes.fromhex("08000000") + b"ROW\x00"
)
# Overlong forms, surrogates, truncated and out-of-range sequences, stray continuation
# bytes, and valid characters (U+FFFD itself among them) in between.
TRICKY_UTF8 = (
    b"\xc0\xafa\xed\xa0\x80b\xf0\x9f\x98c\xf4\x90\x80\x80d\x80\xbfe\xe0\x80\x80"
    b"\xef\xbf\xbd\xf0\x9f\x98\x80\xf8\x88\x80\x80\x80\xc2"
)
WORKED_ROWS = bytes.fromhex("0100 01 0500 808000 0200 01 0500 808000 0300 01 0500 808000")


def with_zero_rows(contents, zone_count=3, table_count=1):
    return frame_header(contents) + b"".join(zero_records(zone_count, table_count))


def test_worked_example(load):
    assert len(WORKED_HEADER) == 87
    assert standard_header(3, [("a", "2")]) == WORKED_HEADER
    m = load(WORKED_HEADER + WORKED_ROWS)
    assert (m.zone_count, m.table_count) == (3, 1)
    assert (m.banner, m.run_id) == ("MAT PGM=ORVANEL VER=0.4.3", "ORVANEL")
    [info] = m.tables()
    assert (info.index, info.name, info.type_code) == (1, "a", "2")
    assert [m.row(1, o) for o in (1, 2, 3)] == [[0.0] * 3] * 3


@pytest.mark.parametrize("record", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("length", [0, 3, 1_048_577, 0xFFFFFFFF])
def test_header_record_length_out_of_range(load, record, length):
    contents = header_contents(3, [("a", "2")])
    framed = list(contents)
    framed[record - 1] = (contents[record - 1], length)
    with raises_core(
        OrvanelParseError,
        "invalid_header_length",
        record_end(contents, record - 1) + 4,
        f"invalid header record length: record {record} has {length} bytes (minimum 4)",
    ):
        load(frame_header(framed) + WORKED_ROWS)


def test_longest_header_record_is_accepted(load):
    contents = header_contents(3, [("a", "2")])
    contents[0] = b"b" * 1_048_572
    contents[1] = b""
    m = load(with_zero_rows(contents))
    assert m.banner == "b" * 1_048_572
    assert m.run_id == ""


@pytest.mark.parametrize("cut", [0, 1, 3, 4, 20, 29, 30, 44, 45, 48, 64, 65, 78, 79, 82, 83, 86, 87])
def test_input_ending_in_header(load, cut):
    with raises_core(OrvanelParseError, "unexpected_eof", cut, EOF_MESSAGE):
        load(WORKED_HEADER[:cut])


def test_record_longer_than_input(load):
    data = header_record(b"short", 1_048_576)
    with raises_core(OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE):
        load(data)


@pytest.mark.parametrize(
    "record, content, text",
    [
        (1, b"", ""), (1, b"\x00", ""), (1, b"HELLO", "HELLO"), (1, b"ab\x00cd\x00", "ab"),
        (1, b"a\xffb\x00", "a\ufffdb"), (1, b"\xe2\x82\x00", "\ufffd"),
        (1, "Zürich ✓ \t".encode() + b"\x00", "Zürich ✓ \t"),
        (1, TRICKY_UTF8, TRICKY_UTF8.decode("utf-8", "replace")),
        (2, b"ID=R7\x00", "R7"), (2, b"ID=\x00", ""), (2, b"R7\x00", "R7"), (2, b"", ""), (2, b"id=X", "id=X"),
        (2, b"ID=ID=x", "ID=x"), (2, b"ID=a\x00b", "a"), (2, b"\x00ID=x", ""), (2, b"ID", "ID"),
        (2, b"ID=\xff\x00", "\ufffd"),
    ],
)
def test_banner_and_run_id_text(load, record, content, text):
    contents = header_contents(3, [("a", "2")])
    contents[record - 1] = content
    m = load(with_zero_rows(contents))
    assert (m.banner, m.run_id) == ((text, "ORVANEL") if record == 1 else ("MAT PGM=ORVANEL VER=0.4.3", text))


@pytest.mark.parametrize(
    "par, zones, tables",
    [
        (b"PAR Zones=3 M=2\x00", 3, 2),
        (b"PAR M=2 Zones=3", 3, 2),
        (b"PAR Zones=3 M=2 extra=1\x00", 3, 2),
        (b"PAR Zones=003 M=+2\x00", 3, 2),
        (b"PAR\tZones=3\r\nM=2\x0c", 3, 2),
        (b"  Zones=3   M=1", 3, 1),
        (b"XYZ Zones=9 M=5 Zones=3 M=1", 3, 1),
        (b"PAR Zones=3 M=1\x00Zones=9 M=\xff", 3, 1),
        (b"PAR zones=9 Zones=2 m=7 MM=4 M=1 Zones", 2, 1),
        (b"PAR Zones=+0002 M=01", 2, 1),
        ("PAR Zones=2 M=1 \ufffd\U0001f600 \u00e9=1".encode(), 2, 1),
    ],
)
def test_par_record_accepted(load, par, zones, tables):
    contents = header_contents(zones, [(f"t{i}", "D") for i in range(tables)])
    contents[2] = par
    m = load(with_zero_rows(contents, zones, tables))
    assert (m.zone_count, m.table_count) == (zones, tables)


@pytest.mark.parametrize(
    "par, detail",
    [
        (b"PAR Zones=65536 M=1", "invalid Zones value: 65536"),
        (b"PAR Zones=18446744073709551619 M=1", "invalid Zones value: 18446744073709551619"),
        (b"PAR Zones= M=1", "invalid Zones value: "),
        (b"PAR Zones=-0 M=1", "invalid Zones value: -0"),
        (b"PAR Zones=+ M=1", "invalid Zones value: +"),
        (b"PAR Zones=3\x0bM=1", "invalid Zones value: 3\x0bM=1"),
        ("PAR Zones=3\u00a0M=1".encode(), "invalid Zones value: 3\u00a0M=1"),
        ("PAR Zones=\uff13 M=1".encode(), "invalid Zones value: \uff13"),
        (b"PAR Zones=3,M=1", "invalid Zones value: 3,M=1"),
        (b"PAR Zones=x M=256", "invalid Zones value: x"),
        (b"PAR Zones=3 M=256", "invalid M value: 256"),
        (b"PAR Zones=3 M=", "invalid M value: "),
        (b"PAR M=Zones=3", "invalid M value: Zones=3"),
        (b"PAR M=256 Zones=x", "invalid M value: 256"),
        (b"PAR Zones=5", "missing M= token"),
        (b"PAR Zones=0", "missing M= token"),
        (b"PAR M=1", "missing Zones= token"),
        (b"", "missing Zones= token"),
        (b"\x00PAR Zones=3 M=1", "missing Zones= token"),
        (b"PAR Zones=0 M=0", "Zones must be > 0"),
        (b"PAR Zones=3 M=+0", "M must be > 0"),
        (b"PAR Zones=3 M=1 \xff", "non-UTF-8 payload"),
        (b"\xc3PAR Zones=x", "non-UTF-8 payload"),
        (b"PAR Zones=3 M=1 \xed\xa0\x80", "non-UTF-8 payload"),
        (b"PAR Zones=3 M=1 \xc0\xaf", "non-UTF-8 payload"),
        (b"PAR Zones=3 M=1 \xf4\x90\x80\x80", "non-UTF-8 payload"),
        (b"PAR Zones=3 M=1 \xf0\x9f\x98", "non-UTF-8 payload"),
    ],
)
def test_par_record_rejected(load, par, detail):
    contents = header_contents(3, [("a", "2")])
    contents[2] = par
    end = record_end(contents, 3)
    message = f"invalid parameter record (PAR): {detail}"
    with raises_core(OrvanelParseError, "invalid_par", end, message):
        load(with_zero_rows(contents))
    # The record is judged before the next one is read.
    with raises_core(OrvanelParseError, "invalid_par", end, message):
        load(frame_header(contents[:3]))


def _tables(mvr, names_and_codes):
    contents = header_contents(2, names_and_codes)
    contents[3] = mvr
    return contents


@pytest.mark.parametrize(
    "mvr, expected",
    [
        (b"MVR 2\x00a=1\x00b=S\x00", [("a", "1"), ("b", "S")]),
        (b"MVR 2\x00\x00a=1\x00\x00b=S", [("a", "1"), ("b", "S")]),
        (b"\x00\x00MVR 2\x00a=1\x00b=S\x00\x00", [("a", "1"), ("b", "S")]),
        (b"MVR 02\x00x=y=D\x00=S\x00", [("x=y", "D"), ("", "S")]),
        (b"MVR +2\x00 a b =0\x00a=9", [(" a b ", "0"), ("a", "9")]),
        ("MVR 2\x00Zürich=D\x00Zürich=3".encode(), [("Zürich", "D"), ("Zürich", "3")]),
        (
            b"MVR 12\x00" + b"".join(f"t{c}={c}\x00".encode() for c in "0123456789SD"),
            [(f"t{c}", c) for c in "0123456789SD"],
        ),
    ],
)
def test_mvr_record_accepted(load, mvr, expected):
    m = load(with_zero_rows(_tables(mvr, expected), 2, len(expected)))
    got = [(info.index, info.name, info.type_code) for info in m.tables()]
    assert got == [(k + 1, name, code) for k, (name, code) in enumerate(expected)]


def _mvr_error(kind, detail):
    if kind == "invalid_mvr":
        return OrvanelParseError, f"invalid table catalogue record (MVR): {detail}"
    if kind == "table_count_mismatch":
        return OrvanelParseError, f"table count mismatch between PAR and MVR: {detail}"
    return OrvanelValidationError, f"invalid type code: expected one of '0'..'9', 'S', 'D'; got \"{detail}\""


@pytest.mark.parametrize(
    "mvr, table_count, kind, detail",
    [
        (b"", 1, "invalid_mvr", "empty MVR payload"),
        (b"\xffMVR 1\x00a=1", 1, "invalid_mvr", "non-UTF-8 first token"),
        (b"MVR", 1, "invalid_mvr", "missing MVR prefix"),
        (b"MVR1\x00a=1", 1, "invalid_mvr", "missing MVR prefix"),
        (b"MVR\t1\x00a=1", 1, "invalid_mvr", "missing MVR prefix"),
        (b"a=1\x00MVR 1", 1, "invalid_mvr", "missing MVR prefix"),
        (b"MVR \x00a=1", 1, "invalid_mvr", "invalid MVR count: "),
        (b"MVR  1\x00a=1", 1, "invalid_mvr", "invalid MVR count:  1"),
        (b"MVR 256\x00a=1", 1, "invalid_mvr", "invalid MVR count: 256"),
        (b"MVR 1 \x00a=1", 1, "invalid_mvr", "invalid MVR count: 1 "),
        (b"MVR 3\x00a=1\x00b=1\x00c=1", 2, "table_count_mismatch", "PAR=2, MVR=3"),
        (b"MVR 0", 1, "table_count_mismatch", "PAR=1, MVR=0"),
        (b"MVR 2\x00\xff", 1, "table_count_mismatch", "PAR=1, MVR=2"),
        (b"MVR 1\x00a=1\x00b=2", 1, "invalid_mvr", "expected 1 table tokens, got more"),
        (b"MVR 1\x00a=1\x00b", 1, "invalid_mvr", "expected 1 table tokens, got more"),
        (b"MVR 2\x00a=1", 2, "invalid_mvr", "expected 2 table tokens, got 1"),
        (b"MVR 2\x00\x00", 2, "invalid_mvr", "expected 2 table tokens, got 0"),
        (b"MVR 1\x00a\xff=1", 1, "invalid_mvr", "non-UTF-8 table token"),
        (b"MVR 1\x00abc", 1, "invalid_mvr", "table token missing '=': abc"),
        (b"MVR 2\x00a=1\x00b c\x00", 2, "invalid_mvr", "table token missing '=': b c"),
        (b"MVR 1\x00a=10", 1, "invalid_type_code", "10"),
        (b"MVR 1\x00a=", 1, "invalid_type_code", ""),
        (b"MVR 1\x00a=s", 1, "invalid_type_code", "s"),
        (b"MVR 1\x00a=D ", 1, "invalid_type_code", "D "),
        (b"MVR 1\x00a=D=", 1, "invalid_type_code", ""),
        ("MVR 1\x00a=é".encode(), 1, "invalid_type_code", "é"),
        (b"MVR 2\x00a=X\x00", 2, "invalid_type_code", "X"),
        (b"MVR 2\x00a=1\x00b=X\x00c=1", 2, "invalid_type_code", "X"),
    ],
)
def test_mvr_record_rejected(load, mvr, table_count, kind, detail):
    contents = _tables(mvr, [(f"t{i}", "D") for i in range(table_count)])
    cls, message = _mvr_error(kind, detail)
    end = record_end(contents, 4)
    with raises_core(cls, kind, end, message):
        load(with_zero_rows(contents, 2, table_count))
    with raises_core(cls, kind, end, message):
        load(frame_header(contents[:4]))


@pytest.mark.parametrize("content", [b"ROW", b"ROWX", b"ROW\x00\x00", b"", b"row\x00", b"\x00ROW", b"ROW\x01"])
def test_row_marker_rejected(load, content):
    contents = header_contents(3, [("a", "2")])
    contents[4] = content
    with raises_core(
        OrvanelParseError, "missing_row_marker", record_end(contents, 5), "missing ROW data-start marker in header"
    ):
        load(with_zero_rows(contents))


def test_header_offsets_after_a_long_banner(load):
    contents = header_contents(2, [("a", "D")], banner="x" * 200_000)
    contents[3] = b"MVR 1\x00a=Q\x00"
    with raises_core(
        OrvanelValidationError,
        "invalid_type_code",
        record_end(contents, 4),
        "invalid type code: expected one of '0'..'9', 'S', 'D'; got \"Q\"",
    ):
        load(frame_header(contents) + row_record(1, 1, ZERO_ROW))
