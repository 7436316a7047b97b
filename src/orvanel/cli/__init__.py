"""The ``orvanel`` command line: ``info``, ``validate``, ``diff`` and ``convert``.

Exit status: 0 on success, 1 when a file cannot be read or written or is not valid (or,
for ``diff``, when the matrices differ), 2 when the command line itself is wrong.
Failures print one line to standard error, never a traceback.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from orvanel.cli._errors import EXPECTED, CommandError, describe
from orvanel.cli._parser import UsageError, build_parser

__all__ = ["main"]


def main(
    argv: Sequence[str] | None = None, out: TextIO | None = None, err: TextIO | None = None
) -> int:
    """Run the command line and return its exit status.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments, without the program name; by default ``sys.argv[1:]``.
    out, err : text stream, optional
        Where output and messages go; by default standard output and standard error.

    Returns
    -------
    int
        0 on success, 1 on a failure, 2 on a usage error.
    """
    out = out or sys.stdout
    err = err or sys.stderr
    try:
        args = build_parser().parse_args(argv)
    except UsageError as exc:
        err.write(f"{exc}\n")
        return 2
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _one_line_warnings(err, args.command)
            status: int = args.run(args, out, err)
    except CommandError as exc:
        err.write(f"orvanel {args.command}: {exc}\n")
        return exc.status
    except BrokenPipeError:
        # Whoever read the output went away (``orvanel info | head``): stop quietly, and
        # point standard output at nothing so that flushing it at exit cannot fail again.
        if out is sys.stdout:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 1
    except EXPECTED as exc:
        err.write(f"orvanel {args.command}: {describe(exc)}\n")
        return 1
    except KeyboardInterrupt:
        err.write("\norvanel: interrupted\n")
        return 130
    return status


def _one_line_warnings(err: TextIO, command: str) -> Callable[..., None]:
    """Show a warning (a notice from a reader or writer) as one line of the command's
    own, not with Python's source location."""

    def show(message: Warning | str, *args: Any, **kwargs: Any) -> None:
        err.write(f"orvanel {command}: {' '.join(str(message).split())}\n")

    return show
