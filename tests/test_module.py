import importlib.util

import pytest

from orvanel import _orvanel
from orvanel._orvanel import OrvanelError, OrvanelParseError

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


def test_reloaded_module_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel and again.__all__ == PUBLISHED
    assert all(getattr(again, name) is getattr(_orvanel, name) for name in PUBLISHED[1:])
    with pytest.raises(OrvanelParseError):
        again._MatrixCore.from_bytes(b"")
