"""``--threads N``: how many threads decode and encode matrix files."""

from __future__ import annotations

import argparse

from orvanel._threads import resolve_threads
from orvanel.cli._errors import CommandError


def add_threads_option(parser: argparse.ArgumentParser) -> None:
    """Add ``--threads N`` to a command's parser."""
    parser.add_argument(
        "--threads",
        type=_count,
        default=None,
        metavar="N",
        help="decode and encode matrix files on N threads (default: the environment "
        "variable ORVANEL_NUM_THREADS, else the processors available, at most 8); the "
        "result is the same for any N",
    )


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1 (got {text!r})")
    return value


def thread_count(args: argparse.Namespace) -> int:
    """The number of threads the command uses; a bad ORVANEL_NUM_THREADS is a mistake of
    the command's setting (exit status 2)."""
    try:
        return resolve_threads(args.threads)
    except ValueError as exc:
        raise CommandError(str(exc), 2) from None
