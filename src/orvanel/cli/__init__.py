"""The ``orvanel`` command line: ``info``, ``validate``, ``diff`` and ``convert``.

Exit status: 0 on success, 1 when a file cannot be read or written or is not valid (or,
for ``diff``, when the matrices differ), 2 when the command line itself is wrong, 130 when
interrupted. Failures print one line to standard error, never a traceback; warnings of
the library print one ``note:`` line each.
"""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from collections.abc import Iterator, Sequence
from typing import TextIO, cast

from orvanel._header import RepeatedNamesWarning
from orvanel.cli._errors import CommandError, describe, is_expected, plain_words
from orvanel.cli._output import Output, OutputError, Sink, occupy_closed_descriptors
from orvanel.cli._parser import UsageError, build_parser
from orvanel.cli._text import printable

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
        0 on success, 1 on a failure, 2 on a usage error, 130 when interrupted.
    """
    standard = out is None
    if standard:
        occupy_closed_descriptors()
        _escape_unencodable(sys.stdout, sys.stderr)
    # A closed standard output (``orvanel info >&-``) is None here: a failure when the
    # command first writes to it, not before.
    output = Output(sys.stdout if out is None else out)
    errors = Sink(sys.stderr if err is None else err)
    try:
        args = build_parser().parse_args(argv)
    except UsageError as exc:
        errors.say(printable(exc))
        return 2
    command = f"orvanel {args.command}"
    try:
        with _notes(command, errors):
            status: int = args.run(args, cast(TextIO, output), cast(TextIO, errors))
            output.flush()
    except CommandError as exc:
        errors.say(f"{command}: {printable(exc)}")
        return exc.status
    except BrokenPipeError:
        # Whoever read the output went away (``orvanel info | head``): stop quietly, and
        # point standard output at nothing so that flushing it at exit cannot fail again.
        if standard:
            _discard_standard_output()
        return 1
    except OutputError as exc:
        errors.say(f"{command}: {exc}")
        if standard:
            _discard_standard_output()
        return 1
    except KeyboardInterrupt:
        errors.say(f"\n{command}: interrupted")
        return 130
    except Exception as exc:
        if is_expected(exc):
            errors.say(f"{command}: {printable(describe(exc))}")
        else:
            # A fault in orvanel itself; still one line, never a traceback.
            details = plain_words(str(exc)) or "no details"
            errors.say(f"{command}: unexpected failure, please report it: {printable(details)}")
        return 1
    return status


@contextlib.contextmanager
def _notes(command: str, errors: Sink) -> Iterator[None]:
    """Show the library's warnings as one ``note:`` line each, each text once."""
    shown: set[str] = set()

    def show(message: Warning | str, *_: object, **__: object) -> None:
        text = printable(" ".join(str(message).split()))
        if text not in shown:
            shown.add(text)
            errors.say(f"{command}: note: {text}")

    with warnings.catch_warnings():
        # Part of the output, whatever the interpreter's warning settings.
        warnings.simplefilter("always", RepeatedNamesWarning)
        warnings.showwarning = show
        yield


def _escape_unencodable(*streams: TextIO | None) -> None:
    # A name the terminal's encoding cannot show (Zürich at an ASCII terminal) is shown
    # escaped, as control characters are, instead of failing the command.
    for stream in streams:
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            with contextlib.suppress(OSError, ValueError):
                reconfigure(errors="backslashreplace")


def _discard_standard_output() -> None:
    if sys.stdout is None:
        return
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
