"""How numbers appear in command output."""

from __future__ import annotations

import math


def show(value: float, type_code: str) -> str:
    """A value for people: as many decimals as a fixed point table keeps, else ~7 or 10
    significant digits for single and double precision tables."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if type_code.isdigit():
        return f"{value:.{int(type_code)}f}"
    return f"{value:.{7 if type_code == 'S' else 10}g}"


def json_number(value: float) -> float | str:
    """A float for JSON output: NaN and the infinities, which JSON lacks, become the
    strings "nan", "inf" and "-inf"."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return value
