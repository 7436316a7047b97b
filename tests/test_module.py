"""The extension modules' classes, and their type stubs, which mypy checks the package
against: each stub is read with ``ast`` and compared with the imported module (the names it
publishes, its classes' members, and every callable's parameters: name, kind, default)."""

import ast
import copy
import importlib
import inspect
import types
from pathlib import Path

import pytest

import orvanel
from orvanel import _orvanel
from orvanel._orvanel import OrvanelError

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


def test_module_run_again_publishes_the_same_objects():
    again = importlib.util.module_from_spec(_orvanel.__spec__)
    _orvanel.__loader__.exec_module(again)
    assert again is not _orvanel and again.__all__ == _orvanel.__all__
    assert all(getattr(again, name) is getattr(_orvanel, name) for name in _orvanel.__all__[1:])
    with pytest.raises(_orvanel.OrvanelParseError):
        again._MatrixCore.from_bytes(b"")


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


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_module(module_name):
    module = importlib.import_module(f"orvanel.{module_name}")
    tree = ast.parse((PACKAGE / f"{module_name}.pyi").read_text())
    stub_all = next((ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)
                     and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets)), [])
    assert sorted(stub_all) == sorted(getattr(module, "__all__", []))
    published = {name for name, value in vars(module).items()
                 if not name.startswith("__") and not isinstance(value, types.ModuleType)}
    assert set(_definitions(tree.body)) == published
    wrong = []
    for owner, node in _definitions(tree.body).items():
        cls = getattr(module, owner)
        members = {owner: node} if isinstance(node, ast.FunctionDef) else _definitions(node.body)
        if isinstance(node, ast.ClassDef):
            assert {m for m in members if not m.startswith("__")} == {m for m in vars(cls) if not m.startswith("__")}
        for name, member in members.items():
            where = module if member is node else cls
            raw = inspect.getattr_static(where, name)
            decorators = {ast.unparse(decorator) for decorator in member.decorator_list}
            if "property" in decorators:
                found = inspect.isdatadescriptor(raw) and not callable(raw)
            elif name == "__new__":  # the class's own signature (its __text_signature__), without cls
                found = _signature(cls) == _parameters(member)[1:]
            else:
                found = (isinstance(raw, staticmethod) == ("staticmethod" in decorators)
                         and _signature(getattr(where, name)) == _parameters(member))
            if not found:
                wrong.append(f"{owner}.{name}")
    assert wrong == []
