"""Read, inspect, edit, validate and write origin-destination matrix files."""

from orvanel._orvanel import (
    OrvanelError,
    OrvanelIoError,
    OrvanelParseError,
    OrvanelValidationError,
    OrvanelWriterError,
    SchemaResult,
    TableDef,
    TableInfo,
)

__all__ = [
    "OrvanelError",
    "OrvanelIoError",
    "OrvanelParseError",
    "OrvanelValidationError",
    "OrvanelWriterError",
    "SchemaResult",
    "TableDef",
    "TableInfo",
]
