"""Standard output and standard error as the commands use them.

Output that cannot be written (standard output closed, a full disk) is a failure of the
command, reported in one line; a reader that went away (a broken pipe) is not, and the
command stops quietly. Messages to a standard error that cannot be written are dropped:
there is nowhere left to report them.
"""

from __future__ import annotations

import contextlib
import os
from typing import TextIO

_STANDARD_DESCRIPTORS = (0, 1, 2)


class OutputError(Exception):
    """Standard output cannot be written; the message says why."""


class Output:
    """A command's output stream: ``stream``, or a closed one when ``stream`` is None.

    A failed write raises `OutputError`, except a broken pipe, which stays
    `BrokenPipeError` so that the command can stop quietly.
    """

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        stream = self._available()
        try:
            stream.write(text)
        except OSError as exc:
            raise _failure(exc) from exc
        return len(text)

    def flush(self) -> None:
        if self._stream is None:
            return
        try:
            self._stream.flush()
        except OSError as exc:
            raise _failure(exc) from exc

    def isatty(self) -> bool:
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def _available(self) -> TextIO:
        if self._stream is None:
            raise OutputError("standard output is closed")
        return self._stream


def _failure(exc: OSError) -> OSError | OutputError:
    if isinstance(exc, BrokenPipeError):
        return exc
    reason = exc.strerror or "input/output error"
    return OutputError(f"cannot write to standard output: {reason}")


class Sink:
    """Standard error: messages and progress bars; a failed write is ignored."""

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        if self._stream is not None:
            with contextlib.suppress(OSError, ValueError):
                self._stream.write(text)
        return len(text)

    def flush(self) -> None:
        if self._stream is not None:
            with contextlib.suppress(OSError, ValueError):
                self._stream.flush()

    def isatty(self) -> bool:
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def say(self, line: str) -> None:
        """Write one message line and flush it."""
        self.write(f"{line}\n")
        self.flush()


def occupy_closed_descriptors() -> None:
    """Open the null device on any of descriptors 0, 1 and 2 that is closed.

    A process started with standard output closed would otherwise get descriptor 1 for
    the first file it opens, and anything written to standard output later, by a library
    say, would land in that file.
    """
    for descriptor in _STANDARD_DESCRIPTORS:
        try:
            os.fstat(descriptor)
        except OSError:
            opened = os.open(os.devnull, os.O_RDWR)
            if opened != descriptor:
                os.dup2(opened, descriptor)
                os.close(opened)
