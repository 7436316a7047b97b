"""Zone labels: the numbers a zone system gives its zones, beside their positions 1..Z."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray


def default_labels(zones: int) -> NDArray[np.int64]:
    """The labels of a matrix that has none of its own: 1..Z."""
    return _frozen(np.arange(1, zones + 1, dtype=np.int64))


def check_labels(labels: ArrayLike, zones: int) -> NDArray[np.int64]:
    """``labels`` as a read-only int64 array of ``zones`` distinct integers."""
    array = np.asarray(labels)
    if np.ma.isMaskedArray(labels) or array.dtype.kind not in "iuf" or array.ndim != 1:
        raise TypeError("zone labels must be a 1-D sequence of integers")
    if array.shape[0] != zones:
        raise ValueError(f"zone labels must number {zones}, one per zone (got {array.shape[0]})")
    if array.dtype.kind == "f":
        whole = np.isfinite(array) & (array == np.round(array)) & (np.abs(array) < 2**63)
        if not whole.all():
            raise ValueError(f"zone labels must be integers (got {array[~whole][0]!r})")
    elif array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError(f"zone label {array.max()} is too large")
    result = array.astype(np.int64)
    ordered = np.sort(result)
    repeated = ordered[1:][ordered[1:] == ordered[:-1]]
    if repeated.size:
        raise ValueError(f"zone labels must be distinct ({int(repeated[0])} occurs more than once)")
    return _frozen(result)


def is_default(labels: NDArray[np.int64]) -> bool:
    """Whether ``labels`` are the positions 1..Z."""
    return bool(np.array_equal(labels, np.arange(1, labels.shape[0] + 1)))


def _frozen(array: NDArray[np.int64]) -> NDArray[np.int64]:
    array.flags.writeable = False
    return array


def positions_of(numbers: ArrayLike, labels: NDArray[np.int64], what: str) -> NDArray[np.int64]:
    """The 1-based zone positions of zone ``numbers`` given as labels."""
    values = np.asarray(numbers)
    order = np.argsort(labels, kind="stable")
    ordered = labels[order]
    found = np.searchsorted(ordered, values)
    found = np.minimum(found, len(ordered) - 1)
    known = ordered[found] == values
    if not known.all():
        raise ValueError(f"{what} zone {values[~known][0].item()} is not one of the zone labels")
    return np.asarray(order[found] + 1, dtype=np.int64)
