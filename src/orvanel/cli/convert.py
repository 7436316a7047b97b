"""``orvanel convert``: between matrix files, OMX, NumPy archives and long-form CSV."""

from __future__ import annotations

import argparse
import os
from typing import Any, TextIO

from orvanel.formats.registry import (
    FORMATS,
    MATRIX_SUFFIX,
    Format,
    ReadOptions,
    WriteOptions,
    format_for,
    input_format,
    supported_suffixes,
)
from orvanel._orvanel import TableDef
from orvanel._schema import TypeCodeLike
from orvanel.cli._errors import CommandError, about
from orvanel.cli._progress import LARGE_BYTES, LARGE_CELLS, progress_bar
from orvanel.matrix import Matrix

ALL_TABLES = "*"
# The most tables one matrix file holds.
MATRIX_FILE_TABLES = 255
MATRIX_FORMAT = FORMATS[0]
OMX_FORMAT = next(fmt for fmt in FORMATS if fmt.name == "OMX")


def _type_option(text: str) -> tuple[str, str]:
    """``NAME=CODE`` (one table) or ``CODE`` (every table), with the code checked."""
    name, equals, code = text.rpartition("=")
    if not equals:
        name = ALL_TABLES
    try:
        TableDef("check", code)
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(f"{text}: {exc}") from None
    return name, code


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
            "a matrix file stores each table: 0-9 (fixed point with that many decimals), "
            "S (single precision) or D (double precision); tables from formats without "
            "type codes are double precision unless --type says otherwise."
        ),
    )
    parser.add_argument("input", metavar="IN", help="the file to read")
    parser.add_argument("output", metavar="OUT", help="the file to write (replaced if it exists)")
    parser.add_argument(
        "--tables",
        nargs="+",
        action="extend",
        metavar="NAME",
        help="convert only these tables (they keep their order in IN)",
    )
    parser.add_argument(
        "--type",
        dest="types",
        nargs="+",
        action="extend",
        type=_type_option,
        metavar="NAME=CODE",
        help="give table NAME the type code CODE; a CODE alone applies to every table",
    )
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


def _types(options: list[tuple[str, str]] | None) -> dict[str, TypeCodeLike] | str | None:
    if not options:
        return None
    every = [code for name, code in options if name == ALL_TABLES]
    named: dict[str, TypeCodeLike] = {name: code for name, code in options if name != ALL_TABLES}
    if every and named:
        raise CommandError("--type takes either one CODE for every table or NAME=CODE pairs", 2)
    return every[-1] if every else named


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


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    target = format_for(args.output)
    if target is None:
        raise CommandError(
            f"cannot tell the format of {args.output} from its name; "
            f"use one of {', '.join(supported_suffixes())}",
            2,
        )
    types = _types(args.types)
    source = input_format(args.input)
    _check_format_options(args, source, target)

    def notice(text: str) -> None:
        # Said even under --quiet: these are facts about the result, not progress.
        err.write(f"orvanel convert: {text}\n")

    with about(args.input):
        options = ReadOptions(lookup=args.lookup, notice=notice)
        matrix = _read(source, args.input, args.tables, options, err, args.quiet)

    if types is not None:
        matrix = matrix.astype(types, copy=False)

    if target is MATRIX_FORMAT and (args.split is not None or len(matrix) > MATRIX_FILE_TABLES):
        _write_matrix_files(args, matrix, WriteOptions(notice=notice), out, err)
        return 0

    with about(args.output):
        _write(target, matrix, args.output, WriteOptions(notice=notice), err, args.quiet)

    if not args.quiet:
        out.write(
            f"wrote {args.output} ({target.name}): {matrix.zones} zones, "
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
    labels = matrix.zone_labels if matrix.has_zone_labels else None
    written: list[str] = []
    for path, start in zip(paths, starts):
        part_tables = tables[start : start + args.split]
        part = Matrix._adopt(
            values[start : start + args.split],
            [(info.name, info.type_code) for info in part_tables],
            matrix.banner,
            matrix.run_id,
            labels,
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
