import os
import pathlib

import numpy as np
import pytest

from orvanel._orvanel import OrvanelIoError, OrvanelParseError, OrvanelValidationError, _MatrixCore
from reference_codec import (
    ZERO_ROW,
    assemble,
    frame_header,
    header_contents,
    matrix_file,
    raw_double_payload,
    record_end,
    row_record,
    standard_header,
    zero_records,
)
from support import EOF_MESSAGE, raises_core, raises_exact

rng = np.random.default_rng(11)
Z = 5
TABLES = [("d", "D"), ("s", "S"), ("f", "2"), ("r", "0")]
VALUES = np.stack([
    rng.standard_normal((Z, Z)) * 1e3, rng.standard_normal((Z, Z)).astype(np.float32).astype(np.float64),
    rng.integers(-100_000, 100_000, (Z, Z)) / 100, rng.integers(-5, 300, (Z, Z)).astype(np.float64),
])
VALUES[1, 2] = 0.0  # one zero row
MIXED = matrix_file(Z, TABLES, VALUES, banner="B", run_id="R9", style="mixed")
CHUNK_1 = "invalid row record chunk size: expected at least 2, got 1"


def contents_of(m):
    tables = [(i.index, i.name, i.type_code) for i in m.tables()]
    values = [[m.row(t, o) for o in range(1, m.zone_count + 1)] for t in range(1, m.table_count + 1)]
    return m.banner, m.run_id, m.zone_count, tables, values


def expected_contents(indices):
    return "B", "R9", Z, [(k + 1, *TABLES[i]) for k, i in enumerate(indices)], [VALUES[i].tolist() for i in indices]


def test_load_every_encoding(load):
    assert contents_of(load(MIXED)) == expected_contents(range(4))


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Blob(bytes):
    pass


@pytest.mark.parametrize("form", [str, pathlib.Path, lambda p: FsPath(str(p))], ids=["str", "pathlib", "fspath"])
def test_path_forms_and_keywords(tmp_path, form):
    path = tmp_path / "m.mat"
    path.write_bytes(MIXED)
    assert contents_of(_MatrixCore.open(form(path))) == expected_contents(range(4))
    assert contents_of(_MatrixCore.open_tables(form(path), ["f"])) == expected_contents([2])
    assert contents_of(_MatrixCore.open(path=form(path))) == expected_contents(range(4))
    assert contents_of(_MatrixCore.open_tables(path=form(path), table_names=["s"])) == expected_contents([1])
    assert contents_of(_MatrixCore.from_bytes(bytes=Blob(MIXED))) == expected_contents(range(4))
    assert contents_of(_MatrixCore.from_bytes_tables(table_names=("s",), bytes=MIXED)) == expected_contents([1])


PATH_CALLS = (_MatrixCore.open, lambda p: _MatrixCore.open_tables(p, "not a list either"))
BYTES_CALLS = (_MatrixCore.from_bytes, lambda b: _MatrixCore.from_bytes_tables(b, 5))
# Table names are converted before the file is opened.
NAMES_CALLS = (lambda n: _MatrixCore.from_bytes_tables(MIXED, n),
               lambda n: _MatrixCore.open_tables("/nonexistent.mat", n))


@pytest.mark.parametrize("calls, value, message", [
    (PATH_CALLS, b"/tmp/m.mat", "argument 'path': 'bytes' object is not an instance of 'str'"),
    (PATH_CALLS, FsPath(b"/tmp/m.mat"), "argument 'path': 'bytes' object is not an instance of 'str'"),
    (PATH_CALLS, 5, "argument 'path': expected str, bytes or os.PathLike object, not int"),
    (BYTES_CALLS, bytearray(MIXED), "argument 'bytes': 'bytearray' object is not an instance of 'bytes'"),
    (BYTES_CALLS, None, "argument 'bytes': 'NoneType' object is not an instance of 'bytes'"),
    (NAMES_CALLS, "s", "argument 'table_names': Can't extract `str` to `Vec`"),
    (NAMES_CALLS, {"s"}, "argument 'table_names': 'set' object is not an instance of 'Sequence'"),
    (NAMES_CALLS, ["s", 1], "argument 'table_names': 'int' object is not an instance of 'str'"),
])
def test_argument_types_rejected(calls, value, message):
    for call in calls:
        with raises_exact(TypeError, message):
            call(value)
    with pytest.raises(UnicodeEncodeError):
        _MatrixCore.open("\ud800.mat")


@pytest.mark.parametrize("names, indices", [(("d", "d"), [0]), (["r", "s", "d", "s", "f"], [0, 1, 2, 3])])
def test_selected_tables_in_file_order(load_tables, names, indices):
    assert contents_of(load_tables(MIXED, names)) == expected_contents(indices)


def test_names_are_taken_as_read_and_a_repeated_name_selects_the_first(load, load_tables):
    data = matrix_file(2, [("", "D"), ("Zürich", "S"), ("", "2")], np.arange(3 * 4, dtype=np.float64))
    assert [(i.name, i.type_code) for i in load(data).tables()] == [("", "D"), ("Zürich", "S"), ("", "2")]
    m = load_tables(data, ["Zürich", ""])
    assert [(i.index, i.name) for i in m.tables()] == [(1, ""), (2, "Zürich")]
    assert m.row(1, 2) == [2.0, 3.0] and m.row(2, 1) == [4.0, 5.0]


BAD_PAR = header_contents(2, [("a", "D")])
BAD_PAR[2] = b"PAR Zones=2"


@pytest.mark.parametrize("data, names, cls, kind, offset, message", [
    (MIXED, [], OrvanelValidationError, "invalid_table_count", None,
     "invalid table configuration: at least one table name must be provided"),
    (MIXED, ["d", "zz", "yy"], OrvanelValidationError, "table_not_found", None, 'table not found in header: "zz"'),
    (MIXED, ["D"], OrvanelValidationError, "table_not_found", None, 'table not found in header: "D"'),
    # The header's error comes before the names'.
    (frame_header(BAD_PAR), [], OrvanelParseError, "invalid_par", record_end(BAD_PAR, 3),
     "invalid parameter record (PAR): missing M= token"),
])
def test_table_names_rejected(load_tables, data, names, cls, kind, offset, message):
    with raises_core(cls, kind, offset, message):
        load_tables(data, names)


# Tables a and b (Z = 2) with a fault in record k, which belongs to table b.
UNSELECTED_FAULTS = {
    "order": (1, row_record(2, 2, ZERO_ROW), "row_order_violation", 0,
              "row order violation: expected row 1, table 2; got row 2, table 2"),
    "range": (3, row_record(2, 3, ZERO_ROW), "invalid_row_index", 0,
              "row index out of range: row 2, table 3 (expected row 1..=2, table 1..=2)"),
    "chunk": (1, row_record(1, 2, ZERO_ROW, chunk_size=1), "invalid_chunk_size", 3, CHUNK_1),
    "cut": (3, row_record(2, 2, ZERO_ROW)[:-2], "unexpected_eof", 6, EOF_MESSAGE),
}


@pytest.mark.parametrize("fault", list(UNSELECTED_FAULTS))
def test_unselected_table_is_still_framed(load, load_tables, fault):
    k, record, kind, offset, message = UNSELECTED_FAULTS[fault]
    records = zero_records(2, 2)
    records[k] = record
    data, starts = assemble(standard_header(2, [("a", "D"), ("b", "D")]), records)
    with raises_core(OrvanelParseError, kind, starts[k] + offset, message):
        load(data)
    with raises_core(OrvanelParseError, kind, starts[k] + offset, message):
        load_tables(data, ["a"])


@pytest.mark.parametrize("name, offset, message", [
    ("missing.mat", None, "No such file or directory (os error 2)"),
    ("a\x00b", None, "file name contained an unexpected NUL byte"),
    ("", 0, "Is a directory (os error 21)"),
])
def test_file_cannot_be_read(tmp_path, name, offset, message):
    path = os.path.join(tmp_path, name)
    with raises_core(OrvanelIoError, "io", offset, f"I/O error: {message}"):
        _MatrixCore.open(path)
    with raises_core(OrvanelIoError, "io", offset, f"I/O error: {message}"):
        _MatrixCore.open_tables(path, ["a"])


# A header of a few dozen bytes may claim far more values than memory can hold; the load
# must still end with the error the bytes call for. Tail: bytes, kind, offset from the end
# of the header (None: the end of the input), message.
HOSTILE_TAILS = {
    "nothing": (b"", "unexpected_eof", None, EOF_MESSAGE),
    "eof": (row_record(1, 1, raw_double_payload([1.0] * 65535, "runs")) + b"\x02", "unexpected_eof", None, EOF_MESSAGE),
    "range": (row_record(1, 0, ZERO_ROW), "invalid_row_index", 0,
              "row index out of range: row 1, table 0 (expected row 1..=65535, table 1..={T})"),
    "preamble": (row_record(1, 1, b"\x81\x80\x00"), "invalid_preamble", 5,
                 "invalid row preamble: expected 0x80 0x80, got 0x81 0x80"),
}


@pytest.mark.parametrize("table_count", [1, 255])
@pytest.mark.parametrize("tail", list(HOSTILE_TAILS))
def test_hostile_dimensions(load, load_tables, table_count, tail):
    header = standard_header(65535, [("", "D")] * table_count)
    rows, kind, offset, message = HOSTILE_TAILS[tail]
    data = header + rows
    offset = len(data) if offset is None else len(header) + offset
    with raises_core(OrvanelParseError, kind, offset, message.format(T=table_count)):
        load(data)
    with raises_core(OrvanelParseError, kind, offset, message.format(T=table_count)):
        load_tables(data, [""])
