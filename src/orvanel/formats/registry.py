"""Which format a file name stands for, and reading and writing any of them."""

from __future__ import annotations

import contextlib
import dataclasses
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import stored_text
from orvanel._optional import require
from orvanel._zones import is_default
from orvanel.formats._common import Progress
from orvanel.formats.blocks import BlockReader, BlockWriter, Facts
from orvanel.formats.csvlong import CsvReader, CsvWriter, inferred_zones_notice, read_csv, write_csv
from orvanel.formats.matfile import load, write_matrix
from orvanel.formats.matfile_blocks import MatrixFileReader, MatrixFileWriter
from orvanel.formats.npz import NpzReader, NpzWriter, read_npz, write_npz
from orvanel.formats.npz import header_texts as npz_header_texts
from orvanel.formats.omx import OmxReader, OmxWriter, read_omx, write_omx
from orvanel.formats.zonesfile import replacing_zones, write_zones, zones_path
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
    ``threads``: how many threads decode a matrix file (None: the default of `read`).
    """

    zones: int | None = None
    zone_labels: Any = None
    lookup: str | None = None
    notice: Callable[[str], None] | None = None
    threads: int | None = None


@dataclass(frozen=True)
class WriteOptions:
    """What the command line may ask of a writer; each format uses what applies to it.

    ``nonzero``: leave out cells that are zero in every table (long-form CSV).
    ``notice``: as for `ReadOptions`.
    ``threads``: how many threads encode a matrix file (None: the default of `write`).
    """

    nonzero: bool = False
    notice: Callable[[str], None] | None = None
    threads: int | None = None


@dataclass(frozen=True)
class Format:
    """A file format: its name, and how a matrix is read from and written to it.

    ``read_reports_bytes`` is true when the reader's progress callback counts bytes of the
    file, so that the file's size is its total; ``write_reports_cells`` is true when the
    writer's progress callback counts cells, so that Z * Z * T is its total.
    ``header_texts`` says which of the header texts ``"banner"`` and ``"run_id"`` the
    file at a path holds; a matrix read from a file without them has the defaults.
    ``open_blocks`` opens a file to be read block by block (`BlockReader`), and
    ``create_blocks`` a file to be written block by block (`BlockWriter`).
    """

    name: str
    suffixes: tuple[str, ...]
    read: Callable[[str, list[str] | None, Progress | None, ReadOptions], Matrix]
    write: Callable[[Matrix, str, Progress | None, WriteOptions], None]
    read_reports_bytes: bool
    write_reports_cells: bool
    header_texts: Callable[[str], tuple[str, ...]]
    open_blocks: Callable[[str, list[str] | None, ReadOptions], BlockReader]
    create_blocks: Callable[[str, Facts, WriteOptions], BlockWriter]


HEADER_TEXTS = ("banner", "run_id")


def _both_header_texts(path: str) -> tuple[str, ...]:
    return HEADER_TEXTS


def _no_header_texts(path: str) -> tuple[str, ...]:
    return ()


def _omx_header_texts(path: str) -> tuple[str, ...]:
    # The root attributes write_omx stores them in, when they hold text as read_omx takes it.
    h5py = require("h5py", "omx", "reading OMX files")
    with h5py.File(path, "r") as handle:
        return tuple(key for key in HEADER_TEXTS if stored_text(handle.attrs.get(key)) is not None)


def _with_zone_options(matrix: Matrix, options: ReadOptions) -> Matrix:
    """``matrix`` read from a file that states its zone count, checked against the zone
    count given and given the zone labels."""
    if options.zones is not None and options.zones != matrix.zones:
        raise ValueError(f"the file has {matrix.zones} zones, not {options.zones} as given")
    if options.zone_labels is not None:
        labels = np.asarray(options.zone_labels)
        if labels.ndim == 1 and len(labels) != matrix.zones:
            raise ValueError(
                f"the file has {matrix.zones} zones, but {len(labels)} zone labels were given"
            )
        matrix.zone_labels = labels
    return matrix


def _read_matrix(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    return _with_zone_options(load(path, None, tables, options.threads), options)


def _with_zones_file(
    matrix: Matrix, path: str, options: WriteOptions, write: Callable[[], None]
) -> None:
    """Run ``write``; when the matrix has zone labels of its own, write them beside
    ``path`` in a zones file, replaced together with the file ``write`` makes."""
    if not matrix.has_zone_labels or is_default(matrix.zone_labels):
        write()
        return
    beside = zones_path(path)
    write_zones(beside, matrix.zone_labels, along=write)
    if options.notice is not None:
        options.notice(f"zone labels written to {beside} (read them back with --zones-file)")


def _write_matrix(
    matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions
) -> None:
    # A matrix file numbers zones 1..Z only: other labels go beside it.
    _with_zones_file(matrix, path, options, lambda: write_matrix(matrix, path, options.threads))


def _read_omx(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    matrix = read_omx(path, tables, progress=progress, lookup=options.lookup, notice=options.notice)
    return _with_zone_options(matrix, options)


def _write_omx(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_omx(matrix, path, progress=progress)


def _read_npz(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    return _with_zone_options(read_npz(path, tables, progress), options)


def _write_npz(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    write_npz(matrix, path, progress)


def _read_csv(
    path: str, tables: list[str] | None, progress: Progress | None, options: ReadOptions
) -> Matrix:
    matrix = read_csv(path, tables, progress, zones=options.zones, zone_labels=options.zone_labels)
    if options.zones is None and options.zone_labels is None and options.notice is not None:
        options.notice(inferred_zones_notice(matrix.zones))
    return matrix


def _write_csv(matrix: Matrix, path: str, progress: Progress | None, options: WriteOptions) -> None:
    # CSV zone ids are the labels; reading them back as labels needs the zones file.
    _with_zones_file(
        matrix, path, options, lambda: write_csv(matrix, path, progress, nonzero=options.nonzero)
    )


# -- block by block ---------------------------------------------------------------


def _with_zone_options_blocks(reader: BlockReader, options: ReadOptions) -> BlockReader:
    """``reader`` of a file that states its zone count, checked against the zone count
    given and given the zone labels."""
    try:
        if options.zones is not None and options.zones != reader.zones:
            raise ValueError(f"the file has {reader.zones} zones, not {options.zones} as given")
        if options.zone_labels is not None:
            reader.set_zone_labels(options.zone_labels)
    except BaseException:
        reader.close()
        raise
    return reader


def _open_matrix(path: str, tables: list[str] | None, options: ReadOptions) -> BlockReader:
    return _with_zone_options_blocks(MatrixFileReader(path, tables, options.threads), options)


def _open_omx(path: str, tables: list[str] | None, options: ReadOptions) -> BlockReader:
    reader = OmxReader(path, tables, lookup=options.lookup, notice=options.notice)
    return _with_zone_options_blocks(reader, options)


def _open_npz(path: str, tables: list[str] | None, options: ReadOptions) -> BlockReader:
    return _with_zone_options_blocks(NpzReader(path, tables), options)


def _open_csv(path: str, tables: list[str] | None, options: ReadOptions) -> BlockReader:
    return CsvReader(
        path, tables, zones=options.zones, zone_labels=options.zone_labels, notice=options.notice
    )


class _AlongZonesFile(BlockWriter):
    """A writer of a format that numbers zones 1..Z only, with the zone labels written
    beside its file in a zones file, replaced together with it."""

    def __init__(
        self, inner: BlockWriter, labels: NDArray[np.int64], options: WriteOptions
    ) -> None:
        super().__init__(inner.path, inner.facts)
        self._inner, self._labels, self._notice = inner, labels, options.notice
        self._beside = zones_path(inner.path)

    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        stack.enter_context(replacing_zones(self._beside, self._labels))
        stack.enter_context(self._inner)

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        self._inner.write(values)

    def _done(self) -> None:
        if self._notice is not None:
            self._notice(
                f"zone labels written to {self._beside} (read them back with --zones-file)"
            )


def _along_zones_file(inner: BlockWriter, facts: Facts, options: WriteOptions) -> BlockWriter:
    labels = facts.zone_labels
    if labels is None or is_default(labels):
        return inner
    return _AlongZonesFile(inner, labels, options)


def _create_matrix(path: str, facts: Facts, options: WriteOptions) -> BlockWriter:
    # A matrix file numbers zones 1..Z only: other labels go beside it.
    inner = MatrixFileWriter(path, dataclasses.replace(facts, zone_labels=None), options.threads)
    return _along_zones_file(inner, facts, options)


def _create_omx(path: str, facts: Facts, options: WriteOptions) -> BlockWriter:
    return OmxWriter(path, facts)


def _create_npz(path: str, facts: Facts, options: WriteOptions) -> BlockWriter:
    return NpzWriter(path, facts)


def _create_csv(path: str, facts: Facts, options: WriteOptions) -> BlockWriter:
    # CSV zone ids are the labels; reading them back as labels needs the zones file.
    return _along_zones_file(CsvWriter(path, facts, nonzero=options.nonzero), facts, options)


FORMATS = (
    Format(
        "matrix file",
        (MATRIX_SUFFIX,),
        _read_matrix,
        _write_matrix,
        False,
        False,
        _both_header_texts,
        _open_matrix,
        _create_matrix,
    ),
    Format(
        "OMX",
        (".omx",),
        _read_omx,
        _write_omx,
        False,
        True,
        _omx_header_texts,
        _open_omx,
        _create_omx,
    ),
    Format(
        "NumPy archive",
        (".npz",),
        _read_npz,
        _write_npz,
        False,
        True,
        npz_header_texts,
        _open_npz,
        _create_npz,
    ),
    Format(
        "CSV",
        (".csv", ".csv.gz"),
        _read_csv,
        _write_csv,
        True,
        True,
        _no_header_texts,
        _open_csv,
        _create_csv,
    ),
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


def open_any(
    path: str, tables: Iterable[str] | None = None, options: ReadOptions | None = None
) -> BlockReader:
    """Open a file of any supported format (see `input_format`) to be read block by block."""
    selected = list(tables) if tables is not None else None
    return input_format(path).open_blocks(path, selected, options or ReadOptions())


def unknown_suffix_message(path: str) -> str:
    """The message for a file name whose ending names no format."""
    return (
        f"cannot tell the format of {path} from its name; "
        f"use one of {', '.join(supported_suffixes())}"
    )
