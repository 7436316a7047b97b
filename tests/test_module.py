import importlib.util

import pytest

from orvanel import _orvanel
from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    OrvanelWriterError,
    _MatrixCore,
)

PUBLISHED = [
    "__doc__",
    "OrvanelError",
    "OrvanelIoError",
    "OrvanelParseError",
    "OrvanelValidationError",
    "OrvanelWriterError",
    "TableDef",
    "TableInfo",
    "SchemaResult",
    "_MatrixCore",
]
SUBCLASSES = [OrvanelIoError, OrvanelParseError, OrvanelValidationError, OrvanelWriterError]


def test_module_publishes_names_in_order_with_docstring():
    assert _orvanel.__all__ == PUBLISHED
    assert _orvanel.__doc__ == (
        "Low-level core bindings for orvanel.\n\nImport the public `orvanel` package for normal use."
    )
    assert all(hasattr(_orvanel, name) for name in PUBLISHED)
    assert not hasattr(_orvanel, "PySliceContainer")


def test_base_exception_class():
    assert OrvanelError.__bases__ == (Exception,)
    assert OrvanelError.__module__ == "orvanel"
    assert OrvanelError.__name__ == "OrvanelError"
    assert OrvanelError.__doc__ == "Base exception for orvanel parse, validation, and write failures."


@pytest.mark.parametrize("cls", SUBCLASSES, ids=lambda c: c.__name__)
def test_exception_subclasses(cls):
    assert cls.__bases__ == (OrvanelError,)
    assert cls.__module__ == "orvanel"
    assert cls.__doc__ is None
    assert not issubclass(cls, OSError)
    assert cls is getattr(_orvanel, cls.__name__)


@pytest.mark.parametrize("name", ["TableDef", "TableInfo", "SchemaResult", "_MatrixCore"])
def test_classes_belong_to_the_extension_module(name):
    assert getattr(_orvanel, name).__module__ == "orvanel._orvanel"
    assert getattr(_orvanel, name).__name__ == name


@pytest.mark.parametrize("name", ["TableInfo", "SchemaResult", "_MatrixCore"])
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError) as info:
        getattr(_orvanel, name)()
    assert str(info.value) == f"cannot create 'orvanel._orvanel.{name}' instances"


def test_text_signatures():
    assert _orvanel.TableDef.__text_signature__ == "(name, type_code, /)"
    expected = {
        "tables": "($self, /)",
        "table_index_by_name": "($self, name, /)",
        "get": "($self, table, origin, destination, /)",
        "checked_get": "($self, table, origin, destination, /)",
        "set": "($self, table, origin, destination, value, /)",
        "row": "($self, table, origin, /)",
        "table_total": "($self, table, /)",
        "table_diagonal_total": "($self, table, /)",
        "open": "(path, /)",
        "from_bytes": "(bytes, /)",
        "open_tables": "(path, table_names, /)",
        "from_bytes_tables": "(bytes, table_names, /)",
    }
    assert {name: getattr(_MatrixCore, name).__text_signature__ for name in expected} == expected


def test_reloaded_module_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel
    assert again.__all__ == PUBLISHED
    for name in PUBLISHED[1:]:
        assert getattr(again, name) is getattr(_orvanel, name)
    with pytest.raises(OrvanelParseError):
        again._MatrixCore.from_bytes(b"")
