"""Checking and converting the arrays handed to the public API."""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
from numpy.typing import ArrayLike, NDArray


def as_table(values: ArrayLike, zones: int | None, what: str) -> NDArray[np.float64]:
    """Return ``values`` as a square float64 array, checking its shape.

    ``zones`` is the required size, or None to accept any square array. ``what`` names the
    table in error messages. Integer and boolean arrays are converted; complex, string and
    object arrays are refused rather than converted silently.
    """
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers (got dtype {array.dtype})")
    if zones is None:
        if array.ndim != 2 or array.shape[0] != array.shape[1]:
            raise ValueError(f"{what} must be a square 2-D array (got shape {array.shape})")
    elif array.shape != (zones, zones):
        raise ValueError(f"{what} must have shape ({zones}, {zones}) (got {array.shape})")
    return array.astype(np.float64, copy=False)


def stack_tables(
    arrays: Mapping[str, ArrayLike],
) -> tuple[int, list[str], NDArray[np.float64]]:
    """Stack a mapping name -> square array into one ``(T, Z, Z)`` float64 array.

    Returns the zone count, the names in mapping order and the stack. All arrays must
    have the same square shape.
    """
    if not isinstance(arrays, Mapping):
        raise TypeError(f"arrays must be a mapping name -> 2-D array (got {type(arrays).__name__})")
    if not arrays:
        raise ValueError("arrays must hold at least one table")
    names = list(arrays)
    zones: int | None = None
    tables = []
    for name in names:
        table = as_table(arrays[name], zones, f"table {name!r}")
        zones = table.shape[0]
        tables.append(table)
    assert zones is not None
    return zones, names, np.stack(tables)
