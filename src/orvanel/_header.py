"""Header facts of a matrix: the table list entry, and the banner and run identifier."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass

from orvanel._orvanel import _MatrixCore

# The texts a matrix file gets when none is given, taken from the core so that there is
# one source for them.
_DEFAULTS = _MatrixCore.validate_schema(1, [("t", "D")])
DEFAULT_BANNER: str = _DEFAULTS.banner
DEFAULT_RUN_ID: str = _DEFAULTS.run_id
del _DEFAULTS


@dataclass(frozen=True, slots=True)
class TableInfo:
    """One table of a matrix: its 1-based position, its name and its type code.

    Attributes
    ----------
    index : int
        1-based position in the matrix's table list.
    name : str
        The table's name; any text (a matrix file itself needs non-empty ASCII names).
    type_code : str
        ``"0"``..``"9"`` (fixed point with that many decimals), ``"S"`` (single precision)
        or ``"D"`` (double precision).
    """

    index: int
    name: str
    type_code: str


def stored_text(value: object) -> str | None:
    """A text kept as an attribute or in metadata (str, or UTF-8 bytes), else None."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return value if isinstance(value, str) else None


def header_value(value: object, field: str, default: str) -> str:
    """A banner or run identifier as a matrix holds it (None selects ``default``)."""
    if value is None:
        return default
    if not isinstance(value, str):
        raise TypeError(f"{field} must be a str (got {type(value).__name__})")
    return value


def header_text(value: object, field: str, default: str) -> str:
    """A banner or run identifier that a matrix file can store (None selects ``default``).

    A matrix file ends each of these texts at the first NUL byte, so text after a NUL
    would be lost without a word: refused. One trailing NUL is allowed, as the file
    format stores one anyway.
    """
    value = header_value(value, field, default)
    nul = value.find("\0")
    if nul >= 0 and nul != len(value) - 1:
        raise ValueError(
            f"{field} holds a NUL character followed by more text, which a matrix file "
            f"cannot store: {value!r}"
        )
    return value


def unique_labels(names: Sequence[str], target: str | None = None) -> list[str]:
    """One label per table where a unique name is needed: the name itself, and for the
    second and later tables of a repeated name the name with the table's 1-based position
    (``A#3``). Warns once, naming ``target``, when any name repeats.
    """
    labels: list[str] = []
    taken = set(names)
    seen: set[str] = set()
    renamed: list[str] = []
    for position, name in enumerate(names, start=1):
        if name not in seen:
            seen.add(name)
            labels.append(name)
            continue
        label = f"{name}#{position}"
        while label in taken:
            label = f"{label}#{position}"
        taken.add(label)
        labels.append(label)
        renamed.append(label)
    if renamed and target is not None:
        warnings.warn(
            f"repeated table names are labelled by position in {target}: {', '.join(renamed)}",
            RepeatedNamesWarning,
            stacklevel=3,
        )
    return labels


class RepeatedNamesWarning(UserWarning):
    """Two tables share a name, so one was labelled by its position (``A#2``)."""


class ZonesInferredWarning(UserWarning):
    """A zone count was taken from the largest zone number present, which falls short
    when the last zones have no data."""
