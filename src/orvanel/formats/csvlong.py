"""Long-form CSV: a header ``origin,destination,NAME...``, then one line per zone pair.

Files whose name ends in ``.gz`` are gzip-compressed. Written files hold every cell (or,
on request, only the pairs that are not zero in every table), origin-major, each value in
the shortest text that reads back as the same float64. Read files may leave pairs out
(those cells are 0.0), but may not repeat one. A CSV file holds table names and values
only: no banner, run identifier or type codes (tables read from it are double precision).

Zone ids are the zone positions 1..Z, unless the zone labels are known: then they are
labels, each placed at its position. The zone count is given, follows from the labels, or
else is the largest zone number present.

Fields are read by a strict grammar, so that nothing is taken for a number by accident:
decimal numbers with an optional sign, fraction and exponent (``-1.5e+300``, ``.5``),
``nan``, ``inf`` and ``infinity`` in any case, and an empty field for a missing value
(NaN). Zone ids are whole numbers, also written with a zero fraction (``2.0``).
"""

from __future__ import annotations

import csv
import gzip
import io
import os
import re
import zlib
from collections import deque
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._header import unique_labels
from orvanel._long import ZONE_COLUMNS
from orvanel._replace import replace_file
from orvanel._schema import zone_count
from orvanel._values import EXACT_INTEGER_LIMIT
from orvanel._zones import check_labels, positions_of
from orvanel.formats._common import Progress, select_tables
from orvanel.matrix import Matrix

BLOCK_BYTES = 1 << 20  # lines are parsed in blocks of about this size
MAX_LINE_BYTES = 16 << 20  # a longer line is not CSV this package can mean

NUMBER = r"[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:nan|infinity|inf))"
ZONE = r"[+-]?[0-9]{1,19}(?:\.0*)?"  # at most the digits of an int64
_NUMBER = re.compile(NUMBER, re.ASCII)
_ZONE = re.compile(ZONE, re.ASCII)
_ZONE_DIGITS = re.compile(r"[+-]?[0-9]+(?:\.0*)?", re.ASCII)  # a zone id of any length
_VALUE = re.compile(f"(?:{NUMBER})?", re.ASCII)
_OTHER = r"[^,\n]*"  # a column that is not read: anything but the separators
_INTEGER = re.compile(r"[+-]?[0-9]+", re.ASCII)
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def _is_gzip(path: str) -> bool:
    return path.lower().endswith(".gz")


# -- writing ----------------------------------------------------------------------


def write_csv(
    matrix: Matrix,
    path: str | os.PathLike[str],
    progress: Progress | None = None,
    *,
    nonzero: bool = False,
) -> None:
    """Write a matrix as long-form CSV; values read back exactly.

    Zone ids are the matrix's zone labels (1..Z when it has none). With ``nonzero`` the
    pairs whose value is +0.0 in every table are left out: reading the file back with
    the zone count gives the same matrix. ``progress`` is called with the number of cells
    done, after each origin.
    """
    target = os.fsdecode(os.fspath(path))
    names = unique_labels(matrix.names, "the CSV file")
    stack = matrix.to_numpy()
    ids = [str(label) for label in matrix.zone_labels.tolist()]
    with replace_file(target, in_place_ok=True) as temporary, open(temporary, "wb") as raw:
        binary: IO[bytes] = raw
        if _is_gzip(target):
            # The gzip header names the file (gunzip -N restores that name): the target,
            # never the temporary file.
            name = os.path.basename(target)
            binary = cast(IO[bytes], gzip.GzipFile(name, "wb", compresslevel=6, fileobj=raw))
        with io.TextIOWrapper(binary, encoding="utf-8", newline="") as text:
            csv.writer(text, lineterminator="\n").writerow([*ZONE_COLUMNS, *names])
            for position, origin in enumerate(ids):
                text.write(_origin_lines(stack[:, position, :], origin, ids, nonzero))
                if progress is not None:
                    progress(len(ids) * len(names))


def _origin_lines(row: NDArray[np.float64], origin: str, ids: list[str], nonzero: bool) -> str:
    """The lines of one origin; ``row`` holds its ``(T, Z)`` values."""
    destinations = ids
    if nonzero:
        # By bits, so that -0.0 (which reads back as +0.0 if left out) is kept.
        keep = np.flatnonzero(row.view(np.uint64).any(axis=0))
        row = row[:, keep]
        destinations = [ids[position] for position in keep.tolist()]
    cells = row.T.tolist()  # one list per destination: that cell's value in every table
    return "".join(
        f"{origin},{destination},{','.join(map(repr, values))}\n"
        for destination, values in zip(destinations, cells)
    )


# -- reading ----------------------------------------------------------------------


def read_csv(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    progress: Progress | None = None,
    *,
    zones: int | None = None,
    zone_labels: ArrayLike | None = None,
) -> Matrix:
    """Read a matrix from long-form CSV.

    ``zones`` is the zone count; zone ids above it are refused. ``zone_labels`` are the
    zone system's numbers, one per zone position: zone ids in the file are then labels,
    and the matrix keeps them. Without either the zone count is the largest zone id
    present. ``progress`` is called with the number of bytes of the file (compressed, for
    ``.gz``) read since the previous call.

    Raises ValueError naming the line (and column) of the first fault found.
    """
    labels = None
    if zone_labels is not None:
        given = np.asarray(zone_labels)
        labels = check_labels(zone_labels, given.shape[0] if given.ndim == 1 else -1)
    if zones is not None:
        zones = zone_count(zones)
        if labels is not None and len(labels) != zones:
            raise ValueError(f"{len(labels)} zone labels were given for {zones} zones")
    elif labels is not None:
        zones = len(labels)
    source = os.fsdecode(os.fspath(path))
    with open(source, "rb") as raw:
        stream: IO[bytes] = raw
        if _is_gzip(source):
            head = raw.peek(2)[:2]
            if head and not b"\x1f\x8b".startswith(head):
                raise ValueError("not a gzip-compressed file, although its name ends in .gz")
            stream = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
        try:
            return _read(stream, raw, tables, zones, labels, progress)
        except EOFError:
            raise ValueError("the compressed data ends early: the file is cut short") from None
        except (gzip.BadGzipFile, zlib.error):
            raise ValueError("the compressed data is corrupt") from None


@dataclass(frozen=True)
class _Layout:
    """What the header says: every column's name, and the table columns to read."""

    columns: list[str]
    wanted: list[int]  # 0-based positions of the table columns read
    line: re.Pattern[str]  # one valid data line, without its newline

    @property
    def width(self) -> int:
        return len(self.columns)


def _layout(header: list[str], tables: str | Iterable[str] | None) -> _Layout:
    if [name.strip().lower() for name in header[:2]] != list(ZONE_COLUMNS):
        raise ValueError("the CSV header must start with the columns origin,destination")
    available = header[2:]
    if not available:
        raise ValueError("the CSV file has no table columns")
    if any(not name for name in available):
        raise ValueError("the CSV header has an empty table name")
    wanted = [position + 2 for position in select_tables(available, tables, "the CSV file")]
    read = set(wanted)
    fields = [ZONE, ZONE] + [_VALUE.pattern if i in read else _OTHER for i in range(2, len(header))]
    # Atomic groups: a field is matched one way or not at all, so that a fault near the
    # end of a block cannot make the match backtrack through every line before it.
    line = re.compile(",".join(f"(?>{field})" for field in fields), re.ASCII)
    return _Layout(header, wanted, line)


class _Rows:
    """The data lines of one block: zone ids, the values read, and where they stand."""

    origins: NDArray[np.int64]
    destinations: NDArray[np.int64]
    values: NDArray[np.float64]  # (T, n)

    def __init__(self, first: int, numbers: NDArray[np.int64] | None) -> None:
        self.first = first  # line number of the block's first line
        self.numbers = numbers  # line number of each row, when blank lines intervene

    def line(self, row: int) -> int:
        return int(self.numbers[row]) if self.numbers is not None else self.first + row


def _read(
    stream: IO[bytes],
    raw: IO[bytes],
    tables: str | Iterable[str] | None,
    zones: int | None,
    labels: NDArray[np.int64] | None,
    progress: Progress | None,
) -> Matrix:
    header, header_lines = _header(stream)
    layout = _layout(header, tables)
    names = [header[position] for position in layout.wanted]
    block_pattern = re.compile(f"(?:{layout.line.pattern}\n|\n)*+", re.ASCII)
    cells = _Cells(len(names), zones, labels) if zones is not None else None
    pending: deque[_Rows] = deque()  # without a zone count: every row, until it is known
    largest = 0
    reported = 0
    for first, data in _blocks(stream, header_lines + 1):
        rows = _parse(data, first, layout, block_pattern)
        if rows is not None:
            rows.origins = _positions(rows.origins, "origin", rows, zones, labels)
            rows.destinations = _positions(rows.destinations, "destination", rows, zones, labels)
            if cells is not None:
                cells.add(rows)
            else:
                largest = max(largest, int(rows.origins.max()), int(rows.destinations.max()))
                pending.append(rows)
        if progress is not None:
            position = raw.tell()
            progress(position - reported)
            reported = position
    if cells is None:
        if not pending:
            raise ValueError("the CSV file has no data lines to infer the zone count from")
        cells = _Cells(len(names), largest, None)
        while pending:  # in file order, letting go of each block once it is placed
            cells.add(pending.popleft())
    return Matrix._adopt(cells.stack(), [(name, "D") for name in names], zone_labels=labels)


def _decode(data: bytes, first: int) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = first + data.count(b"\n", 0, exc.start)
        raise ValueError(f"line {line}: the text is not UTF-8; save the file as UTF-8") from None


def _header(stream: IO[bytes]) -> tuple[list[str], int]:
    """The header's fields, and the number of lines it takes (a quoted name may hold a
    line break)."""

    def lines() -> Iterator[str]:
        number = 0
        while data := stream.readline(MAX_LINE_BYTES):
            number += 1
            if len(data) == MAX_LINE_BYTES and not data.endswith(b"\n"):
                raise ValueError(f"line {number} is too long for a CSV header")
            text = _decode(data, number)
            # Spreadsheet programs often start the file with a byte order mark.
            yield text.removeprefix("\ufeff") if number == 1 else text

    reader = csv.reader(lines(), strict=True)
    try:
        header = next(reader, None)
    except csv.Error:
        raise ValueError(
            "the CSV header is not valid: a quoted name is not closed, or text follows "
            "its closing quote"
        ) from None
    if header is None:
        raise ValueError("the CSV file is empty")
    return header, reader.line_num


def _blocks(stream: IO[bytes], first: int) -> Iterator[tuple[int, bytes]]:
    """Whole lines, about `BLOCK_BYTES` at a time, each block with its first line number."""
    pending = b""
    while chunk := stream.read(BLOCK_BYTES):
        data = pending + chunk if pending else chunk
        cut = data.rfind(b"\n") + 1
        if cut == 0:
            if len(data) > MAX_LINE_BYTES:
                raise ValueError(f"line {first} is too long for a CSV line")
            pending = data
            continue
        pending = data[cut:]
        yield first, data[:cut]
        first += data.count(b"\n", 0, cut)
    if pending:
        yield first, pending + b"\n"


def _parse(
    data: bytes,
    first: int,
    layout: _Layout,
    block_pattern: re.Pattern[str],
) -> _Rows | None:
    """The rows of a block of whole lines, or None if it holds only blank lines."""
    text = _decode(data, first)
    if "\r" in text:
        text = text.replace("\r\n", "\n")
    if '"' in text:
        text = _unquote(text, first, layout)
    if block_pattern.fullmatch(text) is None:
        raise ValueError(_first_fault(text, first, layout))
    numbers = None
    if text.startswith("\n") or "\n\n" in text:
        lines = text.split("\n")[:-1]
        numbers = np.flatnonzero([bool(line) for line in lines]).astype(np.int64) + first
        text = "".join(f"{line}\n" for line in lines if line)
        if not text:
            return None
    # Every line now holds exactly `width` fields: split them all at once, and take each
    # column as every width-th field.
    fields = text[:-1].replace("\n", ",").split(",")
    width = layout.width
    rows = _Rows(first, numbers)
    rows.origins = _zone_ids(fields[0::width], rows, layout.columns[0])
    rows.destinations = _zone_ids(fields[1::width], rows, layout.columns[1])
    rows.values = np.empty((len(layout.wanted), len(rows.origins)), dtype=np.float64)
    for row, position in zip(rows.values, layout.wanted):
        column = fields[position::width]
        row[:] = _numbers(column)
        inexact = _inexact_integer(column, row)
        if inexact is not None:
            raise ValueError(
                f"table {layout.columns[position]!r}, line {rows.line(inexact)} (origin "
                f"{fields[inexact * width]}, destination {fields[inexact * width + 1]}): the "
                f"integer {column[inexact]} cannot be held exactly as a float64 value"
            )
    return rows


def _zone_ids(fields: list[str], rows: _Rows, column: str) -> NDArray[np.int64]:
    try:
        try:
            return np.fromiter(map(int, fields), np.int64, len(fields))
        except ValueError:  # some are written with a zero fraction, as in "2.0"
            whole = [field.partition(".")[0] for field in fields]
            return np.fromiter(map(int, whole), np.int64, len(fields))
    except OverflowError:
        row = next(
            row
            for row, field in enumerate(fields)
            if not _INT64_MIN <= int(field.partition(".")[0]) <= _INT64_MAX
        )
        raise ValueError(
            f"line {rows.line(row)}, column {column!r}: {fields[row]} is too large for a zone number"
        ) from None


def _numbers(fields: list[str]) -> NDArray[np.float64]:
    if "" in fields:
        fields = [field or "nan" for field in fields]  # a missing value
    return np.fromiter(map(float, fields), np.float64, len(fields))


def _inexact_integer(fields: list[str], values: NDArray[np.float64]) -> int | None:
    """The row of the first integer that float64 rounds (``9007199254740993``), or None."""
    # Every integer below 2**53 in magnitude is held exactly; only the others need a look.
    for row in np.flatnonzero(np.abs(values) >= EXACT_INTEGER_LIMIT).tolist():
        field = fields[row]
        # Comparing an int with a float is exact in Python.
        if _INTEGER.fullmatch(field) and float(field) != int(field):
            return row
    return None


def _unquote(text: str, first: int, layout: _Layout) -> str:
    """``text`` with its quoted fields written plainly.

    A number never holds a line break, a comma or a quote, so each line is a record of
    its own, and a quoted field that holds one of these is refused (unless its column is
    not read: then its content does not matter).
    """
    read = {0, 1, *layout.wanted}
    lines = text.split("\n")
    for offset, line in enumerate(lines):
        if '"' not in line:
            continue
        number = first + offset
        try:
            row = next(csv.reader([line], strict=True))
        except csv.Error:
            raise ValueError(
                f"line {number}: a quoted field is not closed on its line, or text follows "
                "its closing quote"
            ) from None
        for position, field in enumerate(row):
            if position not in read:
                row[position] = ""
            elif any(mark in field for mark in ',"'):
                raise ValueError(_row_fault(row, number, layout))
        lines[offset] = ",".join(row)
    return "\n".join(lines)


def _first_fault(text: str, first: int, layout: _Layout) -> str:
    """The message for the first line of ``text`` that is not a valid data line."""
    for offset, line in enumerate(text.split("\n")[:-1]):
        if line and layout.line.fullmatch(line) is None:
            return _row_fault(line.split(","), first + offset, layout)
    return f"line {first}: not a valid CSV line"  # not reached: some line failed


def _row_fault(fields: list[str], number: int, layout: _Layout) -> str:
    """What is wrong with the fields of line ``number``, in the user's words."""
    if len(fields) != layout.width:
        return f"line {number}: {len(fields)} fields, but the header has {layout.width} columns"
    for position in (0, 1, *layout.wanted):
        field = fields[position]
        where = f"line {number}, column {layout.columns[position]!r}"
        if position < 2 and _ZONE.fullmatch(field) is None:
            if not field:
                return f"{where}: the zone number is missing"
            if _ZONE_DIGITS.fullmatch(field):
                return f"{where}: {_show(field)} is too large for a zone number"
            if _NUMBER.fullmatch(field):
                return f"{where}: {_show(field)} is not a whole zone number"
            return f"{where}: {_show(field)} is not a zone number"
        if position >= 2 and _VALUE.fullmatch(field) is None:
            return f"{where}: {_show(field)} is not a number"
    return f"line {number}: not a valid CSV line"


def _show(field: str) -> str:
    return repr(field if len(field) <= 40 else f"{field[:37]}...")


def _positions(
    ids: NDArray[np.int64],
    what: str,
    rows: _Rows,
    zones: int | None,
    labels: NDArray[np.int64] | None,
) -> NDArray[np.int64]:
    """The 1-based zone positions of zone ids read from ``rows``."""
    if labels is not None:
        try:
            return positions_of(ids, labels, what)
        except ValueError:
            row = int(np.flatnonzero(~np.isin(ids, labels))[0])
            raise ValueError(
                f"line {rows.line(row)}: {what} zone {ids[row]} is not one of the zone labels"
            ) from None
    outside = ids < 1 if zones is None else (ids < 1) | (ids > zones)
    if outside.any():
        row = int(np.flatnonzero(outside)[0])
        line, zone = rows.line(row), int(ids[row])
        if zones is None:
            raise ValueError(f"line {line}: {what} zone {zone} is not a zone number (zones are numbered from 1)")
        raise ValueError(f"line {line}: {what} zone {zone} is outside 1 to {zones}")
    return ids


class _Cells:
    """A ``(T, Z, Z)`` stack filled from rows of zone positions, each pair at most once."""

    def __init__(self, tables: int, zones: int, labels: NDArray[np.int64] | None) -> None:
        self.zones = zones
        self.labels = labels
        try:
            self.values = np.zeros((tables, zones * zones), dtype=np.float64)
            self.seen = np.zeros(zones * zones, dtype=np.bool_)
        except (MemoryError, ValueError):
            size = tables * zones * zones * 8 / 2**30
            raise ValueError(
                f"{zones} zones and {tables} table{'' if tables == 1 else 's'} need "
                f"{size:,.1f} GiB, more memory than is available"
            ) from None

    def add(self, rows: _Rows) -> None:
        cells = (rows.origins - 1) * self.zones + (rows.destinations - 1)
        order = np.argsort(cells, kind="stable")
        repeated = order[1:][cells[order[1:]] == cells[order[:-1]]]
        again = np.flatnonzero(self.seen[cells])
        if repeated.size or again.size:
            row = int(min(repeated.min(initial=len(cells)), again.min(initial=len(cells))))
            origin, destination = (self._id(rows.origins[row]), self._id(rows.destinations[row]))
            raise ValueError(
                f"line {rows.line(row)}: origin {origin}, destination {destination} occurs "
                "a second time"
            )
        self.seen[cells] = True
        self.values[:, cells] = rows.values

    def _id(self, position: np.int64) -> int:
        return int(self.labels[position - 1]) if self.labels is not None else int(position)

    def stack(self) -> NDArray[np.float64]:
        del self.seen
        return self.values.reshape(len(self.values), self.zones, self.zones)
