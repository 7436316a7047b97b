"""``orvanel plot``: a picture of one table, written to a PNG, SVG or PDF file."""

from __future__ import annotations

import argparse
import contextlib
import io
import itertools
import math
import os
from collections.abc import Iterator
from contextlib import ExitStack
from importlib import resources
from typing import Any, TextIO

from orvanel._optional import require
from orvanel._replace import replace_file
from orvanel.cli._errors import CommandError, about
from orvanel.cli._tables import quoted
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.errors import TableNotFoundError
from orvanel.formats.registry import ReadOptions, input_format
from orvanel.io import SAMPLE_RESOURCE
from orvanel.tlfd import DEFAULT_BINS, TripLengthDistribution

# Picture formats by file name ending, as matplotlib names them.
PICTURE_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Dots per inch of PNG pictures: a 7 x 6 inch heatmap is 700 x 600 pixels.
DPI = 100


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "plot",
        usage=(
            "%(prog)s [FILE] TABLE -o OUT [--kind {heatmap,totals,tlfd}] "
            "[--by NAME] [--bins N|E1,E2,...] [--log | --no-log] [-q]"
        ),
        help="draw a table as a heatmap, its zone totals or its trip length distribution",
        description=(
            "Draw table TABLE (or --table NAME) of FILE (any format the other commands read; without FILE, "
            "the sample matrix shipped with orvanel) and write the picture to OUT, a .png, "
            ".svg or .pdf file (replaced if it exists). Kinds: heatmap (every cell "
            "coloured by its value, origins down and destinations across; a logarithmic "
            "colour scale when the non-zero values span three orders of magnitude or more, "
            "zero cells grey and NaN magenta then; a large matrix is drawn as the means of "
            "blocks of zones), totals (the row and column totals of each zone: "
            "productions and attractions), tlfd (the trip length frequency distribution: "
            "the share of NAME in each bin of the values of table --by, and its mean). "
            "Examples: 'orvanel plot TRIPS -o trips.png', 'orvanel plot "
            "skims.omx TRIPS --by TIME --bins 0,10,20,30,60,120 -o tlfd.svg'."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument(
        "operands",
        nargs="*",
        metavar="[FILE] TABLE",
        help="the file to draw from (without it, the shipped sample) and the table to draw",
    )
    parser.add_argument("--table", metavar="NAME", help="the table to draw, instead of TABLE")
    parser.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="the picture to write: .png, .svg or .pdf",
    )
    parser.add_argument(
        "--kind",
        choices=("heatmap", "totals", "tlfd"),
        help="what to draw: heatmap (the default), totals, or tlfd (the default with --by)",
    )
    parser.add_argument(
        "--by",
        metavar="NAME",
        help="tlfd: the table whose values make the bins (a travel time, distance or cost)",
    )
    parser.add_argument(
        "--bins",
        type=_bins,
        metavar="N|E1,E2,...",
        help=f"tlfd: a number of equal bins (default {DEFAULT_BINS}) or the bin edges, "
        "comma-separated and increasing (--bins=-5,0,5 when the first is negative); cells "
        "whose --by value is outside them are left out",
    )
    parser.add_argument(
        "--log",
        action=argparse.BooleanOptionalAction,
        help="a logarithmic colour scale (heatmap) or value axis (totals, tlfd); by "
        "default the heatmap decides, the others are linear",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    parser.set_defaults(run=run)


def _bins(text: str) -> int | list[float]:
    """``--bins``: a whole number of at least 1, or at least two increasing finite edges."""
    if "," not in text:
        if not text.isascii() or not text.isdigit() or int(text) < 1:
            raise argparse.ArgumentTypeError(
                f"{printable(text)}: give a whole number of bins of at least 1, or the bin "
                "edges separated by commas"
            )
        return int(text)
    edges = []
    for part in text.split(","):
        try:
            edge = float(part)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{printable(text)}: the bin edge {printable(part)!r} is not a number"
            ) from None
        if not math.isfinite(edge):
            raise argparse.ArgumentTypeError(f"{printable(text)}: the bin edges must be finite")
        edges.append(edge)
    if any(right <= left for left, right in itertools.pairwise(edges)):
        raise argparse.ArgumentTypeError(f"{printable(text)}: the bin edges must increase")
    return edges


def _kind(args: argparse.Namespace) -> str:
    """The kind of picture, checked against --by and --bins."""
    kind: str = args.kind or ("tlfd" if args.by is not None else "heatmap")
    if kind == "tlfd" and args.by is None:
        raise CommandError("--kind tlfd needs --by NAME: the table whose values make the bins", 2)
    if kind != "tlfd":
        for option, value in (("--by", args.by), ("--bins", args.bins)):
            if value is not None:
                raise CommandError(f"{option} applies to --kind tlfd only, not {kind}", 2)
    return kind


@contextlib.contextmanager
def _named(path: str, options: dict[str, str]) -> Iterator[None]:
    """A table the command line names that the file does not hold: a mistake of the
    command line (exit status 2), naming the option."""
    try:
        yield
    except TableNotFoundError as exc:
        if exc.name not in options:
            raise
        raise CommandError(
            f"{path}: no table named {quoted(exc.name)} ({options[exc.name]})", 2
        ) from None


def _file_and_table(args: argparse.Namespace) -> tuple[str | None, str, str]:
    """The file (None: the sample), the table and how the table was named: ``FILE TABLE``,
    ``TABLE`` alone for the sample, or ``[FILE] --table NAME``."""
    operands = list(args.operands)
    if args.table is not None:
        if len(operands) > 1:
            raise CommandError("give the table once: as TABLE or as --table NAME", 2)
        return (operands[0] if operands else None), args.table, "--table"
    if len(operands) == 2:
        return operands[0], operands[1], "TABLE"
    if len(operands) == 1 and not os.path.exists(operands[0]):
        return None, operands[0], "TABLE"
    if len(operands) > 2:
        raise CommandError("too many operands: give FILE and TABLE", 2)
    raise CommandError(
        "which table? give it after the file (orvanel plot FILE TABLE) or as --table NAME", 2
    )


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    args.file, args.table, table_option = _file_and_table(args)
    suffix = os.path.splitext(args.output)[1].lower()
    picture = PICTURE_FORMATS.get(suffix)
    if picture is None:
        raise CommandError(
            f"cannot tell the picture format of {printable(args.output)} from its name; "
            f"use one of {', '.join(PICTURE_FORMATS)}",
            2,
        )
    kind = _kind(args)
    require("matplotlib", "plot", "orvanel plot")
    from orvanel import plotting

    options = {args.table: table_option}
    if args.by is not None:
        options.setdefault(args.by, "--by")
    with ExitStack() as stack:
        if args.file is None:
            resource = resources.files("orvanel").joinpath(*SAMPLE_RESOURCE)
            path = os.fspath(stack.enter_context(resources.as_file(resource)))
        else:
            path = args.file
        source = input_format(path)
        with about(path), _named(path, options):
            # Only the tables drawn: a large file need not be loaded whole.
            matrix = source.read(path, list(options), None, ReadOptions())
        figure = _figure(kind)
        ax = figure.add_subplot()
        with about(path):
            if kind == "tlfd":
                bins = DEFAULT_BINS if args.bins is None else args.bins
                distribution = matrix.tlfd(args.table, args.by, bins)
                plotting.draw_distribution(ax, distribution, bool(args.log))
                _note_left_out(distribution, err)
            else:
                plotting.plot(matrix, args.table, kind=kind, ax=ax, log=args.log)
    buffer = io.BytesIO()
    figure.savefig(buffer, format=picture, dpi=DPI)
    with about(args.output), replace_file(args.output, in_place_ok=True) as target:
        with open(target, "wb") as handle:
            handle.write(buffer.getvalue())
    if not args.quiet:
        out.write(f"wrote {printable(args.output)}: {kind} of {quoted(args.table)}\n")
    return 0


def _figure(kind: str) -> Any:
    """A figure drawn by the Agg renderer, which needs no display; never pyplot's."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from orvanel.plotting import CHART_SIZE, HEATMAP_SIZE

    figure = Figure(figsize=HEATMAP_SIZE if kind == "heatmap" else CHART_SIZE, layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _note_left_out(distribution: TripLengthDistribution, err: TextIO) -> None:
    """Say what the distribution leaves out, as the picture does."""
    if distribution.left_out_cells:
        table, by = printable(distribution.table), printable(distribution.by)
        err.write(
            f"orvanel plot: note: {distribution.left_out_cells} cells left out of the "
            f"distribution ({distribution.left_out:g} {table}): their {by} is NaN or outside "
            f"the bins, or their {table} is NaN\n"
        )
