"""NumPy ``.npz`` archives: one ``(Z, Z)`` array per table.

Besides the tables the archive holds the entry ``__orvanel__``, a JSON text with the
banner, the run identifier and the type codes, so that a matrix comes back unchanged.
Archives without it are read too: every array is a table, typed by its element type.
"""

from __future__ import annotations

import json
import os
import zipfile
from collections.abc import Iterable
from typing import Any

import numpy as np

from orvanel._header import unique_labels
from orvanel._replace import replace_file
from orvanel._schema import TypeCodeLike, default_code, type_code
from orvanel._values import to_float64
from orvanel.formats._common import Progress, attribute_text, select_tables
from orvanel.matrix import Matrix

META_KEY = "__orvanel__"


def write_npz(
    matrix: Matrix, path: str | os.PathLike[str], progress: Progress | None = None
) -> None:
    """Write a matrix to a compressed ``.npz`` archive; float64 values, exact."""
    names = unique_labels(matrix.names, "the .npz archive")
    if META_KEY in names:
        raise ValueError(f"a table named {META_KEY!r} cannot be stored in an .npz archive")
    meta = {
        "banner": matrix.banner,
        "run_id": matrix.run_id,
        "type_codes": matrix.type_codes,
    }
    with (
        replace_file(path, in_place_ok=False) as temporary,
        zipfile.ZipFile(temporary, "w", compression=zipfile.ZIP_DEFLATED) as archive,
    ):
        for name, table in zip(names, matrix.values()):
            with archive.open(f"{name}.npy", "w", force_zip64=True) as entry:
                np.lib.format.write_array(entry, table, allow_pickle=False)
            if progress is not None:
                progress(table.size)
        with archive.open(f"{META_KEY}.npy", "w") as entry:
            np.lib.format.write_array(entry, np.array(json.dumps(meta)), allow_pickle=False)


def read_npz(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    progress: Progress | None = None,
) -> Matrix:
    """Read a matrix from an ``.npz`` archive of square arrays."""
    with np.load(os.fspath(path), allow_pickle=False) as archive:
        meta = _meta(archive)
        available = [name for name in archive.files if name != META_KEY]
        if not available:
            raise ValueError("the .npz archive holds no arrays")
        names = [available[i] for i in select_tables(available, tables, "the .npz archive")]
        arrays = []
        zones: int | None = None
        for name in names:
            array = archive[name]
            if array.ndim != 2 or array.shape[0] != array.shape[1]:
                raise ValueError(f"array {name!r} is not a square 2-D array ({array.shape})")
            if zones is None:
                zones = array.shape[0]
            elif array.shape[0] != zones:
                raise ValueError(f"array {name!r} has shape {array.shape}, not ({zones}, {zones})")
            if array.dtype.kind not in "biuf":
                raise ValueError(f"array {name!r} is not numeric ({array.dtype})")
            arrays.append(array)
            if progress is not None:
                progress(array.size)
    stored = meta.get("type_codes")
    codes: list[TypeCodeLike] = [
        stored[name] if isinstance(stored, dict) and name in stored else default_code(array.dtype)
        for name, array in zip(names, arrays)
    ]
    assert zones is not None
    stack = np.stack([to_float64(array, f"array {name!r}") for name, array in zip(names, arrays)])
    return Matrix._adopt(
        stack,
        [(name, type_code(code)) for name, code in zip(names, codes)],
        attribute_text(meta.get("banner")),
        attribute_text(meta.get("run_id")),
    )


def _meta(archive: Any) -> dict[str, Any]:
    if META_KEY not in archive.files:
        return {}
    try:
        meta = json.loads(str(archive[META_KEY]))
    except ValueError as exc:
        raise ValueError(f"the {META_KEY} entry of the archive is not valid JSON") from exc
    return meta if isinstance(meta, dict) else {}

