"""Text from files and from the command line, made safe to print at a terminal."""

from __future__ import annotations

EXIT_STATUS = (
    "Exit status: 0 success; 1 a file cannot be read or written, is not valid, or (diff) "
    "the matrices differ; 2 the command line is wrong; 130 interrupted."
)


def printable(text: object) -> str:
    """``text`` with every non-printable character escaped as `repr` escapes it.

    Banners, table names, file names and messages come from files and users; printed raw,
    an escape sequence in them could move the cursor, clear the screen or fake output
    lines. Control characters, line breaks, invisible separators and undecodable bytes
    of a file name (lone surrogates) are shown as ``\\x1b``, ``\\n``, ``\\u2028``,
    ``\\udcff``; everything else, the space included, is shown as it is.
    """
    text = str(text)
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)
