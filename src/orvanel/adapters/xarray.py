"""`Matrix` to and from an `xarray.Dataset`."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from orvanel._arrays import as_table
from orvanel._optional import require
from orvanel._schema import DEFAULT_TYPE, TypeCodeLike, TypesLike, resolve_types
from orvanel.adapters._common import require_unique
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
        One float64 variable per table, in table order, with dimensions
        ``("origin", "destination")`` and zone coordinates 1..Z on both. The Dataset's
        ``attrs`` hold ``banner`` and ``run_id``; each variable's ``attrs`` hold its
        ``type_code``. `from_xarray` reads all of these back.

    Raises
    ------
    ImportError
        If xarray is not installed.
    ValueError
        If two tables have the same name.
    """
    xr: Any = require("xarray", "xarray", "Matrix.to_xarray")
    names = matrix.names
    require_unique(names, "an xarray Dataset")
    codes = [info.type_code for info in matrix.tables]
    stack = matrix.to_numpy()
    zones = np.arange(1, matrix.zones + 1, dtype=np.int64)
    dataset = xr.Dataset(
        {
            name: (DIMS, stack[position], {"type_code": codes[position]})
            for position, name in enumerate(names)
        },
        coords={"origin": zones, "destination": zones},
        attrs={"banner": matrix.banner, "run_id": matrix.run_id},
    )
    result: xarray.Dataset = dataset
    return result


def _zone_order(dataset: Any, dim: str, zones: int) -> Any:
    """Positions that put a zone coordinate in order 1..Z; None if there is none."""
    if dim not in dataset.coords:
        return None
    values = np.asarray(dataset[dim].values)
    order = np.argsort(values, kind="stable")
    if values.dtype.kind not in "iuf" or not np.array_equal(values[order], np.arange(1, zones + 1)):
        raise ValueError(f"the {dim} coordinate must hold the zone numbers 1..{zones}")
    return order


def from_xarray(
    dataset: xarray.Dataset,
    types: TypesLike = None,
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Build a matrix from a Dataset.

    Parameters
    ----------
    dataset : xarray.Dataset
        Every data variable is a table, in variable order, with exactly the dimensions
        ``origin`` and ``destination`` (in either order) of equal size Z. Zone
        coordinates, where present, must hold the numbers 1..Z in any order; cells are
        placed by zone number.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take their
        variable's ``type_code`` attribute if present, else double precision.
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
    selection = {
        dim: order for dim in DIMS if (order := _zone_order(dataset, dim, zones)) is not None
    }
    stored: list[TypeCodeLike] = []
    tables = []
    for name in dataset.data_vars:
        variable = dataset[name]
        if selection:
            variable = variable.isel(selection)
        tables.append(as_table(variable.transpose(*DIMS).values, zones, f"variable {name!r}"))
        stored.append(_stored_code(variable.attrs.get("type_code")))
    codes = resolve_types(names, types, stored)
    attrs = dataset.attrs
    return Matrix._from_stack(
        zones,
        list(zip(names, codes)),
        np.stack(tables),
        banner=banner if banner is not None else _text(attrs.get("banner")),
        run_id=run_id if run_id is not None else _text(attrs.get("run_id")),
    )


def _stored_code(code: object) -> TypeCodeLike:
    if isinstance(code, str):
        return code
    if isinstance(code, (int, np.integer)) and not isinstance(code, bool):
        return int(code)
    return DEFAULT_TYPE


def _text(value: object) -> str | None:
    return value if isinstance(value, str) else None
