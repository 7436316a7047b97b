"""Checking and converting the arrays handed to the public API.

Every array becomes float64 on its way into a matrix. Nothing may change without a word
on the way: masked arrays (whose hidden values would be stored), non-numeric arrays and
integers that float64 cannot hold exactly are refused.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Every integer of at most this magnitude is a float64 exactly.
EXACT_INTEGER_LIMIT = 2**53


def numeric_array(values: ArrayLike, what: str) -> NDArray[Any]:
    """``values`` as an array of booleans, integers or reals; anything else refused."""
    if np.ma.isMaskedArray(values):
        raise TypeError(
            f"{what} is a masked array, whose masked cells hold hidden values; fill it "
            "first, for example with values.filled(0.0) or values.filled(np.nan)"
        )
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers (got dtype {array.dtype})")
    return array


def to_float64(array: NDArray[Any], what: str, first_row: int = 0) -> NDArray[np.float64]:
    """``array`` as float64, refusing integers that the conversion would round.

    ``first_row`` is the 0-based row of a table that a 2-D ``array`` starts at (a block
    of rows), for messages.
    """
    if array.dtype.kind in "iu" and array.dtype.itemsize == 8:
        check_exact_integers(array, what, first_row)
    return array.astype(np.float64, copy=False)


def inexact_integer(array: NDArray[Any]) -> int | None:
    """The flat position of the first integer of ``array`` that float64 cannot hold
    exactly, or None."""
    flat = array.reshape(-1)
    large = np.flatnonzero((flat > EXACT_INTEGER_LIMIT) | (flat < -EXACT_INTEGER_LIMIT))
    if large.size == 0:
        return None
    values = flat[large]
    rounded = values.astype(np.float64)
    # Converting back is defined only below 2**63 (2**64 unsigned); at or above it the
    # value was rounded up past the largest integer of the type, so it is not exact.
    fits = rounded < float(2**64 if values.dtype.kind == "u" else 2**63)
    back = np.where(fits, rounded, 0.0).astype(values.dtype)
    inexact = np.flatnonzero(~fits | (back != values))
    return int(large[inexact[0]]) if inexact.size else None


def check_exact_integers(array: NDArray[Any], what: str, first_row: int = 0) -> None:
    """Raise ValueError naming one cell if an integer does not survive float64.

    ``first_row`` is the 0-based row of a table that a 2-D ``array`` starts at.
    """
    position = inexact_integer(array)
    if position is not None:
        value = array.reshape(-1)[position]
        raise ValueError(
            f"{what}: the integer {value} at {_cell(array.shape, position, first_row)} cannot "
            "be held exactly as a float64 value; convert it deliberately if rounding is "
            "acceptable"
        )


def _cell(shape: tuple[int, ...], flat: int, first_row: int = 0) -> str:
    index = np.unravel_index(flat, shape)
    if len(shape) == 2:
        return f"origin {first_row + index[0] + 1}, destination {index[1] + 1}"
    return f"position {tuple(int(i) for i in index)}"


def square_table(values: ArrayLike, zones: int | None, what: str) -> NDArray[Any]:
    """``values`` as a checked square array whose values float64 holds exactly, in its own
    element type (assigning it into a float64 array converts it without a copy).

    ``zones`` is the required size, or None to accept any non-empty square array. ``what``
    names the table in error messages.
    """
    array = numeric_array(values, what)
    if zones is None:
        if array.ndim != 2 or array.shape[0] != array.shape[1] or array.shape[0] == 0:
            raise ValueError(f"{what} must be a square 2-D array (got shape {array.shape})")
    elif array.shape != (zones, zones):
        raise ValueError(f"{what} must have shape ({zones}, {zones}) (got {array.shape})")
    if array.dtype.kind in "iu" and array.dtype.itemsize == 8:
        check_exact_integers(array, what)
    return array


def as_table(values: ArrayLike, zones: int | None, what: str) -> NDArray[np.float64]:
    """`square_table` converted to float64 (no copy when it already is)."""
    return square_table(values, zones, what).astype(np.float64, copy=False)


def _table_names(arrays: Mapping[str, ArrayLike]) -> list[str]:
    """The names of a mapping name -> array, checked."""
    if not isinstance(arrays, Mapping):
        raise TypeError(f"arrays must be a mapping name -> 2-D array (got {type(arrays).__name__})")
    if not arrays:
        raise ValueError("arrays must hold at least one table")
    names = list(arrays)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {name!r})")
    return names


def square_tables(
    arrays: Mapping[str, ArrayLike],
) -> tuple[int, list[str], list[NDArray[np.float64]]]:
    """The checked tables of a mapping name -> square array, each as float64: a float64
    array as it is (any memory layout), any other converted on its own.

    Returns the zone count, the names in mapping order and the tables. All arrays must
    have the same square shape.
    """
    names = _table_names(arrays)
    zones: int | None = None
    tables = []
    for name in names:
        table = as_table(arrays[name], zones, f"table {name!r}")
        zones = table.shape[0]
        tables.append(table)
    assert zones is not None
    return zones, names, tables


def stack_tables(
    arrays: Mapping[str, ArrayLike],
) -> tuple[int, list[str], NDArray[np.float64]]:
    """Stack a mapping name -> square array into one new ``(T, Z, Z)`` float64 array.

    Returns the zone count, the names in mapping order and the stack. All arrays must
    have the same square shape.
    """
    names = _table_names(arrays)
    zones: int | None = None
    stack: NDArray[np.float64] | None = None
    for position, name in enumerate(names):
        table = square_table(arrays[name], zones, f"table {name!r}")
        if stack is None:
            zones = table.shape[0]
            stack = np.empty((len(names), zones, zones), dtype=np.float64)
        stack[position] = table
    assert zones is not None and stack is not None
    return zones, names, stack
