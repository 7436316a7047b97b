"""NumPy ``.npz`` archives: one ``(Z, Z)`` array per table.

Besides the tables the archive holds the entry ``__orvanel__``, a JSON text with the
banner, the run identifier, the type codes and the zone labels (if the matrix has its
own), so that a matrix comes back unchanged.
Tables are stored under their names; a repeated name is labelled by position (``A#3``),
and the type codes are keyed by these labels. Archives without the entry are read too:
every array is a table, typed by its element type.

Archives are read with NumPy's own array reader, never with pickling: an archive is data,
and loading pickled objects from a file can run any code.
"""

from __future__ import annotations

import json
import os
import zipfile
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import unique_labels
from orvanel._replace import replace_file
from orvanel._schema import default_code, type_code
from orvanel._values import check_exact_integers
from orvanel.formats._common import Progress, select_tables
from orvanel.matrix import Matrix

META_KEY = "__orvanel__"
ARRAY_SUFFIX = ".npy"
_NPY_MAGIC = b"\x93NUMPY"


def write_npz(
    matrix: Matrix, path: str | os.PathLike[str], progress: Progress | None = None
) -> None:
    """Write a matrix to a compressed ``.npz`` archive; float64 values, exact."""
    names = unique_labels(matrix.names, "the .npz archive")
    if META_KEY in names:
        raise ValueError(f"a table named {META_KEY!r} cannot be stored in an .npz archive")
    meta: dict[str, Any] = {
        "banner": matrix.banner,
        "run_id": matrix.run_id,
        "type_codes": {name: info.type_code for name, info in zip(names, matrix.tables)},
    }
    if matrix.has_zone_labels:
        meta["zone_labels"] = matrix.zone_labels.tolist()
    with (
        replace_file(path, in_place_ok=False) as temporary,
        zipfile.ZipFile(temporary, "w", compression=zipfile.ZIP_DEFLATED) as archive,
    ):
        for name, table in zip(names, matrix.values()):
            with archive.open(f"{name}{ARRAY_SUFFIX}", "w", force_zip64=True) as entry:
                np.lib.format.write_array(entry, table, allow_pickle=False)
            if progress is not None:
                progress(table.size)
        with archive.open(f"{META_KEY}{ARRAY_SUFFIX}", "w") as entry:
            np.lib.format.write_array(entry, np.array(json.dumps(meta)), allow_pickle=False)


def header_texts(path: str | os.PathLike[str]) -> tuple[str, ...]:
    """Which of ``banner`` and ``run_id`` the archive's metadata holds."""
    with _open_archive(path) as archive:
        members = {_key(info.filename): info.filename for info in archive.infolist()}
        meta = _meta(archive, members.get(META_KEY))
    return tuple(field for field in ("banner", "run_id") if meta[field] is not None)


def _open_archive(path: str | os.PathLike[str]) -> zipfile.ZipFile:
    """The archive at ``path``; ValueError with a one-line reason if it is not one."""
    source = os.fsdecode(os.fspath(path))
    with open(source, "rb") as raw:
        head = raw.read(len(_NPY_MAGIC))
    if head.startswith(_NPY_MAGIC):
        raise ValueError("this is a single NumPy array (.npy), not a NumPy archive (.npz)")
    try:
        return zipfile.ZipFile(source)
    except (zipfile.BadZipFile, ValueError, EOFError):
        raise ValueError("not a readable NumPy archive (.npz)") from None


def read_npz(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    progress: Progress | None = None,
) -> Matrix:
    """Read a matrix from an ``.npz`` archive of square arrays.

    Raises ValueError with a one-line reason for anything that is not a readable archive
    of square numeric arrays (with, if present, orvanel's metadata).
    """
    with _open_archive(path) as archive:
        return _read_archive(archive, tables, progress)


def _read_archive(
    archive: zipfile.ZipFile, tables: str | Iterable[str] | None, progress: Progress | None
) -> Matrix:
    members = {_key(info.filename): info.filename for info in archive.infolist() if not info.is_dir()}
    meta = _meta(archive, members.pop(META_KEY, None))
    available = list(members)
    if not available:
        raise ValueError("the .npz archive holds no arrays")
    names = [available[i] for i in select_tables(available, tables, "the .npz archive")]
    stack: NDArray[np.float64] | None = None
    codes = []
    for position, name in enumerate(names):
        array = _array(archive, members[name], f"array {name!r}")
        if array.ndim != 2 or array.shape[0] != array.shape[1] or array.shape[0] == 0:
            raise ValueError(f"array {name!r} is not a square table (its shape is {array.shape})")
        if stack is None:
            stack = np.empty((len(names), *array.shape), dtype=np.float64)
        elif array.shape != stack.shape[1:]:
            raise ValueError(f"array {name!r} has shape {array.shape}, not {stack.shape[1:]}")
        if array.dtype.kind not in "biuf":
            raise ValueError(f"array {name!r} does not hold real numbers ({array.dtype})")
        if array.dtype.kind in "iu" and array.dtype.itemsize == 8:
            check_exact_integers(array, f"array {name!r}")
        stack[position] = array
        codes.append(meta["type_codes"].get(name) or default_code(array.dtype))
        if progress is not None:
            progress(array.size)
    assert stack is not None
    matrix = Matrix._adopt(stack, list(zip(names, codes)), meta["banner"], meta["run_id"])
    if meta["zone_labels"] is not None:
        try:
            matrix.zone_labels = meta["zone_labels"]
        except (TypeError, ValueError) as exc:
            raise ValueError(f"the zone labels in the archive's {META_KEY} entry: {exc}") from None
    return matrix


def _key(member: str) -> str:
    """The name an array is known by: its member name without ``.npy``, as NumPy does."""
    return member[: -len(ARRAY_SUFFIX)] if member.endswith(ARRAY_SUFFIX) else member


def _array(archive: zipfile.ZipFile, member: str, what: str) -> NDArray[Any]:
    try:
        with archive.open(member) as entry:
            array: NDArray[Any] = np.lib.format.read_array(entry, allow_pickle=False)
    except MemoryError:
        raise
    except Exception:
        # A damaged member fails in many ways: bad checksums and sizes (BadZipFile),
        # corrupt deflate data (zlib.error), data that ends early, compression methods or
        # encryption this Python cannot undo, and array headers that NumPy's parser
        # rejects with whatever error its tokenizer raises. Each means the same here.
        raise ValueError(
            f"{what} cannot be read: the archive is damaged, or the entry is not a NumPy "
            "array of numbers"
        ) from None
    return array


def _meta(archive: zipfile.ZipFile, member: str | None) -> dict[str, Any]:
    """The banner, run identifier, type codes and zone labels the archive's metadata holds.

    Keys other than these are ignored; these must have the types orvanel writes.
    """
    meta: dict[str, Any] = {"banner": None, "run_id": None, "type_codes": {}, "zone_labels": None}
    if member is None:
        return meta
    array = _array(archive, member, f"the {META_KEY} entry")
    try:
        stored = json.loads(str(array[()])) if array.dtype.kind == "U" and array.ndim == 0 else None
    except ValueError:
        stored = None
    if not isinstance(stored, dict):
        raise ValueError(f"the {META_KEY} entry of the archive is not orvanel's metadata (a JSON object)")
    for field in ("banner", "run_id"):
        value = stored.get(field)
        if value is not None and not isinstance(value, str):
            raise ValueError(f"the {field} in the archive's {META_KEY} entry is not a text")
        meta[field] = value
    labels = stored.get("zone_labels")
    if labels is not None and not (
        isinstance(labels, list) and all(type(label) is int for label in labels)
    ):
        raise ValueError(
            f"the zone labels in the archive's {META_KEY} entry are not a list of integers"
        )
    meta["zone_labels"] = labels
    codes = stored.get("type_codes", {})
    if not isinstance(codes, dict):
        raise ValueError(f"the type codes in the archive's {META_KEY} entry are not a mapping")
    for name, code in codes.items():
        if not isinstance(code, str):
            raise ValueError(f"the type code of table {name!r} in the archive's metadata is not a text")
        try:
            meta["type_codes"][name] = type_code(code)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"table {name!r} in the archive's metadata: {exc}") from None
    return meta
