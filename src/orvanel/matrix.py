"""The `Matrix` class: a matrix's tables in memory, as one NumPy array."""

from __future__ import annotations

import operator
import os
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID, TableInfo, header_value
from orvanel._orvanel import _MatrixCore
from orvanel._schema import TypesLike, describe_type, resolve_types, type_code
from orvanel._values import square_table
from orvanel._zones import check_labels, default_labels, is_default
from orvanel.errors import table_not_found

if TYPE_CHECKING:
    import matplotlib.axes
    import pandas
    import xarray

    from orvanel.tlfd import TripLengthDistribution


class Matrix:
    """An origin-destination matrix: Z zones and one or more named Z x Z tables.

    A `Matrix` holds its values as one C-ordered float64 NumPy array of shape
    ``(T, Z, Z)`` (see `to_numpy`) and behaves like a mapping from table name to table:
    ``len(m)`` is the number of tables, ``"TIME" in m`` tests for a table, iterating
    yields the table names in order, and ``m["TIME"]`` is that table as a ``(Z, Z)``
    *view* of the matrix's values: changing the view changes the matrix, as with a dict of
    arrays. ``m["TIME"] = array`` copies values into the table. The zone count and the
    tables are fixed when the matrix is made; only the values (and the zone labels)
    change. `copy` gives an independent matrix.

    Zone numbers are 1-based wherever a method takes one (`get`, `set`), as in the file.
    Array positions are 0-based as always in NumPy: ``m["TIME"][o - 1, d - 1]`` is the
    value from origin zone ``o`` to destination zone ``d``.

    Values are held as float64 exactly as given. Each table's type code decides how its
    values are stored when the matrix is written to a matrix file: fixed point tables are
    rounded to their number of decimals, single precision tables to float32. The limits
    of the matrix file format (at most 255 tables and 32,000 zones, non-empty ASCII table
    names) apply only when a matrix file is written.

    Obtain a `Matrix` from `orvanel.read`, `orvanel.read_bytes`, `orvanel.create`,
    `orvanel.from_arrays`, one of the other formats or adapters, or `Matrix.from_core`.

    Notes
    -----
    Threads: like a NumPy array, a `Matrix` may be read from several threads at once;
    writes to one table from several threads are the caller's to order.

    A matrix may hold two tables with the same name. Lookups by name find the first of
    them; `to_numpy` and `tables` show every table, and where a unique label is needed
    (other formats, pandas columns, xarray variables) the second and later get their
    position as a suffix (``A#2``).
    """

    __slots__ = ("_banner", "_labels", "_run_id", "_tables", "_values")

    _values: NDArray[np.float64]
    _tables: tuple[TableInfo, ...]
    _banner: str
    _run_id: str
    _labels: NDArray[np.int64] | None

    def __init__(self, core: _MatrixCore) -> None:
        if not isinstance(core, _MatrixCore):
            raise TypeError(
                "Matrix(core) copies a low-level matrix; use orvanel.read, orvanel.create "
                "or orvanel.from_arrays to make one"
            )
        self._adopt_parts(
            core.stack_array(),
            [(info.name, info.type_code) for info in core.tables()],
            core.banner,
            core.run_id,
            None,
        )

    @classmethod
    def from_core(cls, core: _MatrixCore) -> Matrix:
        """Return a matrix holding a copy of a low-level matrix's header and values.

        Parameters
        ----------
        core : orvanel._orvanel._MatrixCore

        Returns
        -------
        Matrix
        """
        return cls(core)

    def to_core(self) -> _MatrixCore:
        """Return a low-level matrix holding a copy of this matrix.

        The low-level matrix has the matrix file's limits: at most 255 tables and 32,000
        zones, non-empty ASCII table names.

        Returns
        -------
        orvanel._orvanel._MatrixCore

        Raises
        ------
        OrvanelValidationError
            If the matrix exceeds the matrix file's limits.
        """
        from orvanel.formats.matfile import check_file_schema

        check_file_schema(self)
        core = _MatrixCore.create(self.zones, self._pairs(), self._banner, self._run_id)
        core.set_stack_array(self._values)
        return core

    @classmethod
    def _adopt(
        cls,
        values: NDArray[np.float64],
        tables: Sequence[tuple[str, str]],
        banner: str | None = None,
        run_id: str | None = None,
        zone_labels: ArrayLike | None = None,
    ) -> Matrix:
        """A matrix that takes ``values`` as its own array, without a copy.

        ``values`` must be a C-ordered float64 ``(T, Z, Z)`` array that nothing else
        changes; ``tables`` are checked ``(name, type_code)`` pairs.
        """
        matrix = cls.__new__(cls)
        matrix._adopt_parts(values, tables, banner, run_id, zone_labels)
        return matrix

    def _adopt_parts(
        self,
        values: NDArray[np.float64],
        tables: Sequence[tuple[str, str]],
        banner: str | None,
        run_id: str | None,
        zone_labels: ArrayLike | None,
    ) -> None:
        if (
            values.dtype != np.float64
            or values.ndim != 3
            or values.shape[1] != values.shape[2]
            or not values.flags.c_contiguous
            or values.shape[0] != len(tables)
            or values.shape[1] < 1
        ):
            raise ValueError(
                f"matrix values must be a C-ordered float64 array of shape ({len(tables)}, Z, Z) "
                f"with Z >= 1 (got {values.dtype} {values.shape})"
            )
        self._values = values
        self._tables = tuple(
            TableInfo(index, name, code) for index, (name, code) in enumerate(tables, start=1)
        )
        self._banner = header_value(banner, "banner", DEFAULT_BANNER)
        self._run_id = header_value(run_id, "run_id", DEFAULT_RUN_ID)
        self._labels = None
        if zone_labels is not None:
            self.zone_labels = zone_labels

    # -- header facts -------------------------------------------------------------

    @property
    def zones(self) -> int:
        """int: The number of zones Z; zones are numbered 1..Z."""
        return int(self._values.shape[1])

    @property
    def banner(self) -> str:
        """str: The banner text of the header."""
        return self._banner

    @property
    def run_id(self) -> str:
        """str: The run identifier of the header."""
        return self._run_id

    @property
    def tables(self) -> list[TableInfo]:
        """list of TableInfo: Every table's 1-based index, name and type code, in order."""
        return list(self._tables)

    @property
    def names(self) -> list[str]:
        """list of str: The table names, in order."""
        return [info.name for info in self._tables]

    @property
    def type_codes(self) -> dict[str, str]:
        """dict of str to str: Each table name's type code (first table of a name wins)."""
        codes: dict[str, str] = {}
        for info in self._tables:
            codes.setdefault(info.name, info.type_code)
        return codes

    @property
    def zone_labels(self) -> NDArray[np.int64]:
        """numpy.ndarray: The zone system's number of each zone position (read-only int64).

        1..Z unless the matrix came with labels of its own (an OMX lookup, xarray
        coordinates, a zones file) or they were set. Positions stay 1..Z everywhere a
        method takes a zone number; a matrix file stores positions only.
        """
        if self._labels is None:
            return default_labels(self.zones)
        return self._labels

    @zone_labels.setter
    def zone_labels(self, labels: ArrayLike | None) -> None:
        self._labels = None if labels is None else check_labels(labels, self.zones)

    @property
    def has_zone_labels(self) -> bool:
        """bool: Whether the zone labels were given (rather than the default 1..Z)."""
        return self._labels is not None

    # -- mapping behaviour --------------------------------------------------------

    def __len__(self) -> int:
        return len(self._tables)

    def __iter__(self) -> Iterator[str]:
        return iter(self.names)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and any(info.name == name for info in self._tables)

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        table: NDArray[np.float64] = self._values[self._position(name)]
        return table

    def __setitem__(self, name: str, values: ArrayLike) -> None:
        position = self._position(name)
        zones = self.zones
        array = np.asarray(values) if not np.ma.isMaskedArray(values) else values
        if isinstance(array, np.ndarray) and array.ndim == 0:
            array = np.broadcast_to(array, (zones, zones))
        self._values[position] = square_table(array, zones, f"table {name!r}")

    def keys(self) -> list[str]:
        """Return the table names, in order.

        Returns
        -------
        list of str
        """
        return self.names

    def values(self) -> Iterator[NDArray[np.float64]]:
        """Iterate over the tables, in order, as ``(Z, Z)`` views of the matrix's values.

        Yields
        ------
        numpy.ndarray
        """
        yield from self._values

    def items(self) -> Iterator[tuple[str, NDArray[np.float64]]]:
        """Iterate over ``(name, table)`` pairs, in order; each table is a view.

        Yields
        ------
        tuple of (str, numpy.ndarray)
        """
        for info, table in zip(self._tables, self._values):
            yield info.name, table

    def _position(self, name: object) -> int:
        """The 0-based position of the first table called ``name``."""
        if isinstance(name, str):
            for info in self._tables:
                if info.name == name:
                    return info.index - 1
        raise table_not_found(name if isinstance(name, str) else repr(name), "the matrix")

    def _zone(self, value: SupportsIndex, what: str) -> int:
        zone = operator.index(value)
        if not 1 <= zone <= self.zones:
            raise ValueError(f"{what} must be within 1 to {self.zones} (got {zone})")
        return zone

    def _pairs(self) -> list[tuple[str, str]]:
        return [(info.name, info.type_code) for info in self._tables]

    # -- values -------------------------------------------------------------------

    def to_numpy(self) -> NDArray[np.float64]:
        """Return the matrix's values: the ``(T, Z, Z)`` float64 array itself, not a copy.

        Element ``[t, o, d]`` is table ``t + 1`` (in `names` order), origin zone ``o + 1``,
        destination zone ``d + 1``. Changing the array changes the matrix; use
        ``m.to_numpy().copy()`` or `copy` for independent values.

        Returns
        -------
        numpy.ndarray
        """
        return self._values

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> NDArray[Any]:
        if copy:
            return np.array(self._values, dtype=dtype, copy=True)
        if dtype is None or np.dtype(dtype) == np.float64:
            return self._values
        if copy is False:
            raise ValueError(f"a Matrix cannot be viewed as {np.dtype(dtype)} without copying")
        return self._values.astype(dtype)

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
        TableNotFoundError
            If no table has that name (a `KeyError`).
        ValueError
            If a zone number is outside 1..Z.
        """
        position = self._position(name)
        o = self._zone(origin, "origin")
        d = self._zone(destination, "destination")
        return float(self._values[position, o - 1, d - 1])

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
        TableNotFoundError
            If no table has that name (a `KeyError`).
        ValueError
            If a zone number is outside 1..Z, or an integer value cannot be held exactly.
        """
        position = self._position(name)
        o = self._zone(origin, "origin")
        d = self._zone(destination, "destination")
        if isinstance(value, int) and not isinstance(value, bool) and float(value) != value:
            raise ValueError(f"the integer {value} cannot be held exactly as a float64 value")
        self._values[position, o - 1, d - 1] = float(value)

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
        from orvanel._stats import total_of_row_sums

        return total_of_row_sums(self._values[self._position(name)].sum(axis=1))

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
        return float(np.trace(self._values[self._position(name)]))

    # -- output -------------------------------------------------------------------

    def write(self, path: str | os.PathLike[str], *, threads: int | None = None) -> None:
        """Write the matrix to a matrix file.

        The file appears only once it is complete; a failed write leaves any file already
        at ``path`` as it was. The values are written straight from the matrix's array.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write.
        threads : int, optional
            How many threads encode the rows. By default the environment variable
            ``ORVANEL_NUM_THREADS`` when set, else the processors this process may run on
            (at most 8). The file is the same whatever the number.

        Raises
        ------
        OrvanelIoError
            If the file cannot be written.
        OrvanelValidationError
            If the matrix exceeds the matrix file's limits (more than 255 tables or
            32,000 zones, a table name that is empty or not ASCII).
        OrvanelWriterError
            If a row does not fit a row record (see the README on what fits); a note on
            the exception names the table and the origin zone of the row.
        """
        from orvanel.formats.matfile import write_matrix

        self._warn_labels_dropped()
        write_matrix(self, path, threads)

    def to_bytes(self, *, threads: int | None = None) -> bytes:
        """Return the content of the matrix file, as `write` would store it.

        Parameters
        ----------
        threads : int, optional
            How many threads encode the rows, as for `write`.

        Returns
        -------
        bytes
        """
        from orvanel.formats.matfile import matrix_bytes

        self._warn_labels_dropped()
        return matrix_bytes(self, threads)

    def _warn_labels_dropped(self) -> None:
        if self._labels is not None and not is_default(self._labels):
            warnings.warn(
                "a matrix file numbers zones 1..Z and has no place for zone labels: the "
                "labels of this matrix are not stored (orvanel convert writes them to a "
                "zones file beside it)",
                UserWarning,
                stacklevel=3,
            )

    def __bytes__(self) -> bytes:
        return self.to_bytes()

    def copy(self) -> Matrix:
        """Return an independent copy with the same header, tables, labels and values.

        Returns
        -------
        Matrix
        """
        return self.astype(None)

    def astype(self, types: TypesLike, *, copy: bool = True) -> Matrix:
        """Return a matrix whose tables have other type codes; the values stay exact.

        The type codes decide how values are stored when the matrix is written.

        Parameters
        ----------
        types : type code or mapping
            One type code for every table, or a mapping name -> type code (tables it does
            not name keep theirs). None keeps every code.
        copy : bool, default True
            Copy the values. With False the new matrix shares this one's values: a change
            through either shows in both.

        Returns
        -------
        Matrix

        Raises
        ------
        TableNotFoundError
            If the mapping names a table the matrix does not have.
        TypeError, ValueError
            If a code is invalid.
        """
        names = self.names
        codes = resolve_types(names, types, [info.type_code for info in self._tables])
        values = self._values.copy() if copy else self._values
        return Matrix._adopt(
            values, list(zip(names, codes)), self._banner, self._run_id, self._labels
        )

    def __copy__(self) -> Matrix:
        return self.copy()

    def __deepcopy__(self, memo: dict[int, Any]) -> Matrix:
        return self.copy()

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            _restore,
            (self._values, self._pairs(), self._banner, self._run_id, self._labels),
        )

    def __repr__(self) -> str:
        tables = self._tables
        lines = [f"<orvanel.Matrix: {self.zones} zones, {len(tables)} tables>"]
        shown = tables if len(tables) <= 20 else tables[:10] + tables[-5:]
        width = max(len(repr(info.name)) for info in shown)
        for info in shown:
            if len(tables) > 20 and info is tables[-5]:
                lines.append(f"  ... {len(tables) - 15} more tables ...")
            lines.append(
                f"  {info.index:>3}  {info.name!r:<{width}}  {info.type_code}"
                f"  ({describe_type(info.type_code)})"
            )
        lines.append(f"  banner: {self._banner!r}")
        lines.append(f"  run id: {self._run_id!r}")
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

    # -- looking at a matrix ------------------------------------------------------

    def _repr_html_(self) -> str:
        """The header and per-table statistics as an HTML table, for notebooks."""
        from orvanel._view import html_view

        return html_view(self)

    def plot(
        self,
        table: str,
        *,
        kind: str = "heatmap",
        ax: matplotlib.axes.Axes | None = None,
        log: bool | None = None,
        by: str | None = None,
        bins: int | ArrayLike | None = None,
    ) -> matplotlib.axes.Axes:
        """Draw a table as a heatmap, its totals by zone or its trip length distribution;
        needs the ``plot`` extra.

        See `orvanel.plotting.plot` for the parameters. By default a heatmap, with a
        logarithmic colour scale when the non-zero values span three orders of magnitude
        or more.

        Returns
        -------
        matplotlib.axes.Axes
        """
        from orvanel.plotting import plot

        return plot(self, table, kind=kind, ax=ax, log=log, by=by, bins=bins)

    def tlfd(self, table: str, by: str, bins: int | ArrayLike = 20) -> TripLengthDistribution:
        """Return the trip length frequency distribution of ``table`` binned by ``by``.

        See `orvanel.tlfd.tlfd` for the parameters and the cells left out.

        Returns
        -------
        orvanel.tlfd.TripLengthDistribution
        """
        from orvanel.tlfd import tlfd

        return tlfd(self, table, by, bins)


def _restore(
    values: NDArray[np.float64],
    tables: Sequence[tuple[str, str]],
    banner: str,
    run_id: str,
    labels: NDArray[np.int64] | None = None,
) -> Matrix:
    values = np.ascontiguousarray(values, dtype=np.float64)
    if not values.flags.writeable:
        values = values.copy()
    pairs = [(str(name), type_code(code)) for name, code in tables]
    return Matrix._adopt(values, pairs, banner, run_id, labels)
