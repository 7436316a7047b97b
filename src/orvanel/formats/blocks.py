"""Matrices read and written in blocks of origins, so that no command needs a whole matrix.

Rows arrive origin by origin, in every format's natural order. A `BlockReader` yields
``(origins, values)`` pairs: ``origins`` a `range` of consecutive 1-based zone positions,
``values`` a C-ordered float64 array of shape ``(T, len(origins), Z)`` holding those
origins' rows of every table read. The blocks cover origins 1..Z once, in order. A
`BlockWriter` takes such blocks, in order, and replaces its target only once every row
has been written.

A block of values is about `BLOCK_BYTES` (16 MiB) by default, so that a command holds a few blocks
at most, however large the matrix.
"""

from __future__ import annotations

import contextlib
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._header import TableInfo
from orvanel._zones import check_labels

Block = tuple[range, NDArray[np.float64]]
"""One block: its origins (1-based) and their rows, shaped ``(T, len(origins), Z)``."""

BLOCK_BYTES = 16 << 20  # the values of one default block
# Matrices beyond this many cells (8 TiB of values) would take days to pass through, and
# come from a zone count that is a mistake (a zone id of 9 digits in a CSV file, a
# damaged OMX file): refused at once. The largest matrix file holds 0.26e12 cells.
_MOST_CELLS = 1 << 40


def default_block(zones: int, tables: int) -> int:
    """The number of origins in a block of about `BLOCK_BYTES` of values (at least 1)."""
    return max(1, min(zones, BLOCK_BYTES // (8 * max(tables, 1) * max(zones, 1))))


def spans(zones: int, block: int) -> Iterator[range]:
    """The origins of each block of ``block`` origins, in order; the last may be shorter."""
    for start in range(1, zones + 1, block):
        yield range(start, min(start + block, zones + 1))


def block_count(zones: int, block: int) -> int:
    """How many blocks of ``block`` origins cover ``zones`` origins."""
    return -(-zones // block)


def check_size(tables: int, zones: int) -> None:
    """Refuse, with a ValueError, a matrix too large to pass through at all."""
    cells = tables * zones * zones
    if cells > _MOST_CELLS:
        raise ValueError(
            f"{zones} zones and {tables} table{'' if tables == 1 else 's'} make "
            f"{cells * 8 / 2**40:,.0f} TiB of values, too many to process"
        )


class BlockBuffer:
    """Memory for the blocks of one reader: each block is a C-ordered view of it.

    Raises ValueError for a matrix too large to pass through at all, and MemoryError
    when one block cannot be allocated.
    """

    def __init__(self, tables: int, block: int, zones: int) -> None:
        check_size(tables, zones)
        self.tables, self.zones = tables, zones
        self.memory = np.empty(tables * block * zones, dtype=np.float64)

    def view(self, rows: int) -> NDArray[np.float64]:
        """The ``(T, rows, Z)`` block at the start of the memory."""
        return self.memory[: self.tables * rows * self.zones].reshape(self.tables, rows, self.zones)


@dataclass(frozen=True)
class Facts:
    """What a writer needs to know before the first block: the header facts.

    ``tables`` are ``(name, type_code)`` pairs in order; ``banner`` and ``run_id`` are
    None where the source has none (a writer that needs them takes its defaults);
    ``zone_labels`` are None for zones numbered 1..Z.
    """

    zones: int
    tables: Sequence[tuple[str, str]]
    banner: str | None = None
    run_id: str | None = None
    zone_labels: NDArray[np.int64] | None = None

    @property
    def names(self) -> list[str]:
        return [name for name, _ in self.tables]


class BlockReader:
    """A matrix read block by block (a context manager; `close` lets go of the file).

    Attributes
    ----------
    zones : int
        The zone count Z.
    tables : list of TableInfo
        The tables read, in file order, numbered 1.. in that order.
    banner, run_id : str or None
        The header texts, None where the file has none.
    zone_labels : numpy.ndarray or None
        The zone labels the file gives (int64, one per zone), or None for 1..Z.
    """

    zones: int
    tables: list[TableInfo]
    banner: str | None = None
    run_id: str | None = None
    zone_labels: NDArray[np.int64] | None = None

    def __enter__(self) -> BlockReader:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def close(self) -> None:
        """Let go of the file and of any temporary files."""

    @property
    def names(self) -> list[str]:
        return [info.name for info in self.tables]

    def facts(self) -> Facts:
        """The header facts, for a writer of the same matrix."""
        return Facts(
            self.zones,
            [(info.name, info.type_code) for info in self.tables],
            self.banner,
            self.run_id,
            self.zone_labels,
        )

    def set_zone_labels(self, labels: ArrayLike) -> None:
        """Number the zones by ``labels`` (one per zone), checked."""
        given = np.asarray(labels)
        if given.ndim == 1 and len(given) != self.zones:
            raise ValueError(
                f"the file has {self.zones} zones, but {len(given)} zone labels were given"
            )
        self.zone_labels = check_labels(given, self.zones)

    def blocks(self, block: int | None = None) -> Iterator[Block]:
        """Yield ``(origins, values)`` for blocks of ``block`` origins (by default about
        `BLOCK_BYTES` of values), covering 1..Z in order; the last block may be shorter.

        ``values`` is a C-ordered ``(T, len(origins), Z)`` float64 array that the next
        block may reuse: copy what must outlive the step. A reader is read once.
        """
        size = default_block(self.zones, len(self.tables)) if block is None else int(block)
        if size < 1:
            raise ValueError(f"a block holds at least one origin (got {block})")
        return self._blocks(min(size, self.zones))

    def _blocks(self, block: int) -> Iterator[Block]:
        raise NotImplementedError


class BlockWriter:
    """A matrix written block by block (a context manager).

    `write` takes the blocks in order; on a clean exit from the ``with`` block the writer
    checks that every origin was written and replaces the target, the way every format
    replaces a file. A failure, an exception inside the block or an incomplete matrix
    leaves what was at the target before as it was, and no temporary file behind.

    Subclasses enter what they hold (temporary files, open handles) into the exit stack
    given to `_open`; it is left, in reverse order, after `_finish` on success and with
    the exception on failure.
    """

    def __init__(self, path: str | os.PathLike[str], facts: Facts) -> None:
        self.path = os.fsdecode(os.fspath(path))
        self.facts = facts
        self.written = 0
        self._stack = contextlib.ExitStack()

    @property
    def zones(self) -> int:
        return self.facts.zones

    def __enter__(self) -> BlockWriter:
        try:
            self._open(self._stack)
        except BaseException:
            if not self._stack.__exit__(*sys.exc_info()):
                raise
        return self

    def write(self, values: NDArray[np.float64]) -> None:
        """Write the rows of the next origins: a float64 ``(T, n, Z)`` array."""
        tables, zones = len(self.facts.tables), self.facts.zones
        if (
            not isinstance(values, np.ndarray)
            or values.dtype != np.float64
            or values.ndim != 3
            or values.shape[0] != tables
            or values.shape[2] != zones
        ):
            shape = getattr(values, "shape", None)
            raise ValueError(
                f"a block must be a float64 array of shape ({tables}, n, {zones}) (got {shape})"
            )
        rows = values.shape[1]
        if self.written + rows > zones:
            raise ValueError(
                f"a block of {rows} origins after {self.written} goes beyond the {zones} zones"
            )
        if rows:
            self._write(range(self.written + 1, self.written + rows + 1), values)
            self.written += rows

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if kind is not None:
            self._stack.__exit__(kind, value, traceback)
            return
        try:
            if self.written != self.facts.zones:
                raise ValueError(
                    f"the matrix is incomplete: {self.written} of {self.facts.zones} "
                    "origins were written"
                )
            self._finish()
        except BaseException:
            if not self._stack.__exit__(*sys.exc_info()):
                raise
            return
        self._stack.close()
        self._done()

    # What each format does.
    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        raise NotImplementedError

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        raise NotImplementedError

    def _finish(self) -> None:
        """Complete the temporary file, before it replaces the target."""

    def _done(self) -> None:
        """Called once the target has been replaced."""


def gather(
    reader: BlockReader, progress: Callable[[int], None] | None = None
) -> NDArray[np.float64]:
    """Every block of ``reader`` in one new ``(T, Z, Z)`` array; ``progress`` is called
    with the cells of each block."""
    zones = reader.zones
    check_size(len(reader.tables), zones)
    stack = np.empty((len(reader.tables), zones, zones), dtype=np.float64)
    for origins, values in reader.blocks():
        stack[:, origins.start - 1 : origins.stop - 1] = values
        if progress is not None:
            progress(values.size)
    return stack


def write_stack(
    writer: BlockWriter,
    stack: NDArray[np.float64],
    progress: Callable[[int], None] | None = None,
) -> None:
    """Feed a whole ``(T, Z, Z)`` array to ``writer`` block by block; ``progress`` is
    called with the cells of each block."""
    zones = stack.shape[1]
    for origins in spans(zones, default_block(zones, stack.shape[0])):
        values = stack[:, origins.start - 1 : origins.stop - 1]
        writer.write(values)
        if progress is not None:
            progress(values.size)


def reblock(
    source: Iterable[tuple[Any, NDArray[np.float64]]], block: int, tables: int, zones: int
) -> Iterator[Block]:
    """Blocks of ``block`` origins from consecutive blocks of any size.

    A source block that already is the block wanted passes through; others are copied
    into a buffer of one block.
    """
    buffer: BlockBuffer | None = None
    filled = 0  # rows waiting in the buffer
    start = 1  # the first origin of the next block yielded
    for _, values in source:
        rows = values.shape[1]
        if filled == 0 and (rows == block or start + rows - 1 == zones) and rows <= block:
            if values.flags.c_contiguous:
                yield range(start, start + rows), values
            else:
                yield range(start, start + rows), np.ascontiguousarray(values)
            start += rows
            continue
        taken = 0
        while taken < rows:
            if buffer is None:
                buffer = BlockBuffer(tables, block, zones)
            want = min(block, zones - start + 1)
            step = min(want - filled, rows - taken)
            full = buffer.view(want)
            full[:, filled : filled + step] = values[:, taken : taken + step]
            filled += step
            taken += step
            if filled == want:
                yield range(start, start + want), full
                start += want
                filled = 0
    if start != zones + 1:
        raise ValueError(f"the rows end after origin {start - 1} of {zones}")


def size_text(size: int) -> str:
    """A size in whole megabytes (at least 1), as notices show it."""
    return f"{max(1, math.ceil(size / 1e6)):,} MB"
