"""The extension modules as Python sees them: their exception classes and classes, and
the type stubs. mypy checks the package against ``_orvanel.pyi`` and ``_engine.pyi`` only,
so each stub is read with ``ast`` and compared with the imported module: the names it
publishes, its classes' members, and every callable's parameters (name, kind, default)."""

import ast
import copy
import importlib
import importlib.util
import inspect
import types
from pathlib import Path

import pytest

import orvanel
from orvanel import _orvanel
from orvanel._orvanel import OrvanelError, OrvanelParseError

ERRORS = ["OrvanelError", "OrvanelIoError", "OrvanelParseError", "OrvanelValidationError", "OrvanelWriterError"]
CLASSES = ["TableDef", "TableInfo", "SchemaResult", "_MatrixCore"]


@pytest.mark.parametrize("name", ERRORS + CLASSES)
def test_classes_of_the_extension_module(name):
    cls = getattr(_orvanel, name)
    if name in ERRORS:
        assert (cls.__module__, cls.__name__) == ("orvanel", name) and not issubclass(cls, OSError)
        assert cls.__bases__ == ((Exception,) if cls is OrvanelError else (OrvanelError,))
    else:
        assert (cls.__module__, cls.__name__) == ("orvanel._orvanel", name)
    if name in CLASSES[1:]:
        with pytest.raises(TypeError, match=f"^cannot create 'orvanel._orvanel.{name}' instances$"):
            cls()


def test_reloaded_module_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel and again.__all__ == _orvanel.__all__
    assert all(getattr(again, name) is getattr(_orvanel, name) for name in ERRORS + CLASSES)
    with pytest.raises(OrvanelParseError):
        again._MatrixCore.from_bytes(b"")


# ---- type stubs -----------------------------------------------------------------------

PACKAGE = Path(orvanel.__file__).parent
MODULES = ["_orvanel", "_engine"]


def _parameters(function):
    """(name, kind, has a default) of each parameter of a stub's function, read from the
    function compiled without its annotations."""
    arguments = copy.deepcopy(function.args)
    for argument in ast.walk(arguments):
        if isinstance(argument, ast.arg):
            argument.annotation = None
    namespace = {}
    exec(f"def function({ast.unparse(arguments)}): pass", namespace)
    return _signature(namespace["function"])


def _definitions(body):
    """The functions and classes a stub body defines; of overloads, the first."""
    found = {}
    for node in body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            found.setdefault(node.name, node)
    return found


def _signature(value):
    """(name, kind, has a default) of each parameter; fails where the module gives no signature."""
    return [(name, p.kind.name, p.default is not p.empty) for name, p in inspect.signature(value).parameters.items()]


def _stub(module_name):
    return ast.parse((PACKAGE / f"{module_name}.pyi").read_text())


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_names_match_module(module_name):
    module = importlib.import_module(f"orvanel.{module_name}")
    tree = _stub(module_name)
    stub_all = next((ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)
                     and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets)), [])
    assert sorted(stub_all) == sorted(getattr(module, "__all__", []))
    published = {name for name, value in vars(module).items()
                 if not name.startswith("__") and not isinstance(value, types.ModuleType)}
    assert set(_definitions(tree.body)) == published
    for name, node in _definitions(tree.body).items():
        if isinstance(node, ast.ClassDef):
            members = {member for member in _definitions(node.body) if not member.startswith("__")}
            assert members == {m for m in vars(getattr(module, name)) if not m.startswith("__")}, name


def _members(module_name):
    """Every function of a stub as (owner, name, definition); owner "" for the module."""
    members = []
    for name, node in _definitions(_stub(module_name).body).items():
        if isinstance(node, ast.FunctionDef):
            members.append(("", name, node))
        else:
            members += [(name, member, definition) for member, definition in _definitions(node.body).items()
                        if isinstance(definition, ast.FunctionDef)]
    return members


@pytest.mark.parametrize(("module_name", "owner", "name", "node"), [
    pytest.param(module_name, owner, name, node, id=f"{module_name}.{owner}.{name}".replace("..", "."))
    for module_name in MODULES for owner, name, node in _members(module_name)])
def test_stub_member_matches_module(module_name, owner, name, node):
    module = importlib.import_module(f"orvanel.{module_name}")
    cls = getattr(module, owner) if owner else module
    decorators = {ast.unparse(decorator) for decorator in node.decorator_list}
    raw = inspect.getattr_static(cls, name)
    if "property" in decorators:
        assert inspect.isdatadescriptor(raw) and not callable(raw), f"{owner}.{name}"
        return
    assert isinstance(raw, staticmethod) == ("staticmethod" in decorators), f"{owner}.{name}"
    expected = _parameters(node)
    if name == "__new__":
        # The class's own signature (its __text_signature__), without cls.
        expected, runtime = expected[1:], _signature(cls)
    else:
        runtime = _signature(getattr(cls, name))
    assert runtime == expected, f"{owner}.{name}"
