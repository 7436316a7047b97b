"""``orvanel info``: header facts and per-table statistics."""

from __future__ import annotations

import argparse
import json
import os
from contextlib import ExitStack
from importlib import resources
from collections.abc import Collection
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from orvanel._header import TableInfo
from orvanel._schema import describe_type
from orvanel.formats.registry import HEADER_TEXTS, Format, ReadOptions, input_format
from orvanel.cli._errors import about
from orvanel.cli._numbers import column_style, json_number
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.io import SAMPLE_RESOURCE
from orvanel.matrix import Matrix


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "info",
        help="show a matrix's header and per-table statistics",
        description=(
            "Show the header facts of a matrix: file, format, banner and run identifier "
            "(only when the file holds them: a matrix file always, an OMX file or .npz "
            "archive when it was written with them, a CSV file never), zones, tables; then "
            "one line per table: its number, name, type code, total, diagonal total, "
            "smallest and largest value and share of zero cells, each column of numbers "
            "written one way for every table; a line saying what the type codes shown mean; "
            "then the file size and bytes per cell. Control characters in names and texts "
            "are shown escaped (\\x1b). With --json, one JSON object with the same facts, "
            "texts exact, banner and run_id null where the file has none, and NaN and the "
            "infinities as the strings \"nan\", \"inf\" and \"-inf\". Without FILE, "
            "describes the sample matrix shipped with orvanel."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument("file", metavar="FILE", nargs="?", help="the file to describe")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.set_defaults(run=run)


class TableStats:
    """Per-table statistics gathered block by block: total, diagonal total, min, max and
    the count of zero cells.

    Totals add each block's sum (NumPy's pairwise sum) with compensation, so that a
    matrix of one block gets exactly NumPy's total of the table, and a larger one a total
    as accurate. NaN and infinities come out as NumPy's sum gives them.
    """

    def __init__(self, tables: list[TableInfo], zones: int) -> None:
        self.tables, self.zones = tables, zones
        count = len(tables)
        self.total, self.diagonal = _Total(count), _Total(count)
        self.min = np.full(count, np.inf)
        self.max = np.full(count, -np.inf)
        self.zeros = np.zeros(count, dtype=np.int64)

    def add(self, origins: range, values: NDArray[np.float64]) -> None:
        """Take in one block: the ``(T, n, Z)`` rows of ``origins``."""
        rows = np.arange(len(origins))
        diagonal = values[:, rows, rows + origins.start - 1]  # (T, n)
        # Sums may overflow to infinity and NaN may meet infinity: the results say so.
        with np.errstate(over="ignore", invalid="ignore"):
            self.total.add(np.array([table.sum() for table in values]))
            self.diagonal.add(np.array([cells.sum() for cells in diagonal]))
            self.min = np.minimum(self.min, values.min(axis=(1, 2)))
            self.max = np.maximum(self.max, values.max(axis=(1, 2)))
        # NaN counts as not zero, -0.0 as zero.
        self.zeros += values[0].size - np.array([np.count_nonzero(table) for table in values])

    def report(self) -> list[dict[str, Any]]:
        """One entry per table, by position (a file may hold two tables of one name)."""
        cells = self.zones * self.zones
        totals, diagonals = self.total.result(), self.diagonal.result()
        return [
            {
                "index": info.index,
                "name": info.name,
                "type_code": info.type_code,
                "total": float(totals[position]),
                "diagonal_total": float(diagonals[position]),
                "min": float(self.min[position]),
                "max": float(self.max[position]),
                "zero_share": float(self.zeros[position] / cells),
            }
            for position, info in enumerate(self.tables)
        ]


class _Total:
    """Running sums of one value per table, with Neumaier's compensation."""

    def __init__(self, count: int) -> None:
        self.sum = np.zeros(count)
        self.compensation = np.zeros(count)
        self.plain = np.zeros(count)  # says whether the sum overflowed or met NaN

    def add(self, parts: NDArray[np.float64]) -> None:
        with np.errstate(over="ignore", invalid="ignore"):
            added = self.sum + parts
            larger = np.abs(self.sum) >= np.abs(parts)
            self.compensation += np.where(larger, (self.sum - added) + parts, (parts - added) + self.sum)
            self.sum = added
            self.plain += parts

    def result(self) -> NDArray[np.float64]:
        with np.errstate(over="ignore", invalid="ignore"):
            return np.where(np.isfinite(self.plain), self.sum + self.compensation, self.plain)


def table_stats(matrix: Matrix) -> list[dict[str, Any]]:
    """Per-table statistics: total, diagonal total, min, max and share of zero cells."""
    stats = TableStats(matrix.tables, matrix.zones)
    stats.add(range(1, matrix.zones + 1), matrix.to_numpy())
    return stats.report()


def describe(
    path: str,
    matrix: Matrix,
    size: int,
    sample: bool,
    fmt: str,
    header_texts: Collection[str] = HEADER_TEXTS,
) -> dict[str, Any]:
    """Everything ``info`` reports, as plain data; the banner and run identifier are None
    unless named in ``header_texts`` (the ones the file holds)."""
    return _report(
        path,
        sample,
        fmt,
        size,
        matrix.banner if "banner" in header_texts else None,
        matrix.run_id if "run_id" in header_texts else None,
        matrix.zones,
        table_stats(matrix),
    )


def _report(
    path: str,
    sample: bool,
    fmt: str,
    size: int,
    banner: str | None,
    run_id: str | None,
    zones: int,
    tables: list[dict[str, Any]],
) -> dict[str, Any]:
    return {
        "file": path,
        "sample": sample,
        "format": fmt,
        "size_bytes": size,
        "bytes_per_cell": size / (zones * zones * len(tables)),
        "banner": banner,
        "run_id": run_id,
        "zones": zones,
        "tables": tables,
    }


def describe_file(path: str, sample: bool, fmt: Format) -> dict[str, Any]:
    """Everything ``info`` reports on the file at ``path``, read block by block; the
    banner and run identifier are None where the file has none."""
    with fmt.open_blocks(path, None, ReadOptions()) as reader:
        stats = TableStats(reader.tables, reader.zones)
        for origins, values in reader.blocks():
            stats.add(origins, values)
        size = os.path.getsize(path)
        return _report(
            path, sample, fmt.name, size, reader.banner, reader.run_id, reader.zones, stats.report()
        )


NUMBER_COLUMNS = ("total", "diagonal_total", "min", "max")


def render_text(report: dict[str, Any], out: TextIO) -> None:
    """Write the report for people."""
    facts = [
        (
            "file",
            printable(report["file"])
            + ("  (the sample shipped with orvanel)" if report["sample"] else ""),
        ),
        ("format", report["format"]),
        ("banner", report["banner"]),
        ("run id", report["run_id"]),
        ("zones", str(report["zones"])),
        ("tables", str(len(report["tables"]))),
    ]
    for label, value in facts:
        if value is not None:
            out.write(f"{label:<8}{printable(value)}\n")
    tables = report["tables"]
    styles = {
        key: column_style([(t[key], t["type_code"]) for t in tables]) for key in NUMBER_COLUMNS
    }
    header = ["#", "name", "type", "total", "diagonal", "min", "max", "zeros"]
    rows = [
        [
            str(t["index"]),
            printable(t["name"]),
            t["type_code"],
            *(styles[key](t[key]) for key in NUMBER_COLUMNS),
            f"{100 * t['zero_share']:.1f}%",
        ]
        for t in tables
    ]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    left = {1, 2}  # name and type read better left-aligned
    out.write("\n")
    for row in [header, *rows]:
        cells = [
            cell.ljust(width) if i in left else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(row, widths))
        ]
        out.write("  ".join(cells).rstrip() + "\n")
    codes = dict.fromkeys(t["type_code"] for t in tables)
    legend = "; ".join(f"{code} = {describe_type(code)}" for code in codes)
    out.write(f"type    {legend}\n")
    out.write(
        f"\nsize    {report['size_bytes']} bytes, {report['bytes_per_cell']:.2f} bytes per cell\n"
    )


def render_json(report: dict[str, Any], out: TextIO) -> None:
    """Write the report as one JSON object."""
    for table in report["tables"]:
        for key in ("total", "diagonal_total", "min", "max"):
            table[key] = json_number(table[key])
    json.dump(report, out, indent=2, allow_nan=False)
    out.write("\n")


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with ExitStack() as stack:
        if args.file is None:
            resource = resources.files("orvanel").joinpath(*SAMPLE_RESOURCE)
            path = os.fspath(stack.enter_context(resources.as_file(resource)))
            sample = True
        else:
            path = args.file
            sample = False
        fmt = input_format(path)
        with about(path):
            report = describe_file(path, sample, fmt)
    (render_json if args.json else render_text)(report, out)
    return 0
