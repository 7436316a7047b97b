"""``orvanel diff``: compare two matrices cell by cell."""

from __future__ import annotations

import argparse
import contextlib
import json
from dataclasses import dataclass
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID, TableInfo, header_value, unique_labels
from orvanel.cli._errors import about
from orvanel.cli._numbers import json_number
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.blocks import BlockReader, default_block
from orvanel.formats.registry import ReadOptions, open_any
from orvanel.matrix import Matrix


def _tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"must be a number of at least 0 (got {text})")
    return value


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "diff",
        help="compare two matrices",
        description=(
            "Compare two matrices. Tables are paired by position, the first of A with the "
            "first of B and so on, and named by A's names; where a name repeats, the later "
            "tables are labelled by their position (A#3). The output: differences of "
            "banner and run identifier; 'zone counts differ: ZA and ZB; tables not "
            "compared' when the zone counts differ; 'table counts differ: TA and TB' and "
            "the tables beyond the other file's count ('only in FILE: ...') when the table "
            "counts differ; then one line per pair of tables: a different name ('name X "
            "!= Y'), a different type code ('type 2 != D'), and 'identical' or how many "
            "cells differ beyond the tolerances, with the largest absolute difference and "
            "its (origin, destination), zones 1-based; the last line is 'equal', 'equal "
            "within tolerance' or 'different'. Cells a and b differ when |a - b| > atol + "
            "rtol * max(|a|, |b|); NaN equals NaN; NaN or an infinity against any other "
            "value always differs. The exit status is 1 when the zone counts, the table "
            "counts or the names of paired tables differ, or any cell differs; differences "
            "of banner, run identifier and type codes are reported but do not count. "
            "--json prints the same facts as one JSON object."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument("a", metavar="A", help="the first file")
    parser.add_argument("b", metavar="B", help="the second file")
    parser.add_argument(
        "--rtol",
        type=_tolerance,
        default=0.0,
        metavar="RTOL",
        help="relative tolerance (default 0)",
    )
    parser.add_argument(
        "--atol",
        type=_tolerance,
        default=0.0,
        metavar="ATOL",
        help="absolute tolerance (default 0)",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print one JSON object instead: equal, rtol, atol, header (the differing "
        "banner, run_id, zones and table_count, each as {a, b}), tables_compared, "
        "only_in_a, only_in_b (labels), and per pair of tables index, name, label, "
        "renamed and type_code (as {a, b}, when they differ), max_abs_diff, at, "
        "differing_cells; texts exact, NaN and infinities as strings",
    )
    add_threads_option(parser)
    parser.set_defaults(run=run)


class TableComparison:
    """One pair of tables compared block by block: the largest absolute difference, the
    first cell (origin-major) where it is, and how many cells differ beyond the
    tolerances."""

    def __init__(self, rtol: float, atol: float) -> None:
        self.rtol, self.atol = rtol, atol
        self.largest = 0.0
        self.at: list[int] | None = None
        self.differing = 0

    def add(self, first_origin: int, a: NDArray[np.float64], b: NDArray[np.float64]) -> None:
        """Compare the rows of both tables from origin ``first_origin`` (1-based)."""
        with np.errstate(invalid="ignore", over="ignore"):
            same = (a == b) | (np.isnan(a) & np.isnan(b))
            difference = np.abs(a - b)
            # One side NaN, or opposite infinities: as far apart as can be.
            difference[np.isnan(difference)] = np.inf
            difference[same] = 0.0
            limit: Any = self.atol
            if self.rtol:  # else the limit is atol everywhere, without three temporary arrays
                limit = self.atol + self.rtol * np.maximum(np.abs(a), np.abs(b))
            # An infinite difference (NaN or an infinity against anything else) is beyond
            # every tolerance, even one that an infinite value makes infinite.
            within = np.isfinite(difference) & (difference <= limit)
            self.differing += int(np.count_nonzero(~same & ~within))
        position = int(np.argmax(difference))
        largest = float(difference.flat[position])
        if largest > self.largest:  # an equal one later keeps the first place
            self.largest = largest
            origin, destination = divmod(position, a.shape[1])
            self.at = [first_origin + origin, destination + 1]

    def result(self) -> dict[str, Any]:
        return {"max_abs_diff": self.largest, "at": self.at, "differing_cells": self.differing}


def compare_tables(
    a: NDArray[np.float64], b: NDArray[np.float64], rtol: float, atol: float
) -> dict[str, Any]:
    """Largest absolute difference, where it is (1-based zones) and how many cells differ."""
    comparison = TableComparison(rtol, atol)
    comparison.add(1, a, b)
    return comparison.result()


@dataclass(frozen=True)
class _Side:
    """What ``diff`` compares of one file besides its values."""

    zones: int
    tables: list[TableInfo]
    banner: str
    run_id: str

    @property
    def names(self) -> list[str]:
        return [info.name for info in self.tables]


def _side(source: Matrix | BlockReader) -> _Side:
    # A file without header texts is compared as the matrix read from it: with the defaults.
    return _Side(
        source.zones,
        list(source.tables),
        header_value(source.banner, "banner", DEFAULT_BANNER),
        header_value(source.run_id, "run_id", DEFAULT_RUN_ID),
    )


def compare(
    a: Matrix, b: Matrix, rtol: float, atol: float, where: tuple[str, str] | None = None
) -> dict[str, Any]:
    """Everything ``diff`` reports, as plain data; ``equal`` decides the exit status.

    Tables are paired by position: the first of A with the first of B, and so on. Each
    pair is labelled by A's name, with the position added where a name repeats (see
    `unique_labels`; ``where`` names the files for its warning). A pair whose names
    differ is reported as renamed; tables beyond the other file's count are listed as
    only in one file. Tables are compared only when the zone counts agree.
    """
    report = _header_report(_side(a), _side(b), rtol, atol, where)
    if report["tables_compared"]:
        values = [compare_tables(ta, tb, rtol, atol) for ta, tb in zip(a.values(), b.values())]
        _add_values(report, values)
    return report


def _header_report(
    a: _Side, b: _Side, rtol: float, atol: float, where: tuple[str, str] | None
) -> dict[str, Any]:
    """The report without the comparison of values (see `_add_values`)."""
    labels_a = unique_labels(a.names, where[0] if where else None)
    labels_b = unique_labels(b.names, where[1] if where else None)
    header = {
        key: {"a": getattr(a, key), "b": getattr(b, key)}
        for key in ("banner", "run_id", "zones")
        if getattr(a, key) != getattr(b, key)
    }
    if len(a.tables) != len(b.tables):
        header["table_count"] = {"a": len(a.tables), "b": len(b.tables)}
    compared = a.zones == b.zones
    tables = []
    if compared:
        for info_a, info_b, label in zip(a.tables, b.tables, labels_a):
            entry: dict[str, Any] = {"index": info_a.index, "name": info_a.name, "label": label}
            if info_a.name != info_b.name:
                entry["renamed"] = {"a": info_a.name, "b": info_b.name}
            if info_a.type_code != info_b.type_code:
                entry["type_code"] = {"a": info_a.type_code, "b": info_b.type_code}
            tables.append(entry)
    common = min(len(a.tables), len(b.tables))
    return {
        "equal": False,
        "rtol": rtol,
        "atol": atol,
        "header": header,
        "tables_compared": compared,
        "only_in_a": labels_a[common:] if compared else [],
        "only_in_b": labels_b[common:] if compared else [],
        "tables": tables,
    }


def _add_values(report: dict[str, Any], values: list[dict[str, Any]]) -> None:
    """Complete the report with each pair's comparison of values, and decide ``equal``."""
    for entry, result in zip(report["tables"], values):
        entry.update(result)
    report["equal"] = (
        report["tables_compared"]
        and "table_count" not in report["header"]
        and all("renamed" not in t and t["differing_cells"] == 0 for t in report["tables"])
    )


def compare_files(
    a: BlockReader, b: BlockReader, rtol: float, atol: float, where: tuple[str, str]
) -> dict[str, Any]:
    """`compare` for two files read block by block, in aligned blocks of origins; a
    failure to read either is reported against its file."""
    report = _header_report(_side(a), _side(b), rtol, atol, where)
    if not report["tables_compared"]:
        # Still read through: a file that cannot be read is reported as such.
        for reader, path in ((a, where[0]), (b, where[1])):
            with about(path):
                for _ in reader.blocks():
                    pass
        return report
    common = min(len(a.tables), len(b.tables))
    comparisons = [TableComparison(rtol, atol) for _ in range(common)]
    # One block of both files together is about the size of one default block.
    size = default_block(a.zones, len(a.tables) + len(b.tables))
    blocks_a, blocks_b = a.blocks(size), b.blocks(size)
    while True:
        with about(where[0]):
            block_a = next(blocks_a, None)
        with about(where[1]):
            block_b = next(blocks_b, None)
        if block_a is None or block_b is None:
            break
        (origins, values_a), (_, values_b) = block_a, block_b
        for comparison, table_a, table_b in zip(comparisons, values_a, values_b):
            comparison.add(origins.start, table_a, table_b)
    _add_values(report, [comparison.result() for comparison in comparisons])
    return report


def render_text(report: dict[str, Any], a: str, b: str, out: TextIO) -> None:
    """Write the comparison for people."""
    a, b = printable(a), printable(b)
    out.write(f"--- {a}\n+++ {b}\n")
    header = report["header"]
    for key in ("banner", "run_id"):
        if key in header:
            label = {"run_id": "run id"}.get(key, key)
            out.write(f"{label}: {header[key]['a']!r} != {header[key]['b']!r}\n")
    if "zones" in header:
        out.write(
            f"zone counts differ: {header['zones']['a']} and {header['zones']['b']}; "
            "tables not compared\n"
        )
    if "table_count" in header:
        counts = header["table_count"]
        out.write(f"table counts differ: {counts['a']} and {counts['b']}\n")
    for path, key in ((a, "only_in_a"), (b, "only_in_b")):
        if report[key]:
            out.write(f"only in {path}: {', '.join(map(printable, report[key]))}\n")
    labels = [printable(t["label"]) for t in report["tables"]]
    width = max(map(len, labels), default=0)
    for label, table in zip(labels, report["tables"]):
        out.write(f"{label:<{width}}  {'; '.join(_table_facts(table))}\n")
    if not report["equal"]:
        out.write("different\n")
    elif any(t["at"] is not None for t in report["tables"]):
        out.write("equal within tolerance\n")
    else:
        out.write("equal\n")


def _table_facts(table: dict[str, Any]) -> list[str]:
    """What one table line says: renaming, type codes, then how the values compare."""
    facts = []
    if "renamed" in table:
        facts.append(
            f"name {printable(table['renamed']['a'])} != {printable(table['renamed']['b'])}"
        )
    if "type_code" in table:
        facts.append(f"type {table['type_code']['a']} != {table['type_code']['b']}")
    if table["at"] is None:
        facts.append("identical")
        return facts
    count = table["differing_cells"]
    if count:
        verdict = f"{count} cell{' differs' if count == 1 else 's differ'}"
    else:
        verdict = "equal within tolerance"
    origin, destination = table["at"]
    facts.append(
        f"{verdict}; largest difference {table['max_abs_diff']:.6g} at ({origin}, {destination})"
    )
    return facts


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    options = ReadOptions(threads=thread_count(args))
    with contextlib.ExitStack() as stack:
        with about(args.a):
            a = stack.enter_context(open_any(args.a, options=options))
        with about(args.b):
            b = stack.enter_context(open_any(args.b, options=options))
        report = compare_files(a, b, args.rtol, args.atol, (args.a, args.b))
    if args.json:
        for table in report["tables"]:
            table["max_abs_diff"] = json_number(table["max_abs_diff"])
        report["rtol"], report["atol"] = json_number(args.rtol), json_number(args.atol)
        json.dump({"a": args.a, "b": args.b, **report}, out, indent=2, allow_nan=False)
        out.write("\n")
    else:
        render_text(report, args.a, args.b, out)
    return 0 if report["equal"] else 1
