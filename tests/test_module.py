import importlib.util

import pytest

from orvanel import _orvanel
from orvanel._orvanel import OrvanelError, OrvanelParseError, _MatrixCore

ERRORS = ["OrvanelError", "OrvanelIoError", "OrvanelParseError", "OrvanelValidationError", "OrvanelWriterError"]
CLASSES = ["TableDef", "TableInfo", "SchemaResult", "_MatrixCore"]
PUBLISHED = ["__doc__", *ERRORS, *CLASSES]


def test_module_publishes_names_in_order_with_docstring():
    assert _orvanel.__all__ == PUBLISHED
    assert _orvanel.__doc__ == (
        "Low-level core bindings for orvanel.\n\nImport the public `orvanel` package for normal use.")
    assert all(hasattr(_orvanel, name) for name in PUBLISHED) and not hasattr(_orvanel, "PySliceContainer")


@pytest.mark.parametrize("name", ERRORS)
def test_exception_classes(name):
    cls = getattr(_orvanel, name)
    assert (cls.__module__, cls.__name__) == ("orvanel", name) and not issubclass(cls, OSError)
    if cls is OrvanelError:
        assert cls.__bases__ == (Exception,)
        assert cls.__doc__ == "Base exception for orvanel parse, validation, and write failures."
    else:
        assert cls.__bases__ == (OrvanelError,) and cls.__doc__ is None


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
    expected = {
        "tables": "($self, /)", "table_index_by_name": "($self, name, /)", "row": "($self, table, origin, /)",
        "get": "($self, table, origin, destination, /)", "checked_get": "($self, table, origin, destination, /)",
        "set": "($self, table, origin, destination, value, /)",
        "table_total": "($self, table, /)", "table_diagonal_total": "($self, table, /)",
        "open": "(path, /)", "from_bytes": "(bytes, /)",
        "open_tables": "(path, table_names, /)", "from_bytes_tables": "(bytes, table_names, /)",
    }
    assert {name: getattr(_MatrixCore, name).__text_signature__ for name in expected} == expected


def test_reloaded_module_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel and again.__all__ == PUBLISHED
    assert all(getattr(again, name) is getattr(_orvanel, name) for name in PUBLISHED[1:])
    with pytest.raises(OrvanelParseError):
        again._MatrixCore.from_bytes(b"")
