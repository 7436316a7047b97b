"""The ``orvanel`` argument parser as the command-line reference shows it.

sphinx-argparse reads help texts as reStructuredText, where ``|a - b|`` would be a
substitution; such characters are escaped here, so that the pages show the help texts
exactly as ``orvanel --help`` does.
"""

from __future__ import annotations

import argparse

from orvanel.cli._parser import build_parser

_SPECIAL = str.maketrans({"|": r"\|", "*": r"\*", "`": r"\`"})


def _escape(text: str | None) -> str | None:
    return None if text is None else text.translate(_SPECIAL)


def _escape_parser(parser: argparse.ArgumentParser) -> None:
    parser.description = _escape(parser.description)
    parser.epilog = _escape(parser.epilog)
    for action in parser._actions:
        if action.help not in (None, argparse.SUPPRESS):
            action.help = _escape(action.help)
        if isinstance(action, argparse._SubParsersAction):
            for choice in action._choices_actions:
                choice.help = _escape(choice.help)
            for sub in action.choices.values():
                _escape_parser(sub)


def reference_parser() -> argparse.ArgumentParser:
    """The command's parser with its help texts escaped for reStructuredText."""
    parser = build_parser()
    _escape_parser(parser)
    return parser
