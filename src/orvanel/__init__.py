"""Read, inspect, edit, validate and write origin-destination matrix files.

A matrix file holds one or more square tables over zones numbered 1..Z, such as trips,
travel times and costs between the zones of a transport model. `read` loads one into a
`Matrix`, which maps table names to ``(Z, Z)`` float64 arrays; `create`, `from_arrays`
and `write` make new ones. Zone numbers are 1-based wherever a function takes one; array
positions are 0-based.

Examples
--------
>>> import orvanel
>>> m = orvanel.sample()
>>> m.names
['TRIPS', 'TIME', 'COST', 'COUNT']
>>> m["TIME"].shape
(50, 50)
"""

from orvanel import omx
from orvanel._header import RepeatedNamesWarning, TableInfo, ZonesInferredWarning
from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    OrvanelWriterError,
    SchemaResult,
    TableDef,
)
from orvanel._version import __version__
from orvanel.adapters.pandas import from_pandas
from orvanel.adapters.xarray import from_xarray
from orvanel.errors import TableNotFoundError
from orvanel.io import (
    create,
    from_arrays,
    read,
    read_bytes,
    sample,
    validate_schema,
    write,
)
from orvanel.matrix import Matrix
from orvanel.streaming import RowReader, RowWriter, open_rows

__all__ = [
    "Matrix",
    "OrvanelError",
    "OrvanelIoError",
    "OrvanelParseError",
    "OrvanelValidationError",
    "OrvanelWriterError",
    "RepeatedNamesWarning",
    "RowReader",
    "RowWriter",
    "SchemaResult",
    "TableDef",
    "TableInfo",
    "TableNotFoundError",
    "ZonesInferredWarning",
    "__version__",
    "create",
    "from_arrays",
    "from_pandas",
    "from_xarray",
    "omx",
    "open_rows",
    "read",
    "read_bytes",
    "sample",
    "validate_schema",
    "write",
]
