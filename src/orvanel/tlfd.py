"""Trip length frequency distributions: a table's values binned by another table's."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._stats import row_blocks

if TYPE_CHECKING:
    from orvanel.matrix import Matrix

# Bins when none are given: fine enough to show the shape of a distribution.
DEFAULT_BINS = 20

BinsLike = int | ArrayLike


@dataclass(frozen=True, eq=False)
class TripLengthDistribution:
    """The trip length frequency distribution of one table over the values of another.

    Attributes
    ----------
    table, by : str
        The table whose values are summed (trips) and the one whose values place each
        cell in a bin (travel time, distance or cost).
    edges : numpy.ndarray
        The ``n + 1`` bin edges, increasing. Each bin holds its left edge and not its
        right one, except the last, which holds both (as in `numpy.histogram`).
    totals : numpy.ndarray
        The ``n`` sums of ``table`` over the cells of each bin.
    shares : numpy.ndarray
        ``totals`` divided by their sum (NaN where that sum is zero).
    mean : float
        The mean of ``by`` weighted by ``table``, over the cells in the bins (NaN when
        their ``table`` values sum to zero).
    left_out : float
        The sum of ``table`` over the cells left out (see below), NaN values not counted.
    left_out_cells : int
        How many cells were left out: those whose ``by`` value is NaN, infinite or outside
        the bins, and those whose ``table`` value is NaN (an unknown number of trips).
    """

    table: str
    by: str
    edges: NDArray[np.float64]
    totals: NDArray[np.float64]
    shares: NDArray[np.float64]
    mean: float
    left_out: float
    left_out_cells: int

    @property
    def total(self) -> float:
        """float: The sum of ``table`` over the cells in the bins."""
        return float(self.totals.sum())

    def __repr__(self) -> str:
        return (
            f"<TripLengthDistribution of {self.table!r} by {self.by!r}: {len(self.totals)} bins "
            f"from {self.edges[0]:g} to {self.edges[-1]:g}, total {self.total:g}, "
            f"mean {self.mean:g}, left out {self.left_out:g} in {self.left_out_cells} cells>"
        )


def tlfd(
    matrix: Matrix, table: str, by: str, bins: BinsLike = DEFAULT_BINS
) -> TripLengthDistribution:
    """Return the trip length frequency distribution of ``table`` over the values of ``by``.

    Parameters
    ----------
    matrix : Matrix
    table : str
        The table whose values are summed per bin, usually trips.
    by : str
        The table whose values place each cell in a bin, usually a travel time, distance
        or cost.
    bins : int or array_like, default 20
        A number of bins of equal width from the smallest to the largest finite value of
        ``by`` among the cells that count, or the bin edges: at least two finite numbers,
        increasing (as `numpy.histogram` takes them).

    Returns
    -------
    TripLengthDistribution
        Cells whose ``by`` value is NaN, infinite or outside the bins, or whose ``table``
        value is NaN, are left out of the bins and the mean, and counted in
        ``left_out_cells`` and ``left_out``.

    Raises
    ------
    TableNotFoundError
        If the matrix has no table ``table`` or ``by`` (a `KeyError`).
    ValueError, TypeError
        If ``bins`` is neither a positive number of bins nor increasing finite edges.
    """
    values = matrix[table]
    places = matrix[by]
    edges = _edges(bins, values, places)
    count = len(edges) - 1
    totals = np.zeros(count)
    weighted = 0.0
    left_out = 0.0
    left_out_cells = 0
    with np.errstate(over="ignore", invalid="ignore"):
        # Block by block, so that the temporary arrays stay small for large tables.
        for trips, place in zip(row_blocks(values), row_blocks(places)):
            trips, place = trips.ravel(), place.ravel()
            inside = _counted(trips, place) & (place >= edges[0]) & (place <= edges[-1])
            left_out_cells += int(inside.size - np.count_nonzero(inside))
            left_out += float(np.nansum(trips[~inside]))
            trips, place = trips[inside], place[inside]
            # The bin of each value: the last edge at or below it, the last bin for the
            # last edge itself.
            index = np.minimum(np.searchsorted(edges, place, side="right") - 1, count - 1)
            totals += np.bincount(index, weights=trips, minlength=count)
            weighted += float(np.dot(trips, place))
        total = totals.sum()
        shares = totals / total if total != 0 else np.full(count, np.nan)
        mean = weighted / total if total != 0 else float("nan")
    for array in (edges, totals, shares):
        array.setflags(write=False)
    return TripLengthDistribution(
        table, by, edges, totals, shares, float(mean), left_out, left_out_cells
    )


def _counted(trips: NDArray[np.float64], place: NDArray[np.float64]) -> NDArray[np.bool_]:
    """The cells that may enter a bin: a finite place and a known number of trips."""
    return np.isfinite(place) & ~np.isnan(trips)


def _edges(
    bins: BinsLike, values: NDArray[np.float64], places: NDArray[np.float64]
) -> NDArray[np.float64]:
    """The bin edges: as given, or ``bins`` equal bins over the range of the cells that
    count."""
    if isinstance(bins, (str, bytes)):
        raise TypeError(f"bins must be a number of bins or the bin edges (got {bins!r})")
    if np.ndim(bins) == 0:
        try:
            count = operator.index(bins)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(
                f"bins must be a whole number of bins or the bin edges (got {bins!r})"
            ) from None
        if count < 1:
            raise ValueError(f"bins must be at least 1 (got {count})")
        return np.histogram_bin_edges(_range(values, places), bins=count).astype(np.float64)
    try:
        edges = np.array(bins, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"the bin edges must be numbers (got {bins!r})") from None
    if edges.ndim != 1 or len(edges) < 2:
        raise ValueError("the bin edges must be a sequence of at least two numbers")
    if not np.isfinite(edges).all():
        raise ValueError(
            "the bin edges must be finite numbers; to count every value beyond the last "
            "bin, make its right edge at least the largest value"
        )
    if (np.diff(edges) <= 0).any():
        raise ValueError("the bin edges must increase")
    return edges


def _range(values: NDArray[np.float64], places: NDArray[np.float64]) -> NDArray[np.float64]:
    """The smallest and largest place of the cells that count (empty when none does),
    for equal bins over them."""
    low, high = np.inf, -np.inf
    for trips, place in zip(row_blocks(values), row_blocks(places)):
        counted = place[_counted(trips, place)]
        if counted.size:
            low, high = min(low, counted.min()), max(high, counted.max())
    return np.array([low, high]) if low <= high else np.empty(0)
