"""Helpers every format shares: choosing tables, progress callbacks."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence

from orvanel._orvanel import OrvanelValidationError
from orvanel.errors import table_not_found

Progress = Callable[[int], None]
"""Called with an amount of work just done (cells or bytes, as the format says)."""


def select_tables(
    available: Sequence[str], tables: str | Iterable[str] | None, where: str
) -> list[int]:
    """The 0-based positions of the tables to read: all of ``available``, or the ones
    named in ``tables``, in file order (a repeated name selects its first table).

    Raises `TableNotFoundError` for the first name ``where`` does not hold, and the
    validation error of an empty selection, as a matrix file's own reader does.
    """
    if tables is None:
        return list(range(len(available)))
    wanted = [tables] if isinstance(tables, str) else list(tables)
    for name in wanted:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str (got {name!r})")
        if name not in available:
            raise table_not_found(name, where)
    if not wanted:
        error = OrvanelValidationError(
            "invalid table configuration: at least one table name must be provided"
        )
        error.kind = "invalid_table_count"
        error.offset = None
        raise error
    return sorted({available.index(name) for name in wanted})
