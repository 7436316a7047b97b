"""The `Matrix` class: one matrix file's tables in memory."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._arrays import as_table
from orvanel._orvanel import TableInfo, _MatrixCore
from orvanel._schema import TypeCodeLike, TypesLike, describe_type, resolve_types

if TYPE_CHECKING:
    import pandas
    import xarray


class Matrix:
    """An origin-destination matrix: Z zones and one or more named Z x Z tables.

    A `Matrix` behaves like a mapping from table name to table: ``len(m)`` is the number
    of tables, ``"TIME" in m`` tests for a table, iterating yields the table names in
    file order, ``m["TIME"]`` returns a copy of that table as a ``(Z, Z)`` float64 array
    and ``m["TIME"] = array`` replaces its values. The zone count and the tables are
    fixed when the matrix is made; only the values change.

    Zone numbers are 1-based wherever a method takes one (`get`, `set`), as in the file.
    Array positions are 0-based as always in NumPy: ``m["TIME"][o - 1, d - 1]`` is the
    value from origin zone ``o`` to destination zone ``d``.

    Values are held as float64 exactly as given. Each table's type code decides how its
    values are stored when the matrix is written: fixed point tables are rounded to their
    number of decimals, single precision tables to float32.

    Obtain a `Matrix` from `orvanel.read`, `orvanel.read_bytes`, `orvanel.create`,
    `orvanel.from_arrays` or one of the adapters; the constructor wraps a low-level
    `_MatrixCore` object and is not meant to be called directly.

    Parameters
    ----------
    core : orvanel._orvanel._MatrixCore
        The low-level matrix to wrap. The `Matrix` owns it from then on.

    Notes
    -----
    A file may hold two tables with the same name. Lookups by name then find the first
    of them; `to_numpy` and `tables` still show every table.
    """

    __slots__ = ("_core",)

    def __init__(self, core: _MatrixCore) -> None:
        if not isinstance(core, _MatrixCore):
            raise TypeError(
                "Matrix wraps a low-level matrix object; use orvanel.read, orvanel.create "
                "or orvanel.from_arrays to make one"
            )
        self._core = core

    # -- header facts -------------------------------------------------------------

    @property
    def zones(self) -> int:
        """int: The number of zones Z; zones are numbered 1..Z."""
        return self._core.zone_count

    @property
    def banner(self) -> str:
        """str: The banner text from the file header."""
        return self._core.banner

    @property
    def run_id(self) -> str:
        """str: The run identifier from the file header."""
        return self._core.run_id

    @property
    def tables(self) -> list[TableInfo]:
        """list of TableInfo: Every table's 1-based index, name and type code, in order."""
        return self._core.tables()

    @property
    def names(self) -> list[str]:
        """list of str: The table names, in order."""
        return [info.name for info in self._core.tables()]

    @property
    def type_codes(self) -> dict[str, str]:
        """dict of str to str: Each table name's type code (first table of a name wins)."""
        codes: dict[str, str] = {}
        for info in self._core.tables():
            codes.setdefault(info.name, info.type_code)
        return codes

    # -- mapping behaviour --------------------------------------------------------

    def __len__(self) -> int:
        return self._core.table_count

    def __iter__(self) -> Iterator[str]:
        return iter(self.names)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._core.table_index_by_name(name) is not None

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        return self._core.table_array(self._index(name))

    def __setitem__(self, name: str, values: ArrayLike) -> None:
        index = self._index(name)
        zones = self.zones
        array = np.asarray(values)
        if array.ndim == 0:
            array = np.full((zones, zones), array)
        self._core.set_table_array(index, as_table(array, zones, f"table {name!r}"))

    def keys(self) -> list[str]:
        """Return the table names, in order.

        Returns
        -------
        list of str
        """
        return self.names

    def values(self) -> Iterator[NDArray[np.float64]]:
        """Iterate over copies of the tables, in order.

        Yields
        ------
        numpy.ndarray
            A ``(Z, Z)`` float64 array per table.
        """
        for index in range(1, len(self) + 1):
            yield self._core.table_array(index)

    def items(self) -> Iterator[tuple[str, NDArray[np.float64]]]:
        """Iterate over ``(name, table)`` pairs, in order.

        Yields
        ------
        tuple of (str, numpy.ndarray)
            The table name and a copy of the table as a ``(Z, Z)`` float64 array.
        """
        for info in self._core.tables():
            yield info.name, self._core.table_array(info.index)

    def _index(self, name: object) -> int:
        """The 1-based number of the first table called ``name``; KeyError if none."""
        if not isinstance(name, str):
            raise KeyError(name)
        index = self._core.table_index_by_name(name)
        if index is None:
            raise KeyError(name)
        return index

    def _zone(self, value: SupportsIndex, what: str) -> int:
        zone = operator.index(value)
        if not 1 <= zone <= self.zones:
            raise ValueError(f"{what} must be within 1..={self.zones} (got {zone})")
        return zone

    # -- values -------------------------------------------------------------------

    def to_numpy(self) -> NDArray[np.float64]:
        """Return every table as one array.

        Returns
        -------
        numpy.ndarray
            A new ``(T, Z, Z)`` float64 array: element ``[t, o, d]`` is table ``t + 1``
            (in `names` order), origin zone ``o + 1``, destination zone ``d + 1``.
        """
        return self._core.stack_array()

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> NDArray[Any]:
        if copy is False:
            raise ValueError("a Matrix cannot be viewed as an array without copying")
        stack = self._core.stack_array()
        return stack if dtype is None else stack.astype(dtype, copy=False)

    def get(self, name: str, origin: SupportsIndex, destination: SupportsIndex) -> float:
        """Return one cell.

        Parameters
        ----------
        name : str
            Table name.
        origin, destination : int
            Zone numbers, 1-based (1..Z).

        Returns
        -------
        float

        Raises
        ------
        KeyError
            If no table has that name.
        ValueError
            If a zone number is outside 1..Z.
        """
        index = self._index(name)
        return self._core.get(
            index, self._zone(origin, "origin"), self._zone(destination, "destination")
        )

    def set(
        self,
        name: str,
        origin: SupportsIndex,
        destination: SupportsIndex,
        value: SupportsFloat | SupportsIndex,
    ) -> None:
        """Change one cell.

        Parameters
        ----------
        name : str
            Table name.
        origin, destination : int
            Zone numbers, 1-based (1..Z).
        value : float
            The new value, kept exactly until the matrix is written.

        Raises
        ------
        KeyError
            If no table has that name.
        ValueError
            If a zone number is outside 1..Z.
        """
        index = self._index(name)
        self._core.set(
            index, self._zone(origin, "origin"), self._zone(destination, "destination"), value
        )

    def total(self, name: str) -> float:
        """Return the sum of every cell of a table.

        Parameters
        ----------
        name : str
            Table name.

        Returns
        -------
        float
        """
        return self._core.table_total(self._index(name))

    def diagonal_total(self, name: str) -> float:
        """Return the sum of the intrazonal cells (origin equal to destination) of a table.

        Parameters
        ----------
        name : str
            Table name.

        Returns
        -------
        float
        """
        return self._core.table_diagonal_total(self._index(name))

    # -- output -------------------------------------------------------------------

    def write(self, path: str | os.PathLike[str]) -> None:
        """Write the matrix to a file.

        The file appears only once it is complete; a failed write leaves any file already
        at ``path`` as it was.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write.

        Raises
        ------
        OrvanelIoError
            If the file cannot be written.
        OrvanelValidationError
            If the matrix cannot be stored (for example a table name that is not ASCII).
        """
        self._core.write(os.fsdecode(os.fspath(path)))

    def to_bytes(self) -> bytes:
        """Return the content of the matrix file, as `write` would store it.

        Returns
        -------
        bytes
        """
        return self._core.to_bytes()

    def __bytes__(self) -> bytes:
        return self._core.to_bytes()

    def copy(self) -> Matrix:
        """Return an independent copy with the same header, tables and exact values.

        Returns
        -------
        Matrix
        """
        return self.astype(None)

    def astype(self, types: TypesLike) -> Matrix:
        """Return a copy whose tables have other type codes; the values stay exact.

        The type codes decide how values are stored when the matrix is written.

        Parameters
        ----------
        types : type code or mapping
            One type code for every table, or a mapping name -> type code (tables it does
            not name keep theirs). None keeps every code.

        Returns
        -------
        Matrix

        Raises
        ------
        ValueError
            If the mapping names a table the matrix does not have, or a code is invalid.
        """
        tables = self.tables
        names = [info.name for info in tables]
        codes = resolve_types(names, types, [info.type_code for info in tables])
        return Matrix._from_stack(
            self.zones,
            list(zip(names, codes)),
            self.to_numpy(),
            banner=self.banner,
            run_id=self.run_id,
        )

    def __copy__(self) -> Matrix:
        return self.copy()

    def __deepcopy__(self, memo: dict[int, Any]) -> Matrix:
        return self.copy()

    def __reduce__(self) -> tuple[Any, ...]:
        tables = [(info.name, info.type_code) for info in self.tables]
        return (
            _restore,
            (self.zones, tables, self.to_numpy(), self.banner, self.run_id),
        )

    def __repr__(self) -> str:
        tables = self.tables
        lines = [f"<orvanel.Matrix: {self.zones} zones, {len(tables)} tables>"]
        width = max(len(info.name) for info in tables) if tables else 0
        for info in tables:
            lines.append(
                f"  {info.index:>3}  {info.name:<{width}}  {info.type_code}"
                f"  ({describe_type(info.type_code)})"
            )
        lines.append(f"  banner: {self.banner}")
        lines.append(f"  run id: {self.run_id}")
        return "\n".join(lines)

    # -- adapters -----------------------------------------------------------------

    def to_xarray(self) -> xarray.Dataset:
        """Return the matrix as an `xarray.Dataset`; needs the ``xarray`` extra.

        See `orvanel.adapters.xarray.to_xarray` for the layout.

        Returns
        -------
        xarray.Dataset
        """
        from orvanel.adapters.xarray import to_xarray

        return to_xarray(self)

    def to_pandas(self) -> pandas.DataFrame:
        """Return the matrix as a long `pandas.DataFrame`; needs the ``pandas`` extra.

        See `orvanel.adapters.pandas.to_pandas` for the layout.

        Returns
        -------
        pandas.DataFrame
        """
        from orvanel.adapters.pandas import to_pandas

        return to_pandas(self)

    # -- construction helpers -----------------------------------------------------

    @classmethod
    def _from_stack(
        cls,
        zones: int,
        tables: Sequence[tuple[str, TypeCodeLike]],
        stack: NDArray[np.float64],
        *,
        banner: str | None = None,
        run_id: str | None = None,
    ) -> Matrix:
        core = _MatrixCore.create(zones, tables, banner, run_id)
        core.set_stack_array(stack)
        return cls(core)


def _restore(
    zones: int,
    tables: Sequence[tuple[str, TypeCodeLike]],
    stack: NDArray[np.float64],
    banner: str,
    run_id: str,
) -> Matrix:
    return Matrix._from_stack(zones, tables, stack, banner=banner, run_id=run_id)
