"""Zones files: the zone system's number (label) of each zone position, as CSV.

::

    position,label
    1,101
    2,102
    3,205

One line per zone, positions 1..Z in order. A matrix file numbers its zones 1..Z and
has no place for labels, so they travel beside it in ``<stem>.zones.csv``.
"""

from __future__ import annotations

import contextlib
import csv
import io
import os
import re
from collections.abc import Callable, Iterator

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._replace import replace_file
from orvanel._zones import check_labels
from orvanel.formats.csvlong import ZONE

COLUMNS = ("position", "label")
SUFFIX = ".zones.csv"
_NUMBER = re.compile(ZONE, re.ASCII)  # a whole number, as zone ids in long-form CSV


def zones_path(matrix_path: str) -> str:
    """Where the zones file of a matrix file goes: ``out.mat`` -> ``out.zones.csv``."""
    stem, extension = os.path.splitext(matrix_path)
    return f"{stem if extension else matrix_path}{SUFFIX}"


def write_zones(
    path: str | os.PathLike[str], labels: ArrayLike, *, along: Callable[[], None] | None = None
) -> None:
    """Write a zones file; it replaces what is at ``path`` only once complete.

    ``along`` is called once the zones file is written and before it replaces the old
    one: a matrix file written there goes together with its zones file, and a failure of
    either leaves both old files as they were.
    """
    with replacing_zones(path, labels):
        if along is not None:
            along()


@contextlib.contextmanager
def replacing_zones(path: str | os.PathLike[str], labels: ArrayLike) -> Iterator[None]:
    """Write a zones file that replaces what is at ``path`` once the block completes
    without an exception (and not at all otherwise)."""
    array = np.asarray(labels)
    checked = check_labels(array, array.shape[0] if array.ndim == 1 else -1)
    with replace_file(path, in_place_ok=True) as temporary:
        with open(temporary, "w", encoding="utf-8", newline="") as text:
            text.write(f"{','.join(COLUMNS)}\n")
            text.write(
                "".join(
                    f"{position},{label}\n" for position, label in enumerate(checked.tolist(), 1)
                )
            )
        yield


def read_zones(path: str | os.PathLike[str]) -> NDArray[np.int64]:
    """Read a zones file: the labels of positions 1..Z, as a read-only int64 array.

    Raises ValueError naming the line of the first fault.
    """
    with open(path, "rb") as raw:
        data = raw.read()
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise ValueError(f"line {line}: the text is not UTF-8; save the file as UTF-8") from None
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    labels: list[int] = []
    lines: dict[int, int] = {}  # label -> the line it is on
    try:
        header = next(reader, None)
        if header is None:
            raise ValueError("the zones file is empty")
        if [name.strip().lower() for name in header] != list(COLUMNS):
            raise ValueError("line 1: the zones file's header must be position,label")
        for row in reader:
            if row:
                label = _row(row, reader.line_num, len(labels) + 1)
                if label in lines:
                    raise ValueError(
                        f"line {reader.line_num}: zone label {label} is also on line {lines[label]}"
                    )
                lines[label] = reader.line_num
                labels.append(label)
    except csv.Error:
        raise ValueError(
            f"line {reader.line_num}: a quoted field is not closed, or text follows its "
            "closing quote"
        ) from None
    if not labels:
        raise ValueError("the zones file lists no zones")
    return check_labels(np.array(labels, dtype=np.int64), len(labels))


def _row(row: list[str], line: int, position: int) -> int:
    """The label on a line that must give zone ``position``."""
    if len(row) != len(COLUMNS):
        raise ValueError(f"line {line}: {len(row)} fields, but a zones file has 2 columns")
    for field, column in zip(row, COLUMNS):
        if _NUMBER.fullmatch(field) is None:
            raise ValueError(
                f"line {line}, column {column!r}: {field[:40]!r} is not a whole number"
            )
    given, label = (int(field.partition(".")[0]) for field in row)
    if not -(2**63) <= label < 2**63:
        raise ValueError(f"line {line}, column 'label': {label} is too large for a zone label")
    if given != position:
        raise ValueError(f"line {line}: position {given} where position {position} was expected")
    return label
