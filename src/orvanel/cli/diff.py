"""``orvanel diff``: compare two matrices cell by cell."""

from __future__ import annotations

import argparse
import json
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from orvanel.formats.registry import read_any
from orvanel.cli._errors import about
from orvanel.cli._numbers import json_number
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
            "Compare two matrices: header differences, tables found in only one of them, "
            "then for each common table the largest absolute difference with its "
            "(origin, destination) and the number of cells that differ beyond the "
            "tolerances. Cells a and b differ when |a - b| > atol + rtol * max(|a|, |b|); "
            "NaN equals NaN. The exit status is 1 when the zone counts or the table names "
            "differ or any cell differs; differences of banner, run identifier and type "
            "codes are reported but do not count."
        ),
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
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.set_defaults(run=run)


def compare_tables(
    a: NDArray[np.float64], b: NDArray[np.float64], rtol: float, atol: float
) -> dict[str, Any]:
    """Largest absolute difference, where it is (1-based zones) and how many cells differ."""
    with np.errstate(invalid="ignore", over="ignore"):
        same = (a == b) | (np.isnan(a) & np.isnan(b))
        difference = np.abs(a - b)
        # One side NaN, or opposite infinities: as far apart as can be.
        difference[np.isnan(difference)] = np.inf
        difference[same] = 0.0
        limit = atol + rtol * np.maximum(np.abs(a), np.abs(b))
        differing = int(np.count_nonzero(~same & ~(difference <= limit)))
    position = int(np.argmax(difference))
    largest = float(difference.flat[position])
    at = None
    if largest > 0.0:
        origin, destination = divmod(position, a.shape[1])
        at = [origin + 1, destination + 1]
    return {"max_abs_diff": largest, "at": at, "differing_cells": differing}


def compare(a: Matrix, b: Matrix, rtol: float, atol: float) -> dict[str, Any]:
    """Everything ``diff`` reports, as plain data; ``equal`` decides the exit status."""
    header = {
        key: {"a": getattr(a, key), "b": getattr(b, key)}
        for key in ("banner", "run_id", "zones")
        if getattr(a, key) != getattr(b, key)
    }
    codes_a, codes_b = a.type_codes, b.type_codes
    common = [name for name in codes_a if name in codes_b]
    tables = []
    for name in common:
        entry: dict[str, Any] = {"name": name}
        if codes_a[name] != codes_b[name]:
            entry["type_code"] = {"a": codes_a[name], "b": codes_b[name]}
        if a.zones == b.zones:
            entry.update(compare_tables(a[name], b[name], rtol, atol))
        tables.append(entry)
    only_a = [name for name in codes_a if name not in codes_b]
    only_b = [name for name in codes_b if name not in codes_a]
    equal = (
        a.zones == b.zones
        and not only_a
        and not only_b
        and all(t["differing_cells"] == 0 for t in tables)
    )
    return {
        "equal": equal,
        "rtol": rtol,
        "atol": atol,
        "header": header,
        "only_in_a": only_a,
        "only_in_b": only_b,
        "tables": tables,
    }


def render_text(report: dict[str, Any], a: str, b: str, out: TextIO) -> None:
    """Write the comparison for people."""
    out.write(f"--- {a}\n+++ {b}\n")
    for key, values in report["header"].items():
        label = {"run_id": "run id"}.get(key, key)
        out.write(f"{label}: {values['a']!r} != {values['b']!r}\n")
    if report["only_in_a"]:
        out.write(f"only in {a}: {', '.join(report['only_in_a'])}\n")
    if report["only_in_b"]:
        out.write(f"only in {b}: {', '.join(report['only_in_b'])}\n")
    width = max((len(t["name"]) for t in report["tables"]), default=0)
    for table in report["tables"]:
        parts = []
        if "type_code" in table:
            parts.append(f"type {table['type_code']['a']} != {table['type_code']['b']}")
        if "differing_cells" in table:
            count = table["differing_cells"]
            if table["at"] is None:
                parts.append("identical")
            else:
                origin, destination = table["at"]
                verdict = (
                    f"{count} cell{'' if count == 1 else 's'} differ"
                    if count
                    else "equal within tolerance"
                )
                parts.append(
                    f"{verdict}; largest difference {table['max_abs_diff']:.6g} "
                    f"at ({origin}, {destination})"
                )
        out.write(f"{table['name']:<{width}}  {'; '.join(parts)}\n")
    if not report["equal"]:
        out.write("different\n")
    elif any(t["differing_cells"] == 0 and t["at"] is not None for t in report["tables"]):
        out.write("equal within tolerance\n")
    else:
        out.write("equal\n")


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with about(args.a):
        a = read_any(args.a)
    with about(args.b):
        b = read_any(args.b)
    report = compare(a, b, args.rtol, args.atol)
    if args.json:
        for table in report["tables"]:
            if "max_abs_diff" in table:
                table["max_abs_diff"] = json_number(table["max_abs_diff"])
        json.dump({"a": args.a, "b": args.b, **report}, out, indent=2, allow_nan=False)
        out.write("\n")
    else:
        render_text(report, args.a, args.b, out)
    return 0 if report["equal"] else 1
