"""Matrix files: reading them into a `Matrix` and writing a `Matrix` to one.

The file format's own limits (at most 255 tables and 32,000 zones, non-empty ASCII
table names, header texts without an inner NUL) are applied here, when a matrix file is
written, and nowhere else in the public package.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np

from orvanel._header import header_text
from orvanel._orvanel import OrvanelValidationError, SchemaResult, _MatrixCore
from orvanel._replace import replace_file
from orvanel.errors import TableNotFoundError

if TYPE_CHECKING:
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


def write_matrix(matrix: Matrix, path: str | os.PathLike[str]) -> None:
    """Write ``matrix`` to a matrix file at ``path``, replacing it only on success."""
    check_file_schema(matrix)
    tables = [(info.name, info.type_code) for info in matrix.tables]
    with replace_file(path, in_place_ok=True) as target:
        _MatrixCore.write_from_stack(
            target, matrix.zones, tables, matrix.to_numpy(), matrix.banner, matrix.run_id
        )


def matrix_bytes(matrix: Matrix) -> bytes:
    """The content of the matrix file ``matrix`` would be written as."""
    check_file_schema(matrix)
    tables = [(info.name, info.type_code) for info in matrix.tables]
    return _MatrixCore.to_bytes_from_stack(
        matrix.zones, tables, matrix.to_numpy(), matrix.banner, matrix.run_id
    )


def from_core(core: _MatrixCore) -> Matrix:
    """A `Matrix` holding ``core``'s header and values; ``core`` is not used afterwards."""
    from orvanel.matrix import Matrix

    values = np.ascontiguousarray(core.stack_array())
    tables = [(info.name, info.type_code) for info in core.tables()]
    return Matrix._adopt(values, tables, core.banner, core.run_id)


def load(
    path: str | None, data: bytes | None, tables: str | Iterable[str] | None
) -> Matrix:
    """Load a matrix file from ``path`` or from ``data``: every table, or the named ones."""
    if tables is None:
        core = _MatrixCore.open(path) if data is None else _MatrixCore.from_bytes(data)
        return from_core(core)
    names = [tables] if isinstance(tables, str) else list(tables)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {name!r})")
    try:
        core = (
            _MatrixCore.open_tables(path, names)
            if data is None
            else _MatrixCore.from_bytes_tables(data, names)
        )
    except OrvanelValidationError as exc:
        if exc.kind != "table_not_found":
            raise
        missing = next((name for name in names if f'"{name}"' in str(exc)), "")
        error = TableNotFoundError(str(exc), missing)
        error.offset = exc.offset
        raise error from None
    return from_core(core)
