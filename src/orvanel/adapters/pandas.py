"""`Matrix` to and from a long `pandas.DataFrame`."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from orvanel._header import ZonesInferredWarning, header_text, stored_text, unique_labels
from orvanel._long import ZONE_COLUMNS, long_to_stack, zone_pairs
from orvanel._optional import require
from orvanel._schema import TypesLike, default_code, resolve_types
from orvanel._values import numeric_array
from orvanel.matrix import Matrix

if TYPE_CHECKING:
    import pandas


def to_pandas(matrix: Matrix) -> pandas.DataFrame:
    """Return a matrix as a long DataFrame.

    Parameters
    ----------
    matrix : Matrix

    Returns
    -------
    pandas.DataFrame
        One row per cell, Z * Z rows in origin-major order, indexed by a MultiIndex with
        levels ``origin`` and ``destination`` (the zone labels: 1..Z unless the matrix has
        labels of its own), and one float64 column per table (a repeated table name is
        labelled by position, ``A#2``). ``attrs`` holds ``zones``, ``banner``, ``run_id``
        and ``type_codes`` (a dict column -> type code), which `orvanel.from_pandas` reads back.

    Raises
    ------
    ImportError
        If pandas is not installed.
    """
    pd: Any = require("pandas", "pandas", "Matrix.to_pandas")
    names = unique_labels(matrix.names, "the DataFrame's columns")
    zones = matrix.zones
    labels = matrix.zone_labels
    origins, destinations = zone_pairs(zones)
    index = pd.MultiIndex.from_arrays(
        [labels[origins - 1], labels[destinations - 1]], names=list(ZONE_COLUMNS)
    )
    stack = matrix.to_numpy().reshape(len(names), zones * zones)
    frame = pd.DataFrame(
        {name: stack[position] for position, name in enumerate(names)}, index=index
    )
    frame.attrs["zones"] = zones
    frame.attrs["banner"] = matrix.banner
    frame.attrs["run_id"] = matrix.run_id
    frame.attrs["type_codes"] = {name: info.type_code for name, info in zip(names, matrix.tables)}
    result: pandas.DataFrame = frame
    return result


def from_pandas(
    frame: pandas.DataFrame,
    types: TypesLike = None,
    *,
    zones: int | None = None,
    zone_labels: ArrayLike | None = None,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Build a matrix from a long DataFrame.

    Parameters
    ----------
    frame : pandas.DataFrame
        One row per (origin, destination) pair. The zone numbers come from index levels
        or columns named ``origin`` and ``destination``; every other column is a table,
        in column order. Pairs without a row are 0.0; a pair may occur only once.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take the code
        from ``frame.attrs["type_codes"]`` if present, else the code for the column's
        element type: ``0`` for integers and booleans, ``"S"`` for float32, else ``"D"``.
    zones : int, optional
        The zone count; by default the number of ``zone_labels``, else
        ``frame.attrs["zones"]``, else the largest zone number in the frame (with a
        `ZonesInferredWarning`: zones above the last one with a row would be lost).
    zone_labels : sequence of int, optional
        The zone system's numbers, one per zone position: the frame's zone numbers are
        then labels, placed at their position in this list. Without it they are
        positions 1..Z.
    banner, run_id : str, optional
        Header texts; by default ``frame.attrs["banner"]`` and ``frame.attrs["run_id"]``
        if present.

    Returns
    -------
    Matrix

    Raises
    ------
    ImportError
        If pandas is not installed.
    ValueError
        If the zone columns are missing, a zone number is outside 1..Z (or not a label),
        a pair repeats, or an integer cannot be held exactly as float64.
    TypeError
        If a table column is not numeric.
    """
    pd: Any = require("pandas", "pandas", "orvanel.from_pandas")
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"from_pandas takes a pandas.DataFrame (got {type(frame).__name__})")
    header_text(banner, "banner", "")
    header_text(run_id, "run_id", "")
    index_levels = [name for name in ZONE_COLUMNS if name in (frame.index.names or [])]
    if index_levels:
        frame = frame.reset_index(level=index_levels)
    missing = [name for name in ZONE_COLUMNS if name not in frame.columns]
    if missing:
        raise ValueError(
            "the DataFrame needs 'origin' and 'destination' as index levels or columns "
            f"(missing: {', '.join(missing)})"
        )
    names = [name for name in frame.columns if name not in ZONE_COLUMNS]
    columns = []
    dtypes = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got column {name!r})")
        column = frame[name]
        if not pd.api.types.is_numeric_dtype(column) or pd.api.types.is_complex_dtype(column):
            raise TypeError(f"column {name!r} is not numeric (dtype {column.dtype})")
        values = _column_values(column)
        dtypes.append(values.dtype)
        columns.append(numeric_array(values, f"column {name!r}"))
    labels = None
    origins = frame["origin"].to_numpy()
    destinations = frame["destination"].to_numpy()
    if zone_labels is not None:
        from orvanel._zones import check_labels, positions_of

        labels = check_labels(zone_labels, len(np.asarray(zone_labels)))
        origins = positions_of(origins, labels, "origin")
        destinations = positions_of(destinations, labels, "destination")
        if zones is None:
            zones = len(labels)
    stored_zones = frame.attrs.get("zones")
    if zones is None and isinstance(stored_zones, int) and not isinstance(stored_zones, bool):
        zones = stored_zones
    count, stack = long_to_stack(origins, destinations, columns, zones, names)
    if zones is None:
        warnings.warn(
            f"zones inferred from the data: {count} (pass zones= to set it)",
            ZonesInferredWarning,
            stacklevel=2,
        )
    attrs = frame.attrs
    stored = attrs.get("type_codes")
    defaults = [
        stored[name] if isinstance(stored, dict) and name in stored else default_code(dtype)
        for name, dtype in zip(names, dtypes)
    ]
    codes = resolve_types(names, types, defaults)
    matrix = Matrix._adopt(
        stack,
        list(zip(names, codes)),
        banner if banner is not None else stored_text(attrs.get("banner")),
        run_id if run_id is not None else stored_text(attrs.get("run_id")),
    )
    if labels is not None:
        matrix.zone_labels = labels
    return matrix


def _column_values(column: Any) -> Any:
    """A column's values as a NumPy array; missing values of nullable types become NaN."""
    values = column.to_numpy()
    if values.dtype.kind == "O":
        values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return values
