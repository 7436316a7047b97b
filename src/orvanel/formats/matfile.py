"""Matrix files: reading them into a `Matrix` and writing a `Matrix` to one.

The file format's own limits (at most 255 tables and 32,000 zones, non-empty ASCII
table names, header texts without an inner NUL) are applied here, when a matrix file is
written, and nowhere else in the public package.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, cast

import numpy as np
from numpy.typing import NDArray

from orvanel import _engine
from orvanel._header import header_text
from orvanel._orvanel import OrvanelValidationError, SchemaResult, _MatrixCore
from orvanel._replace import replace_file
from orvanel._threads import resolve_threads
from orvanel.errors import TableNotFoundError

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from orvanel.matrix import Matrix

# Largest zone count the low-level schema check can be given; anything above is refused
# by it with the same error as any count above the file's limit.
_LARGEST_ZONE_ARGUMENT = 0xFFFF


def check_schema(
    zones: int, tables: list[tuple[str, str]], banner: str | None, run_id: str | None
) -> SchemaResult:
    """Check a schema against the matrix file's rules, without allocating anything."""
    header_text(banner, "banner", "")
    header_text(run_id, "run_id", "")
    return _MatrixCore.validate_schema(
        max(0, min(zones, _LARGEST_ZONE_ARGUMENT)), tables, banner, run_id
    )


def check_file_schema(matrix: Matrix) -> None:
    """Raise if ``matrix`` cannot be stored in a matrix file."""
    check_schema(
        matrix.zones,
        [(info.name, info.type_code) for info in matrix.tables],
        matrix.banner,
        matrix.run_id,
    )


def write_arrays(
    path: str | os.PathLike[str],
    zones: int,
    tables: list[tuple[str, str]],
    values: NDArray[np.float64] | list[NDArray[np.float64]],
    banner: str | None,
    run_id: str | None,
    threads: int | None = None,
) -> None:
    """Write a matrix file at ``path`` from float64 values, replacing it only on success.

    ``values`` is one ``(T, Z, Z)`` array or a list of T ``(Z, Z)`` arrays, in any memory
    layout; they are read where they are, never gathered into one block.
    """
    count = resolve_threads(threads)
    check_schema(zones, tables, banner, run_id)
    # A file that replaces another is written out to disk at the rename on some file
    # systems, on this thread; starting that as the file is written costs less. A new
    # file instead has its blocks reserved ahead, which is cheaper still.
    replacing = os.path.isfile(path)
    with replace_file(path, in_place_ok=True) as target:
        _engine.write(
            target, zones, tables, values, banner, run_id, threads=count, start_writeback=replacing
        )


def arrays_bytes(
    zones: int,
    tables: list[tuple[str, str]],
    values: NDArray[np.float64] | list[NDArray[np.float64]],
    banner: str | None,
    run_id: str | None,
    threads: int | None = None,
) -> bytes:
    """The content of the matrix file `write_arrays` would write."""
    count = resolve_threads(threads)
    check_schema(zones, tables, banner, run_id)
    return _engine.write(None, zones, tables, values, banner, run_id, threads=count)


def write_matrix(matrix: Matrix, path: str | os.PathLike[str], threads: int | None = None) -> None:
    """Write ``matrix`` to a matrix file at ``path``, replacing it only on success; the
    values are written straight from the matrix's array."""
    tables = [(info.name, info.type_code) for info in matrix.tables]
    write_arrays(
        path, matrix.zones, tables, matrix.to_numpy(), matrix.banner, matrix.run_id, threads
    )


def matrix_bytes(matrix: Matrix, threads: int | None = None) -> bytes:
    """The content of the matrix file ``matrix`` would be written as."""
    tables = [(info.name, info.type_code) for info in matrix.tables]
    return arrays_bytes(
        matrix.zones, tables, matrix.to_numpy(), matrix.banner, matrix.run_id, threads
    )


def load(
    path: str | None,
    data: Buffer | None,
    tables: str | Iterable[str] | None,
    threads: int | None = None,
) -> Matrix:
    """Load a matrix file from ``path`` or from ``data`` (any contiguous bytes-like object,
    read where it is): every table, or the named ones. The values are decoded straight
    into the array the matrix holds."""
    from orvanel.matrix import Matrix

    count = resolve_threads(threads)
    names = None
    if tables is not None:
        names = [tables] if isinstance(tables, str) else list(tables)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"table names must be str (got {name!r})")
    # One of the two is given: a path for read(), the content for read_bytes().
    source = cast("str | Buffer", path if data is None else data)
    try:
        values, _, banner, run_id, pairs = _engine.load(source, names, threads=count)
    except OrvanelValidationError as exc:
        if names is None or exc.kind != "table_not_found":
            raise
        missing = next((name for name in names if f'"{name}"' in str(exc)), "")
        error = TableNotFoundError(str(exc), missing)
        error.offset = exc.offset
        raise error from None
    return Matrix._adopt(values, pairs, banner, run_id)
