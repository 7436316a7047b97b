"""Open Matrix (OMX) files: HDF5 files holding square matrices; needs the ``omx`` extra.

An OMX file has the root attributes ``OMX_VERSION`` and ``SHAPE`` (rows, columns), one
dataset per matrix in the group ``/data`` and zone lookups in the group ``/lookup``.
`write_omx` also stores what an OMX file has no place of its own for, so that a matrix
comes back unchanged from `read_omx`: the banner and run identifier as root attributes
``banner`` and ``run_id``, and each table's type code as the dataset attribute
``type_code``. Other programs ignore these.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

import numpy as np

from orvanel._header import unique_labels
from orvanel._optional import require
from orvanel._replace import replace_file
from orvanel._schema import TypeCodeLike, TypesLike, default_code, resolve_types
from orvanel.formats._common import Progress, attribute_text, select_tables
from orvanel.matrix import Matrix

__all__ = ["read_omx", "write_omx"]

OMX_VERSION = b"0.2"
LOOKUP_NAME = "zone_number"


def _h5py(feature: str) -> Any:
    return require("h5py", "omx", feature)


def _default_type(dataset: Any) -> TypeCodeLike:
    """The type code a dataset carries, or the one its element type suggests."""
    stored = attribute_text(dataset.attrs.get("type_code"))
    if stored is not None:
        return stored
    return default_code(dataset.dtype)


def read_omx(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    types: TypesLike = None,
    *,
    banner: str | None = None,
    run_id: str | None = None,
    progress: Progress | None = None,
) -> Matrix:
    """Read an OMX file into a matrix.

    Matrices are read by position: row ``i`` and column ``j`` (0-based) become origin
    and destination zone ``i + 1`` and ``j + 1``; the zone lookups are not consulted.

    Parameters
    ----------
    path : str or os.PathLike
        The OMX file.
    tables : str or iterable of str, optional
        Read only the matrices with these names; by default all, in file order.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take the
        dataset's ``type_code`` attribute if present, else a code that holds the
        dataset's values exactly: ``"S"`` for float32, ``0`` for integers, ``"D"``
        otherwise.
    banner, run_id : str, optional
        Header texts; by default the root attributes ``banner`` and ``run_id`` if present.
    progress : callable, optional
        Called with the number of cells just read, after each matrix.

    Returns
    -------
    Matrix

    Raises
    ------
    ImportError
        If h5py is not installed.
    OSError
        If the file cannot be opened as HDF5.
    ValueError
        If the file is not an OMX file of square matrices, or a named matrix is missing.
    """
    h5py = _h5py("orvanel.omx.read_omx")
    with h5py.File(os.fspath(path), "r") as handle:
        if "OMX_VERSION" not in handle.attrs:
            raise ValueError("not an OMX file: the OMX_VERSION attribute is missing")
        data = handle.get("data")
        if not isinstance(data, h5py.Group):
            raise ValueError("not an OMX file: the /data group is missing")
        shape = tuple(int(n) for n in np.asarray(handle.attrs.get("SHAPE", ())).ravel())
        if len(shape) != 2 or shape[0] != shape[1]:
            raise ValueError(f"OMX matrices must be square (SHAPE is {shape})")
        zones = shape[0]
        available = [name for name, item in data.items() if isinstance(item, h5py.Dataset)]
        if not available:
            raise ValueError("the OMX file holds no matrices")
        names = [available[i] for i in select_tables(available, tables, "the OMX file")]
        stack = np.empty((len(names), zones, zones), dtype=np.float64)
        stored: list[TypeCodeLike] = []
        for position, name in enumerate(names):
            dataset = data[name]
            if dataset.shape != (zones, zones):
                raise ValueError(
                    f"OMX matrix {name!r} has shape {dataset.shape}, not SHAPE {shape}"
                )
            if dataset.dtype.kind not in "biuf":
                raise ValueError(f"OMX matrix {name!r} is not numeric ({dataset.dtype})")
            dataset.read_direct(stack, dest_sel=np.s_[position])
            stored.append(_default_type(dataset))
            if progress is not None:
                progress(zones * zones)
        codes = resolve_types(names, types, stored)
        attrs = handle.attrs
        header_banner = banner if banner is not None else attribute_text(attrs.get("banner"))
        header_run_id = run_id if run_id is not None else attribute_text(attrs.get("run_id"))
    return Matrix._adopt(stack, list(zip(names, codes)), header_banner, header_run_id)


def write_omx(
    matrix: Matrix,
    path: str | os.PathLike[str],
    *,
    compression: str | None = "gzip",
    compression_level: int | None = 1,
    shuffle: bool = True,
    progress: Progress | None = None,
) -> None:
    """Write a matrix to an OMX file.

    Each table becomes a float64 dataset ``/data/<name>`` holding its values exactly;
    ``/lookup/zone_number`` holds the zone numbers 1..Z. The file appears only once it is
    complete.

    Parameters
    ----------
    matrix : Matrix
        The matrix to write.
    path : str or os.PathLike
        Where to write; an existing file is replaced.
    compression : str or None, default "gzip"
        HDF5 compression filter for the matrices, or None for none.
    compression_level : int or None, default 1
        The filter's option (the gzip level).
    shuffle : bool, default True
        Apply the byte shuffle filter before compressing.
    progress : callable, optional
        Called with the number of cells just written, after each matrix.

    Raises
    ------
    ImportError
        If h5py is not installed.
    ValueError
        If two tables have the same name, or a name cannot name an HDF5 dataset.
    OSError
        If the file cannot be written.
    """
    h5py = _h5py("orvanel.omx.write_omx")
    names = unique_labels(matrix.names, "the OMX file")
    for name in names:
        if "/" in name or name in (".", ".."):
            raise ValueError(f"table name {name!r} cannot name an OMX matrix")
    zones = matrix.zones
    filters: dict[str, Any] = {}
    if compression is not None:
        filters = {"compression": compression, "compression_opts": compression_level}
    codes = [info.type_code for info in matrix.tables]
    values = matrix.values()
    with replace_file(path, in_place_ok=False) as temporary, h5py.File(temporary, "w") as handle:
        handle.attrs["OMX_VERSION"] = np.bytes_(OMX_VERSION)
        handle.attrs["SHAPE"] = np.array([zones, zones], dtype=np.int32)
        handle.attrs["banner"] = matrix.banner
        handle.attrs["run_id"] = matrix.run_id
        data = handle.create_group("data", track_order=True)
        lookup = handle.create_group("lookup", track_order=True)
        lookup.create_dataset(LOOKUP_NAME, data=np.arange(1, zones + 1, dtype=np.int32))
        for name, code, table in zip(names, codes, values):
            dataset = data.create_dataset(
                name,
                data=table,
                shuffle=shuffle,
                **filters,
            )
            dataset.attrs["type_code"] = code
            if progress is not None:
                progress(zones * zones)
