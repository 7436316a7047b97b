"""`Matrix` to and from an `xarray.Dataset`."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from orvanel._header import header_text, stored_text, unique_labels
from orvanel._optional import require
from orvanel._schema import DEFAULT_TYPE, TypesLike, default_code, resolve_types, type_code
from orvanel._values import square_table
from orvanel._zones import check_labels, positions_of
from orvanel.matrix import Matrix

if TYPE_CHECKING:
    import xarray

DIMS = ("origin", "destination")


def to_xarray(matrix: Matrix) -> xarray.Dataset:
    """Return a matrix as a Dataset with one variable per table.

    Parameters
    ----------
    matrix : Matrix

    Returns
    -------
    xarray.Dataset
        One float64 variable per table, in table order (a repeated table name is
        labelled by position, ``A#2``), with dimensions ``("origin", "destination")``
        and the zone labels (1..Z unless the matrix has labels of its own) as
        coordinates on both. The variables are views of the matrix's values. The
        Dataset's ``attrs`` hold ``banner`` and ``run_id``; each variable's ``attrs``
        hold its ``type_code``. `orvanel.from_xarray` reads all of these back.

    Raises
    ------
    ImportError
        If xarray is not installed.
    """
    xr: Any = require("xarray", "xarray", "Matrix.to_xarray")
    names = unique_labels(matrix.names, "the Dataset's variables")
    labels = np.array(matrix.zone_labels)
    dataset = xr.Dataset(
        {
            name: (DIMS, table, {"type_code": info.type_code})
            for name, info, table in zip(names, matrix.tables, matrix.values())
        },
        coords={"origin": labels, "destination": labels},
        attrs={"banner": matrix.banner, "run_id": matrix.run_id},
    )
    result: xarray.Dataset = dataset
    return result


def _zone_order(dataset: Any, dim: str, zones: int, labels: Any) -> Any:
    """Positions that put a zone coordinate in zone order; None if there is none."""
    if dim not in dataset.coords:
        return None
    values = np.asarray(dataset[dim].values)
    if labels is not None:
        if values.dtype.kind not in "iuf":
            raise ValueError(f"the {dim} coordinate must hold zone labels (integers)")
        positions = positions_of(values, labels, dim)
        order = np.empty(zones, dtype=np.int64)
        if len(np.unique(positions)) != zones:
            raise ValueError(f"the {dim} coordinate must hold every zone label once")
        order[positions - 1] = np.arange(zones)
        return order
    order = np.argsort(values, kind="stable")
    if values.dtype.kind not in "iuf" or not np.array_equal(values[order], np.arange(1, zones + 1)):
        raise ValueError(
            f"the {dim} coordinate must hold the zone numbers 1 to {zones}; for a zone "
            "system numbered otherwise, pass its numbers as zone_labels="
        )
    return order


def from_xarray(
    dataset: xarray.Dataset,
    types: TypesLike = None,
    *,
    zone_labels: ArrayLike | None = None,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Build a matrix from a Dataset.

    Parameters
    ----------
    dataset : xarray.Dataset
        Every data variable is a table, in variable order, with exactly the dimensions
        ``origin`` and ``destination`` (in either order) of equal size Z. Zone
        coordinates, where present, must hold the numbers 1..Z in any order (or the
        ``zone_labels``); cells are placed by zone.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take their
        variable's ``type_code`` attribute if present, else the code for the variable's
        element type: ``0`` for integers and booleans, ``"S"`` for float32, else ``"D"``.
    zone_labels : sequence of int, optional
        The zone system's numbers, one per zone position: the coordinates are then
        labels, placed at their position in this list, and the matrix keeps them.
    banner, run_id : str, optional
        Header texts; by default the Dataset's ``banner`` and ``run_id`` attributes if
        present.

    Returns
    -------
    Matrix

    Raises
    ------
    ImportError
        If xarray is not installed.
    ValueError
        If a variable has other dimensions or the coordinates are not zone numbers.
    """
    xr: Any = require("xarray", "xarray", "orvanel.from_xarray")
    if not isinstance(dataset, xr.Dataset):
        raise TypeError(f"from_xarray takes an xarray.Dataset (got {type(dataset).__name__})")
    header_text(banner, "banner", "")
    header_text(run_id, "run_id", "")
    names = [str(name) for name in dataset.data_vars]
    if not names:
        raise ValueError("the Dataset has no data variables")
    for name in dataset.data_vars:
        dims = dataset[name].dims
        if sorted(map(str, dims)) != sorted(DIMS):
            raise ValueError(
                f"variable {name!r} must have the dimensions ('origin', 'destination') (got {dims})"
            )
    zones = int(dataset.sizes["origin"])
    if int(dataset.sizes["destination"]) != zones:
        raise ValueError(
            f"origin and destination must have the same size "
            f"(got {zones} and {dataset.sizes['destination']})"
        )
    labels = check_labels(zone_labels, zones) if zone_labels is not None else None
    selection = {
        dim: order
        for dim in DIMS
        if (order := _zone_order(dataset, dim, zones, labels)) is not None
    }
    stack = np.empty((len(names), zones, zones), dtype=np.float64)
    stored: list[str] = []
    for position, name in enumerate(dataset.data_vars):
        variable = dataset[name]
        if selection:
            variable = variable.isel(selection)
        values = square_table(variable.transpose(*DIMS).values, zones, f"variable {name!r}")
        stack[position] = values
        stored.append(_stored_code(variable.attrs.get("type_code"), values.dtype))
    codes = resolve_types(names, types, stored)
    attrs = dataset.attrs
    return Matrix._adopt(
        stack,
        list(zip(names, codes)),
        banner if banner is not None else stored_text(attrs.get("banner")),
        run_id if run_id is not None else stored_text(attrs.get("run_id")),
        labels,
    )


def _stored_code(code: object, dtype: np.dtype[Any]) -> str:
    if isinstance(code, (str, int, np.integer)) and not isinstance(code, bool):
        try:
            return type_code(int(code) if isinstance(code, np.integer) else code)
        except (TypeError, ValueError):
            pass
    return default_code(dtype) if dtype is not None else DEFAULT_TYPE
