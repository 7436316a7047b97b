"""Choosing tables by name when a format is read."""

from __future__ import annotations

from collections.abc import Iterable, Sequence


def select_names(
    available: Sequence[str], tables: str | Iterable[str] | None, source: str
) -> list[str]:
    """The names to load: all of ``available``, or the requested ones in file order.

    Raises ValueError naming the first requested table that ``source`` does not hold.
    """
    if tables is None:
        return list(available)
    wanted = [tables] if isinstance(tables, str) else list(tables)
    for name in wanted:
        if name not in available:
            raise ValueError(f"table {name} not found in {source}")
    if not wanted:
        raise ValueError("at least one table name must be given")
    return [name for name in available if name in wanted]
