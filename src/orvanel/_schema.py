"""Table definitions and type codes as the public API accepts them."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np

from orvanel._orvanel import TableDef, _MatrixCore

TypeCodeLike: TypeAlias = int | str
"""A table's type code: ``0``..``9`` (int or one-digit str) for fixed point with that many
decimals, ``"S"`` for single precision, ``"D"`` for double precision."""

TablesLike: TypeAlias = Mapping[str, TypeCodeLike] | Iterable[TableDef | tuple[str, TypeCodeLike]]
"""Table definitions: a mapping name -> type code, or a sequence of `TableDef` objects or
``(name, type_code)`` pairs, in table order."""

TypesLike: TypeAlias = TypeCodeLike | Mapping[str, TypeCodeLike] | None
"""Type codes for tables that come from arrays: one code for every table, a mapping
name -> code (tables not named keep their default), or None for the defaults."""

DEFAULT_TYPE = "D"


def table_list(tables: TablesLike) -> list[TableDef | tuple[str, TypeCodeLike]]:
    """Turn a mapping or an iterable of table definitions into the list the core takes."""
    if isinstance(tables, Mapping):
        return [(name, code) for name, code in tables.items()]
    if isinstance(tables, (str, bytes)):
        raise TypeError("tables must be a mapping name -> type code or a sequence of tables")
    return list(tables)


def resolve_types(
    names: Sequence[str],
    types: TypesLike,
    defaults: Sequence[TypeCodeLike] | None = None,
) -> list[TypeCodeLike]:
    """Choose one type code per table.

    An explicit code wins; otherwise the table's entry in ``defaults`` (in table order:
    the code the source carried), otherwise double precision. A mapping that names a table
    that does not exist is an error, since that is almost always a misspelt name.
    """
    fallback: list[TypeCodeLike] = (
        list(defaults) if defaults is not None else [DEFAULT_TYPE] * len(names)
    )
    if types is None:
        return fallback
    if isinstance(types, Mapping):
        unknown = [str(name) for name in types if name not in names]
        if unknown:
            raise ValueError(f"type codes given for tables that do not exist: {', '.join(unknown)}")
        return [types.get(name, code) for name, code in zip(names, fallback)]
    if isinstance(types, (str, int)):
        return [types] * len(names)
    raise TypeError(
        "types must be a type code, a mapping name -> type code, or None "
        f"(got {type(types).__name__})"
    )


def code_for_dtype(dtype: np.dtype[Any]) -> TypeCodeLike:
    """A type code that holds every value of ``dtype`` exactly.

    float32 -> ``"S"``; integers and booleans -> ``0``; anything else -> ``"D"``. Integers
    beyond 2**53 are the exception: no table type holds them exactly, nor does float64.
    """
    if dtype.kind == "f" and dtype.itemsize <= 4:
        return "S"
    if dtype.kind in "iub":
        return 0
    return DEFAULT_TYPE


def describe_type(code: str) -> str:
    """A short English description of a type code, for reprs and command output."""
    if code == "S":
        return "single precision"
    if code == "D":
        return "double precision"
    if len(code) == 1 and code.isdigit():
        return f"fixed point, {code} decimal{'' if code == '1' else 's'}"
    return code


def check_zones(zones: int) -> None:
    """Raise as creating a matrix would if ``zones`` is not a valid zone count.

    Used before allocating Z * Z cells for a zone count read from a foreign file.
    """
    if 0 <= zones <= 0xFFFF:
        _MatrixCore.validate_schema(zones, [("zones", DEFAULT_TYPE)])
    else:
        raise ValueError(f"invalid zone count {zones}: expected 1..=32000")
