"""Which format a file name stands for, and reading and writing any of them."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from orvanel.formats._common import Progress
from orvanel.formats.csvlong import read_csv, write_csv
from orvanel.formats.matfile import load, write_matrix
from orvanel.formats.npz import read_npz, write_npz
from orvanel.formats.omx import read_omx, write_omx
from orvanel.matrix import Matrix

MATRIX_SUFFIX = ".mat"


@dataclass(frozen=True)
class ReadOptions:
    """What the command line may ask of a reader; each format uses what applies to it.

    ``zones``: the zone count, for formats that infer it (long-form CSV).
    ``zone_labels``: the zone system's numbers, one per zone position; zone ids in the
    file are then labels (CSV), and the matrix keeps them.
    ``lookup``: the OMX lookup that gives the zone labels.
    ``notice``: called with a one-line message the user should see (for example that the
    zone count was inferred), also when output is quiet.
    """

    zones: int | None = None
    zone_labels: Any = None
    lookup: str | None = None
    notice: Callable[[str], None] | None = None


@dataclass(frozen=True)
class WriteOptions:
    """What the command line may ask of a writer; each format uses what applies to it.

    ``nonzero``: leave out cells that are zero in every table (long-form CSV).
    ``notice``: as for `ReadOptions`.
    """

    nonzero: bool = False
    notice: Callable[[str], None] | None = None


@dataclass(frozen=True)
class Format:
    """A file format: its name, and how a matrix is read from and written to it.

    ``read_reports_bytes`` is true when the reader's progress callback counts bytes of the
    file, so that the file's size is its total; ``write_reports_cells`` is true when the
    writer's progress callback counts cells, so that Z * Z * T is its total.
    """

    name: str
    suffixes: tuple[str, ...]
    read: Callable[[str, list[str] | None, Progress | None, ReadOptions], Matrix]
    write: Callable[[Matrix, str, Progress | None, WriteOptions], None]
    read_reports_bytes: bool
    write_reports_cells: bool


def _read_matrix(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    matrix = load(path, None, tables)
    if options.zone_labels is not None:
        matrix.zone_labels = options.zone_labels
    return matrix


def _write_matrix(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_matrix(matrix, path)


def _read_omx(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    return read_omx(
        path, tables, progress=progress, lookup=options.lookup, notice=options.notice
    )


def _write_omx(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_omx(matrix, path, progress=progress)


def _read_npz(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    return read_npz(path, tables, progress)


def _write_npz(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_npz(matrix, path, progress)


def _read_csv(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    return read_csv(path, tables, progress)


def _write_csv(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_csv(matrix, path, progress)


FORMATS = (
    Format("matrix file", (MATRIX_SUFFIX,), _read_matrix, _write_matrix, False, False),
    Format("OMX", (".omx",), _read_omx, _write_omx, False, True),
    Format("NumPy archive", (".npz",), _read_npz, _write_npz, False, True),
    Format("CSV", (".csv", ".csv.gz"), _read_csv, _write_csv, True, True),
)


def supported_suffixes() -> list[str]:
    """Every recognised file name ending, in the order formats are listed."""
    return [suffix for fmt in FORMATS for suffix in fmt.suffixes]


def format_for(path: str | os.PathLike[str]) -> Format | None:
    """The format a file name's ending stands for (case-insensitive), or None."""
    name = os.fsdecode(os.fspath(path)).lower()
    best: tuple[int, Format] | None = None
    for fmt in FORMATS:
        for suffix in fmt.suffixes:
            if name.endswith(suffix) and (best is None or len(suffix) > best[0]):
                best = (len(suffix), fmt)
    return best[1] if best else None


def input_format(path: str | os.PathLike[str]) -> Format:
    """The format to read a file as: by its name's ending, a matrix file when unknown.

    Matrix files come with many endings, so any file that is not recognisably something
    else is read as one.
    """
    return format_for(path) or FORMATS[0]


def read_any(
    path: str,
    tables: Iterable[str] | None = None,
    progress: Progress | None = None,
    options: ReadOptions | None = None,
) -> Matrix:
    """Read a matrix from a file of any supported format (see `input_format`)."""
    selected = list(tables) if tables is not None else None
    return input_format(path).read(path, selected, progress, options or ReadOptions())


def unknown_suffix_message(path: str) -> str:
    """The message for a file name whose ending names no format."""
    return (
        f"cannot tell the format of {path} from its name; "
        f"use one of {', '.join(supported_suffixes())}"
    )
