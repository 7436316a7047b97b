"""``orvanel convert``: between matrix files, OMX, NumPy archives and long-form CSV."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import sys
from collections.abc import Callable
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from orvanel._schema import resolve_types
from orvanel._zones import is_default
from orvanel.cli._errors import CommandError, about, describe, is_expected
from orvanel.cli._progress import LARGE_CELLS, progress_bar
from orvanel.cli._tables import add_table_options, named_on_command_line, type_codes
from orvanel.cli._text import EXIT_STATUS, printable
from orvanel.cli._threads import add_threads_option, thread_count
from orvanel.formats.blocks import BlockReader, BlockWriter, Facts, block_count, default_block
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
        raise argparse.ArgumentTypeError(
            f"{text}: the zone count must be a whole number of at least 1"
        )
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
                f"--zones {args.zones} does not match the {len(labels)} zones of {args.zones_file}",
                2,
            )
    return ReadOptions(
        zones=args.zones, zone_labels=labels, lookup=args.lookup, notice=notice, threads=threads
    )


def _facts(
    reader: BlockReader, types: dict[str, str] | str | None, args: argparse.Namespace
) -> Facts:
    """The header facts of the output: the input's, with the type codes ``--type`` asks
    for; a name it does not hold is a mistake of the command line."""
    facts = reader.facts()
    if types is None:
        return facts
    among = " among the tables chosen with --tables" if args.tables else ""
    with named_on_command_line(args.input, "--type", args.types, among):
        codes = resolve_types(facts.names, types, [code for _, code in facts.tables])
    return dataclasses.replace(facts, tables=list(zip(facts.names, codes)))


def _pump(
    reader: BlockReader,
    args: argparse.Namespace,
    outputs: list[tuple[str, Callable[[NDArray[np.float64]], None]]],
    err: TextIO,
) -> None:
    """Hand every block of ``reader`` to each output's write function; a failure is
    reported against the file it concerns. The progress bar counts blocks."""
    zones, tables = reader.zones, len(reader.tables)
    size = default_block(zones, tables)
    quiet = args.quiet or zones * zones * tables < LARGE_CELLS
    bar = progress_bar(f"writing {args.output}", block_count(zones, size), 1, err, quiet)
    blocks = reader.blocks(size)
    try:
        while True:
            with about(args.input):
                block = next(blocks, None)
            if block is None:
                return
            for path, write in outputs:
                with about(path):
                    write(block[1])
            if bar is not None:
                bar(1)
    finally:
        if bar is not None:
            bar.close()


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
    with contextlib.ExitStack() as stack:
        with (
            about(args.input),
            named_on_command_line(args.input, "--tables/--table", args.tables or []),
        ):
            reader = stack.enter_context(source.open_blocks(args.input, args.tables, options))
        facts = _facts(reader, types, args)
        count = len(facts.tables)
        if target is MATRIX_FORMAT and (args.split is not None or count > MATRIX_FILE_TABLES):
            _write_matrix_files(
                args, reader, facts, WriteOptions(notice=notice, threads=threads), out, err
            )
            return 0
        with about(args.output):
            write_options = WriteOptions(args.nonzero, notice, threads)
            writer = target.create_blocks(args.output, facts, write_options)
            with writer:
                _pump(reader, args, [(args.output, writer.write)], err)

    if not args.quiet:
        zones = facts.zones
        out.write(
            f"wrote {printable(args.output)} ({target.name}): {zones} "
            f"zone{'' if zones == 1 else 's'}, "
            f"{count} table{'' if count == 1 else 's'}\n"
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
    args: argparse.Namespace,
    reader: BlockReader,
    facts: Facts,
    options: WriteOptions,
    out: TextIO,
    err: TextIO,
) -> None:
    """Write the matrix as matrix files of at most ``--split`` tables each, all from one
    pass over the input, one line per file on ``out``; without ``--split``, say that it
    does not fit and what to do.

    A file that cannot be written does not stop the others: the failure names the files
    that were written.
    """
    count = len(facts.tables)
    if args.split is None:
        raise CommandError(
            f"{args.output}: a matrix file holds at most {MATRIX_FILE_TABLES} tables, and "
            f"{args.input} has {count}; choose tables with --tables NAME ..., or write "
            f"several files with --split N (at most N tables each, N in 1 to "
            f"{MATRIX_FILE_TABLES})"
        )
    starts = range(0, count, args.split)
    paths = _split_names(args.output, len(starts))
    failures: list[CommandError] = []
    files: list[_SplitFile] = []
    written: list[str] = []
    try:
        for path, start in zip(paths, starts):
            part = slice(start, start + args.split)
            part_facts = Facts(facts.zones, list(facts.tables[part]), facts.banner, facts.run_id)
            try:
                with about(path):
                    writer = MATRIX_FORMAT.create_blocks(path, part_facts, options)
                    writer.__enter__()
            except CommandError as exc:
                failures.append(exc)
                continue
            files.append(_SplitFile(path, part, writer, files, failures))
        if files:
            _pump(reader, args, [(file.path, file.write) for file in files], err)
        for file in files:
            if file.finish():
                written.append(file.path)
                names = facts.names[file.part]
                if not args.quiet:
                    out.write(
                        f"wrote {file.path} ({MATRIX_FORMAT.name}): {facts.zones} zones, "
                        f"{len(names)} table{'' if len(names) == 1 else 's'}: {', '.join(names)}\n"
                    )
    except BaseException:
        for file in files:
            file.abandon()
        raise
    if failures:
        first = failures[0]
        if not written:
            raise first
        raise CommandError(
            f"{first}; already written: {', '.join(written)}", first.status
        ) from first
    # The files share one zone system: its labels go beside them once.
    labels = facts.zone_labels
    if labels is not None and not is_default(labels):
        beside = zones_path(args.output)
        with about(beside):
            write_zones(beside, labels)
        if options.notice is not None:
            options.notice(f"zone labels written to {beside} (read them back with --zones-file)")


class _SplitFile:
    """One matrix file of a split output, fed its tables' slice of each block.

    A file whose write fails is left as it was and dropped, and its failure kept, so
    that the other files are still written; only when none is left does the failure
    stop the conversion.
    """

    def __init__(
        self,
        path: str,
        part: slice,
        writer: BlockWriter,
        files: list[_SplitFile],
        failures: list[CommandError],
    ) -> None:
        self.path, self.part = path, part
        self.writer: BlockWriter | None = writer
        self._files, self._failures = files, failures

    def write(self, values: NDArray[np.float64]) -> None:
        if self.writer is None:
            return
        try:
            self.writer.write(values[self.part])
        except Exception as exc:
            self.abandon()
            if not is_expected(exc):
                raise
            self._failures.append(CommandError(f"{self.path}: {describe(exc, self.path)}"))
            if all(file.writer is None for file in self._files):
                raise self._failures[0] from None

    def finish(self) -> bool:
        """Complete the file, replacing what was there; False if it failed (or had failed
        before), the failure kept."""
        writer, self.writer = self.writer, None
        if writer is None:
            return False
        try:
            with about(self.path):
                writer.__exit__(None, None, None)
        except CommandError as exc:
            self._failures.append(exc)
            return False
        return True

    def abandon(self) -> None:
        """Stop writing this file, leaving what was there before."""
        writer, self.writer = self.writer, None
        if writer is not None:
            writer.__exit__(*sys.exc_info())
