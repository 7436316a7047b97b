"""How numbers appear in command output."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence

# Significant digits a value of each floating point type code is shown with; fixed point
# tables show their own decimals.
_SIGNIFICANT = {"S": 7, "D": 10}
# Beyond these, fixed point notation is too long or loses the value: scientific instead.
_LARGEST_FIXED = 1e15
_MOST_DECIMALS = 12


def column_style(entries: Sequence[tuple[float, str]]) -> Callable[[float], str]:
    """One way to write every number of a column of a table of tables.

    ``entries`` are the column's values with the type code of each one's table. Each
    table wants its own precision: as many decimals as a fixed point table keeps, up to 7
    or 10 significant digits for single and double precision tables. The column takes the
    most decimals any of its values wants, so that every value has the same number of
    decimals and the decimal points line up; when a value is too large or too small for
    that to read well, the whole column is in scientific notation instead.
    """
    finite = [(value, code) for value, code in entries if math.isfinite(value)]
    wanted = [_decimals(value, code) for value, code in finite]
    if any(abs(value) >= _LARGEST_FIXED for value, _ in finite) or any(
        decimals > _MOST_DECIMALS for decimals in wanted
    ):
        digits = max(_SIGNIFICANT.get(code, _SIGNIFICANT["D"]) for _, code in finite) - 1
        return lambda value: _special(value) or f"{value:.{digits}e}"
    decimals = max(wanted, default=0)
    return lambda value: _special(value) or f"{value:.{decimals}f}"


def _decimals(value: float, type_code: str) -> int:
    """The decimals ``value`` wants in a table of ``type_code``: a fixed point table's
    own; else those of the value's significant digits, without trailing zeros."""
    if type_code.isdigit():
        return int(type_code)
    if value == 0.0:
        return 0
    significant = _SIGNIFICANT.get(type_code, _SIGNIFICANT["D"])
    decimals = max(0, significant - 1 - math.floor(math.log10(abs(value))))
    if decimals > _MOST_DECIMALS:
        return decimals
    return len(f"{value:.{decimals}f}".partition(".")[2].rstrip("0"))


def _special(value: float) -> str:
    """NaN and the infinities, which no notation writes; "" for any other value."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return ""


def json_number(value: float) -> float | str:
    """A float for JSON output: NaN and the infinities, which JSON lacks, become the
    strings "nan", "inf" and "-inf"."""
    return _special(value) or value
