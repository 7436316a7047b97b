"""A matrix as an HTML table, for notebooks: what ``orvanel info`` shows."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

from orvanel._schema import describe_type
from orvanel._stats import TableStats, statistics

if TYPE_CHECKING:
    from orvanel.matrix import Matrix

# A notebook shows a matrix each time a cell ends with it: the view stays quick by
# showing at most this many tables and computing statistics over at most this many
# cells (about 0.4 GB of values); a single table larger than that shows none.
MAX_TABLES = 20
MAX_CELLS = 50_000_000

_NUMBER_COLUMNS = ("total", "diagonal_total", "min", "max")
_RIGHT = ' style="text-align: right"'


def html_view(matrix: Matrix, max_tables: int = MAX_TABLES, max_cells: int = MAX_CELLS) -> str:
    """The HTML of a matrix's header facts and per-table statistics.

    Shows the first ``max_tables`` tables, and statistics for those of them that fit,
    in order, within ``max_cells`` cells; the view says what it leaves out.
    """
    from orvanel.cli._numbers import column_style

    zones = matrix.zones
    cells = zones * zones
    tables = matrix.tables
    shown = tables[:max_tables]
    budget = max_cells // cells
    stats: list[TableStats | None] = [
        statistics(table) if position < budget else None
        for position, (_, table) in enumerate(zip(shown, matrix.values()))
    ]
    styles = {
        key: column_style(
            [(getattr(s, key), info.type_code) for info, s in zip(shown, stats) if s is not None]
        )
        for key in _NUMBER_COLUMNS
    }

    rows = []
    for info, s in zip(shown, stats):
        if s is None:
            numbers = ["", "", "", "", ""]
        else:
            numbers = [styles[key](getattr(s, key)) for key in _NUMBER_COLUMNS]
            numbers.append(f"{100 * s.zero_share:.1f}%")
        rows.append(
            "<tr>"
            f"<td{_RIGHT}>{info.index}</td>"
            f"<td>{_text(info.name)}</td>"
            f"<td>{_text(info.type_code)} ({_text(describe_type(info.type_code))})</td>"
            + "".join(f"<td{_RIGHT}>{number}</td>" for number in numbers)
            + "</tr>"
        )

    notes = []
    if len(tables) > len(shown):
        notes.append(
            f"Showing the first {len(shown)} of {len(tables)} tables; "
            f"<code>m.tables</code> lists them all."
        )
    unmeasured = sum(s is None for s in stats)
    if unmeasured:
        which = "any table" if unmeasured == len(stats) else f"the last {unmeasured} tables shown"
        notes.append(
            f"No statistics for {which}, to keep this view quick ({zones:,} zones, "
            f"{cells:,} cells per table); <code>orvanel info</code> or "
            "<code>m.total(name)</code> give them."
        )

    header = "".join(
        f"<th{'' if label in ('name', 'type') else _RIGHT}>{label}</th>"
        for label in ("#", "name", "type", "total", "diagonal", "min", "max", "zeros")
    )
    facts = (
        f"<tr><th>zones</th><td>{zones:,}</td></tr>"
        f"<tr><th>tables</th><td>{len(tables)}</td></tr>"
        f"<tr><th>banner</th><td>{_text(matrix.banner)}</td></tr>"
        f"<tr><th>run id</th><td>{_text(matrix.run_id)}</td></tr>"
    )
    return (
        '<div class="orvanel-matrix">'
        "<p><strong>orvanel.Matrix</strong></p>"
        f"<table>{facts}</table>"
        f"<table><thead><tr>{header}</tr></thead><tbody>{''.join(rows)}</tbody></table>"
        + "".join(f"<p>{note}</p>" for note in notes)
        + "</div>"
    )


def _text(text: str) -> str:
    """Text from a file, safe in HTML: control characters shown escaped, markup
    characters as entities."""
    from orvanel.cli._text import printable

    return html.escape(printable(text))
