"""The type stubs of the extension modules describe the modules as they are.

mypy checks the package against ``_orvanel.pyi`` and ``_engine.pyi`` only; a name, a
parameter or a parameter kind that the stub gets wrong would let a wrong call pass the
type check (or a right one fail it). Each stub is read with ``ast`` and compared with the
imported module: the names it publishes, its classes' members, and every callable's
parameters (name, kind, whether it has a default) where the module gives a signature.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import types
from pathlib import Path

import pytest

import orvanel

PACKAGE = Path(orvanel.__file__).parent
Parameters = list[tuple[str, str, bool]]


def _parameters(function: ast.FunctionDef) -> Parameters:
    arguments = function.args
    positional = [*arguments.posonlyargs, *arguments.args]
    defaults = [False] * (len(positional) - len(arguments.defaults)) + [True] * len(
        arguments.defaults
    )
    found = [
        (
            argument.arg,
            "POSITIONAL_ONLY" if argument in arguments.posonlyargs else "POSITIONAL_OR_KEYWORD",
            default,
        )
        for argument, default in zip(positional, defaults)
    ]
    if arguments.vararg is not None:
        found.append((arguments.vararg.arg, "VAR_POSITIONAL", False))
    found += [
        (argument.arg, "KEYWORD_ONLY", default is not None)
        for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults)
    ]
    if arguments.kwarg is not None:
        found.append((arguments.kwarg.arg, "VAR_KEYWORD", False))
    return found


def _decorators(function: ast.FunctionDef) -> set[str]:
    return {ast.unparse(decorator) for decorator in function.decorator_list}


def _definitions(body: list[ast.stmt]) -> dict[str, ast.FunctionDef | ast.ClassDef]:
    """The functions and classes a stub body defines; of overloads, the first."""
    found: dict[str, ast.FunctionDef | ast.ClassDef] = {}
    for node in body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            found.setdefault(node.name, node)
    return found


def _runtime_parameters(value: object) -> Parameters | None:
    try:
        signature = inspect.signature(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None  # no __text_signature__: the module does not say
    return [
        (name, parameter.kind.name, parameter.default is not inspect.Parameter.empty)
        for name, parameter in signature.parameters.items()
    ]


def _stub(module_name: str) -> ast.Module:
    return ast.parse((PACKAGE / f"{module_name}.pyi").read_text())


def _stub_all(tree: ast.Module) -> list[str] | None:
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
            isinstance(target, ast.Name) and target.id == "__all__" for target in node.targets
        ):
            return list(ast.literal_eval(node.value))
    return None


MODULES = ["_orvanel", "_engine"]


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_names_match_module(module_name: str) -> None:
    module = importlib.import_module(f"orvanel.{module_name}")
    tree = _stub(module_name)
    assert sorted(_stub_all(tree) or []) == sorted(getattr(module, "__all__", []))
    defined = set(_definitions(tree.body))
    published = {
        name
        for name, value in vars(module).items()
        if not name.startswith("__") and not isinstance(value, types.ModuleType)
    }
    assert defined == published
    for name, node in _definitions(tree.body).items():
        if isinstance(node, ast.ClassDef):
            members = {member for member in _definitions(node.body) if not member.startswith("__")}
            runtime = {
                member for member in vars(getattr(module, name)) if not member.startswith("__")
            }
            assert members == runtime, name


def _members(module_name: str) -> list[tuple[str, str, ast.FunctionDef]]:
    """Every function of a stub as (owner, name, definition); owner "" for the module."""
    members = []
    for name, node in _definitions(_stub(module_name).body).items():
        if isinstance(node, ast.FunctionDef):
            members.append(("", name, node))
        else:
            members += [
                (name, member, definition)
                for member, definition in _definitions(node.body).items()
                if isinstance(definition, ast.FunctionDef)
            ]
    return members


CASES = [
    pytest.param(
        module_name, owner, name, node, id=f"{module_name}.{owner}.{name}".replace("..", ".")
    )
    for module_name in MODULES
    for owner, name, node in _members(module_name)
]


@pytest.mark.parametrize(("module_name", "owner", "name", "node"), CASES)
def test_stub_member_matches_module(
    module_name: str, owner: str, name: str, node: ast.FunctionDef
) -> None:
    module = importlib.import_module(f"orvanel.{module_name}")
    if not owner:
        value = getattr(module, name)
        assert callable(value)
        expected = _parameters(node)
        assert _runtime_parameters(value) in (None, expected)
        return
    cls = getattr(module, owner)
    assert hasattr(cls, name), f"{owner}.{name} is in the stub but not in the module"
    decorators = _decorators(node)
    raw = inspect.getattr_static(cls, name)
    if "property" in decorators:
        assert inspect.isdatadescriptor(raw) and not callable(raw), f"{owner}.{name}"
        return
    assert isinstance(raw, staticmethod) == ("staticmethod" in decorators), f"{owner}.{name}"
    expected = _parameters(node)
    if name == "__new__":
        # The class's own signature (its __text_signature__), without cls.
        expected, runtime = expected[1:], _runtime_parameters(cls)
    else:
        runtime = _runtime_parameters(getattr(cls, name))
    assert runtime in (None, expected), f"{owner}.{name}"
