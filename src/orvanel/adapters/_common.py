"""Checks shared by the adapters."""

from __future__ import annotations

from collections.abc import Sequence


def require_unique(names: Sequence[str], target: str) -> None:
    """Raise ValueError if a table name occurs twice: ``target`` keys variables by name."""
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(
                f"table name {name!r} occurs more than once; {target} needs unique names"
            )
        seen.add(name)
