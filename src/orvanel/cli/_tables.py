"""Table names and type codes as the command line gives them.

``--tables A,B`` names tables by a comma-separated list, ``--table NAME`` names one table
verbatim (for names holding a comma), ``--type NAME=CODE`` gives one table a type code
and ``--type CODE`` gives it to every table; each may be repeated. Each option takes
exactly one value, so ``--tables TIME in.mat out.mat`` leaves the file names alone.
"""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from orvanel._orvanel import TableDef
from orvanel.cli._errors import CommandError
from orvanel.cli._text import printable
from orvanel.errors import TableNotFoundError

TYPE_CODES_HELP = "0 to 9 (fixed point with that many decimals), S (single) or D (double precision)"


def add_table_options(parser: argparse.ArgumentParser, what: str) -> None:
    """Add ``--tables``, ``--table`` and ``--type`` to ``parser``; ``what`` says what is
    done with the tables chosen, for the help text."""
    parser.add_argument(
        "--tables",
        action=_TableList,
        dest="tables",
        metavar="A,B,...",
        help=f"{what} only these tables (comma-separated; repeatable); they keep their order in IN",
    )
    parser.add_argument(
        "--table",
        action=_OneTable,
        dest="tables",
        metavar="NAME",
        help="as --tables, for one table named verbatim (a name holding a comma)",
    )
    parser.add_argument(
        "--type",
        action=_TypeCode,
        dest="types",
        metavar="NAME=CODE",
        help=f"give table NAME the type code CODE, {TYPE_CODES_HELP}; the name is all "
        "before the last '='; a CODE alone applies to every table (repeatable)",
    )


class _TableList(argparse.Action):
    """``--tables A,B``: adds each comma-separated name, refusing empty ones."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        text = str(values)
        names = text.split(",")
        if "" in names:
            parser.error(
                f"--tables {printable(text)}: empty table name "
                "(use --table NAME to name a table verbatim)"
            )
        _add_names(namespace, self.dest, names)


class _OneTable(argparse.Action):
    """``--table NAME``: adds one name as it is."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        _add_names(namespace, self.dest, [str(values)])


def _add_names(namespace: argparse.Namespace, dest: str, names: list[str]) -> None:
    chosen = list(getattr(namespace, dest, None) or [])
    chosen.extend(name for name in names if name not in chosen)
    setattr(namespace, dest, chosen)


class _TypeCode(argparse.Action):
    """``--type NAME=CODE`` or ``--type CODE``: one type code, checked, and refused when
    it contradicts one given before."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        text = str(values)
        name: str | None
        name, equals, code = text.rpartition("=")
        if not equals:
            name = None  # every table
        try:
            code = TableDef("check", code).type_code
        except ValueError:
            parser.error(
                f"--type {printable(text)}: invalid type code {printable(code)}; "
                f"use {TYPE_CODES_HELP}"
            )
        codes: dict[str | None, str] = dict(getattr(namespace, self.dest, None) or {})
        if (name is None) != (None in codes) and codes:
            parser.error(
                f"--type {printable(text)}: give either one CODE for every table or "
                "NAME=CODE for each table, not both"
            )
        if codes.get(name, code) != code:
            which = "every table" if name is None else f"table {quoted(name)}"
            parser.error(f"--type {printable(text)}: {which} already has type code {codes[name]}")
        codes[name] = code
        setattr(namespace, self.dest, codes)


def type_codes(options: dict[str | None, str] | None) -> dict[str, str] | str | None:
    """What the ``--type`` options ask, as `Matrix.astype` takes it: one code for every
    table, a mapping name -> code, or None to keep the codes."""
    if not options:
        return None
    if None in options:
        return options[None]
    return {name: code for name, code in options.items() if name is not None}


def quoted(name: str) -> str:
    """A table name in double quotes, as messages show it (an empty one stays visible)."""
    return f'"{printable(name)}"'


@contextlib.contextmanager
def named_on_command_line(
    path: str, option: str, names: Iterable[str | None], among: str = ""
) -> Iterator[None]:
    """Report a table the command line names that ``path`` does not hold as a mistake of
    the command line (exit status 2), naming the option that named it; ``among`` says
    which of the file's tables were looked at, when not all."""
    try:
        yield
    except TableNotFoundError as exc:
        if exc.name in set(names):
            what = f"no table named {quoted(exc.name)}{among}"
        else:
            what = printable(exc)
        raise CommandError(f"{path}: {what} ({option})", 2) from None
