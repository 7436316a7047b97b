"""The failures the command line reports in one line instead of a traceback."""

from __future__ import annotations

import contextlib
import csv
import zipfile
from collections.abc import Iterator

from orvanel._orvanel import OrvanelError

EXPECTED: tuple[type[BaseException], ...] = (
    OrvanelError,
    OSError,  # missing, unreadable or unwritable files; HDF5 files that cannot be opened
    ValueError,  # malformed content of the other formats, unknown table names
    KeyError,
    ImportError,  # an optional dependency that is not installed
    EOFError,  # truncated gzip streams
    zipfile.BadZipFile,
    csv.Error,
    OverflowError,
    MemoryError,
)


class CommandError(Exception):
    """A failure the command reports as it is, with the exit status to use."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def describe(exc: BaseException) -> str:
    """One line saying what went wrong, without the exception's class name."""
    if isinstance(exc, OrvanelError):
        return f"{exc.kind}: {exc}"
    if isinstance(exc, MemoryError):
        return "not enough memory"
    if isinstance(exc, KeyError) and exc.args:
        return f"no table named {exc.args[0]}"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Report an expected failure inside the block as a failure concerning ``path``."""
    try:
        yield
    except EXPECTED as exc:
        raise CommandError(f"{path}: {describe(exc)}") from exc
