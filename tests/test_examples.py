"""Every example in the README and the documentation runs: each Markdown document's fenced
``python`` blocks (one namespace per document) and the ``orvanel ...`` command lines of its
``sh``/``console`` blocks, in document order, in a fresh folder of their own. A block after
``<!-- example: skip -->`` does not run; a document marked ``<!-- examples: need
orvanel.NAME -->`` is skipped while the package lacks that name."""

import os
import re
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import pytest

import orvanel

ROOT = Path(__file__).resolve().parents[1]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]

FENCE = re.compile(r"^```[ \t]*([\w-]*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
SHELL_LANGUAGES = {"sh", "shell", "bash", "console"}
SKIP_MARK = "<!-- example: skip -->"
NEED_MARK = re.compile(r"<!--\s*examples:\s*need\s+([\w.]+)\s*-->")
# An orvanel command, perhaps after environment variables (NAME=value orvanel ...).
COMMAND = re.compile(r"^(?:[A-Za-z_]\w*=\S*\s+)*orvanel(?:\s|$)")


class Example(NamedTuple):
    kind: str  # "python" or "command"
    text: str
    line: int  # where the example starts in its document, 1-based


def examples(text):
    """The examples of a Markdown document, in document order."""
    found = []
    for fence in FENCE.finditer(text):
        language, body = fence.group(1).lower(), fence.group(2)
        before = text[: fence.start()].rstrip().rsplit("\n", 1)[-1].strip()
        if before == SKIP_MARK:
            continue
        first = text.count("\n", 0, fence.start()) + 2
        if language == "python":
            found.append(Example("python", body, first))
        elif language in SHELL_LANGUAGES:
            for offset, raw in enumerate(body.splitlines()):
                line = raw.strip()
                if language == "console" and not line.startswith("$ "):
                    continue  # output shown after a prompt line
                line = line.removeprefix("$ ").strip()
                if COMMAND.match(line):
                    found.append(Example("command", line, first + offset))
    return found


def _name(path):
    return str(path.relative_to(ROOT))


# Only documents with examples are collected; the documents themselves decide which.
RUNNABLE = [path for path in DOCUMENTS if "_build" not in path.parts and examples(path.read_text())]


def _has(dotted):
    module, *parts = dotted.split(".")
    value = orvanel if module == "orvanel" else None
    for part in parts:
        value = getattr(value, part, None)
    return value is not None


# The examples check what the documents show; memory faults are the other tests' to find
# under the sanitizers, whose runtime preloaded into every shell and program an example
# starts would report those programs' own leaks.
@pytest.mark.skipif(os.environ.get("ORVANEL_SANITIZED") == "1", reason="sanitizer run")
@pytest.mark.parametrize("document", RUNNABLE, ids=_name)
def test_examples_run(document, tmp_path, monkeypatch):
    text = document.read_text()
    for needed in NEED_MARK.findall(text):
        if not _has(needed):
            pytest.skip(f"{_name(document)} needs {needed}, which this build does not have")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    # An `orvanel` on the PATH that is this interpreter's package, installed or on PYTHONPATH.
    script = tmp_path / ".bin" / "orvanel"
    script.parent.mkdir()
    script.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m orvanel "$@"\n')
    script.chmod(0o755)
    env = {**os.environ, "PATH": f"{script.parent}{os.pathsep}{os.environ.get('PATH', '')}"}
    namespace = {"__name__": "__example__"}
    try:
        for example in examples(text):
            where = f"{_name(document)}:{example.line}"
            if example.kind == "python":
                exec(compile(example.text, where, "exec"), namespace)
                continue
            result = subprocess.run(["bash", "-c", example.text], cwd=tmp_path, env=env, capture_output=True,
                                    text=True, timeout=300, check=False)
            # diff's status 1 is its answer "the matrices differ", which examples may show.
            allowed = {0, 1} if re.search(r"\borvanel\s+diff\b", example.text) else {0}
            assert result.returncode in allowed and "Traceback" not in result.stderr, (
                f"{where}: `{example.text}` exited with {result.returncode}:\n{result.stdout}{result.stderr}")
    finally:
        pyplot = sys.modules.get("matplotlib.pyplot")
        if pyplot is not None:
            pyplot.close("all")
