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
) -> bytes:
    """Write a matrix file at ``target`` (in place) and return None, or return the file's
    bytes when ``target`` is None.

    ``values`` is one float64 array of shape (T, Z, Z) or a sequence of T float64 arrays
    of shape (Z, Z), in any memory layout: rows are read where they are (a row that is
    not a run of aligned doubles is copied into a scratch row first), and must not change
    while the write runs. The header is checked before anything is opened or written.
    An ``OrvanelWriterError`` of kind ``payload_too_large`` carries a note naming the
    table and the origin zone of the row.
    """

def _tuning(
    min_parallel_cells: int | None = None, batch_cells: int | None = None
) -> tuple[int, int]:
    """Set how work is shared out between threads (for tests); returns the previous
    ``(min_parallel_cells, batch_cells)``."""
