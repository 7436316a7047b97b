"""Per-table statistics, as ``orvanel info`` and the notebook view show them."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

# Cells per block of rows: small enough for a block to stay in the processor's cache
# while each statistic reads it, so that a table is read from memory once.
BLOCK_CELLS = 1 << 18


@dataclass(frozen=True)
class TableStats:
    """The statistics of one table.

    ``total`` is the sum of every cell, ``diagonal_total`` that of the intrazonal cells;
    ``min`` and ``max`` are NaN when the table holds a NaN; ``zero_share`` is the share
    of cells equal to zero (NaN is not zero).
    """

    total: float
    diagonal_total: float
    min: float
    max: float
    zero_share: float


def row_blocks(
    table: NDArray[np.float64], cells: int = BLOCK_CELLS
) -> Iterator[NDArray[np.float64]]:
    """Consecutive blocks of whole rows of ``table`` (views), about ``cells`` cells each."""
    rows = max(1, cells // max(1, table.shape[1]))
    for start in range(0, table.shape[0], rows):
        yield table[start : start + rows]


def total_of_row_sums(row_sums: NDArray[np.float64]) -> float:
    """A table's total from its rows' sums (``rows.sum(axis=1)``, in zone order).

    Summing each row, then the Z row sums, gives the same float whatever blocks of rows
    the table is read in, so every path that totals a table (`Matrix.total`, ``info``, the
    notebook view, a streamed file) gives the same number to the last digit.
    """
    with np.errstate(over="ignore", invalid="ignore"):
        return float(np.sum(row_sums))


def statistics(table: NDArray[np.float64]) -> TableStats:
    """The statistics of a ``(Z, Z)`` table, in one pass over its values."""
    sums = []
    low = high = table.flat[0]
    nonzero = 0
    # Sums may overflow to infinity and NaN may meet infinity: the results say so.
    with np.errstate(over="ignore", invalid="ignore"):
        for block in row_blocks(table):
            sums.append(block.sum(axis=1))
            # np.minimum and np.maximum carry a NaN through, as table.min() does.
            low = np.minimum(low, block.min())
            high = np.maximum(high, block.max())
            nonzero += int(np.count_nonzero(block))
        return TableStats(
            total=total_of_row_sums(np.concatenate(sums)),
            diagonal_total=float(np.trace(table)),
            min=float(low),
            max=float(high),
            zero_share=(table.size - nonzero) / table.size,
        )


class BlockStatistics:
    """The statistics of every table of a matrix read block by block of origins.

    Each block's rows are summed as they come and kept, one sum per row and table
    (8 bytes per zone and table), so that the totals are `total_of_row_sums` of the whole
    rows, to the last digit what `statistics` gives for the table held whole, whatever
    the blocks. The diagonal cells are kept the same way and summed at the end.
    """

    def __init__(self, tables: int, zones: int) -> None:
        self.zones = zones
        self.row_sums = np.zeros((tables, zones))
        self.diagonal = np.zeros((tables, zones))
        self.min = np.full(tables, np.inf)
        self.max = np.full(tables, -np.inf)
        self.nonzero = np.zeros(tables, dtype=np.int64)

    def add(self, origins: range, values: NDArray[np.float64]) -> None:
        """Take in one block: the ``(T, n, Z)`` rows of ``origins`` (1-based, consecutive)."""
        rows = slice(origins.start - 1, origins.stop - 1)
        within = np.arange(len(origins))
        self.diagonal[:, rows] = values[:, within, within + origins.start - 1]
        # Sums may overflow to infinity and NaN may meet infinity: the results say so.
        with np.errstate(over="ignore", invalid="ignore"):
            # np.minimum and np.maximum carry a NaN through, as table.min() does.
            lows, highs = values.min(axis=(1, 2)), values.max(axis=(1, 2))
            self.min = np.minimum(self.min, lows)
            self.max = np.maximum(self.max, highs)
            for position, table in enumerate(values):
                if lows[position] == 0.0 == highs[position] and not np.signbit(lows[position]):
                    # Only zeros, one of them +0.0: as most blocks of a sparse matrix. Every
                    # row sums to zero, and a +0.0 row sum makes the total +0.0 whatever
                    # the signs of the other zeros, so the rows need not be summed.
                    self.row_sums[position, rows] = 0.0
                    continue
                self.row_sums[position, rows] = table.sum(axis=1)
                # NaN counts as not zero, -0.0 as zero.
                self.nonzero[position] += np.count_nonzero(table)

    def result(self) -> list[TableStats]:
        """The statistics of each table, in the order of the blocks' tables."""
        cells = self.zones * self.zones
        with np.errstate(over="ignore", invalid="ignore"):
            return [
                TableStats(
                    total=total_of_row_sums(self.row_sums[position]),
                    diagonal_total=float(np.sum(self.diagonal[position])),
                    min=float(self.min[position]),
                    max=float(self.max[position]),
                    zero_share=(cells - int(self.nonzero[position])) / cells,
                )
                for position in range(len(self.nonzero))
            ]
