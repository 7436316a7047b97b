import importlib.util

import pytest

from orvanel import _orvanel
from orvanel._orvanel import OrvanelError, OrvanelParseError, _MatrixCore

ERRORS = ["OrvanelError", "OrvanelIoError", "OrvanelParseError", "OrvanelValidationError", "OrvanelWriterError"]
CLASSES = ["TableDef", "TableInfo", "SchemaResult", "_MatrixCore"]
PUBLISHED = ["__doc__", *ERRORS, *CLASSES]


def test_module_publishes_its_names():
    assert _orvanel.__all__ == PUBLISHED
    assert all(hasattr(_orvanel, name) for name in PUBLISHED) and not hasattr(_orvanel, "PySliceContainer")


@pytest.mark.parametrize("name", ERRORS)
def test_exception_classes(name):
    cls = getattr(_orvanel, name)
    assert (cls.__module__, cls.__name__) == ("orvanel", name) and not issubclass(cls, OSError)
    assert cls.__bases__ == ((Exception,) if cls is OrvanelError else (OrvanelError,))


@pytest.mark.parametrize("name", CLASSES)
def test_classes_belong_to_the_extension_module(name):
    cls = getattr(_orvanel, name)
    assert (cls.__module__, cls.__name__) == ("orvanel._orvanel", name)
    if name != "TableDef":
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == f"cannot create 'orvanel._orvanel.{name}' instances"


def test_text_signatures():
    assert _orvanel.TableDef.__text_signature__ == "(name, type_code, /)"
    table, cell = "($self, table, /)", "($self, table, origin, destination, /)"
    expected = {
        "create": "(zone_count, tables, banner=None, run_id=None)",
        "validate_schema": "(zone_count, tables, banner=None, run_id=None)",
        "write_from_stack": "(path, zone_count, tables, stack, banner=None, run_id=None)",
        "to_bytes_from_stack": "(zone_count, tables, stack, banner=None, run_id=None)",
        "open": "(path, /)", "from_bytes": "(bytes, /)",
        "open_tables": "(path, table_names, /)", "from_bytes_tables": "(bytes, table_names, /)",
        "write": "($self, path, /)", "to_bytes": "($self, /)", "__bytes__": "($self)", "tables": "($self, /)",
        "table_array": table, "stack_array": "($self, /)", "table_total": table, "table_diagonal_total": table,
        "set_table_array": "($self, table, values, /)", "set_stack_array": "($self, values, /)",
        "table_index_by_name": "($self, name, /)", "row": "($self, table, origin, /)",
        "get": cell, "checked_get": cell, "set": "($self, table, origin, destination, value, /)",
    }
    assert {name: getattr(_MatrixCore, name).__text_signature__ for name in expected} == expected


def test_reloaded_module_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel and again.__all__ == PUBLISHED
    assert all(getattr(again, name) is getattr(_orvanel, name) for name in PUBLISHED[1:])
    with pytest.raises(OrvanelParseError):
        again._MatrixCore.from_bytes(b"")
