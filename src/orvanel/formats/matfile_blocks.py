"""Matrix files block by block: the `BlockReader` and `BlockWriter` of the format.

Both are thin adapters over the engine's row streams: ``open_rows(source, tables=None,
*, block=None)``, a context manager with ``zones``, ``tables``, ``banner`` and ``run_id``
that iterates ``(origins, values)`` blocks, and ``RowWriter(path, zones, tables, *,
banner=None, run_id=None)``, whose ``write(values)`` takes one block and which replaces
the file on a clean exit. Both take the number of threads that decode or encode the rows
(`orvanel._threads.resolve_threads`; None: the default).
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import TableInfo
from orvanel._threads import resolve_threads
from orvanel.formats.blocks import (
    Block,
    BlockReader,
    BlockWriter,
    Facts,
    reblock,
)
from orvanel.formats.matfile import check_schema


def _open_rows(
    source: str,
    tables: Sequence[str] | None = None,
    *,
    block: int | None = None,
    threads: int | None = None,
) -> Any:
    """The rows of the matrix file ``source``: a context manager with ``zones``,
    ``tables``, ``banner`` and ``run_id`` that iterates ``(origins, values)`` blocks of
    ``block`` origins, decoded on ``threads`` threads."""
    from orvanel.streaming import open_rows  # orvanel imports this module

    return open_rows(source, tables, block=block, threads=threads)


def _row_writer(
    path: str,
    zones: int,
    tables: Sequence[tuple[str, str]],
    banner: str | None,
    run_id: str | None,
    threads: int | None = None,
) -> Any:
    """A context manager writing the matrix file ``path`` a block of rows at a time
    (``write(values)``, encoded on ``threads`` threads), which replaces the file on a
    clean exit."""
    from orvanel.streaming import RowWriter  # orvanel imports this module

    return RowWriter(path, zones, tables, banner=banner, run_id=run_id, threads=threads)


class MatrixFileReader(BlockReader):
    """The rows of a matrix file, in blocks of origins."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        tables: Sequence[str] | None,
        threads: int | None = None,
    ) -> None:
        self._path = os.fsdecode(os.fspath(path))
        self._selection = None if tables is None else list(tables)
        # A bad thread count is refused before the file is opened, whatever reads it.
        self._threads = resolve_threads(threads)
        self._stack = contextlib.ExitStack()
        rows = self._open(None)
        self.zones = int(rows.zones)
        self.tables = [
            TableInfo(position, info.name, info.type_code)
            for position, info in enumerate(rows.tables, start=1)
        ]
        self.banner, self.run_id = rows.banner, rows.run_id

    def _open(self, block: int | None) -> Any:
        self._stack.close()
        with contextlib.ExitStack() as stack:
            rows = stack.enter_context(
                _open_rows(self._path, self._selection, block=block, threads=self._threads)
            )
            self._stack = stack.pop_all()
        return rows

    def close(self) -> None:
        self._stack.close()

    def _blocks(self, block: int) -> Iterator[Block]:
        # The rows come in blocks of the size the file is opened with: opened again with
        # the size wanted, they pass through without a copy.
        rows = self._open(block)
        return reblock(rows, block, len(self.tables), self.zones)


class MatrixFileWriter(BlockWriter):
    """A matrix file written block by block. The file's limits (255 tables, 32,000
    zones, ASCII names, header texts) are checked before anything is written."""

    def __init__(
        self, path: str | os.PathLike[str], facts: Facts, threads: int | None = None
    ) -> None:
        super().__init__(path, facts)
        check_schema(facts.zones, list(facts.tables), facts.banner, facts.run_id)
        # A bad thread count is refused before anything is written.
        self._threads = resolve_threads(threads)

    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        facts = self.facts
        self._rows = stack.enter_context(
            _row_writer(
                self.path,
                facts.zones,
                list(facts.tables),
                facts.banner,
                facts.run_id,
                self._threads,
            )
        )

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        self._rows.write(values)
