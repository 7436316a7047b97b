"""The failures the command line reports in one line instead of a traceback.

A reader meets files that are missing, cut short, corrupt or not what their name says;
each way that shows up as an exception is listed here, and `describe` turns any of them
into one line in the user's words: no exception class names, no Python internals.
"""

from __future__ import annotations

import contextlib
import csv
import os
import re
import zipfile
import zlib
from collections.abc import Iterator
from types import TracebackType

from orvanel._orvanel import OrvanelError

EXPECTED: tuple[type[BaseException], ...] = (
    OrvanelError,
    OSError,  # missing, unreadable or unwritable files; HDF5 files that cannot be opened
    ValueError,  # malformed content of the other formats (UnicodeDecodeError included)
    KeyError,  # unknown table names (TableNotFoundError); missing HDF5 objects
    ImportError,  # an optional dependency that is not installed
    EOFError,  # truncated gzip streams
    zipfile.BadZipFile,
    zlib.error,  # corrupt deflate data in .npz archives and .gz files
    csv.Error,
    OverflowError,
    MemoryError,
)

# Messages Python and its libraries give for malformed input, and what they mean in a
# user's words. Applied anywhere in a message, since readers prefix them ("line 3: ...").
_PLAIN_WORDS: tuple[tuple[re.Pattern[str], str], ...] = tuple(
    (re.compile(pattern), words)
    for pattern, words in (
        (r"invalid literal for int\(\) with base \d+: ", "not a whole number: "),
        (r"could not convert string to float: ", "not a number: "),
        (r"(?:Python )?int too (?:big|large) to convert(?: to C \w+)?", "number too large"),
        (r"Error -?\d+ while decompressing data(?:: [^;]*)?", "corrupt compressed data"),
        (r"Not a gzipped file \([^)]*\)", "not a gzip-compressed file"),
        (
            r"Unable to (?:synchronously )?open file \(file signature not found\)",
            "not an HDF5 file",
        ),
        (
            r"Compressed file ended before the end-of-stream marker was reached",
            "the compressed data ends early (the file is cut short)",
        ),
        (
            r"'[\w-]+' codec can't decode bytes? (?:in position \d+(?:-\d+)?|0x[0-9a-f]+ in "
            r"position \d+): [\w ]+",
            "not UTF-8 text",
        ),
    )
)


class CommandError(Exception):
    """A failure the command reports as it is, with the exit status to use."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def is_expected(exc: BaseException) -> bool:
    """Whether ``exc`` is a way a file can fail to be read or written (as opposed to a
    fault in orvanel itself)."""
    return isinstance(exc, EXPECTED) or (
        isinstance(exc, Exception) and _raised_by_hdf5(exc.__traceback__)
    )


def _raised_by_hdf5(traceback: TracebackType | None) -> bool:
    # h5py turns an HDF5 failure into whatever exception its error class maps to, often
    # RuntimeError or TypeError; a failure raised inside h5py is the file's, not ours.
    while traceback is not None:
        module = traceback.tb_frame.f_globals.get("__name__")
        if isinstance(module, str) and (module == "h5py" or module.startswith("h5py.")):
            return True
        traceback = traceback.tb_next
    return False


def describe(exc: BaseException, path: str | None = None) -> str:
    """One line saying what went wrong, without the exception's class name.

    ``path`` is the file the line is about; a system error concerning another file (the
    directory of an output file, the target of a link) names that file too.
    """
    if isinstance(exc, OrvanelError):
        return f"{exc.kind}: {exc}"
    if isinstance(exc, MemoryError):
        return "not enough memory"
    if isinstance(exc, zlib.error):
        return "corrupt compressed data"
    if isinstance(exc, UnicodeDecodeError):
        return "not UTF-8 text"
    if isinstance(exc, OSError):
        return _system_message(exc, path)
    if isinstance(exc, KeyError):
        # str() of a KeyError is the repr of its key; the key is the message here.
        text = str(exc.args[0]) if len(exc.args) == 1 else str(exc)
    else:
        text = str(exc)
    return plain_words(text) or _fallback(exc)


def _system_message(exc: OSError, path: str | None) -> str:
    """The system's message, naming the file when it is not the one being reported."""
    if exc.strerror:
        message = exc.strerror
    elif exc.errno:
        message = os.strerror(exc.errno)
    else:
        # Not a system call's failure (HDF5, gzip): its own text.
        return plain_words(str(exc)) or _fallback(exc)
    if exc.filename is None:
        return message
    filename = os.fsdecode(exc.filename)
    return message if filename == path else f"{message} ({filename})"


def plain_words(text: str) -> str:
    """A library's message with Python's own phrasing of bad input replaced by plain
    words, on one line."""
    for pattern, words in _PLAIN_WORDS:
        text = pattern.sub(words, text)
    return " ".join(text.split())


def _fallback(exc: BaseException) -> str:
    if isinstance(exc, ImportError):
        return "an optional dependency is not installed"
    if isinstance(exc, OSError):
        return "input/output error"
    return "the file's content cannot be read"


@contextlib.contextmanager
def about(path: str) -> Iterator[None]:
    """Report an expected failure inside the block as a failure concerning ``path``."""
    try:
        yield
    except Exception as exc:
        if not is_expected(exc):
            raise
        raise CommandError(f"{path}: {describe(exc, path)}") from exc
