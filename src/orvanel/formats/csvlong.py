"""Long-form CSV: a header ``origin,destination,NAME...``, then one line per zone pair.

Files whose name ends in ``.gz`` are gzip-compressed. Written files hold every cell,
origin-major, each value in the shortest text that reads back as the same float64. Read
files may leave pairs out (those cells are 0.0), but may not repeat one; the zone count is
the largest zone number present. A CSV file holds table names and values only: no banner,
run identifier or type codes (tables read from it are double precision).
"""

from __future__ import annotations

import csv
import gzip
import io
import os
from array import array
from collections.abc import Iterable
from typing import IO, cast

import numpy as np

from orvanel._header import unique_labels
from orvanel._long import long_to_stack
from orvanel._replace import replace_file
from orvanel.formats._common import ZONE_COLUMNS, Progress, select_tables
from orvanel.matrix import Matrix
REPORT_EVERY = 1 << 16  # lines between progress reports


def _is_gzip(path: str) -> bool:
    return path.lower().endswith(".gz")


def write_csv(
    matrix: Matrix, path: str | os.PathLike[str], progress: Progress | None = None
) -> None:
    """Write every cell of a matrix as long-form CSV; values read back exactly."""
    target = os.fsdecode(os.fspath(path))
    names = unique_labels(matrix.names, "the CSV file")
    zones = matrix.zones
    stack = matrix.to_numpy()
    with replace_file(target, in_place_ok=True) as temporary:
        raw: IO[bytes] = (
            cast(IO[bytes], gzip.GzipFile(temporary, "wb", compresslevel=6))
            if _is_gzip(target)
            else open(temporary, "wb")
        )
        with raw, io.TextIOWrapper(raw, encoding="utf-8", newline="") as text:
            csv.writer(text, lineterminator="\n").writerow([*ZONE_COLUMNS, *names])
            for origin in range(zones):
                # One list per destination: that cell's value in every table.
                cells = stack[:, origin, :].T.tolist()
                prefix = f"{origin + 1},"
                text.write(
                    "".join(
                        f"{prefix}{destination},{','.join(map(repr, values))}\n"
                        for destination, values in enumerate(cells, start=1)
                    )
                )
                if progress is not None:
                    progress(zones * len(names))


def read_csv(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    progress: Progress | None = None,
) -> Matrix:
    """Read a matrix from long-form CSV.

    ``progress`` is called with the number of bytes of the file (compressed, for ``.gz``)
    read since the previous call.
    """
    source = os.fsdecode(os.fspath(path))
    with open(source, "rb") as raw:
        stream: IO[bytes] = (
            cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb")) if _is_gzip(source) else raw
        )
        # utf-8-sig: spreadsheet programs often start the file with a byte order mark.
        with io.TextIOWrapper(stream, encoding="utf-8-sig", newline="") as text:
            return _read_rows(csv.reader(text), raw, tables, progress)


def _read_rows(
    rows: Iterable[list[str]],
    raw: IO[bytes],
    tables: str | Iterable[str] | None,
    progress: Progress | None,
) -> Matrix:
    iterator = iter(rows)
    header = next(iterator, None)
    if header is None:
        raise ValueError("the CSV file is empty")
    if [name.strip().lower() for name in header[:2]] != list(ZONE_COLUMNS):
        raise ValueError("the CSV header must start with the columns origin,destination")
    available = header[2:]
    if not available:
        raise ValueError("the CSV file has no table columns")
    if any(not name for name in available):
        raise ValueError("the CSV header has an empty table name")
    positions = select_tables(available, tables, "the CSV file")
    names = [available[i] for i in positions]
    wanted = [i + 2 for i in positions]
    width = len(header)
    origins = array("q")
    destinations = array("q")
    columns = [array("d") for _ in names]
    reported = 0
    line = 1
    for line, row in enumerate(iterator, start=2):
        if len(row) != width:
            if not row:
                continue
            raise ValueError(f"line {line}: expected {width} fields, got {len(row)}")
        try:
            origins.append(int(row[0]))
            destinations.append(int(row[1]))
            for column, position in zip(columns, wanted):
                column.append(float(row[position]))
        except ValueError as exc:
            raise ValueError(f"line {line}: {exc}") from None
        if progress is not None and line % REPORT_EVERY == 0:
            position = raw.tell()
            progress(position - reported)
            reported = position
    if progress is not None:
        progress(raw.tell() - reported)
    if not origins:
        raise ValueError("the CSV file has no data lines")
    zones, stack = long_to_stack(
        np.frombuffer(origins, dtype=np.int64),
        np.frombuffer(destinations, dtype=np.int64),
        [np.frombuffer(column, dtype=np.float64) for column in columns],
    )
    return Matrix._adopt(stack, [(name, "D") for name in names])
