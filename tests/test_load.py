import os
import pathlib

import numpy as np
import pytest

from expect import EOF_MESSAGE, TRAILING_MESSAGE, raises_core, raises_exact
from matrix_bytes import (
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
from orvanel._orvanel import OrvanelIoError, OrvanelParseError, OrvanelValidationError, _MatrixCore

rng = np.random.default_rng(11)
Z = 5
TABLES = [("d", "D"), ("s", "S"), ("f", "2"), ("r", "0")]
VALUES = np.stack(
    [
        rng.standard_normal((Z, Z)) * 1e3,
        rng.standard_normal((Z, Z)).astype(np.float32).astype(np.float64),
        rng.integers(-100_000, 100_000, (Z, Z)) / 100,
        rng.integers(-5, 300, (Z, Z)).astype(np.float64),
    ]
)
VALUES[1, 2] = 0.0  # one zero row
MIXED = matrix_file(Z, TABLES, VALUES, banner="B", run_id="R9", encoding="native", style="mixed")


def contents_of(m):
    tables = [(i.index, i.name, i.type_code) for i in m.tables()]
    values = [[m.row(t, o) for o in range(1, m.zone_count + 1)] for t in range(1, m.table_count + 1)]
    return m.banner, m.run_id, m.zone_count, tables, values


def expected_contents(indices, banner="B", run_id="R9"):
    tables = [(k + 1, TABLES[i][0], TABLES[i][1]) for k, i in enumerate(indices)]
    return banner, run_id, Z, tables, [VALUES[i].tolist() for i in indices]


def test_load_every_encoding(load):
    assert contents_of(load(MIXED)) == expected_contents(range(4))


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize("form", [str, pathlib.Path, lambda p: FsPath(str(p))], ids=["str", "pathlib", "fspath"])
def test_path_forms(tmp_path, form):
    path = tmp_path / "m.mat"
    path.write_bytes(MIXED)
    assert contents_of(_MatrixCore.open(form(path))) == expected_contents(range(4))
    assert contents_of(_MatrixCore.open_tables(form(path), ["f"])) == expected_contents([2])


def test_arguments_by_keyword(tmp_path):
    path = tmp_path / "m.mat"
    path.write_bytes(MIXED)

    class Blob(bytes):
        pass

    assert contents_of(_MatrixCore.open(path=path)) == expected_contents(range(4))
    assert contents_of(_MatrixCore.from_bytes(bytes=Blob(MIXED))) == expected_contents(range(4))
    assert contents_of(_MatrixCore.open_tables(path=str(path), table_names=["s"])) == expected_contents([1])
    assert contents_of(_MatrixCore.from_bytes_tables(table_names=("s",), bytes=MIXED)) == expected_contents([1])


@pytest.mark.parametrize(
    "path, message",
    [
        (b"/tmp/m.mat", "'bytes' object is not an instance of 'str'"),
        (FsPath(b"/tmp/m.mat"), "'bytes' object is not an instance of 'str'"),
        (5, "expected str, bytes or os.PathLike object, not int"),
        (None, "expected str, bytes or os.PathLike object, not NoneType"),
    ],
)
def test_path_type_rejected(path, message):
    with raises_exact(TypeError, f"argument 'path': {message}"):
        _MatrixCore.open(path)
    with raises_exact(TypeError, f"argument 'path': {message}"):
        _MatrixCore.open_tables(path, "not a list either")


def test_unencodable_path_propagates():
    with pytest.raises(UnicodeEncodeError):
        _MatrixCore.open("\ud800.mat")


@pytest.mark.parametrize("data", [bytearray(MIXED), memoryview(MIXED), "text", None])
def test_bytes_type_rejected(data):
    message = f"argument 'bytes': '{type(data).__name__}' object is not an instance of 'bytes'"
    with raises_exact(TypeError, message):
        _MatrixCore.from_bytes(data)
    with raises_exact(TypeError, message):
        _MatrixCore.from_bytes_tables(data, 5)


@pytest.mark.parametrize(
    "names, message",
    [
        ("s", "Can't extract `str` to `Vec`"),
        (5, "'int' object is not an instance of 'Sequence'"),
        ({"s"}, "'set' object is not an instance of 'Sequence'"),
        (None, "'NoneType' object is not an instance of 'Sequence'"),
        (["s", 1], "'int' object is not an instance of 'str'"),
        ([b"s"], "'bytes' object is not an instance of 'str'"),
    ],
)
def test_table_names_type_rejected(load_tables, names, message):
    with raises_exact(TypeError, f"argument 'table_names': {message}"):
        load_tables(MIXED, names)


def test_arguments_are_converted_before_the_file_is_opened(tmp_path):
    with raises_exact(TypeError, "argument 'table_names': Can't extract `str` to `Vec`"):
        _MatrixCore.open_tables(tmp_path / "missing.mat", "s")


@pytest.mark.parametrize(
    "names, indices",
    [(["s", "d"], [0, 1]), (("d", "d"), [0]), (["r"], [3]), (["r", "s", "d", "s", "f"], [0, 1, 2, 3])],
)
def test_selected_tables_in_file_order(load_tables, names, indices):
    assert contents_of(load_tables(MIXED, names)) == expected_contents(indices)


def test_names_are_taken_as_read(load, load_tables):
    values = np.arange(3 * 4, dtype=np.float64).reshape(3, 2, 2)
    tables = [("", "D"), ("Zürich", "S"), ("", "2")]
    data = matrix_file(2, tables, values)
    assert [(i.name, i.type_code) for i in load(data).tables()] == [("", "D"), ("Zürich", "S"), ("", "2")]
    m = load_tables(data, ["Zürich", ""])
    assert [(i.index, i.name) for i in m.tables()] == [(1, ""), (2, "Zürich")]
    assert m.row(1, 2) == [2.0, 3.0] and m.row(2, 1) == [4.0, 5.0]


@pytest.mark.parametrize(
    "names, kind, message",
    [
        ([], "invalid_table_count", "invalid table configuration: at least one table name must be provided"),
        (["d", "zz", "yy"], "table_not_found", 'table not found in header: "zz"'),
        ([""], "table_not_found", 'table not found in header: ""'),
        (["D"], "table_not_found", 'table not found in header: "D"'),
        (["d "], "table_not_found", 'table not found in header: "d "'),
    ],
)
def test_table_names_rejected(load_tables, names, kind, message):
    with raises_core(OrvanelValidationError, kind, None, message):
        load_tables(MIXED, names)


def test_header_error_comes_before_name_error(load_tables):
    contents = header_contents(2, [("a", "D")])
    contents[2] = b"PAR Zones=2"
    end = record_end(contents, 3)
    with raises_core(OrvanelParseError, "invalid_par", end, "invalid parameter record (PAR): missing M= token"):
        load_tables(frame_header(contents), [])


def _unselected_fault(fault):
    """Tables a and b (Z = 2) with a framing fault in a record of table b."""
    header = standard_header(2, [("a", "D"), ("b", "D")])
    records = zero_records(2, 2)
    if fault == "order":
        records[1], records[3] = records[3], records[1]
        data, starts = assemble(header, records)
        return data, ("row_order_violation", starts[1], "row order violation: expected row 1, table 2; got row 2, table 2")
    if fault == "range":
        records[3] = row_record(2, 3, ZERO_ROW)
        data, starts = assemble(header, records)
        return data, ("invalid_row_index", starts[3], "row index out of range: row 2, table 3 (expected row 1..=2, table 1..=2)")
    if fault == "chunk":
        records[1] = row_record(1, 2, ZERO_ROW, chunk_size=1)
        data, starts = assemble(header, records)
        return data, ("invalid_chunk_size", starts[1] + 3, "invalid row record chunk size: expected at least 2, got 1")
    data, _ = assemble(header, records)
    if fault == "cut":
        return data[:-2], ("unexpected_eof", len(data) - 2, EOF_MESSAGE)
    return data + b"\x00", ("trailing_bytes", len(data), TRAILING_MESSAGE)


@pytest.mark.parametrize("fault", ["order", "range", "chunk", "cut", "trailing"])
def test_unselected_table_is_still_framed(load, load_tables, fault):
    data, expected = _unselected_fault(fault)
    with raises_core(OrvanelParseError, *expected):
        load(data)
    with raises_core(OrvanelParseError, *expected):
        load_tables(data, ["a"])


def test_duplicate_table_name_selects_the_first(load_tables):
    values = np.array([1.0, 2.0, 3.0]).reshape(3, 1, 1)
    data = matrix_file(1, [("a", "D"), ("b", "D"), ("a", "S")], values)
    m = load_tables(data, ["a"])
    assert [(i.index, i.name, i.type_code) for i in m.tables()] == [(1, "a", "D")]
    assert m.get(1, 1, 1) == 1.0


@pytest.mark.parametrize(
    "name, offset, message",
    [
        ("missing.mat", None, "No such file or directory (os error 2)"),
        ("a\x00b", None, "file name contained an unexpected NUL byte"),
        ("", 0, "Is a directory (os error 21)"),
    ],
)
def test_file_cannot_be_read(tmp_path, load_tables, name, offset, message):
    path = os.path.join(tmp_path, name)
    with raises_core(OrvanelIoError, "io", offset, f"I/O error: {message}"):
        _MatrixCore.open(path)
    with raises_core(OrvanelIoError, "io", offset, f"I/O error: {message}"):
        _MatrixCore.open_tables(path, ["a"])


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("open", (), {}, "_MatrixCore.open() missing 1 required positional argument: 'path'"),
        ("from_bytes_tables", (), {}, "_MatrixCore.from_bytes_tables() missing 2 required positional arguments: 'bytes' and 'table_names'"),
        ("open", ("a", "b"), {}, "_MatrixCore.open() takes 1 positional arguments but 2 were given"),
        ("open_tables", ("a", [], 3), {}, "_MatrixCore.open_tables() takes 2 positional arguments but 3 were given"),
        ("from_bytes", (), {"data": b""}, "_MatrixCore.from_bytes() got an unexpected keyword argument 'data'"),
        ("open", ("a",), {"path": "a"}, "_MatrixCore.open() got multiple values for argument 'path'"),
    ],
)
def test_loader_binding_errors(method, args, kwargs, message):
    with raises_exact(TypeError, message):
        getattr(_MatrixCore, method)(*args, **kwargs)


# A header of a few dozen bytes may claim far more values than memory can hold. The
# load must still end with the error the bytes call for.
ORDER_2_1 = "row order violation: expected row 1, table 1; got row 2, table 1"


def hostile_header(table_count):
    return standard_header(65535, [("", "D")] * table_count)


# Tail after the header: bytes, error kind, offset from the end of the header (None:
# the end of the input), message.
HOSTILE_TAILS = {
    "nothing": (b"", "unexpected_eof", None, EOF_MESSAGE),
    "eof": (row_record(1, 1, raw_double_payload([1.0] * 65535, "runs")) + b"\x02", "unexpected_eof", None, EOF_MESSAGE),
    "order": (row_record(2, 1, ZERO_ROW), "row_order_violation", 0, ORDER_2_1),
    "chunk": (row_record(1, 1, b"", 1), "invalid_chunk_size", 3, "invalid row record chunk size: expected at least 2, got 1"),
    "range": (row_record(1, 0, ZERO_ROW), "invalid_row_index", 0, "row index out of range: row 1, table 0 (expected row 1..=65535, table 1..={T})"),
    "preamble": (row_record(1, 1, b"\x81\x80\x00"), "invalid_preamble", 5, "invalid row preamble: expected 0x80 0x80, got 0x81 0x80"),
}


@pytest.mark.parametrize("table_count", [1, 255])
@pytest.mark.parametrize("tail", list(HOSTILE_TAILS))
def test_hostile_dimensions(load, load_tables, table_count, tail):
    header = hostile_header(table_count)
    rows, kind, offset, message = HOSTILE_TAILS[tail]
    message = message.format(T=table_count)
    data = header + rows
    offset = len(data) if offset is None else len(header) + offset
    with raises_core(OrvanelParseError, kind, offset, message):
        load(data)
    with raises_core(OrvanelParseError, kind, offset, message):
        load_tables(data, [""])


def test_loads_leave_no_file_open(tmp_path):
    path = tmp_path / "m.mat"
    before = sorted(os.listdir("/proc/self/fd"))
    for data, names in [(MIXED, ["s"]), (MIXED[:-1], ["s"]), (MIXED[:60], ["s"]), (MIXED + b"\0", ["s"]), (MIXED, ["zz"])]:
        path.write_bytes(data)
        for call in (lambda: _MatrixCore.open(path), lambda: _MatrixCore.open_tables(path, names)):
            try:
                call()
            except (OrvanelParseError, OrvanelValidationError):
                pass
    assert sorted(os.listdir("/proc/self/fd")) == before
