"""Sphinx configuration of orvanel's documentation (``make docs``).

The API reference is made from the docstrings of every name in ``orvanel.__all__``: the
list of names is written at build time into ``_generated/api_names.rst``, so that a name
added to the package is documented without editing a page.
"""

from __future__ import annotations

import inspect
import sys
import types
from pathlib import Path

import orvanel

# The command-line reference reads its parser from _cli_parser.py beside this file.
sys.path.insert(0, str(Path(__file__).parent))

project = "orvanel"
author = "the orvanel developers"
copyright = "the orvanel developers"
release = orvanel.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinxarg.ext",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated"]
myst_heading_anchors = 3
# Option names and quoted values stay as typed (--json, not an en dash).
smartquotes = False

# Docstrings write `name` for a cross-reference, as NumPy's do.
default_role = "py:obj"

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # the numpydoc sections give the types, in words
autodoc_default_options = {"members": True, "show-inheritance": True}
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False

# Names outside this package (NumPy, the standard library, pandas, xarray, matplotlib)
# cannot be linked without fetching the other projects' inventories, which a build from
# a fresh clone without network cannot do: they are shown as text. Every reference to a
# name of this package is still checked.
nitpick_ignore_regex = [
    ("py:class", r"(?!orvanel\b).*"),
    ("py:obj", r"(?!orvanel\b)[A-Za-z_][\w.]*\.[\w.]+"),
    # The low-level modules are not part of the documented API.
    ("py:class", r"orvanel\._\w+\..*"),
]

html_theme = "alabaster"
html_static_path: list[str] = []
html_title = f"orvanel {release}"


def _kind(value: object) -> str:
    if isinstance(value, types.ModuleType):
        return "module"
    if inspect.isclass(value):
        return "exception" if issubclass(value, BaseException) else "class"
    if callable(value):
        return "function"
    return "data"


_SECTIONS = [
    ("function", "Functions"),
    ("class", "Classes"),
    ("exception", "Exceptions and warnings"),
    ("module", "Modules"),
    ("data", "Data"),
]


def write_api_names(folder: Path) -> None:
    """Write the autodoc directives for every public name, grouped by kind."""
    names = sorted(name for name in orvanel.__all__ if name != "__version__")
    lines: list[str] = []
    for kind, title in _SECTIONS:
        chosen = [name for name in names if _kind(getattr(orvanel, name)) == kind]
        if not chosen:
            continue
        lines += [title, "-" * len(title), ""]
        for name in chosen:
            if kind == "module":
                lines += [f".. automodule:: orvanel.{name}", "   :members:", ""]
            else:
                lines += [f".. auto{kind}:: orvanel.{name}", ""]
    lines += [
        "Version",
        "-------",
        "",
        ".. currentmodule:: orvanel",
        "",
        ".. py:data:: __version__",
        "",
        "   The installed package's version, as ``orvanel --version`` reports it.",
        "",
    ]
    folder.mkdir(exist_ok=True)
    target = folder / "api_names.rst"
    text = "\n".join(lines)
    # Unchanged content keeps its time stamp, so that Sphinx does not rebuild the page.
    if not target.exists() or target.read_text() != text:
        target.write_text(text)


write_api_names(Path(__file__).parent / "_generated")
