"""Reading, creating and writing matrix files."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from importlib import resources

from numpy.typing import ArrayLike

from orvanel._arrays import stack_tables
from orvanel._orvanel import SchemaResult, _MatrixCore
from orvanel._schema import TablesLike, TypesLike, resolve_types, table_list
from orvanel.matrix import Matrix

PathLike = str | os.PathLike[str]

SAMPLE_RESOURCE = ("data", "sample.mat")


def _path(path: PathLike) -> str:
    return os.fsdecode(os.fspath(path))


def _names(tables: str | Iterable[str]) -> list[str]:
    if isinstance(tables, str):
        return [tables]
    names = list(tables)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {type(name).__name__})")
    return names


def read(path: PathLike, tables: str | Iterable[str] | None = None) -> Matrix:
    """Read a matrix file.

    Parameters
    ----------
    path : str or os.PathLike
        The file to read.
    tables : str or iterable of str, optional
        Load only the tables with these names; they keep the file's order. By default
        every table is loaded.

    Returns
    -------
    Matrix

    Raises
    ------
    OrvanelIoError
        If the file cannot be opened or read.
    OrvanelParseError
        If the file is not a well-formed matrix file; ``offset`` is the byte offset of
        the fault.
    OrvanelValidationError
        If a named table does not exist, or the file holds an invalid type code.

    Examples
    --------
    >>> m = orvanel.read("trips.mat")                      # doctest: +SKIP
    >>> m = orvanel.read("skims.mat", tables=["TIME"])     # doctest: +SKIP
    """
    if tables is None:
        return Matrix(_MatrixCore.open(_path(path)))
    return Matrix(_MatrixCore.open_tables(_path(path), _names(tables)))


def read_bytes(
    data: bytes | bytearray | memoryview, tables: str | Iterable[str] | None = None
) -> Matrix:
    """Read a matrix from the content of a matrix file held in memory.

    Parameters
    ----------
    data : bytes-like
        The file content.
    tables : str or iterable of str, optional
        Load only the tables with these names, as in `read`.

    Returns
    -------
    Matrix

    Raises
    ------
    OrvanelParseError, OrvanelValidationError
        As for `read`.
    """
    content = data if type(data) is bytes else bytes(data)
    if tables is None:
        return Matrix(_MatrixCore.from_bytes(content))
    return Matrix(_MatrixCore.from_bytes_tables(content, _names(tables)))


def create(
    zones: int,
    tables: TablesLike,
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Create a matrix whose every value is 0.0.

    Parameters
    ----------
    zones : int
        The number of zones Z, 1..32000.
    tables : mapping or sequence
        The tables in order: a mapping name -> type code, or a sequence of `TableDef`
        objects or ``(name, type_code)`` pairs. A type code is ``0``..``9`` (fixed point
        with that many decimals, as int or str), ``"S"`` (single precision) or ``"D"``
        (double precision). Names must be non-empty ASCII.
    banner, run_id : str, optional
        Header texts; by default those of files this package writes.

    Returns
    -------
    Matrix

    Raises
    ------
    OrvanelValidationError
        If the zone count, the number of tables or a name is invalid.
    TypeError, ValueError
        If a type code is invalid.

    Examples
    --------
    >>> m = orvanel.create(3, {"TRIPS": 2, "TIME": "D"})
    >>> m.names
    ['TRIPS', 'TIME']
    """
    return Matrix(_MatrixCore.create(zones, table_list(tables), banner, run_id))


def validate_schema(
    zones: int,
    tables: TablesLike,
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> SchemaResult:
    """Check a schema as `create` would, without allocating the matrix.

    Parameters
    ----------
    zones, tables, banner, run_id
        As for `create`.

    Returns
    -------
    SchemaResult
        The zone count, the banner and run identifier as they would be written, and
        ``tables()``, the table list with 1-based numbers.

    Raises
    ------
    OrvanelValidationError, TypeError, ValueError
        As for `create`.
    """
    return _MatrixCore.validate_schema(zones, table_list(tables), banner, run_id)


def from_arrays(
    arrays: Mapping[str, ArrayLike],
    types: TypesLike = "D",
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> Matrix:
    """Build a matrix from square arrays, one per table.

    Parameters
    ----------
    arrays : mapping of str to array_like
        Table name -> ``(Z, Z)`` array, in table order; element ``[o - 1, d - 1]`` is the
        value from zone ``o`` to zone ``d``. Integer arrays are converted to float64.
    types : type code or mapping, default "D"
        One type code for every table, or a mapping name -> type code (tables it does not
        name are double precision).
    banner, run_id : str, optional
        Header texts.

    Returns
    -------
    Matrix
        Holds copies of the arrays' values.
    """
    zones, names, stack = stack_tables(arrays)
    codes = resolve_types(names, types)
    return Matrix._from_stack(zones, list(zip(names, codes)), stack, banner=banner, run_id=run_id)


def write(
    path: PathLike,
    arrays: Mapping[str, ArrayLike],
    types: TypesLike = "D",
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> None:
    """Write square arrays straight to a matrix file.

    Parameters
    ----------
    path : str or os.PathLike
        Where to write. The file appears only once it is complete.
    arrays, types, banner, run_id
        As for `from_arrays`.

    Raises
    ------
    OrvanelIoError
        If the file cannot be written.
    OrvanelValidationError
        If the schema is invalid.

    Examples
    --------
    >>> orvanel.write("skim.mat", {"TIME": time, "DIST": dist}, types={"DIST": 2})  # doctest: +SKIP
    """
    zones, names, stack = stack_tables(arrays)
    codes = resolve_types(names, types)
    _MatrixCore.write_from_stack(_path(path), zones, list(zip(names, codes)), stack, banner, run_id)


def sample_bytes() -> bytes:
    """Return the content of the sample matrix file shipped with the package."""
    return resources.files("orvanel").joinpath(*SAMPLE_RESOURCE).read_bytes()


def sample() -> Matrix:
    """Return the sample matrix shipped with the package.

    It has 50 zones and four tables: ``TRIPS`` (fixed point, 2 decimals), ``TIME``
    (double precision, minutes), ``COST`` (single precision) and ``COUNT`` (fixed point,
    whole numbers).

    Returns
    -------
    Matrix
    """
    return read_bytes(sample_bytes())
