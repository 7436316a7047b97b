"""Matrix files read and written a block of origins at a time.

`open_rows` reads a file's rows in blocks of consecutive origins (every selected table's
rows of each origin), or any range of origins once the file's records are indexed;
`RowWriter` writes a file from blocks of origins given in order. Memory is one block of
values and the engine's buffers, whatever the size of the file. Both go through the
engine (its codec and its threads): the values, bytes and errors are those of `read`
and `write` for the same input, with the same offsets.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel import _engine
from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID, TableInfo, header_text
from orvanel._orvanel import OrvanelValidationError
from orvanel._replace import replace_file
from orvanel._schema import TablesLike, table_pairs
from orvanel._threads import resolve_threads
from orvanel._values import numeric_array, to_float64
from orvanel.errors import TableNotFoundError, table_not_found
from orvanel.formats import matfile

# Values per block when the caller does not choose: about 24 MB of float64, large enough
# that the engine's threads have work for a while, small enough to stay out of the way.
DEFAULT_BLOCK_BYTES = 24 << 20

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | Any


def _table_names(tables: str | Iterable[str] | None) -> list[str] | None:
    if tables is None:
        return None
    names = [tables] if isinstance(tables, str) else list(tables)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {name!r})")
    return names


def _not_found(exc: OrvanelValidationError, names: list[str]) -> TableNotFoundError:
    # The core names the missing table in its message; keep the message and the offset.
    missing = next((name for name in names if f'"{name}"' in str(exc)), "")
    error = TableNotFoundError(str(exc), missing)
    error.offset = exc.offset
    return error


def _origin_span(origins: range | slice, zones: int) -> tuple[int, int]:
    """The first zone and the count of a range or slice of 1-based zone numbers (a slice
    ``a:b`` is zones a to b - 1, as ``range(a, b)``)."""
    if isinstance(origins, slice):
        if origins.step not in (None, 1):
            raise ValueError(f"origins must be consecutive (got step {origins.step})")
        start = 1 if origins.start is None else origins.start
        stop = zones + 1 if origins.stop is None else origins.stop
        origins = range(start, stop)
    if not isinstance(origins, range):
        raise TypeError(
            f"origins must be a range or slice of zone numbers (got {type(origins).__name__})"
        )
    if origins.step != 1 and len(origins) > 1:
        raise ValueError(f"origins must be consecutive (got step {origins.step})")
    if len(origins) == 0:
        return 1, 0
    if origins.start < 1 or origins[-1] > zones:
        raise ValueError(
            f"origins {origins.start} to {origins[-1]} are not all among zones 1 to {zones}"
        )
    return origins.start, len(origins)


class RowReader:
    """A matrix file read a block of origins at a time; made by `open_rows`.

    Iterating gives ``(origins, values)`` pairs: ``origins`` a `range` of consecutive
    1-based zone numbers, the blocks covering zones 1 to Z in order, and ``values`` a new
    float64 array of shape ``(len(tables), len(origins), Z)`` for each block (never
    reused: a block may be kept). The file is read once, in order; a fault ends the
    iteration with the error `orvanel.read` raises for the same file. `read` decodes any
    range of origins after one pass over the records' headers.

    Attributes
    ----------
    zones : int
        The number of zones Z.
    tables : list of TableInfo
        The selected tables in file order, numbered 1.. in that order (not by their
        position in the file).
    banner, run_id : str
        The header texts.
    block : int
        The number of origins of each block (the last may hold fewer).
    """

    def __init__(
        self,
        source: Source,
        tables: str | Iterable[str] | None = None,
        *,
        block: int | None = None,
        threads: int | None = None,
    ) -> None:
        self._threads = resolve_threads(threads)
        names = _table_names(tables)
        if isinstance(source, os.PathLike):
            source = os.fspath(source)
        try:
            opened = _engine.rows_open(source, names)
        except OrvanelValidationError as exc:
            if names is None or exc.kind != "table_not_found":
                raise
            raise _not_found(exc, names) from None
        self._handle: object | None = opened[0]
        self.zones: int = opened[1]
        self.banner: str = opened[2]
        self.run_id: str = opened[3]
        self.tables = [TableInfo(i, name, code) for i, (name, code) in enumerate(opened[4], 1)]
        # The file's table numbers of the selected tables: all of them, or the named ones
        # (a repeated name selects the first table of that name).
        file_names = [name for name, _ in opened[5]]
        if names is None:
            self._file_numbers = list(range(1, len(file_names) + 1))
        else:
            self._file_numbers = [file_names.index(info.name) + 1 for info in self.tables]
        self.block = self._block_size(block)
        self._next_origin = 1
        self._lock = threading.Lock()
        self._indexed = False

    def _block_size(self, block: int | None) -> int:
        if block is None:
            per_origin = 8 * len(self.tables) * self.zones
            return max(1, min(self.zones, DEFAULT_BLOCK_BYTES // per_origin))
        if isinstance(block, bool) or not isinstance(block, int):
            raise TypeError(f"block must be an int or None (got {type(block).__name__})")
        if block < 1:
            raise ValueError(f"block must be at least 1 origin (got {block})")
        return min(block, self.zones)

    def _live_handle(self) -> object:
        if self._handle is None:
            raise ValueError("the matrix file is closed")
        return self._handle

    # -- iteration --------------------------------------------------------------------

    def __iter__(self) -> Iterator[tuple[range, NDArray[np.float64]]]:
        return self

    def __next__(self) -> tuple[range, NDArray[np.float64]]:
        with self._lock:
            handle = self._live_handle()
            first = self._next_origin
            if first > self.zones:
                raise StopIteration
            count = min(self.block, self.zones - first + 1)
            try:
                values = _engine.rows_next(handle, count, threads=self._threads)
            except BaseException:
                # The reading position is lost: the rows cannot be read on.
                self._next_origin = self.zones + 1
                raise
            self._next_origin = first + count
        return range(first, first + count), values

    # -- random access ----------------------------------------------------------------

    def index(self) -> int:
        """Find where every row record starts (one pass over the records' headers, their
        payloads skipped) and return the bytes the index holds (8 per record).

        `read` calls it on first use. A fault of the file's framing raises the error
        `orvanel.read` raises for it. A pipe or a device cannot be indexed (ValueError).
        """
        with self._lock:
            size: int = _engine.rows_index(self._live_handle(), threads=self._threads)
            self._indexed = True
        return size

    def read(
        self, origins: range | slice, tables: str | Iterable[str] | None = None
    ) -> NDArray[np.float64]:
        """Decode the rows of a range of origins, without the rest of the file.

        Parameters
        ----------
        origins : range or slice
            Consecutive 1-based zone numbers: ``range(a, b)`` or ``slice(a, b)`` are
            zones a to b - 1 (a slice's bounds default to the first and the last zone).
        tables : str or sequence of str, optional
            Names among the selected tables, in the order wanted; by default every
            selected table.

        Returns
        -------
        numpy.ndarray
            A new float64 array ``(len(tables), len(origins), Z)``.

        Raises
        ------
        OrvanelError
            The error a load of the file reports for a bad record among those read, with
            its offset; a faulty framing fails the index with the load's error.
        TableNotFoundError
            If a name is not among the selected tables.
        """
        first, count = _origin_span(origins, self.zones)
        names = _table_names(tables)
        if names is None:
            numbers = list(self._file_numbers)
        else:
            selected = [info.name for info in self.tables]
            numbers = []
            for name in names:
                if name not in selected:
                    raise table_not_found(name, "the selected tables")
                number = self._file_numbers[selected.index(name)]
                if number not in numbers:
                    numbers.append(number)
        return self._read_file_tables(first, count, numbers)

    def _read_file_tables(self, first: int, count: int, numbers: list[int]) -> NDArray[np.float64]:
        """Origins ``first``..``first + count - 1`` of the file's tables numbered in
        ``numbers`` (1-based, distinct), indexing the file first if need be."""
        if not self._indexed:
            self.index()
        return _engine.rows_read(self._live_handle(), first, count, numbers, threads=self._threads)

    @property
    def file_table_numbers(self) -> list[int]:
        """The selected tables' positions among the file's tables (1-based)."""
        return list(self._file_numbers)

    # -- closing ----------------------------------------------------------------------

    def close(self) -> None:
        """Release the file (or the buffer); reading afterwards raises ValueError."""
        with self._lock:
            self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> RowReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"next origin {min(self._next_origin, self.zones + 1)}"
        return f"<RowReader {self.zones} zones, {len(self.tables)} tables, block {self.block}, {state}>"


def open_rows(
    source: Source,
    tables: str | Iterable[str] | None = None,
    *,
    block: int | None = None,
    threads: int | None = None,
) -> RowReader:
    """Open a matrix file to read its rows a block of origins at a time.

    Parameters
    ----------
    source : str, os.PathLike or bytes-like
        A path, or the file's content as any bytes-like object (read where it is; it
        must not change while the reader is open).
    tables : str or sequence of str, optional
        The tables to read, by name (a repeated name selects the first table of that
        name); by default every table.
    block : int, optional
        Origins per block; by default as many as make about 24 MB of values.
    threads : int, optional
        Threads that decode the rows, as in `orvanel.read`.

    Returns
    -------
    RowReader
        A context manager (or call its ``close``) with ``zones``, ``tables``, ``banner``
        and ``run_id``, that iterates over ``(origins, values)`` blocks.

    Raises
    ------
    OrvanelError
        The error `orvanel.read` raises when the header is faulty or the file too short
        for the rows it promises; faults further on are raised while iterating.

    Examples
    --------
    >>> with orvanel.open_rows("skims.mat", ["TIME"]) as rows:  # doctest: +SKIP
    ...     for origins, values in rows:
    ...         totals[origins.start - 1 : origins.stop - 1] = values[0].sum(axis=1)
    """
    return RowReader(source, tables, block=block, threads=threads)


class RowWriter:
    """A matrix file written a block of origins at a time, in order.

    ``writer.write(values)`` takes the next origins' rows: ``values`` of shape
    ``(T, n, Z)`` (any memory layout; other real dtypes converted as `orvanel.write`
    does), or ``(n, Z)`` when the file has one table. Leaving the ``with`` block (or
    `close`) checks that every row was written and only then replaces the file at
    ``path``; an exception in the block, a failed write or a missing row leaves the
    previous file as it was and no temporary file.

    Parameters
    ----------
    path : str or os.PathLike
        Where to write.
    zones : int
        The number of zones Z.
    tables : mapping or sequence
        The tables in order, as for `orvanel.create`.
    banner, run_id : str, optional
        Header texts; by default those of files this package writes.
    threads : int, optional
        Threads that encode the rows, as in `orvanel.write`; the bytes do not depend on it.

    Raises
    ------
    OrvanelError
        The core writer's errors: the header checks (before any byte is written),
        ``zone_count_mismatch`` for rows of the wrong length, ``writer_finished`` for a
        block past the last origin (refused whole), ``payload_too_large`` (with a note
        naming the table and origin), ``incomplete_matrix`` at the end.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        zones: int,
        tables: TablesLike,
        *,
        banner: str | None = None,
        run_id: str | None = None,
        threads: int | None = None,
    ) -> None:
        self._threads = resolve_threads(threads)
        pairs = table_pairs(tables)
        banner_text = header_text(banner, "banner", DEFAULT_BANNER)
        run_id_text = header_text(run_id, "run_id", DEFAULT_RUN_ID)
        matfile.check_schema(zones, pairs, banner_text, run_id_text)
        self.zones = zones
        self.tables = [TableInfo(i, name, code) for i, (name, code) in enumerate(pairs, 1)]
        self._lock = threading.Lock()
        self._handle: object | None = None
        replacing = os.path.isfile(path)
        self._replacing = replace_file(path, in_place_ok=True)
        target = self._replacing.__enter__()
        try:
            self._handle = _engine.writer_open(
                target, zones, pairs, banner_text, run_id_text, start_writeback=replacing
            )
        except BaseException:
            self._replacing.__exit__(*sys.exc_info())
            raise
        self._written = 0

    @property
    def origins_written(self) -> int:
        """Origins whose rows have been written."""
        return self._written

    def write(self, values: ArrayLike) -> None:
        """Write the rows of the next ``n`` origins: ``(T, n, Z)`` values, or ``(n, Z)`` for a
        file of one table."""
        with self._lock:
            if self._handle is None:
                raise ValueError("the matrix file writer is closed")
            array = numeric_array(values, "values")
            if array.ndim == 2 and len(self.tables) == 1:
                array = array[np.newaxis]
            if array.ndim != 3:
                raise ValueError(
                    f"values must have shape (tables, origins, zones) (got {list(array.shape)})"
                )
            array = to_float64(array, "values")
            _engine.writer_write(self._handle, array, threads=self._threads)
            self._written += array.shape[1]

    def close(self) -> None:
        """Finish the file: check that every row was written, then replace the file at the
        path. On failure the previous file stays and the error is raised."""
        self._end(None, None, None)

    def abort(self) -> None:
        """Give the file up: the previous file at the path stays as it was."""
        try:
            raise _Aborted
        except _Aborted:
            self._end(*sys.exc_info())

    def _end(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            if exc is None:
                try:
                    _engine.writer_finish(handle)
                except BaseException:
                    del handle  # the file is closed before the temporary one is removed
                    self._replacing.__exit__(*sys.exc_info())
                    raise
                del handle
                self._replacing.__exit__(None, None, None)
                return
            del handle
            try:
                self._replacing.__exit__(exc_type, exc, tb)
            except BaseException as raised:
                if raised is not exc:
                    raise

    def __enter__(self) -> RowWriter:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self._end(exc_type, exc, tb)

    def __repr__(self) -> str:
        state = (
            "closed" if self._handle is None else f"{self._written} of {self.zones} origins written"
        )
        return f"<RowWriter {self.zones} zones, {len(self.tables)} tables, {state}>"


class _Aborted(Exception):
    """Raised into the file replacement to give a write up."""
