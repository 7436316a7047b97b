"""``orvanel validate``: load files and report each one's first fault."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from orvanel.cli._errors import describe, is_expected
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.registry import ReadOptions, input_format


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "validate",
        help="check that files load, and report each one's fault",
        description=(
            "Load each file completely and print one line for it on standard output: "
            "'FILE: OK', or 'FILE: ' and the fault found (for a matrix file with its kind and "
            "byte offset). Every file is checked, whatever the earlier ones held. The exit "
            "status is 0 only if every file is valid."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument("files", metavar="FILE", nargs="+", help="files to check")
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the files that are not valid"
    )
    add_threads_option(parser)
    parser.set_defaults(run=run)


def _read_through(path: str, options: ReadOptions) -> None:
    """Read every block of the file (a full decode), keeping none."""
    with input_format(path).open_blocks(path, None, options) as reader:
        for _ in reader.blocks():
            pass


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    status = 0
    options = ReadOptions(threads=thread_count(args))
    for path in args.files:
        try:
            _read_through(path, options)
        except Exception as exc:
            if not is_expected(exc):
                raise
            status = 1
            out.write(f"{printable(path)}: {printable(describe(exc, path))}\n")
        else:
            if not args.quiet:
                out.write(f"{printable(path)}: OK\n")
        out.flush()
    return status
