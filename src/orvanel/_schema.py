"""Table definitions and type codes as the public API accepts them."""

from __future__ import annotations

import operator
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np

from orvanel._header import TableInfo, unique_labels
from orvanel._orvanel import TableDef
from orvanel.errors import table_not_found

TypeCodeLike: TypeAlias = int | str
"""A table's type code: ``0``..``9`` (int or one-digit str) for fixed point with that many
decimals, ``"S"`` for single precision, ``"D"`` for double precision."""

TablesLike: TypeAlias = (
    Mapping[str, TypeCodeLike] | Iterable[TableDef | TableInfo | tuple[str, TypeCodeLike]]
)
"""Table definitions: a mapping name -> type code, or a sequence of `TableDef` objects or
``(name, type_code)`` pairs, in table order."""

TypesLike: TypeAlias = TypeCodeLike | Mapping[str, TypeCodeLike] | None
"""Type codes for tables that come from arrays: one code for every table, a mapping
name -> code (tables not named keep their default), or None for the defaults."""

DEFAULT_TYPE = "D"


def type_code(code: object) -> str:
    """A type code in its one-character form; TypeError or ValueError if it is not one."""
    return TableDef("", code).type_code  # type: ignore[arg-type]


def table_pairs(tables: TablesLike) -> list[tuple[str, str]]:
    """Turn a mapping or an iterable of table definitions into ``(name, code)`` pairs."""
    if isinstance(tables, Mapping):
        items: list[Any] = list(tables.items())
    elif isinstance(tables, (str, bytes)) or not isinstance(tables, Iterable):
        raise TypeError(
            "tables must be a mapping name -> type code or a sequence of tables "
            f"(got {type(tables).__name__})"
        )
    else:
        items = [
            (item.name, item.type_code) if isinstance(item, (TableDef, TableInfo)) else item
            for item in tables
        ]
    pairs = []
    for item in items:
        if not isinstance(item, tuple) or len(item) != 2:
            raise TypeError(
                f"a table must be a TableDef or a (name, type_code) pair (got {item!r})"
            )
        name, code = item
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {name!r})")
        pairs.append((name, type_code(code)))
    return pairs


def resolve_types(
    names: Sequence[str],
    types: TypesLike,
    defaults: Sequence[TypeCodeLike] | None = None,
) -> list[str]:
    """Choose one type code per table.

    An explicit code wins; otherwise the table's entry in ``defaults`` (in table order:
    the code the source carried), otherwise double precision. A mapping key names every
    table of that name, or one table by its position label (``A#3``, see
    `unique_labels`); a key that names no table raises `TableNotFoundError`, since that
    is almost always a misspelt name.
    """
    fallback = (
        [type_code(code) for code in defaults]
        if defaults is not None
        else [DEFAULT_TYPE] * len(names)
    )
    if types is None:
        return fallback
    if isinstance(types, Mapping):
        labels = unique_labels(names)
        known = set(names) | set(labels)
        for key in types:
            if key not in known:
                raise table_not_found(str(key), "the matrix")
        codes = []
        for name, label, code in zip(names, labels, fallback):
            chosen = types.get(label, types.get(name, code))
            codes.append(type_code(chosen))
        return codes
    if isinstance(types, (str, int)) and not isinstance(types, bool):
        return [type_code(types)] * len(names)
    raise TypeError(
        "types must be a type code, a mapping name -> type code, or None "
        f"(got {type(types).__name__})"
    )


def default_code(dtype: np.dtype[Any]) -> str:
    """The type code for values that come without one (OMX, .npz, pandas, xarray).

    Booleans and integers -> ``"0"``, float16 and float32 -> ``"S"``, anything else ->
    ``"D"``: each keeps every value of its element type exactly (integers as far as
    float64 holds them).
    """
    if dtype.kind in "biu":
        return "0"
    if dtype.kind == "f" and dtype.itemsize <= 4:
        return "S"
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


def zone_count(zones: object) -> int:
    """A zone count as given by a caller: an integer of at least 1."""
    try:
        count = operator.index(zones)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"zones must be an integer (got {type(zones).__name__})") from None
    if count < 1:
        raise ValueError(f"zones must be at least 1 (got {count})")
    return count
