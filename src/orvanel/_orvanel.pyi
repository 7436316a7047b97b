"""Low-level core bindings for orvanel.

Import the public `orvanel` package for normal use.
"""

import os
from collections.abc import Iterable, Sequence
from typing import Self, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "OrvanelError",
    "OrvanelIoError",
    "OrvanelParseError",
    "OrvanelValidationError",
    "OrvanelWriterError",
    "SchemaResult",
    "TableDef",
    "TableInfo",
    "_MatrixCore",
    "__doc__",
]

_Path = str | os.PathLike[str]
_TypeCode = int | str
_Tables = Iterable[TableDef | tuple[str, _TypeCode]]
_Table = str | SupportsIndex

class OrvanelError(Exception):
    kind: str
    offset: int | None

class OrvanelIoError(OrvanelError): ...
class OrvanelParseError(OrvanelError): ...
class OrvanelValidationError(OrvanelError): ...
class OrvanelWriterError(OrvanelError): ...

@final
class TableDef:
    def __new__(cls, name: str, type_code: _TypeCode, /) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def type_code(self) -> str: ...

@final
class TableInfo:
    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def type_code(self) -> str: ...

@final
class SchemaResult:
    @property
    def zone_count(self) -> int: ...
    @property
    def banner(self) -> str: ...
    @property
    def run_id(self) -> str: ...
    def tables(self, /) -> list[TableInfo]: ...

@final
class _MatrixCore:
    @property
    def zone_count(self) -> int: ...
    @property
    def table_count(self) -> int: ...
    @property
    def banner(self) -> str: ...
    @property
    def run_id(self) -> str: ...
    @staticmethod
    def open(path: _Path, /) -> _MatrixCore: ...
    @staticmethod
    def from_bytes(bytes: bytes, /) -> _MatrixCore: ...
    @staticmethod
    def open_tables(path: _Path, table_names: Sequence[str], /) -> _MatrixCore: ...
    @staticmethod
    def from_bytes_tables(bytes: bytes, table_names: Sequence[str], /) -> _MatrixCore: ...
    @staticmethod
    def create(
        zone_count: SupportsIndex,
        tables: _Tables,
        banner: str | None = None,
        run_id: str | None = None,
    ) -> _MatrixCore: ...
    @staticmethod
    def validate_schema(
        zone_count: SupportsIndex,
        tables: _Tables,
        banner: str | None = None,
        run_id: str | None = None,
    ) -> SchemaResult: ...
    @staticmethod
    def write_from_stack(
        path: _Path,
        zone_count: SupportsIndex,
        tables: _Tables,
        stack: NDArray[np.float64],
        banner: str | None = None,
        run_id: str | None = None,
    ) -> None: ...
    @staticmethod
    def to_bytes_from_stack(
        zone_count: SupportsIndex,
        tables: _Tables,
        stack: NDArray[np.float64],
        banner: str | None = None,
        run_id: str | None = None,
    ) -> bytes: ...
    def tables(self, /) -> list[TableInfo]: ...
    def table_index_by_name(self, name: str, /) -> int | None: ...
    def get(self, table: _Table, origin: SupportsIndex, destination: SupportsIndex, /) -> float: ...
    def checked_get(
        self, table: _Table, origin: SupportsIndex, destination: SupportsIndex, /
    ) -> float | None: ...
    def set(
        self,
        table: _Table,
        origin: SupportsIndex,
        destination: SupportsIndex,
        value: SupportsFloat | SupportsIndex,
        /,
    ) -> None: ...
    def row(self, table: _Table, origin: SupportsIndex, /) -> list[float]: ...
    def table_total(self, table: _Table, /) -> float: ...
    def table_diagonal_total(self, table: _Table, /) -> float: ...
    def table_array(self, table: _Table, /) -> NDArray[np.float64]: ...
    def stack_array(self, /) -> NDArray[np.float64]: ...
    def set_table_array(self, table: _Table, values: NDArray[np.float64], /) -> None: ...
    def set_stack_array(self, values: NDArray[np.float64], /) -> None: ...
    def write(self, path: _Path, /) -> None: ...
    def to_bytes(self, /) -> bytes: ...
    def __bytes__(self, /) -> bytes: ...
