"""Long form: one row per (origin, destination) pair, one value column per table."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._values import inexact_integer, numeric_array

ZONE_COLUMNS = ("origin", "destination")
"""The zone columns of long-form tables (CSV, pandas)."""


def zone_pairs(zones: int) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Origin and destination numbers (1-based) of every cell, origin-major."""
    numbers = np.arange(1, zones + 1, dtype=np.int64)
    return np.repeat(numbers, zones), np.tile(numbers, zones)


def _zone_numbers(values: ArrayLike, what: str) -> NDArray[np.int64]:
    array = np.asarray(values)
    if array.dtype.kind in "iu":
        return array.astype(np.int64, copy=False)
    if array.dtype.kind == "f":
        whole = np.isfinite(array) & (array == np.floor(array))
        if not whole.all():
            bad = array[~whole][0]
            raise ValueError(f"{what} zone numbers must be whole numbers (got {bad!r})")
        return array.astype(np.int64)
    raise TypeError(f"{what} zone numbers must be integers (got dtype {array.dtype})")


def long_to_stack(
    origins: ArrayLike,
    destinations: ArrayLike,
    columns: Sequence[ArrayLike],
    zones: int | None = None,
    names: Sequence[str] | None = None,
) -> tuple[int, NDArray[np.float64]]:
    """Scatter long-form columns into a ``(T, Z, Z)`` stack.

    Cells without a row are 0.0. Without ``zones`` the zone count is the largest zone
    number present. Every zone number must lie in 1..Z and every pair occur at most once.

    Returns
    -------
    zones : int
    stack : numpy.ndarray
    """
    o = _zone_numbers(origins, "origin")
    d = _zone_numbers(destinations, "destination")
    if o.shape != d.shape or o.ndim != 1:
        raise ValueError("origin and destination must be 1-D and of equal length")
    if zones is None:
        if o.size == 0:
            raise ValueError("cannot tell the zone count from an empty table; give zones")
        zones = int(max(o.max(), d.max()))
    for numbers, what in ((o, "origin"), (d, "destination")):
        outside = (numbers < 1) | (numbers > zones)
        if outside.any():
            raise ValueError(f"{what} zone {int(numbers[outside][0])} is outside 1 to {zones}")
    cells = (o - 1) * zones + (d - 1)
    order = np.argsort(cells, kind="stable")
    repeated = np.flatnonzero(np.diff(cells[order]) == 0)
    if repeated.size:
        first = cells[order][repeated[0]]
        raise ValueError(
            f"zone pair ({first // zones + 1}, {first % zones + 1}) occurs more than once"
        )
    stack = np.zeros((len(columns), zones * zones), dtype=np.float64)
    for index, column in enumerate(columns):
        what = f"table {names[index]!r}" if names is not None else "a table"
        values = numeric_array(column, what)
        if values.shape != o.shape:
            raise ValueError("every column must have one value per zone pair")
        if values.dtype.kind in "iu" and values.dtype.itemsize == 8:
            inexact = inexact_integer(values)
            if inexact is not None:
                raise ValueError(
                    f"{what}: the integer {values[inexact]} at origin {o[inexact]}, "
                    f"destination {d[inexact]} cannot be held exactly as a float64 value"
                )
        stack[index, cells] = values
    return zones, stack.reshape(len(columns), zones, zones)
