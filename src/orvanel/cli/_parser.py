"""The argument parser of the ``orvanel`` command."""

from __future__ import annotations

import argparse
from typing import NoReturn

from orvanel._version import __version__
from orvanel.cli import convert, diff, info, plot, validate
from orvanel.cli._text import EXIT_STATUS


class UsageError(Exception):
    """The command line itself is wrong; exit status 2."""


class Parser(argparse.ArgumentParser):
    """An argument parser that reports a usage error in one line, through an exception."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: {message} (see '{self.prog} --help')")


def build_parser() -> Parser:
    parser = Parser(
        prog="orvanel",
        description=(
            "Inspect, validate, compare and convert origin-destination matrix files. "
            "Zone numbers are 1-based."
        ),
        epilog=f"Run 'orvanel COMMAND --help' for a command's options. {EXIT_STATUS}",
    )
    parser.add_argument("--version", action="version", version=f"orvanel {__version__}")
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, parser_class=Parser
    )
    for module in (info, validate, diff, convert, plot):
        module.add_parser(commands)
    return parser
