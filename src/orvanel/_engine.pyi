"""Matrix files loaded into and written from NumPy arrays on several threads.

Import the public `orvanel` package for normal use.

Both functions give exactly what the low-level module gives for the same input: the
same values, the same bytes, and the same exceptions (the classes of
`orvanel._orvanel`, with the same ``kind``, message and ``offset``), whatever the number
of threads. Paths are read and written as they are: `write` opens its target for
writing in place (created with mode 0666 less the umask, or truncated), so the caller
chooses a fresh temporary file (see ``orvanel._replace``) or a FIFO or device.
"""

import os
from collections.abc import Iterable, Sequence
from typing import overload

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

from orvanel._orvanel import TableDef

__all__ = ["load", "write"]

_Path = str | os.PathLike[str]
_Tables = Iterable[TableDef | tuple[str, int | str]]

def load(
    source: _Path | Buffer,
    tables: Sequence[str] | None = None,
    threads: int = 1,
) -> tuple[NDArray[np.float64], int, str, str, list[tuple[str, str]]]:
    """Load a matrix file from a path, or from its content in any C-contiguous buffer
    (read where it is; the export is held while the load runs).

    Returns ``(values, zones, banner, run_id, tables)``: a new C-ordered float64 array of
    shape (T, Z, Z) owned by NumPy (zero-filled when made, so zero rows cost no memory),
    the zone count, the header texts, and the loaded tables as ``(name, type_code)`` in
    file order. With ``tables``, only the tables of those names are decoded, by the rules
    of ``_MatrixCore.open_tables``. ``threads`` (at least 1, at most 64 used) threads
    decode the rows; small inputs are loaded on the calling thread.
    """

@overload
def write(
    target: _Path,
    zones: int,
    tables: _Tables,
    values: NDArray[np.float64] | Sequence[NDArray[np.float64]],
    banner: str | None = None,
    run_id: str | None = None,
    threads: int = 1,
    start_writeback: bool = False,
) -> None: ...
@overload
def write(
    target: None,
    zones: int,
    tables: _Tables,
    values: NDArray[np.float64] | Sequence[NDArray[np.float64]],
    banner: str | None = None,
    run_id: str | None = None,
    threads: int = 1,
    start_writeback: bool = False,
) -> bytes:
    """Write a matrix file at ``target`` (in place) and return None, or return the file's
    bytes when ``target`` is None.

    The bytes are encoded straight into the returned object, made with room for the
    largest file the header allows, then given the file's length: the room past it is
    address space that was never touched, not memory. Where that much address space
    cannot be had, the file goes through blocks and is copied into its object at the end.

    ``values`` is one float64 array of shape (T, Z, Z) or a sequence of T float64 arrays
    of shape (Z, Z), in any memory layout: rows are read where they are (a row that is
    not a run of aligned doubles is copied into a scratch row first), and must not change
    while the write runs. The header is checked before anything is opened or written.
    An ``OrvanelWriterError`` of kind ``payload_too_large`` carries a note naming the
    table and the origin zone of the row.

    ``start_writeback`` starts writing the file out to disk every few megabytes as it is
    written, for a file that will be renamed over another: some file systems write such
    a file out at the rename, all at once (it changes nothing for ``bytes``). Without it,
    the file's blocks may be reserved ahead of the writes where that makes them cheaper,
    which such a rename must not meet.
    """

# Loads and writes by origins. A handle is an opaque capsule; the public layer
# (orvanel.streaming) calls the sequential functions one at a time.

def rows_open(
    source: _Path | Buffer, tables: Sequence[str] | None = None
) -> tuple[object, int, str, str, list[tuple[str, str]], list[tuple[str, str]]]:
    """Open a load by origins: the header, the choice of tables and the check that the
    input can hold its rows, as in ``load``. Returns ``(handle, zones, banner, run_id,
    tables, file_tables)``: the chosen tables and every table of the file."""

def rows_next(handle: object, origins: int, threads: int = 1) -> NDArray[np.float64]:
    """The chosen tables' rows of the next ``origins`` origins as a new zero-filled
    (tables, origins, Z) array. The last block is followed by the check that nothing
    comes after it. An error is the one ``load`` raises, and ends the load."""

def rows_index(handle: object, threads: int = 1) -> int:
    """Index where every row record starts (payloads skipped); returns the bytes the
    index holds. A faulty framing raises the error ``load`` of the chosen tables raises.
    ValueError for a pipe or a device. A second call keeps the first index."""

def rows_read(
    handle: object, first: int, count: int, tables: Sequence[int], threads: int = 1
) -> NDArray[np.float64]:
    """Origins ``first``..``first + count - 1`` (1-based) of the file's tables numbered in
    ``tables`` (1-based, distinct, in the order wanted) as a new (len(tables), count, Z)
    array; the error of the first bad record among them, as ``load`` reports it. Needs
    the index. May run on several Python threads at once."""

def writer_open(
    target: _Path,
    zones: int,
    tables: _Tables,
    banner: str | None = None,
    run_id: str | None = None,
    start_writeback: bool = False,
) -> object:
    """Check the header, open ``target`` in place and write the header; returns a handle.
    ``start_writeback`` as for ``write``."""

def writer_write(handle: object, values: NDArray[np.float64], threads: int = 1) -> None:
    """Write the next origins' rows from a (T, n, Z) float64 array in any layout. Errors
    as the serial writer's (``writer_finished`` for a block past the last origin, refused
    whole; ``zone_count_mismatch``; ``payload_too_large`` with its note). A failure
    ends the write."""

def writer_finish(handle: object) -> None:
    """Check that every row was written (``incomplete_matrix``), write the rest and close
    the file."""

def _tuning(
    min_parallel_cells: int | None = None, batch_cells: int | None = None
) -> tuple[int, int]:
    """Set how work is shared out between threads (for tests); returns the previous
    ``(min_parallel_cells, batch_cells)``."""

def _slow_to_free(fd: int) -> bool:
    """Whether the regular file open at ``fd`` is freed, when its last link goes, in the
    call that drops it, and slowly for a large file: true on the ext file systems, which
    free its pages and blocks there (and wait for the device to discard them when mounted
    with ``discard``). ``orvanel._release`` lets such a file go in the background."""

def _region_limit(limit: int | None = None) -> int:
    """Set the largest bytes object a write to memory encodes into in place, with room
    for the largest file its header allows (for tests: 0 sends every such write through
    blocks, copied into the bytes object at the end); returns the limit before."""
