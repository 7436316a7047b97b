import pytest

import reference_codec as ref
from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel._orvanel import OrvanelParseError, OrvanelValidationError
from support import EOF_MESSAGE, raises_core

WORKED_HEADER, WORKED_ROWS = ref.WORKED_FILE[:87], ref.WORKED_FILE[87:]
# Overlong forms, surrogates, truncated and out-of-range sequences, stray continuation
# bytes, and valid characters (U+FFFD itself among them) in between.
TRICKY_UTF8 = (
    b"\xc0\xafa\xed\xa0\x80b\xf0\x9f\x98c\xf4\x90\x80\x80d\x80\xbfe\xe0\x80\x80"
    b"\xef\xbf\xbd\xf0\x9f\x98\x80\xf8\x88\x80\x80\x80\xc2"
)


def contents_with(record, content, zones=3, tables=(("a", "2"),)):
    contents = ref.header_contents(zones, list(tables))
    contents[record - 1] = content
    return contents


def with_zero_rows(contents, zone_count=3, table_count=1):
    return ref.frame_header(contents) + b"".join(ref.zero_records(zone_count, table_count))


@pytest.mark.parametrize("record, length", [(1, 0), (2, 3), (3, 1_048_577), (4, 0xFFFFFFFF), (5, 3)])
def test_header_record_length_out_of_range(load, record, length):
    contents = ref.header_contents(3, [("a", "2")])
    framed = contents_with(record, (contents[record - 1], length))
    message = f"invalid header record length: record {record} has {length} bytes (minimum 4)"
    with raises_core(OrvanelParseError, "invalid_header_length", ref.record_end(contents, record - 1) + 4, message):
        load(ref.frame_header(framed) + WORKED_ROWS)


def test_longest_header_record_is_accepted(load):
    contents = contents_with(2, b"")
    contents[0] = b"b" * 1_048_572
    m = load(with_zero_rows(contents))
    assert (m.banner, m.run_id) == ("b" * 1_048_572, "")


@pytest.mark.parametrize("cut", [0, 3, 4, 29, 30, 86, 87])
def test_input_ending_in_header(load, cut):
    with raises_core(OrvanelParseError, "unexpected_eof", cut, EOF_MESSAGE):
        load(WORKED_HEADER[:cut])


@pytest.mark.parametrize("record, content, text", [
    (1, b"", ""), (1, b"ab\x00cd\x00", "ab"), (1, b"a\xffb\x00", "a\ufffdb"), (1, b"\xe2\x82\x00", "\ufffd"),
    (1, "Zürich ✓ \t".encode(), "Zürich ✓ \t"), (1, TRICKY_UTF8, TRICKY_UTF8.decode("utf-8", "replace")),
    (2, b"ID=R7\x00", "R7"), (2, b"R7\x00", "R7"), (2, b"id=X", "id=X"), (2, b"ID=ID=x", "ID=x"),
    (2, b"\x00ID=x", ""), (2, b"ID=\xff\x00", "\ufffd"),
])
def test_banner_and_run_id_text(load, record, content, text):
    m = load(with_zero_rows(contents_with(record, content)))
    assert (m.banner, m.run_id) == ((text, DEFAULT_RUN_ID) if record == 1 else (DEFAULT_BANNER, text))


@pytest.mark.parametrize("par, zones, tables", [
    (b"PAR M=+2 Zones=003 extra=1", 3, 2), (b"PAR\tZones=3\r\nM=2\x0c", 3, 2),
    (b"XYZ Zones=9 M=5 Zones=3 M=1", 3, 1), (b"PAR Zones=3 M=1\x00Zones=9 M=\xff", 3, 1),
    (b"PAR zones=9 Zones=2 m=7 MM=4 M=1 Zones", 2, 1), ("PAR Zones=2 M=1 \ufffd\U0001f600 \u00e9=1".encode(), 2, 1),
])
def test_par_record_accepted(load, par, zones, tables):
    contents = contents_with(3, par, zones, [(f"t{i}", "D") for i in range(tables)])
    m = load(with_zero_rows(contents, zones, tables))
    assert (m.zone_count, m.table_count) == (zones, tables)


@pytest.mark.parametrize("mvr, expected", [
    (b"\x00\x00MVR 2\x00\x00a=1\x00\x00b=S\x00\x00", [("a", "1"), ("b", "S")]),
    (b"MVR 02\x00x=y=D\x00=S\x00", [("x=y", "D"), ("", "S")]),
    (b"MVR +2\x00 a b =0\x00a=9", [(" a b ", "0"), ("a", "9")]),
    ("MVR 2\x00Zürich=D\x00Zürich=3".encode(), [("Zürich", "D"), ("Zürich", "3")]),
    (b"MVR 12\x00" + b"".join(f"t{c}={c}\x00".encode() for c in "0123456789SD"),
     [(f"t{c}", c) for c in "0123456789SD"]),
])
def test_mvr_record_accepted(load, mvr, expected):
    m = load(with_zero_rows(contents_with(4, mvr, 2, expected), 2, len(expected)))
    assert [(i.index, i.name, i.type_code) for i in m.tables()] == [(k + 1, *e) for k, e in enumerate(expected)]


PAR, MVR, MISMATCH, CODE, ROW = "invalid_par", "invalid_mvr", "table_count_mismatch", "invalid_type_code", "missing_row_marker"
HEADER_ERRORS = {
    PAR: (OrvanelParseError, "invalid parameter record (PAR): {}"),
    MVR: (OrvanelParseError, "invalid table catalogue record (MVR): {}"),
    MISMATCH: (OrvanelParseError, "table count mismatch between PAR and MVR: {}"),
    CODE: (OrvanelValidationError, "invalid type code: expected one of '0'..'9', 'S', 'D'; got \"{}\""),
    ROW: (OrvanelParseError, "missing ROW data-start marker in header{}"),
}


# (record, content, tables in PAR, kind, detail)
@pytest.mark.parametrize("record, content, table_count, kind, detail", [
    *[(3, par, 1, PAR, detail) for par, detail in [
        (b"PAR Zones=65536 M=1", "invalid Zones value: 65536"),
        (b"PAR Zones=18446744073709551619 M=1", "invalid Zones value: 18446744073709551619"),
        (b"PAR Zones=+ M=1", "invalid Zones value: +"), (b"PAR Zones=-0 M=1", "invalid Zones value: -0"),
        (b"PAR Zones=3\x0bM=1", "invalid Zones value: 3\x0bM=1"),
        ("PAR Zones=\uff13 M=1".encode(), "invalid Zones value: \uff13"),
        (b"PAR Zones=x M=256", "invalid Zones value: x"), (b"PAR M=256 Zones=x", "invalid M value: 256"),
        (b"PAR M=Zones=3", "invalid M value: Zones=3"), (b"PAR Zones=0", "missing M= token"),
        (b"PAR M=1", "missing Zones= token"), (b"\x00PAR Zones=3 M=1", "missing Zones= token"),
        (b"PAR Zones=0 M=0", "Zones must be > 0"), (b"PAR Zones=3 M=+0", "M must be > 0"),
        (b"\xc3PAR Zones=x", "non-UTF-8 payload"),
        *[(b"PAR Zones=3 M=1 " + bad, "non-UTF-8 payload")
          for bad in (b"\xff", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"\xf0\x9f\x98")],
    ]],
    *[(4, mvr, *rest) for mvr, *rest in [
        (b"", 1, MVR, "empty MVR payload"), (b"\xffMVR 1\x00a=1", 1, MVR, "non-UTF-8 first token"),
        (b"MVR\t1\x00a=1", 1, MVR, "missing MVR prefix"), (b"a=1\x00MVR 1", 1, MVR, "missing MVR prefix"),
        (b"MVR  1\x00a=1", 1, MVR, "invalid MVR count:  1"), (b"MVR 256\x00a=1", 1, MVR, "invalid MVR count: 256"),
        (b"MVR 0", 1, MISMATCH, "PAR=1, MVR=0"), (b"MVR 2\x00\xff", 1, MISMATCH, "PAR=1, MVR=2"),
        (b"MVR 1\x00a=1\x00b", 1, MVR, "expected 1 table tokens, got more"),
        (b"MVR 2\x00a=1\x00\x00", 2, MVR, "expected 2 table tokens, got 1"),
        (b"MVR 1\x00a\xff=1", 1, MVR, "non-UTF-8 table token"),
        (b"MVR 2\x00a=1\x00b c\x00", 2, MVR, "table token missing '=': b c"),
        (b"MVR 1\x00a=10", 1, CODE, "10"), (b"MVR 1\x00a=s", 1, CODE, "s"), (b"MVR 1\x00a=D=", 1, CODE, ""),
        ("MVR 1\x00a=é".encode(), 1, CODE, "é"), (b"MVR 2\x00a=X\x00", 2, CODE, "X"),
        (b"MVR 2\x00a=1\x00b=X\x00c=1", 2, CODE, "X"),
    ]],
    *[(5, content, 1, ROW, "") for content in [b"ROW", b"ROW\x00\x00", b"row\x00", b"ROW\x01"]],
])
def test_header_record_rejected(load, record, content, table_count, kind, detail):
    contents = contents_with(record, content, 2, [(f"t{i}", "D") for i in range(table_count)])
    cls, message = HEADER_ERRORS[kind]
    # Judged before the next record is read.
    for data in (with_zero_rows(contents, 2, table_count), ref.frame_header(contents[:record])):
        with raises_core(cls, kind, ref.record_end(contents, record), message.format(detail)):
            load(data)

