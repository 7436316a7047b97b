import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel._orvanel import OrvanelValidationError, SchemaResult, TableDef, _MatrixCore
from reference_codec import WORKED_FILE, bits, matrix_file, standard_header
from support import directory_listing, raises_core, raises_exact


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


@pytest.mark.parametrize(
    "banner, run_id, want_banner, want_run_id",
    [
        (None, None, DEFAULT_BANNER, DEFAULT_RUN_ID),
        ("", "", "", ""),
        ("Überblick ✓", None, "Überblick ✓", DEFAULT_RUN_ID),
        ("b\x00", "r\x00", "b", "r"),
    ],
)
def test_banner_and_run_id(banner, run_id, want_banner, want_run_id):
    tables = [("x", "S"), ("y", 9)]
    m = _MatrixCore.create(2, tables, banner, run_id)
    in_memory = (DEFAULT_BANNER if banner is None else banner, DEFAULT_RUN_ID if run_id is None else run_id)
    assert (m.banner, m.run_id) == in_memory
    schema = _MatrixCore.validate_schema(2, tables, banner=banner, run_id=run_id)
    assert (schema.banner, schema.run_id) == (m.banner, m.run_id)
    data = m.to_bytes()
    assert data == matrix_file(2, [("x", "S"), ("y", "9")], np.zeros((2, 2, 2)), m.banner, m.run_id)
    back = _MatrixCore.from_bytes(data)
    assert (back.banner, back.run_id) == (want_banner, want_run_id)


def test_largest_schema_validates_but_allocation_fails_with_memory_error(tmp_path):
    tables = [("t", "D")] * 255
    schema = _MatrixCore.validate_schema(32000, tables)
    assert type(schema) is SchemaResult and repr(schema) == "SchemaResult(zone_count=32000, table_count=255)"
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


def test_zone_count_conversions():
    assert _MatrixCore.create(np.uint8(2), [("a", "D")]).zone_count == 2
    assert _MatrixCore.validate_schema(np.int16(7), [("a", "D")]).zone_count == 7
    with pytest.raises(OverflowError):
        _MatrixCore.create(2**70, [("a", "D")])


TABLE_ERRORS = [
    ([], "invalid_table_count", "invalid table configuration: at least one table is required"),
    ([("", "D")] * 256, "invalid_table_count", "invalid table configuration: at most 255 tables allowed, got 256"),
    ([("ok", 1), ("", "D")], "invalid_table_name", "invalid table name: table name must not be empty"),
    ([("é\t", "S"), ("", "D")], "invalid_table_name", 'invalid table name: table name "é\\t" contains non-ASCII characters'),
    ([("ok", "D"), ('"\x00"', 0)], "invalid_table_name", 'invalid table name: table name "\\"\\0\\"" contains a NUL byte'),
]


@pytest.mark.parametrize("tables, kind, message", TABLE_ERRORS)
@pytest.mark.parametrize("method", ["create", "validate_schema", "to_bytes_from_stack", "write_from_stack"])
def test_table_rule_errors(tmp_path, method, tables, kind, message):
    args = (2, tables) if method in ("create", "validate_schema") else (2, tables, np.zeros((len(tables), 2, 2)))
    if method == "write_from_stack":
        args = (tmp_path / "out.mat",) + args
    with raises_core(OrvanelValidationError, kind, None, message):
        getattr(_MatrixCore, method)(*args)
    assert directory_listing(tmp_path) == []


def _iterator_fails():
    yield ("a", "D")
    raise ZeroDivisionError("from the iterator")


SCHEMA_ORDER = [
    ((70000, 7), {}, OverflowError, "out of range integral type conversion attempted"),
    (("x", 7), {"banner": 5}, TypeError, "argument 'zone_count': 'str' object cannot be interpreted as an integer"),
    ((3.0, [("a", "D")]), {}, TypeError, "argument 'zone_count': 'float' object cannot be interpreted as an integer"),
    ((0, 7), {}, TypeError, "'int' object is not iterable"),
    ((3, 7), {"banner": 5, "run_id": 5}, TypeError, "argument 'banner': 'int' object is not an instance of 'str'"),
    ((0, [("a", "X")]), {}, ValueError, "invalid type code X; expected '0'..'9', 'S', or 'D'"),
    ((0, [("a", 12)]), {}, ValueError, "invalid fixed-point precision 12; expected 0..9"),
    ((0, [("a", True)]), {}, TypeError, "type code must be int 0..9 or string '0'..'9', 'S', or 'D'"),
    ((0, [("a", "D"), ["b", "D"]]), {}, TypeError, "tables[1] must be TableDef or a (name, type_code) tuple"),
    ((0, _iterator_fails), {}, ZeroDivisionError, "from the iterator"),
    ((0, []), {}, OrvanelValidationError, "invalid zone count: expected 1..=32000"),
    ((32001, [("a", "D")]), {}, OrvanelValidationError, "invalid zone count: expected 1..=32000"),
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
    ((0, [], np.zeros((0, 0, 0))), {}, OrvanelValidationError, "invalid zone count: expected 1..=32000"),
    ((32001, [("a", "D")], lazy_stack(1, 32001)), {}, OrvanelValidationError, "invalid zone count: expected 1..=32000"),
]


@pytest.mark.parametrize(
    "method, args, kwargs, error, message",
    [(method, *row) for method in ("create", "validate_schema") for row in SCHEMA_ORDER]
    + [(method, *row) for method in ("to_bytes_from_stack", "write_from_stack") for row in STACK_ORDER],
)
def test_conversion_order(tmp_path, method, args, kwargs, error, message):
    """The first failing argument is reported; a validation error here is the zone count's."""
    if callable(args[1]):
        args = (args[0], args[1]())
    if method == "write_from_stack":
        args = (tmp_path / "out.mat",) + args
    with (raises_core(error, "invalid_zone_count", None, message) if error is OrvanelValidationError
          else raises_exact(error, message)):
        getattr(_MatrixCore, method)(*args, **kwargs)
    assert directory_listing(tmp_path) == []


M = _MatrixCore.create(3, [("a", "D")])


@pytest.mark.parametrize("call, message", [
    (lambda: _MatrixCore.create(1, 2, 3, 4, 5),
     "_MatrixCore.create() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: _MatrixCore.create(),
     "_MatrixCore.create() missing 2 required positional arguments: 'zone_count' and 'tables'"),
    (lambda: _MatrixCore.create(3, [], bannr="b"), "_MatrixCore.create() got an unexpected keyword argument 'bannr'"),
    (lambda: _MatrixCore.create(3, [], zone_count=3),
     "_MatrixCore.create() got multiple values for argument 'zone_count'"),
    (lambda: _MatrixCore.write_from_stack(), "_MatrixCore.write_from_stack() missing 4 required positional "
                                             "arguments: 'path', 'zone_count', 'tables', and 'stack'"),
    (lambda: M.to_bytes(1), "_MatrixCore.to_bytes() takes 0 positional arguments but 1 was given"),
    (lambda: M.write(), "_MatrixCore.write() missing 1 required positional argument: 'path'"),
    (lambda: M.get(),
     "_MatrixCore.get() missing 3 required positional arguments: 'table', 'origin', and 'destination'"),
    (lambda: M.open("a", "b"), "_MatrixCore.open() takes 1 positional arguments but 2 were given"),
    (lambda: TableDef(), "TableDef.__new__() missing 2 required positional arguments: 'name' and 'type_code'"),
    (lambda: TableDef(1, True), "argument 'name': 'int' object is not an instance of 'str'"),
])
def test_binding_messages(call, message):
    with raises_exact(TypeError, message):
        call()


def test_keywords(tmp_path):
    stack = np.arange(8.0).reshape(2, 2, 2)
    tables = [TableDef("p", "D"), TableDef("q", 1)]
    m = _MatrixCore.create(zone_count=2, tables=tables, banner="b", run_id="r")
    m.set_stack_array(stack)
    expected = m.to_bytes()
    assert _MatrixCore.to_bytes_from_stack(run_id="r", banner="b", stack=stack, tables=tables, zone_count=2) == expected
    _MatrixCore.write_from_stack(path=tmp_path / "k.mat", zone_count=2, tables=tables, stack=stack, banner="b", run_id="r")
    m.write(path=tmp_path / "w.mat")
    assert (tmp_path / "k.mat").read_bytes() == (tmp_path / "w.mat").read_bytes() == expected
    schema = _MatrixCore.validate_schema(tables=tables, zone_count=2)
    assert [(t.index, t.name, t.type_code) for t in schema.tables()] == [(1, "p", "D"), (2, "q", "1")]
