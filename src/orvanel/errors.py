"""The exceptions the package raises.

Failures of the matrix file core raise a subclass of `OrvanelError` whose ``kind`` names
the fault and whose ``offset`` is the byte offset in the file where it was found (or None).
A table name that a matrix or file does not hold raises `TableNotFoundError`, which is
both an `OrvanelValidationError` and a `KeyError`, whatever the source.
"""

from __future__ import annotations

from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    OrvanelWriterError,
)

__all__ = [
    "OrvanelError",
    "OrvanelIoError",
    "OrvanelParseError",
    "OrvanelValidationError",
    "OrvanelWriterError",
    "TableNotFoundError",
]


class TableNotFoundError(OrvanelValidationError, KeyError):
    """A table name that the matrix or file does not hold.

    A subclass of both `OrvanelValidationError` (``kind`` is ``"table_not_found"``) and
    `KeyError`, so ``except KeyError`` catches it as it catches a missing mapping key.
    ``str()`` is the plain message, without `KeyError`'s quotes; ``name`` is the name
    that was asked for.
    """

    kind: str
    offset: int | None
    name: str

    def __init__(self, message: str, name: str = "") -> None:
        super().__init__(message)
        self.kind = "table_not_found"
        self.offset = None
        self.name = name

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (str(self), self.name))


def table_not_found(name: str, where: str) -> TableNotFoundError:
    """The error for a table ``name`` that ``where`` (e.g. "the OMX file") does not hold."""
    return TableNotFoundError(f"table not found in {where}: {_quoted(name)}", name)


def _quoted(name: str) -> str:
    # Double quotes as the core's own message has them; control characters escaped.
    return '"' + name.encode("unicode_escape").decode("ascii").replace('"', '\\"') + '"'
