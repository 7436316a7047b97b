"""Long-form CSV: a header ``origin,destination,NAME...``, then one line per zone pair.

Files whose name ends in ``.gz`` are gzip-compressed. Written files hold every cell (or,
on request, only the pairs that are not zero in every table), origin-major, each value in
the shortest text that reads back as the same float64. Read files may leave pairs out
(those cells are 0.0), but may not repeat one, and may hold the lines in any order. A CSV
file holds table names and values only: no banner, run identifier or type codes (tables
read from it are double precision).

Zone ids are the zone positions 1..Z, unless the zone labels are known: then they are
labels, each placed at its position. The zone count is given, follows from the labels, or
else is the largest zone number present.

Fields are read by a strict grammar, so that nothing is taken for a number by accident:
decimal numbers with an optional sign, fraction and exponent (``-1.5e+300``, ``.5``),
``nan``, ``inf`` and ``infinity`` in any case, and an empty field for a missing value
(NaN). Zone ids are whole numbers, also written with a zero fraction (``2.0``).

A file is read in blocks of origins without ever being held whole. A quick first pass
over the zone columns finds the largest zone number and whether the lines are sorted by
origin (as orvanel and most programs write them). Sorted lines are then parsed once and
handed out block by block as they come. Other lines are parsed once and sorted by origin:
in memory when they take no more than one temporary file would, else through temporary
files, one per group of origins, read back one at a time.
"""

from __future__ import annotations

import collections
import contextlib
import csv
import functools
import gzip
import io
import os
import re
import shutil
import stat
import tempfile
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._header import TableInfo, unique_labels
from orvanel._long import ZONE_COLUMNS
from orvanel._replace import replace_file
from orvanel._schema import zone_count
from orvanel._values import EXACT_INTEGER_LIMIT
from orvanel._zones import check_labels, default_labels, positions_of
from orvanel.formats._common import Progress, select_tables
from orvanel.formats.blocks import (
    Block,
    BlockBuffer,
    BlockReader,
    BlockWriter,
    Facts,
    gather,
    size_text,
    spans,
    write_stack,
)
from orvanel.matrix import Matrix

BLOCK_BYTES = 1 << 20  # lines are parsed in blocks of about this size
MAX_LINE_BYTES = 16 << 20  # a longer line is not CSV this package can mean
SPILL_BYTES = 16 << 20  # the lines of one temporary file of unsorted lines, at most
_SPILL_BUFFER_BYTES = 16 << 20  # lines kept before they are appended to their files
_COUNTED_ZONES = 1 << 24  # beyond this zone number lines are not counted per origin

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


def inferred_zones_notice(zones: int) -> str:
    """What to tell the user when the zone count was taken from the data."""
    # The largest zone id present may fall short of the zone system's count.
    return f"zones inferred from the data: {zones} (use --zones to set it)"


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
    done, after each block of origins.
    """
    facts = Facts(
        matrix.zones,
        [(info.name, info.type_code) for info in matrix.tables],
        zone_labels=matrix.zone_labels if matrix.has_zone_labels else None,
    )
    with CsvWriter(path, facts, nonzero=nonzero) as writer:
        write_stack(writer, matrix.to_numpy(), progress)


class CsvWriter(BlockWriter):
    """Long-form CSV written block by block; see `write_csv`. A FIFO or device is
    written in place."""

    def __init__(
        self, path: str | os.PathLike[str], facts: Facts, *, nonzero: bool = False
    ) -> None:
        super().__init__(path, facts)
        self._names = unique_labels(facts.names, "the CSV file")
        self._nonzero = nonzero
        labels = facts.zone_labels if facts.zone_labels is not None else default_labels(facts.zones)
        self._ids = [str(label) for label in labels.tolist()]

    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        temporary = stack.enter_context(replace_file(self.path, in_place_ok=True))
        binary: IO[bytes] = stack.enter_context(open(temporary, "wb"))
        if _is_gzip(self.path):
            # The gzip header names the file (gunzip -N restores that name): the target,
            # never the temporary file.
            name = os.path.basename(self.path)
            binary = stack.enter_context(
                cast(IO[bytes], gzip.GzipFile(name, "wb", compresslevel=6, fileobj=binary))
            )
        self._text = stack.enter_context(io.TextIOWrapper(binary, encoding="utf-8", newline=""))
        csv.writer(self._text, lineterminator="\n").writerow([*ZONE_COLUMNS, *self._names])

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        ids = self._ids
        for row, origin in enumerate(origins):
            self._text.write(_origin_lines(values[:, row, :], ids[origin - 1], ids, self._nonzero))


def _origin_lines(row: NDArray[np.float64], origin: str, ids: list[str], nonzero: bool) -> str:
    """The lines of one origin; ``row`` holds its ``(T, Z)`` values."""
    destinations = ids
    if nonzero:
        # By bits, so that -0.0 (which reads back as +0.0 if left out) is kept.
        keep = np.flatnonzero(np.ascontiguousarray(row).view(np.uint64).any(axis=0))
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
    ``.gz``) parsed since the previous call.

    Raises ValueError naming the line (and column) of the first fault found.
    """
    with CsvReader(path, tables, zones=zones, zone_labels=zone_labels, progress=progress) as reader:
        stack = gather(reader)
        names = [(info.name, info.type_code) for info in reader.tables]
        return Matrix._adopt(stack, names, zone_labels=reader.zone_labels)


class CsvReader(BlockReader):
    """Long-form CSV read in blocks of origins; see the module's description.

    ``zones``, ``zone_labels`` and ``progress`` are as for `read_csv`. ``notice`` is
    told, once every block has been read, that the zone count was inferred (when it
    was) and that the lines were sorted through temporary files (when they were).
    ``zone_labels`` are the labels given, or None. A file that cannot be read twice (a
    pipe) is first copied to a temporary file.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        tables: str | Iterable[str] | None = None,
        *,
        zones: int | None = None,
        zone_labels: ArrayLike | None = None,
        notice: Callable[[str], None] | None = None,
        progress: Progress | None = None,
    ) -> None:
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
        self.zone_labels = labels
        self._notice, self._progress = notice, progress
        self._iteration: Iterator[Block] | None = None
        self._stack = contextlib.ExitStack()
        with self._stack:
            self._source = _rereadable(os.fsdecode(os.fspath(path)), self._stack)
            self._survey(tables, zones)
            self._stack = self._stack.pop_all()

    def _survey(self, tables: str | Iterable[str] | None, zones: int | None) -> None:
        with _opened(self._source) as (stream, _):
            header, header_lines = _header(stream)
            self._layout = _layout(header, tables)
            self._first_line = header_lines + 1
            survey = _Survey(zones, self.zone_labels)
            for first, data in _blocks(stream, self._first_line):
                if not survey.add(data, first):
                    break
        self._survey_result = survey
        self._checked_zones = zones  # ids above it are refused; None when inferred
        if zones is None:
            if survey.largest == 0:
                if survey.stopped:  # the first data line is faulty: say how
                    for _ in self._parsed(None):
                        pass
                raise ValueError("the CSV file has no data lines to infer the zone count from")
            zones = survey.largest
        self.zones = zones
        self.tables = [
            TableInfo(position, self._layout.columns[column], "D")
            for position, column in enumerate(self._layout.wanted, start=1)
        ]

    @property
    def sorted(self) -> bool:
        """Whether the lines are sorted by origin (and are read without temporary files)."""
        return self._survey_result.sorted

    @property
    def spill_bytes(self) -> int:
        """The size of the temporary files unsorted lines are sorted through."""
        return self._survey_result.rows * _record_type(len(self.tables)).itemsize

    def close(self) -> None:
        if self._iteration is not None:
            iteration, self._iteration = self._iteration, None
            cast(Any, iteration).close()
        self._stack.close()

    def _blocks(self, block: int) -> Iterator[Block]:
        self._iteration = self._sorted_blocks(block) if self.sorted else self._spilled_blocks(block)
        return self._iteration

    def _parsed(self, zones: int | None) -> Iterator[_Rows]:
        """The rows of every data line, block by block in file order, with zone positions."""
        layout, labels = self._layout, self.zone_labels
        pattern = re.compile(f"(?:{layout.line.pattern}\n|\n)*+", re.ASCII)
        with _opened(self._source) as (stream, raw):
            _header(stream)
            reported = 0
            for first, data in _blocks(stream, self._first_line):
                rows = _parse(data, first, layout, pattern)
                if rows is not None:
                    rows.origins = _positions(rows.origins, "origin", rows, zones, labels)
                    rows.destinations = _positions(
                        rows.destinations, "destination", rows, zones, labels
                    )
                    yield rows
                if self._progress is not None:
                    position = raw.tell()
                    self._progress(position - reported)
                    reported = position

    def _sorted_blocks(self, block: int) -> Iterator[Block]:
        cells = _BlockCells(len(self.tables), self.zones, block, self.zone_labels)
        blocks = spans(self.zones, block)
        origins = next(blocks)
        cells.start(origins)
        for rows in self._parsed(self._checked_zones):
            at, count = 0, len(rows.origins)
            while at < count:
                end = at + int(np.searchsorted(rows.origins[at:], origins.stop))
                cells.add(
                    rows.origins[at:end],
                    rows.destinations[at:end],
                    rows.values[:, at:end],
                    rows.lines(at, end),
                )
                if end < count:
                    yield origins, cells.values
                    origins = next(blocks)
                    cells.start(origins)
                at = end
        yield origins, cells.values
        for origins in blocks:
            cells.start(origins)
            yield origins, cells.values
        self._said(spilled=False)

    def _spilled_blocks(self, block: int) -> Iterator[Block]:
        tables, zones = len(self.tables), self.zones
        cells = _BlockCells(tables, zones, block, self.zone_labels)
        record = _record_type(tables)
        if self.spill_bytes <= SPILL_BYTES:  # as small as one temporary file: kept here
            parts = [_records(rows, record) for rows in self._parsed(self._checked_zones)]
            lines = np.concatenate(parts) if parts else np.empty(0, dtype=record)
            del parts
            lines = lines[np.argsort(lines["origin"], kind="stable")]
            yield from _sorted_lines(cells, block, [(lambda: lines, zones)])
            self._said(spilled=False)
            return
        groups = _spill_groups(self._survey_result.counts, zones, record.itemsize)
        group_of = np.empty(zones + 1, dtype=np.int32)
        for number, (first, last) in enumerate(groups):
            group_of[first : last + 1] = number
        with tempfile.TemporaryDirectory(prefix="orvanel-csv-") as directory:
            files = [os.path.join(directory, f"origins-{first}-{last}") for first, last in groups]
            spill = _Spill(files)
            for rows in self._parsed(self._checked_zones):
                spill.add(_records(rows, record), group_of[rows.origins])
            spill.flush()
            loads = [
                (functools.partial(_load_spilled, path, record), last)
                for path, (_, last) in zip(files, groups)
            ]
            yield from _sorted_lines(cells, block, loads)
        self._said(spilled=True)

    def _said(self, spilled: bool) -> None:
        """Tell the notices, once every block has been read."""
        if self._notice is None:
            return
        if self._checked_zones is None and self.zone_labels is None:
            self._notice(inferred_zones_notice(self.zones))
        if spilled:
            self._notice(
                "the CSV lines are not sorted by origin: they were sorted through "
                f"{size_text(self.spill_bytes)} of temporary files"
            )


def _sorted_lines(
    cells: _BlockCells, block: int, groups: Sequence[tuple[Callable[[], NDArray[Any]], int]]
) -> Iterator[Block]:
    """The blocks of lines given in groups of consecutive origins, one group loaded at a
    time: each group a function giving its lines sorted by origin, and its last origin."""
    waiting = collections.deque(groups)
    loaded: tuple[NDArray[Any], int] | None = None  # a group's lines, and its last origin
    for origins in spans(cells.zones, block):
        cells.start(origins)
        while True:
            if loaded is None:
                if not waiting:
                    break
                load, last = waiting.popleft()
                loaded = load(), last
            lines, last = loaded
            low, high = np.searchsorted(lines["origin"], [origins.start, origins.stop])
            part = lines[low:high]
            cells.add(part["origin"], part["destination"], part["values"].T, part["line"])
            if last >= origins.stop:
                break  # the group's origins go on into the next block
            loaded = None
        yield origins, cells.values


def _rereadable(path: str, stack: contextlib.ExitStack[Any]) -> str:
    """``path``, or for a file that cannot be read twice (a pipe) a temporary copy."""
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return path  # opening it says why it cannot be read
    if regular:
        return path
    directory = stack.enter_context(tempfile.TemporaryDirectory(prefix="orvanel-csv-"))
    copy = os.path.join(directory, os.path.basename(path) or "input")
    with open(path, "rb") as source, open(copy, "wb") as target:
        shutil.copyfileobj(source, target, BLOCK_BYTES)
    return copy


@contextlib.contextmanager
def _opened(path: str) -> Iterator[tuple[IO[bytes], IO[bytes]]]:
    """The file's text as bytes (decompressed, for ``.gz``) and the file itself, with
    damaged compressed data told plainly."""
    with open(path, "rb") as raw:
        stream: IO[bytes] = raw
        if _is_gzip(path):
            head = raw.peek(2)[:2]
            if head and not b"\x1f\x8b".startswith(head):
                raise ValueError("not a gzip-compressed file, although its name ends in .gz")
            stream = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
        try:
            yield stream, raw
        except EOFError:
            raise ValueError("the compressed data ends early: the file is cut short") from None
        except (gzip.BadGzipFile, zlib.error):
            raise ValueError("the compressed data is corrupt") from None


def _record_type(tables: int) -> np.dtype[Any]:
    """One line as a temporary file of unsorted lines holds it."""
    return np.dtype(
        [("origin", "<i4"), ("destination", "<i4"), ("line", "<i8"), ("values", "<f8", (tables,))]
    )


def _records(rows: _Rows, record: np.dtype[Any]) -> NDArray[Any]:
    out = np.empty(len(rows.origins), dtype=record)
    out["origin"] = rows.origins
    out["destination"] = rows.destinations
    out["line"] = rows.lines(0, len(rows.origins))
    out["values"] = rows.values.T
    return out


def _spill_groups(
    counts: NDArray[np.int64] | None, zones: int, record_size: int
) -> list[tuple[int, int]]:
    """The origins (first, last) of each temporary file: consecutive origins, as many as
    keep the file within `SPILL_BYTES` (one origin at least)."""
    if counts is None:
        return [(1, zones)]
    lines = np.zeros(zones + 1, dtype=np.int64)
    lines[: min(len(counts), zones + 1)] = counts[: zones + 1]
    sizes = np.cumsum(lines) * record_size  # sizes[o]: the lines of origins 1..o
    groups: list[tuple[int, int]] = []
    first = 1
    while first <= zones:
        last = int(np.searchsorted(sizes, sizes[first - 1] + SPILL_BYTES, side="right")) - 1
        last = min(max(last, first), zones)
        groups.append((first, last))
        first = last + 1
    return groups


def _load_spilled(path: str, record: np.dtype[Any]) -> NDArray[Any]:
    """The lines of a temporary file, sorted by origin (in file order within one origin);
    the file is removed."""
    if not os.path.exists(path):  # no line of these origins
        return np.empty(0, dtype=record)
    lines = np.fromfile(path, dtype=record)
    os.unlink(path)
    return lines[np.argsort(lines["origin"], kind="stable")]


class _Spill:
    """Temporary files of lines, one per group of origins, appended to a buffer at a time."""

    def __init__(self, files: list[str]) -> None:
        self.files = files
        self.waiting: dict[int, list[bytes]] = {}
        self.size = 0

    def add(self, records: NDArray[Any], groups: NDArray[np.integer[Any]]) -> None:
        order = np.argsort(groups, kind="stable")
        records, groups = records[order], groups[order]
        cuts = np.flatnonzero(np.diff(groups)) + 1
        for part, group in zip(np.split(records, cuts), groups[np.r_[0, cuts]].tolist()):
            self.waiting.setdefault(group, []).append(part.tobytes())
            self.size += part.nbytes
        if self.size >= _SPILL_BUFFER_BYTES:
            self.flush()

    def flush(self) -> None:
        for group, parts in self.waiting.items():
            with open(self.files[group], "ab") as file:
                file.writelines(parts)
        self.waiting, self.size = {}, 0


@dataclass
class _Survey:
    """What a quick pass over the zone columns finds: the largest zone position, whether
    the origins never go down, and how many lines each origin has.

    The pass stops at the first line whose zone ids the parse refuses (a stop): the
    parse then fails at that line or before, so that nothing after it matters.
    """

    zones: int | None
    labels: NDArray[np.int64] | None
    largest: int = 0
    sorted: bool = True
    rows: int = 0
    stopped: bool = False
    last: int = 0
    counts: NDArray[np.int64] | None = field(default_factory=lambda: np.zeros(1, dtype=np.int64))

    def add(self, data: bytes, first: int) -> bool:
        """Take in a block of whole lines; False once the pass stops."""
        found = _plain_zone_ids(data)
        if found is None:
            found = _zone_ids_by_line(data)
        origins, destinations, complete = found
        origins, destinations, valid = self._positions(origins, destinations)
        if not (complete and valid):
            self.stopped = True
        if len(origins):
            self._count(origins, destinations)
        return not self.stopped

    def _positions(
        self, origins: NDArray[np.int64], destinations: NDArray[np.int64]
    ) -> tuple[NDArray[np.int64], NDArray[np.int64], bool]:
        """The positions of the leading lines whose ids are zones, and whether all are."""
        if self.labels is not None:
            known = np.isin(origins, self.labels) & np.isin(destinations, self.labels)
        else:
            known = (origins >= 1) & (destinations >= 1)
            if self.zones is not None:
                known &= (origins <= self.zones) & (destinations <= self.zones)
        count = len(origins) if known.all() else int(np.argmin(known))
        origins, destinations = origins[:count], destinations[:count]
        if self.labels is not None and count:
            origins = positions_of(origins, self.labels, "origin")
            destinations = positions_of(destinations, self.labels, "destination")
        return origins, destinations, count == len(known)

    def _count(self, origins: NDArray[np.int64], destinations: NDArray[np.int64]) -> None:
        self.rows += len(origins)
        largest = max(int(origins.max()), int(destinations.max()))
        self.largest = max(self.largest, largest)
        if self.sorted and (origins[0] < self.last or np.any(origins[1:] < origins[:-1])):
            self.sorted = False
        self.last = int(origins[-1])
        if self.counts is not None:
            if self.largest >= _COUNTED_ZONES:
                self.counts = None
                return
            counted = np.bincount(origins)
            if len(counted) > len(self.counts):
                self.counts = np.concatenate(
                    [self.counts, np.zeros(len(counted) - len(self.counts), dtype=np.int64)]
                )
            self.counts[: len(counted)] += counted


_DIGITS = 18  # zone ids of up to this many digits are read by the quick path


def _plain_zone_ids(data: bytes) -> tuple[NDArray[np.int64], NDArray[np.int64], bool] | None:
    """The zone ids of a block of lines written plainly (digits, commas, line feeds), or
    None when some line is not, for `_zone_ids_by_line` to read."""
    if b"\r" in data:
        data = data.replace(b"\r\n", b"\n")
        if b"\r" in data:
            return None
    if b'"' in data:
        return None
    text = np.frombuffer(data, dtype=np.uint8)
    ends = np.flatnonzero(text == 10)
    starts = np.concatenate([[0], ends[:-1] + 1])
    filled = ends > starts
    starts, ends = starts[filled], ends[filled]
    empty = np.empty(0, dtype=np.int64)
    if not len(starts):
        return empty, empty, True
    commas = np.flatnonzero(text == 44)
    which = np.searchsorted(commas, starts)
    if which.max(initial=0) >= len(commas):
        return None
    first = commas[which]
    following = np.minimum(which + 1, len(commas) - 1)
    second = np.where(which + 1 < len(commas), commas[following], len(text))
    second = np.minimum(second, ends)
    if np.any(first >= ends):
        return None
    origins = _digits(text, starts, first)
    destinations = _digits(text, first + 1, second)
    if origins is None or destinations is None:
        return None
    return origins, destinations, True


def _digits(
    text: NDArray[np.uint8], starts: NDArray[np.int64], stops: NDArray[np.int64]
) -> NDArray[np.int64] | None:
    """The whole numbers written as plain digits in ``text[start:stop]``, or None."""
    lengths = stops - starts
    if lengths.min() < 1 or lengths.max() > _DIGITS:
        return None
    values = np.zeros(len(starts), dtype=np.int64)
    for place in range(int(lengths.max())):  # a digit of every number at a time
        inside = lengths > place
        digits = text[np.where(inside, starts + place, 0)].astype(np.int64) - 48
        if np.any(inside & ((digits < 0) | (digits > 9))):
            return None
        values = np.where(inside, values * 10 + digits, values)
    return values


def _zone_ids_by_line(data: bytes) -> tuple[NDArray[np.int64], NDArray[np.int64], bool]:
    """The zone ids of the leading lines of a block whose zone fields the grammar takes,
    and whether every line's do (False at the first line whose do not)."""
    origins: list[int] = []
    destinations: list[int] = []
    for line in data.split(b"\n")[:-1]:
        line = line.removesuffix(b"\r")
        if not line:
            continue
        ids = _line_zone_ids(line)
        if ids is None:
            return np.array(origins, dtype=np.int64), np.array(destinations, dtype=np.int64), False
        origins.append(ids[0])
        destinations.append(ids[1])
    return np.array(origins, dtype=np.int64), np.array(destinations, dtype=np.int64), True


def _line_zone_ids(line: bytes) -> tuple[int, int] | None:
    try:
        text = line.decode("utf-8")
        fields = next(csv.reader([text], strict=True)) if '"' in text else text.split(",", 2)
    except (UnicodeDecodeError, csv.Error):
        return None
    if len(fields) < 2 or not all(_ZONE.fullmatch(value) for value in fields[:2]):
        return None
    origin, destination = (int(value.partition(".")[0]) for value in fields[:2])
    if not (_INT64_MIN <= origin <= _INT64_MAX and _INT64_MIN <= destination <= _INT64_MAX):
        return None
    return origin, destination


class _BlockCells:
    """One block of a ``(T, Z, Z)`` stack filled from lines of zone positions, each pair
    at most once."""

    def __init__(
        self, tables: int, zones: int, block: int, labels: NDArray[np.int64] | None
    ) -> None:
        self.tables, self.zones, self.labels = tables, zones, labels
        self.buffer = BlockBuffer(tables, block, zones)
        self.seen = np.zeros(block * zones, dtype=np.bool_)

    def start(self, origins: range) -> None:
        """Begin the block of ``origins``: every cell 0.0 and not yet seen."""
        self.origins = origins
        self.values = self.buffer.view(len(origins))
        self.values.fill(0.0)
        self.seen[: len(origins) * self.zones] = False

    def add(
        self,
        origins: NDArray[np.int64],
        destinations: NDArray[np.int64],
        values: NDArray[np.float64],
        lines: NDArray[np.int64],
    ) -> None:
        """Place lines of this block's origins, given in file order."""
        if not len(origins):
            return
        if origins.min() < self.origins.start or origins.max() >= self.origins.stop:
            raise RuntimeError("CSV lines were placed in the wrong block")  # a fault of orvanel
        cells = (origins - self.origins.start) * self.zones + (destinations - 1)
        order = np.argsort(cells, kind="stable")
        repeated = order[1:][cells[order[1:]] == cells[order[:-1]]]
        again = np.flatnonzero(self.seen[cells])
        if repeated.size or again.size:
            row = int(min(repeated.min(initial=len(cells)), again.min(initial=len(cells))))
            raise ValueError(
                f"line {int(lines[row])}: origin {self._id(origins[row])}, destination "
                f"{self._id(destinations[row])} occurs a second time"
            )
        self.seen[cells] = True
        self.values.reshape(self.tables, -1)[:, cells] = values

    def _id(self, position: np.int64) -> int:
        return int(self.labels[position - 1]) if self.labels is not None else int(position)


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

    def lines(self, start: int, stop: int) -> NDArray[np.int64]:
        """The line numbers of rows ``start`` to ``stop - 1``."""
        if self.numbers is not None:
            return self.numbers[start:stop]
        return np.arange(self.first + start, self.first + stop, dtype=np.int64)


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
        for position, text in enumerate(row):
            if position not in read:
                row[position] = ""
            elif any(mark in text for mark in ',"'):
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
            raise ValueError(
                f"line {line}: {what} zone {zone} is not a zone number (zones are numbered from 1)"
            )
        raise ValueError(f"line {line}: {what} zone {zone} is outside 1 to {zones}")
    return ids
