"""``orvanel convert``: between matrix files, OMX, NumPy archives and long-form CSV."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import Any, TextIO

from orvanel.formats.registry import (
    Format,
    ReadOptions,
    WriteOptions,
    format_for,
    input_format,
    supported_suffixes,
)
from orvanel.cli._errors import CommandError, about
from orvanel.cli._progress import LARGE_BYTES, LARGE_CELLS, progress_bar
from orvanel.cli._tables import add_table_options, named_on_command_line, type_codes
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.zonesfile import read_zones
from orvanel.matrix import Matrix


def add_parser(commands: Any) -> None:
    suffixes = ", ".join(supported_suffixes())
    parser = commands.add_parser(
        "convert",
        help="convert between matrix files, OMX, .npz and CSV",
        description=(
            f"Convert IN to OUT; each file's format follows from its name ({suffixes}). "
            "A file whose name ends otherwise is read as a matrix file. CSV is the long "
            "form: origin, destination, then one column per table. Type codes decide how "
            "a matrix file stores each table: 0 to 9 (fixed point with that many decimals), "
            "S (single precision) or D (double precision); a table from a format without "
            "type codes gets the one that holds its values (0 for whole numbers, S for "
            "single precision, else D; CSV tables D) unless --type says otherwise."
        ),
        epilog=EXIT_STATUS,
    )
    parser.add_argument("input", metavar="IN", help="the file to read")
    parser.add_argument("output", metavar="OUT", help="the file to write (replaced if it exists)")
    add_table_options(parser, "convert")
    _add_zone_options(parser)
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar and no summary line",
    )
    parser.set_defaults(run=run)


def _zone_count(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text}: the zone count must be a whole number of at least 1")
    return int(text)


def _add_zone_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--zones",
        type=_zone_count,
        metavar="N",
        help=(
            "the zone count of a CSV input (by default the largest zone number in it, "
            "which falls short when the last zones have no lines); checked for other inputs"
        ),
    )
    parser.add_argument(
        "--zones-file",
        metavar="FILE",
        help=(
            "the zone labels, one line 'position,label' per zone (as written beside a "
            "matrix file): zone ids in CSV are then labels, and the output keeps them"
        ),
    )
    parser.add_argument(
        "--nonzero",
        action="store_true",
        help="CSV output: leave out the zone pairs that are zero in every table",
    )
    add_threads_option(parser)


def _read_options(
    args: argparse.Namespace, notice: Callable[[str], None], threads: int
) -> ReadOptions:
    """The reader's options from --zones and --zones-file (read here, so that its faults
    are reported against it)."""
    labels = None
    if args.zones_file is not None:
        with about(args.zones_file):
            labels = read_zones(args.zones_file)
        if args.zones is not None and args.zones != len(labels):
            raise CommandError(
                f"--zones {args.zones} does not match the {len(labels)} zones of {args.zones_file}", 2
            )
    return ReadOptions(zones=args.zones, zone_labels=labels, notice=notice, threads=threads)


def _read(
    source: Format,
    path: str,
    tables: list[str] | None,
    options: ReadOptions,
    err: TextIO,
    quiet: bool,
) -> Matrix:
    bar = None
    if source.read_reports_bytes:
        bar = progress_bar(f"reading {path}", os.path.getsize(path), LARGE_BYTES, err, quiet)
    try:
        return source.read(path, tables, bar, options)
    finally:
        if bar is not None:
            bar.close()


def _write(
    target: Format, matrix: Matrix, path: str, options: WriteOptions, err: TextIO, quiet: bool
) -> None:
    bar = None
    if target.write_reports_cells:
        cells = matrix.zones * matrix.zones * len(matrix)
        bar = progress_bar(f"writing {path}", cells, LARGE_CELLS, err, quiet)
    try:
        target.write(matrix, path, bar, options)
    finally:
        if bar is not None:
            bar.close()


def _retype(matrix: Matrix, types: dict[str, str] | str, args: argparse.Namespace) -> Matrix:
    """The matrix with the type codes ``--type`` asks for; a name it does not hold is a
    mistake of the command line."""
    among = " among the tables chosen with --tables" if args.tables else ""
    with named_on_command_line(args.input, "--type", args.types, among):
        return matrix.astype(types, copy=False)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    target = format_for(args.output)
    if target is None:
        raise CommandError(
            f"cannot tell the format of {args.output} from its name; "
            f"use one of {', '.join(supported_suffixes())}",
            2,
        )
    types = type_codes(args.types)
    source = input_format(args.input)
    threads = thread_count(args)

    def notice(text: str) -> None:
        # Said even under --quiet: these are facts about the result, not progress.
        err.write(f"orvanel convert: {printable(text)}\n")

    options = _read_options(args, notice, threads)
    with about(args.input), named_on_command_line(args.input, "--tables/--table", args.tables or []):
        matrix = _read(source, args.input, args.tables, options, err, args.quiet)

    if types is not None:
        matrix = _retype(matrix, types, args)

    with about(args.output):
        write_options = WriteOptions(args.nonzero, notice, threads)
        _write(target, matrix, args.output, write_options, err, args.quiet)

    if not args.quiet:
        out.write(
            f"wrote {printable(args.output)} ({target.name}): {matrix.zones} "
            f"zone{'' if matrix.zones == 1 else 's'}, "
            f"{len(matrix)} table{'' if len(matrix) == 1 else 's'}\n"
        )
    return 0
