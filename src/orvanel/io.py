"""Reading, creating and writing matrix files."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable, Mapping
from importlib import resources
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID, header_text
from orvanel._orvanel import SchemaResult
from orvanel._schema import TablesLike, TypesLike, resolve_types, table_pairs, zone_count
from orvanel._values import square_tables, stack_tables
from orvanel.formats import matfile
from orvanel.matrix import Matrix

if TYPE_CHECKING:
    from typing_extensions import Buffer

PathLike = str | os.PathLike[str]

SAMPLE_RESOURCE = ("data", "sample.mat")


def _path(path: PathLike) -> str:
    return os.fsdecode(os.fspath(path))


def read(
    path: PathLike, tables: str | Iterable[str] | None = None, *, threads: int | None = None
) -> Matrix:
    """Read a matrix file.

    The values are decoded straight into the array the matrix holds.

    Parameters
    ----------
    path : str or os.PathLike
        The file to read.
    tables : str or iterable of str, optional
        Load only the tables with these names; they keep the file's order. By default
        every table is loaded.
    threads : int, optional
        How many threads decode the file's rows. By default the environment variable
        ``ORVANEL_NUM_THREADS`` when set, else the processors this process may run on (at
        most 8). The result is the same whatever the number.

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
    TableNotFoundError
        If a named table does not exist (an `OrvanelValidationError` and a `KeyError`).
    OrvanelValidationError
        If the file holds an invalid type code.
    ValueError
        If ``threads`` (or ``ORVANEL_NUM_THREADS``) is not a number of at least 1.

    Examples
    --------
    >>> m = orvanel.read("trips.mat")                      # doctest: +SKIP
    >>> m = orvanel.read("skims.mat", tables=["TIME"])     # doctest: +SKIP
    """
    return matfile.load(_path(path), None, tables, threads)


def read_bytes(
    data: bytes | bytearray | memoryview,
    tables: str | Iterable[str] | None = None,
    *,
    threads: int | None = None,
) -> Matrix:
    """Read a matrix from the content of a matrix file held in memory.

    Parameters
    ----------
    data : bytes-like
        The file content: `bytes`, `bytearray`, `memoryview`, `mmap.mmap` or any other
        object with a buffer. A contiguous buffer is read where it is, without a copy;
        it must not change while it is read.
    tables : str or iterable of str, optional
        Load only the tables with these names, as in `read`.
    threads : int, optional
        How many threads decode the rows, as in `read`.

    Returns
    -------
    Matrix

    Raises
    ------
    TypeError
        If ``data`` is not bytes-like.
    OrvanelParseError, OrvanelValidationError, TableNotFoundError
        As for `read`.
    """
    source: Buffer = data
    if type(data) is not bytes:
        try:
            view = memoryview(data)
        except TypeError:
            raise TypeError(
                "data must be a bytes-like object (bytes, bytearray, memoryview or mmap), "
                f"not {type(data).__name__}"
            ) from None
        with view:
            # Only a buffer in pieces is copied, into one block.
            if not view.c_contiguous:
                source = view.tobytes()
    return matfile.load(None, source, tables, threads)


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
        The number of zones Z, at least 1.
    tables : mapping or sequence
        The tables in order: a mapping name -> type code, or a sequence of `TableDef`
        objects or ``(name, type_code)`` pairs. A type code is ``0``..``9`` (fixed point
        with that many decimals, as int or str), ``"S"`` (single precision) or ``"D"``
        (double precision).
    banner, run_id : str, optional
        Header texts; by default those of files this package writes.

    Returns
    -------
    Matrix

    Raises
    ------
    ValueError
        If ``zones`` is below 1 or there are no tables, a code is invalid, or a header
        text holds a NUL character followed by more text.
    TypeError
        If an argument has the wrong type.

    Examples
    --------
    >>> m = orvanel.create(3, {"TRIPS": 2, "TIME": "D"})
    >>> m.names
    ['TRIPS', 'TIME']
    """
    count = zone_count(zones)
    pairs = table_pairs(tables)
    if not pairs:
        raise ValueError("a matrix needs at least one table")
    header_text(banner, "banner", DEFAULT_BANNER)
    header_text(run_id, "run_id", DEFAULT_RUN_ID)
    values = np.zeros((len(pairs), count, count), dtype=np.float64)
    return Matrix._adopt(values, pairs, banner, run_id)


def validate_schema(
    zones: int,
    tables: TablesLike,
    *,
    banner: str | None = None,
    run_id: str | None = None,
) -> SchemaResult:
    """Check a schema against the matrix file's rules, without allocating the matrix.

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
    OrvanelValidationError
        If a matrix file cannot hold the schema: the zone count is outside 1..32000, there
        are no tables or more than 255, a name is empty or not ASCII.
    TypeError, ValueError
        As for `create`.
    """
    return matfile.check_schema(operator.index(zones), table_pairs(tables), banner, run_id)


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
        value from zone ``o`` to zone ``d``. Integer and boolean arrays are converted to
        float64; integers that float64 cannot hold exactly and masked arrays are refused.
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
    header_text(banner, "banner", DEFAULT_BANNER)
    header_text(run_id, "run_id", DEFAULT_RUN_ID)
    _zones, names, stack = stack_tables(arrays)
    codes = resolve_types(names, types)
    return Matrix._adopt(stack, list(zip(names, codes)), banner, run_id)


def write(
    path: PathLike,
    arrays: Mapping[str, ArrayLike],
    types: TypesLike = "D",
    *,
    banner: str | None = None,
    run_id: str | None = None,
    threads: int | None = None,
) -> None:
    """Write square arrays straight to a matrix file.

    float64 arrays are written from where they are, in any memory layout; other numeric
    arrays are converted one table at a time. No matrix is built.

    Parameters
    ----------
    path : str or os.PathLike
        Where to write. The file appears only once it is complete.
    arrays, types, banner, run_id
        As for `from_arrays`.
    threads : int, optional
        How many threads encode the rows, as in `read`. The file is the same whatever
        the number.

    Raises
    ------
    OrvanelIoError
        If the file cannot be written.
    OrvanelValidationError
        If a matrix file cannot hold the schema.

    Examples
    --------
    >>> orvanel.write("skim.mat", {"TIME": time, "DIST": dist}, types={"DIST": 2})  # doctest: +SKIP
    """
    banner_text = header_text(banner, "banner", DEFAULT_BANNER)
    run_id_text = header_text(run_id, "run_id", DEFAULT_RUN_ID)
    zones, names, tables = square_tables(arrays)
    codes = resolve_types(names, types)
    pairs = list(zip(names, codes))
    matfile.write_arrays(path, zones, pairs, tables, banner_text, run_id_text, threads)


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
