"""`Matrix` to and from a long `pandas.DataFrame`."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from orvanel._long import long_to_stack, zone_pairs
from orvanel._optional import require
from orvanel._schema import DEFAULT_TYPE, TypesLike, resolve_types
from orvanel.adapters._common import require_unique
from orvanel.matrix import Matrix

if TYPE_CHECKING:
    import pandas

ZONE_COLUMNS = ("origin", "destination")


def to_pandas(matrix: Matrix) -> pandas.DataFrame:
    """Return a matrix as a long DataFrame.

    Parameters
    ----------
    matrix : Matrix

    Returns
    -------
    pandas.DataFrame
        One row per cell, Z * Z rows in origin-major order, indexed by a MultiIndex with
        levels ``origin`` and ``destination`` (zone numbers, 1-based), and one float64
        column per table. ``attrs`` holds ``banner``, ``run_id`` and ``type_codes`` (a
        dict name -> type code), which `from_pandas` reads back.

    Raises
    ------
    ImportError
        If pandas is not installed.
    ValueError
        If two tables have the same name.
    """
    pd: Any = require("pandas", "pandas", "Matrix.to_pandas")
    names = matrix.names
    require_unique(names, "a DataFrame")
    zones = matrix.zones
    origins, destinations = zone_pairs(zones)
    index = pd.MultiIndex.from_arrays([origins, destinations], names=list(ZONE_COLUMNS))
    stack = matrix.to_numpy().reshape(len(names), zones * zones)
    frame = pd.DataFrame(
        {name: stack[position] for position, name in enumerate(names)}, index=index
    )
    frame.attrs["banner"] = matrix.banner
    frame.attrs["run_id"] = matrix.run_id
    frame.attrs["type_codes"] = matrix.type_codes
    result: pandas.DataFrame = frame
    return result


def from_pandas(
    frame: pandas.DataFrame,
    types: TypesLike = None,
    *,
    zones: int | None = None,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Build a matrix from a long DataFrame.

    Parameters
    ----------
    frame : pandas.DataFrame
        One row per (origin, destination) pair. The zone numbers (1-based) come from
        index levels or columns named ``origin`` and ``destination``; every other column
        is a table, in column order. Pairs without a row are 0.0; a pair may occur only
        once.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take the code
        from ``frame.attrs["type_codes"]`` if present, else double precision.
    zones : int, optional
        The zone count; by default the largest zone number in the frame.
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
        If the zone columns are missing, a zone number is outside 1..Z or a pair repeats.
    TypeError
        If a table column is not numeric.
    """
    pd: Any = require("pandas", "pandas", "orvanel.from_pandas")
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"from_pandas takes a pandas.DataFrame (got {type(frame).__name__})")
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
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got column {name!r})")
        if not pd.api.types.is_numeric_dtype(frame[name]):
            raise TypeError(f"column {name!r} is not numeric (dtype {frame[name].dtype})")
    require_unique(names, "a Matrix built from a DataFrame")
    zones, stack = long_to_stack(
        frame["origin"].to_numpy(),
        frame["destination"].to_numpy(),
        [frame[name].to_numpy(dtype=np.float64, na_value=np.nan) for name in names],
        zones,
    )
    attrs = frame.attrs
    stored = attrs.get("type_codes")
    if isinstance(stored, dict):
        codes = resolve_types(names, types, [stored.get(name, DEFAULT_TYPE) for name in names])
    else:
        codes = resolve_types(names, types)
    return Matrix._from_stack(
        zones,
        list(zip(names, codes)),
        stack,
        banner=banner if banner is not None else _text(attrs.get("banner")),
        run_id=run_id if run_id is not None else _text(attrs.get("run_id")),
    )


def _text(value: object) -> str | None:
    return value if isinstance(value, str) else None
