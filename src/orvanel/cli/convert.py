"""``orvanel convert``: between matrix files, OMX, NumPy archives and long-form CSV."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import Any, TextIO

from orvanel._zones import is_default
from orvanel.cli._errors import CommandError, about
from orvanel.cli._progress import LARGE_BYTES, LARGE_CELLS, progress_bar
from orvanel.cli._tables import add_table_options, named_on_command_line, type_codes
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.registry import (
    FORMATS,
    MATRIX_SUFFIX,
    Format,
    ReadOptions,
    WriteOptions,
    format_for,
    input_format,
    supported_suffixes,
    unknown_suffix_message,
)
from orvanel.formats.zonesfile import read_zones, write_zones, zones_path
from orvanel.matrix import Matrix

# The most tables one matrix file holds.
MATRIX_FILE_TABLES = 255
MATRIX_FORMAT = FORMATS[0]
OMX_FORMAT = next(fmt for fmt in FORMATS if fmt.name == "OMX")


def _split_option(text: str) -> int:
    """The ``--split`` size: a table count a matrix file can hold."""
    try:
        size = int(text)
    except ValueError:
        size = 0
    if not 1 <= size <= MATRIX_FILE_TABLES:
        raise argparse.ArgumentTypeError(
            f"takes a number of tables in 1 to {MATRIX_FILE_TABLES} (got {text})"
        )
    return size


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
        "--lookup",
        metavar="NAME",
        help="number the zones by the OMX lookup NAME (IN an OMX file with several lookups)",
    )
    parser.add_argument(
        "--split",
        type=_split_option,
        metavar="N",
        help=(
            f"write a matrix file of more than {MATRIX_FILE_TABLES} tables as several files "
            f"of at most N tables each ({MATRIX_FILE_TABLES} at most): OUT-1{MATRIX_SUFFIX}, "
            f"OUT-2{MATRIX_SUFFIX}, ..."
        ),
    )
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
    return ReadOptions(
        zones=args.zones, zone_labels=labels, lookup=args.lookup, notice=notice, threads=threads
    )


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
        raise CommandError(unknown_suffix_message(args.output), 2)
    types = type_codes(args.types)
    source = input_format(args.input)
    _check_format_options(args, source, target)
    threads = thread_count(args)

    def notice(text: str) -> None:
        # Said even under --quiet: these are facts about the result, not progress.
        err.write(f"orvanel convert: note: {printable(text)}\n")

    options = _read_options(args, notice, threads)
    with about(args.input), named_on_command_line(args.input, "--tables/--table", args.tables or []):
        matrix = _read(source, args.input, args.tables, options, err, args.quiet)

    if types is not None:
        matrix = _retype(matrix, types, args)

    if target is MATRIX_FORMAT and (args.split is not None or len(matrix) > MATRIX_FILE_TABLES):
        _write_matrix_files(args, matrix, WriteOptions(notice=notice, threads=threads), out, err)
        return 0

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


def _check_format_options(args: argparse.Namespace, source: Format, target: Format) -> None:
    """Refuse options that do not apply to the formats at hand (a usage error)."""
    if args.lookup is not None and source is not OMX_FORMAT:
        raise CommandError("--lookup applies only when IN is an OMX file (.omx)", 2)
    if args.split is not None and target is not MATRIX_FORMAT:
        raise CommandError(f"--split applies only when OUT is a matrix file ({MATRIX_SUFFIX})", 2)


def _split_names(path: str, count: int) -> list[str]:
    """The names of ``count`` matrix files for ``path``: ``out-1.mat``, ``out-2.mat``,
    ... for ``out.mat`` (the name's own ending kept), or ``path`` itself for one file."""
    if count == 1:
        return [path]
    stem, suffix = path, ""
    if path.lower().endswith(MATRIX_SUFFIX):
        stem, suffix = path[: -len(MATRIX_SUFFIX)], path[-len(MATRIX_SUFFIX) :]
    return [f"{stem}-{number}{suffix}" for number in range(1, count + 1)]


def _write_matrix_files(
    args: argparse.Namespace, matrix: Matrix, options: WriteOptions, out: TextIO, err: TextIO
) -> None:
    """Write ``matrix`` as matrix files of at most ``--split`` tables each, one line per
    file on ``out``; without ``--split``, say that it does not fit and what to do."""
    count = len(matrix)
    if args.split is None:
        raise CommandError(
            f"{args.output}: a matrix file holds at most {MATRIX_FILE_TABLES} tables, and "
            f"{args.input} has {count}; choose tables with --tables NAME ..., or write "
            f"several files with --split N (at most N tables each, N in 1 to "
            f"{MATRIX_FILE_TABLES})"
        )
    starts = range(0, count, args.split)
    paths = _split_names(args.output, len(starts))
    values, tables = matrix.to_numpy(), matrix.tables
    written: list[str] = []
    for path, start in zip(paths, starts):
        part_tables = tables[start : start + args.split]
        part = Matrix._adopt(
            values[start : start + args.split],
            [(info.name, info.type_code) for info in part_tables],
            matrix.banner,
            matrix.run_id,
        )
        try:
            with about(path):
                _write(MATRIX_FORMAT, part, path, options, err, args.quiet)
        except CommandError as exc:
            if not written:
                raise
            raise CommandError(f"{exc}; already written: {', '.join(written)}", exc.status) from exc
        written.append(path)
        if not args.quiet:
            out.write(
                f"wrote {path} ({MATRIX_FORMAT.name}): {matrix.zones} zones, "
                f"{len(part_tables)} table{'' if len(part_tables) == 1 else 's'}: "
                f"{', '.join(info.name for info in part_tables)}\n"
            )
    # The files share one zone system: its labels go beside them once.
    if matrix.has_zone_labels and not is_default(matrix.zone_labels):
        beside = zones_path(args.output)
        with about(beside):
            write_zones(beside, matrix.zone_labels)
        if options.notice is not None:
            options.notice(f"zone labels written to {beside} (read them back with --zones-file)")
