"""The low-level module's creating and writing: schemas, banners and run identifiers,
argument conversion and its order, every way of writing and what a failed write leaves."""

import faulthandler
import os
import pathlib
import stat

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel._orvanel import (
    OrvanelValidationError,
    OrvanelWriterError,
    TableDef,
    _MatrixCore,
)
from reference_codec import (
    WORKED_FILE,
    bits,
    matrix_file,
    sized_raw_row,
    standard_header,
    zero_records,
)
from support import directory_listing, matrix_with_row, raises_core, raises_exact


def lazy_stack(tables, zones):
    """A stack of the right shape that occupies one double of memory."""
    return as_strided(np.zeros(1), shape=(tables, zones, zones), strides=(0, 0, 0))


@pytest.mark.parametrize("tables", [[("a", 2)], [("a", "2")], (TableDef("a", 2),), (p for p in [("a", "2")])],
                         ids=["int-code", "str-code", "tabledef", "generator"])
def test_create_gives_the_worked_file(tables):
    m = _MatrixCore.create(3, tables)
    assert (m.zone_count, m.table_count, m.banner, m.run_id) == (3, 1, DEFAULT_BANNER, DEFAULT_RUN_ID)
    assert [(t.index, t.name, t.type_code) for t in m.tables()] == [(1, "a", "2")]
    assert bits(m.stack_array()) == bits(np.zeros((1, 3, 3)))
    assert m.to_bytes() == WORKED_FILE
    assert _MatrixCore.to_bytes_from_stack(3, [("a", 2)], np.zeros((1, 3, 3))) == WORKED_FILE


def test_largest_schema_validates_but_allocation_fails_with_memory_error(tmp_path):
    tables = [("t", "D")] * 255
    schema = _MatrixCore.validate_schema(32000, tables)
    assert (schema.zone_count, schema.banner, schema.run_id) == (32000, DEFAULT_BANNER, DEFAULT_RUN_ID)
    assert [(t.index, t.name, t.type_code) for t in schema.tables()] == [(i, "t", "D") for i in range(1, 256)]
    target = tmp_path / "kept.mat"
    target.write_bytes(b"old")
    for call in (lambda: _MatrixCore.create(32000, tables),
                 lambda: _MatrixCore.to_bytes_from_stack(32000, tables, lazy_stack(255, 32000)),
                 lambda: _MatrixCore.write_from_stack(target, 32000, tables, lazy_stack(255, 32000)),
                 lambda: _MatrixCore.write_from_stack(tmp_path / "new.mat", 32000, tables, lazy_stack(255, 32000))):
        with pytest.raises(MemoryError):
            call()
    assert target.read_bytes() == b"old" and directory_listing(tmp_path) == ["kept.mat"]


def test_largest_zone_count_is_written():
    data = _MatrixCore.create(32000, [("t", "D")]).to_bytes()
    header = standard_header(32000, [("t", "D")])
    assert len(data) == len(header) + 32000 * 8 and data[: len(header)] == header
    assert data[-8:] == bytes.fromhex("007D 01 0500 808000")


TABLE_ERRORS = [
    ([], "invalid_table_count", "invalid table configuration: at least one table is required"),
    ([("", "D")] * 256, "invalid_table_count", "invalid table configuration: at most 255 tables allowed, got 256"),
    ([("ok", 1), ("", "D")], "invalid_table_name", "invalid table name: table name must not be empty"),
    ([("é\t", "S"), ("", "D")], "invalid_table_name", 'invalid table name: table name "é\\t" contains non-ASCII characters'),
    ([("ok", "D"), ('"\x00"', 0)], "invalid_table_name", 'invalid table name: table name "\\"\\0\\"" contains a NUL byte'),
]


def _iterator_fails():
    yield ("a", "D")
    raise ZeroDivisionError("from the iterator")


ZONE_COUNT = (OrvanelValidationError, "invalid_zone_count")
SCHEMA_ORDER = [
    ((70000, 7), {}, OverflowError, "out of range integral type conversion attempted"),
    (("x", 7), {"banner": 5}, TypeError, "argument 'zone_count': 'str' object cannot be interpreted as an integer"),
    ((3.0, [("a", "D")]), {}, TypeError, "argument 'zone_count': 'float' object cannot be interpreted as an integer"),
    ((0, 7), {}, TypeError, "'int' object is not iterable"),
    ((3, 7), {"banner": 5, "run_id": 5}, TypeError, "argument 'banner': 'int' object is not an instance of 'str'"),
    ((0, [("a", "X")]), {}, ValueError, "invalid type code X; expected '0'..'9', 'S', or 'D'"),
    ((0, [("a", "D"), ["b", "D"]]), {}, TypeError, "tables[1] must be TableDef or a (name, type_code) tuple"),
    ((0, _iterator_fails), {}, ZeroDivisionError, "from the iterator"),
    ((0, []), {}, ZONE_COUNT, "invalid zone count: expected 1..=32000"),
    ((32001, [("a", "D")]), {}, ZONE_COUNT, "invalid zone count: expected 1..=32000"),
    *[((2, tables), {}, (OrvanelValidationError, kind), message) for tables, kind, message in TABLE_ERRORS],
]
GOOD = np.zeros((1, 2, 2))
STACK_ORDER = [
    ((70000, 7, None), {}, OverflowError, "out of range integral type conversion attempted"),
    ((2, 7, None), {"banner": 5}, TypeError, "argument 'stack': 'None' is not an instance of 'ndarray'"),
    ((2, 7, GOOD), {"banner": 5}, TypeError, "argument 'banner': 'int' object is not an instance of 'str'"),
    ((2, 7, GOOD), {"run_id": 5}, TypeError, "argument 'run_id': 'int' object is not an instance of 'str'"),
    ((2, 7, GOOD), {}, TypeError, "'int' object is not iterable"),
    ((0, [("a", "D")], GOOD), {}, ValueError, "stack array must have shape (1, 0, 0) (got [1, 2, 2])"),
    ((2, [("", "D")], np.zeros((1, 3, 3))), {}, ValueError, "stack array must have shape (1, 2, 2) (got [1, 3, 3])"),
    ((0, [], np.zeros((0, 0, 0))), {}, ZONE_COUNT, "invalid zone count: expected 1..=32000"),
    ((32001, [("a", "D")], lazy_stack(1, 32001)), {}, ZONE_COUNT, "invalid zone count: expected 1..=32000"),
    *[((2, tables, np.zeros((len(tables), 2, 2))), {}, (OrvanelValidationError, kind), message)
      for tables, kind, message in TABLE_ERRORS],
]


@pytest.mark.parametrize("method, args, kwargs, error, message", [
    *[(method, *row) for method in ("create", "validate_schema") for row in SCHEMA_ORDER],
    *[(method, *row) for method in ("to_bytes_from_stack", "write_from_stack") for row in STACK_ORDER]])
def test_conversion_order_and_table_rules(tmp_path, method, args, kwargs, error, message):
    """The first failing argument is reported; a file is not even begun. (An error of the
    module's own is given with its kind.)"""
    if callable(args[1]):
        args = (args[0], args[1]())
    if method == "write_from_stack":
        args = (tmp_path / "out.mat",) + args
    with raises_core(*error, None, message) if isinstance(error, tuple) else raises_exact(error, message):
        getattr(_MatrixCore, method)(*args, **kwargs)
    assert directory_listing(tmp_path) == []


M = _MatrixCore.create(3, [("a", "D")])


@pytest.mark.parametrize("call, message", [
    (lambda: _MatrixCore.create(1, 2, 3, 4, 5), "_MatrixCore.create() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: _MatrixCore.create(3, [], bannr="b"), "_MatrixCore.create() got an unexpected keyword argument 'bannr'"),
    (lambda: _MatrixCore.create(3, [], zone_count=3), "_MatrixCore.create() got multiple values for argument 'zone_count'"),
    (lambda: M.to_bytes(1), "_MatrixCore.to_bytes() takes 0 positional arguments but 1 was given"),
    (lambda: M.write(), "_MatrixCore.write() missing 1 required positional argument: 'path'"),
    (lambda: M.get(), "_MatrixCore.get() missing 3 required positional arguments: 'table', 'origin', and 'destination'"),
    (lambda: TableDef(), "TableDef.__new__() missing 2 required positional arguments: 'name' and 'type_code'"),
    (lambda: TableDef(1, True), "argument 'name': 'int' object is not an instance of 'str'"),
])
def test_binding_messages(call, message):
    with raises_exact(TypeError, message):
        call()


def test_keywords(tmp_path):
    stack, tables = np.arange(8.0).reshape(2, 2, 2), [TableDef("p", "D"), TableDef("q", 1)]
    expected = _MatrixCore.to_bytes_from_stack(2, tables, stack, "b", "r")
    m = _MatrixCore.create(zone_count=2, tables=tables, banner="b", run_id="r")
    m.set_stack_array(values=np.zeros((2, 2, 2)))
    m.set_table_array(table="p", values=stack[0])
    m.set_table_array(table=2, values=stack[1])
    assert m.to_bytes() == expected and bits(m.table_array(table=2)) == bits(stack[1])
    assert _MatrixCore.to_bytes_from_stack(run_id="r", banner="b", stack=stack, tables=tables, zone_count=2) == expected
    _MatrixCore.write_from_stack(path=tmp_path / "k.mat", zone_count=2, tables=tables, stack=stack, banner="b", run_id="r")
    m.write(path=tmp_path / "w.mat")
    assert (tmp_path / "k.mat").read_bytes() == (tmp_path / "w.mat").read_bytes() == expected
    schema = _MatrixCore.validate_schema(tables=tables, zone_count=2)
    assert [(t.index, t.name, t.type_code) for t in schema.tables()] == [(1, "p", "D"), (2, "q", "1")]


# ---- writing ---------------------------------------------------------------------------

Z = 5
TABLES = [("a", "D"), ("b", "2"), ("c", "S"), ("d", "0")]
VALUES = np.random.default_rng(21).standard_normal((4, Z, Z)) * 100
VALUES[1, 0] = [0.125, 42949672.96, -0.5, 3.0, 0.0]  # one row of raw doubles
VALUES[2, 1, 1] = 1e39
VALUES[3, 2] = 0.0
BANNER, RUN_ID = "Write test ✓", "R-1"
EXPECTED = matrix_file(Z, TABLES, VALUES, BANNER, RUN_ID)
OLD = b"previous content"
PAYLOAD_TOO_LARGE = "encoded row payload too large: maximum 65533 bytes, got 65534"


def sample():
    m = _MatrixCore.create(Z, TABLES, BANNER, RUN_ID)
    m.set_stack_array(VALUES)
    return m


def write_sample(method, path):
    if method == "write":
        return sample().write(path)
    return _MatrixCore.write_from_stack(path, Z, TABLES, VALUES, BANNER, RUN_ID)


def test_every_way_to_bytes_gives_the_same_bytes():
    m = sample()
    assert m.to_bytes() == bytes(m) == m.__bytes__() == EXPECTED
    for stack in (VALUES, np.asfortranarray(VALUES)):
        assert _MatrixCore.to_bytes_from_stack(Z, TABLES, stack, BANNER, RUN_ID) == EXPECTED
    reordered = (TABLES[::-1], VALUES[::-1, :, ::-1])
    assert _MatrixCore.to_bytes_from_stack(Z, *reordered) == matrix_file(Z, *reordered)
    assert bits(m.stack_array()) == bits(VALUES)


FAILING_MATRICES = {  # a matrix that cannot be written: maker, exception class, kind, message
    "non-ascii-name-from-file": (
        lambda: _MatrixCore.from_bytes(matrix_file(2, [("a", "D"), ("Zürich", "S")], np.zeros((2, 2, 2)))),
        OrvanelValidationError, "invalid_table_name", 'invalid table name: table name "Zürich" contains non-ASCII characters'),
    "banner-too-large": (
        lambda: _MatrixCore.create(2, [("a", "D")], banner="x" * 2_000_000), OrvanelValidationError,
        "header_record_too_large", "header record 1 (banner) too large: 2000005 bytes (maximum 1048576)"),
    "payload-too-large": (lambda: matrix_with_row("D", sized_raw_row(65534), origin=2), OrvanelWriterError,
                          "payload_too_large", PAYLOAD_TOO_LARGE),
    "zone-count-from-file": (
        lambda: _MatrixCore.from_bytes(standard_header(32001, [("a", "D")]) + b"".join(zero_records(32001, 1))),
        OrvanelValidationError, "invalid_zone_count", "invalid zone count: expected 1..=32000"),
}


@pytest.mark.parametrize("existing", [True, False], ids=["replace", "new"])
@pytest.mark.parametrize("case", list(FAILING_MATRICES))
def test_failed_write_keeps_what_was_there(tmp_path, case, existing):
    make, cls, kind, message = FAILING_MATRICES[case]
    m = make()
    target = tmp_path / "target.mat"
    if existing:
        target.write_bytes(OLD)
        target.chmod(0o640)
    for write in (lambda: m.write(target), m.to_bytes):
        with raises_core(cls, kind, None, message):
            write()
    if existing:
        assert target.read_bytes() == OLD and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert directory_listing(tmp_path) == (["target.mat"] if existing else [])


SIZE_LIMITS = {  # record number and name, schema for a length n, largest n that fits, record size at n + 1
    "banner-ending-in-nul": (1, "banner", lambda n: ([("t", "D")], {"banner": "b" * n + "\x00"}), 1_048_571, 1_048_577),
    "banner-two-byte-characters": (1, "banner", lambda n: ([("t", "D")], {"banner": "b" + "é" * n}), 524_285, 1_048_578),
    "run-id": (2, "run identifier", lambda n: ([("t", "D")], {"run_id": "r" * n}), 1_048_568, 1_048_577),
    "many-tables": (4, "table catalogue", lambda n: ([("n" * 4110, "D")] * 254 + [("n" * n, "D")], {}), 3859, 1_048_577),
}


@pytest.mark.parametrize("case", list(SIZE_LIMITS))
def test_header_record_size_limit(case):
    record, name, schema, size, too_long = SIZE_LIMITS[case]
    tables, kwargs = schema(size)
    data = _MatrixCore.create(1, tables, **kwargs).to_bytes()
    assert data == _MatrixCore.to_bytes_from_stack(1, tables, np.zeros((len(tables), 1, 1)), **kwargs)
    back = _MatrixCore.from_bytes(data)
    assert (back.banner, back.run_id) == (kwargs.get("banner", back.banner).rstrip("\x00"),
                                          kwargs.get("run_id", back.run_id))
    assert [t.name for t in back.tables()] == [n for n, _ in tables]
    tables, kwargs = schema(size + 1)
    message = f"header record {record} ({name}) too large: {too_long} bytes (maximum 1048576)"
    for write in (lambda: _MatrixCore.create(1, tables, **kwargs).to_bytes(),
                  lambda: _MatrixCore.to_bytes_from_stack(1, tables, np.zeros((len(tables), 1, 1)), **kwargs)):
        with raises_core(OrvanelValidationError, "header_record_too_large", None, message):
            write()


@pytest.mark.parametrize("case", ["non-ascii-name-from-file", "banner-too-large"])
@pytest.mark.parametrize("where", ["fifo-without-reader", "/dev/full"])
def test_checks_come_before_the_path_is_opened(tmp_path, case, where):
    """Opening a FIFO nobody reads would block, and /dev/full fails every write."""
    make, cls, kind, message = FAILING_MATRICES[case]
    path = where
    if where == "fifo-without-reader":
        path = tmp_path / "pipe"
        os.mkfifo(path)
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        with raises_core(cls, kind, None, message):
            make().write(path)
        with raises_core(OrvanelValidationError, "invalid_table_name", None,
                         "invalid table name: table name must not be empty"):
            _MatrixCore.write_from_stack(path, 1, [("", "D")], np.zeros((1, 1, 1)))
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("method", ["write", "write_from_stack"])
@pytest.mark.parametrize("name, mask, mode", [("b" * 251 + ".mat", 0o077, 0o751), ("é" * 125 + "x.mat", 0o002, 0o400)],
                         ids=["ascii", "two-byte-characters"])
def test_file_modes(tmp_path, method, name, mask, mode):
    """A new file follows the umask; a replaced one keeps its mode, even read-only. Names
    of the longest length allowed leave a temporary name beside them just as long."""
    assert len(os.fsencode(name)) == 255
    target, new = tmp_path / name, tmp_path / name.replace("x", "n").replace("b", "n")
    target.write_bytes(OLD * 10000)  # replaced, not overwritten in part
    target.chmod(mode)
    previous = os.umask(mask)
    try:
        write_sample(method, new)
        write_sample(method, target)
    finally:
        os.umask(previous)
    assert stat.S_IMODE(new.stat().st_mode) == 0o666 & ~mask and new.read_bytes() == EXPECTED
    assert stat.S_IMODE(target.stat().st_mode) == mode and target.read_bytes() == EXPECTED
    assert directory_listing(tmp_path) == sorted([name, new.name])


@pytest.mark.parametrize("style", ["absolute", "relative", "chain"])
def test_writing_through_a_symbolic_link(tmp_path, style):
    for directory in ("data", "links"):
        (tmp_path / directory).mkdir()
    target = tmp_path / "data" / "target.mat"
    target.write_bytes(OLD)
    link = tmp_path / "links" / "link.mat"
    if style == "chain":
        (tmp_path / "links" / "hop.mat").symlink_to(target)
    link.symlink_to({"absolute": target, "relative": pathlib.Path("../data/target.mat"), "chain": "hop.mat"}[style])
    pointed, links_before = os.readlink(link), directory_listing(tmp_path / "links")
    sample().write(link)
    assert link.is_symlink() and os.readlink(link) == pointed and target.read_bytes() == EXPECTED
    _MatrixCore.write_from_stack(link, 1, [("t", "D")], np.ones((1, 1, 1)))
    assert link.is_symlink() and _MatrixCore.open(target).get(1, 1, 1) == 1.0
    assert directory_listing(tmp_path / "data") == ["target.mat"] and directory_listing(tmp_path / "links") == links_before


@pytest.mark.parametrize("path, message", [
    (b"/nonexistent-dir/out.mat", "argument 'path': 'bytes' object is not an instance of 'str'"),
    (7, "argument 'path': expected str, bytes or os.PathLike object, not int")])
def test_path_conversion(path, message):
    with raises_exact(TypeError, message):
        sample().write(path)
    with raises_exact(TypeError, message):  # the path is converted first
        _MatrixCore.write_from_stack(path, 70000, 7, None)
