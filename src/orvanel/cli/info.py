"""``orvanel info``: header facts and per-table statistics."""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Collection
from contextlib import ExitStack
from dataclasses import asdict
from importlib import resources
from typing import Any, TextIO

from orvanel._header import TableInfo
from orvanel._schema import describe_type
from orvanel._stats import BlockStatistics, TableStats, statistics
from orvanel.cli._errors import about
from orvanel.cli._numbers import column_style, json_number
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.registry import HEADER_TEXTS, Format, ReadOptions, input_format
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
            'infinities as the strings "nan", "inf" and "-inf". Without FILE, '
            "describes the sample matrix shipped with orvanel."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument("file", metavar="FILE", nargs="?", help="the file to describe")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    add_threads_option(parser)
    parser.set_defaults(run=run)


def table_stats(matrix: Matrix) -> list[dict[str, Any]]:
    """Per-table statistics: total, diagonal total, min, max and share of zero cells."""
    return _entries(matrix.tables, [statistics(table) for table in matrix.values()])


def _entries(tables: list[TableInfo], stats: list[TableStats]) -> list[dict[str, Any]]:
    # Statistics by table position, not by name: a file may hold two tables of one name.
    return [
        {"index": info.index, "name": info.name, "type_code": info.type_code} | asdict(entry)
        for info, entry in zip(tables, stats)
    ]


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


def describe_file(
    path: str, sample: bool, fmt: Format, options: ReadOptions | None = None
) -> dict[str, Any]:
    """Everything ``info`` reports on the file at ``path``, read block by block; the
    banner and run identifier are None where the file has none."""
    with fmt.open_blocks(path, None, options or ReadOptions()) as reader:
        stats = BlockStatistics(len(reader.tables), reader.zones)
        for origins, values in reader.blocks():
            stats.add(origins, values)
        size = os.path.getsize(path)
        tables = _entries(reader.tables, stats.result())
        return _report(
            path, sample, fmt.name, size, reader.banner, reader.run_id, reader.zones, tables
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
    options = ReadOptions(threads=thread_count(args))
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
            report = describe_file(path, sample, fmt, options)
    (render_json if args.json else render_text)(report, out)
    return 0
