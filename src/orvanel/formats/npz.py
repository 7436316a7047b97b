"""NumPy ``.npz`` archives: one ``(Z, Z)`` array per table.

Besides the tables the archive holds the entry ``__orvanel__``, a JSON text with the
banner, the run identifier, the type codes and the zone labels (if the matrix has its
own), so that a matrix comes back unchanged.
Tables are stored under their names; a repeated name is labelled by position (``A#3``),
and the type codes are keyed by these labels. Archives without the entry are read too:
every array is a table, typed by its element type.

Archives are read with NumPy's own array header reader, never with pickling: an archive
is data, and loading pickled objects from a file can run any code. Tables are read and
written in blocks of rows (origins): reading keeps one open stream per table, writing
deflates each table piece by piece (see `_zipspill`).
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import tempfile
import zipfile
from collections.abc import Iterable, Iterator
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID, TableInfo, header_value, unique_labels
from orvanel._replace import replace_file
from orvanel._schema import default_code, type_code
from orvanel._values import check_exact_integers
from orvanel._zones import check_labels
from orvanel.formats._common import Progress, select_tables
from orvanel.formats._zipspill import SpilledMembers
from orvanel.formats.blocks import (
    Block,
    BlockBuffer,
    BlockReader,
    BlockWriter,
    Facts,
    gather,
    spans,
    write_stack,
)
from orvanel.matrix import Matrix

META_KEY = "__orvanel__"
ARRAY_SUFFIX = ".npy"
_NPY_MAGIC = b"\x93NUMPY"
_LEVEL = 6  # zlib's default, as zipfile and numpy.savez_compressed compress
_LITTLE_DOUBLE = np.dtype("<f8")
_READ_BYTES = 1 << 20  # read in pieces of about this size where nothing else decides it


def write_npz(
    matrix: Matrix, path: str | os.PathLike[str], progress: Progress | None = None
) -> None:
    """Write a matrix to a compressed ``.npz`` archive; float64 values, exact."""
    facts = Facts(
        matrix.zones,
        [(info.name, info.type_code) for info in matrix.tables],
        matrix.banner,
        matrix.run_id,
        matrix.zone_labels if matrix.has_zone_labels else None,
    )
    with NpzWriter(path, facts) as writer:
        write_stack(writer, matrix.to_numpy(), progress)


class NpzWriter(BlockWriter):
    """A ``.npz`` archive written block by block; a banner or run identifier of None is
    stored as the default text a matrix has.

    Each table is deflated piece by piece as its rows arrive; the pieces wait in one
    temporary file beside the target, as large as the compressed tables (about the
    archive's size), and are copied into the archive once every row is in.
    """

    def __init__(self, path: str | os.PathLike[str], facts: Facts) -> None:
        super().__init__(path, facts)
        self._names = unique_labels(facts.names, "the .npz archive")
        if META_KEY in self._names:
            raise ValueError(f"a table named {META_KEY!r} cannot be stored in an .npz archive")

    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        self._temporary = stack.enter_context(replace_file(self.path, in_place_ok=False))
        try:
            spill = tempfile.TemporaryFile(dir=os.path.dirname(self._temporary) or None)
        except PermissionError:  # a folder where only the target itself may be written
            spill = tempfile.TemporaryFile()
        stack.enter_context(spill)
        members = [f"{name}{ARRAY_SUFFIX}" for name in self._names]
        self._members = SpilledMembers([*members, f"{META_KEY}{ARRAY_SUFFIX}"], spill, _LEVEL)
        header = io.BytesIO()
        shape = (self.zones, self.zones)
        np.lib.format.write_array_header_1_0(
            header, {"descr": _LITTLE_DOUBLE.str, "fortran_order": False, "shape": shape}
        )
        for member in range(len(members)):
            self._members.add(member, header.getvalue())

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        for member, table in enumerate(values):
            rows = np.ascontiguousarray(table, dtype=_LITTLE_DOUBLE)
            self._members.add(member, memoryview(rows.data).cast("B"))

    def _finish(self) -> None:
        facts = self.facts
        # A source without header texts gives the defaults a matrix has, as before.
        meta: dict[str, Any] = {
            "banner": header_value(facts.banner, "banner", DEFAULT_BANNER),
            "run_id": header_value(facts.run_id, "run_id", DEFAULT_RUN_ID),
            "type_codes": {name: code for name, (_, code) in zip(self._names, facts.tables)},
        }
        if facts.zone_labels is not None:
            meta["zone_labels"] = np.asarray(facts.zone_labels).tolist()
        entry = io.BytesIO()
        np.lib.format.write_array(entry, np.array(json.dumps(meta)), allow_pickle=False)
        self._members.add(len(self._names), entry.getvalue())
        with open(self._temporary, "wb") as out:
            self._members.write_archive(out)


def header_texts(path: str | os.PathLike[str]) -> tuple[str, ...]:
    """Which of ``banner`` and ``run_id`` the archive's metadata holds."""
    with _open_archive(path) as archive:
        members = {_key(info.filename): info.filename for info in archive.infolist()}
        meta = _meta(archive, members.get(META_KEY))
    return tuple(field for field in ("banner", "run_id") if meta[field] is not None)


def _open_archive(path: str | os.PathLike[str]) -> zipfile.ZipFile:
    """The archive at ``path``; ValueError with a one-line reason if it is not one."""
    source = os.fsdecode(os.fspath(path))
    with open(source, "rb") as raw:
        head = raw.read(len(_NPY_MAGIC))
    if head.startswith(_NPY_MAGIC):
        raise ValueError("this is a single NumPy array (.npy), not a NumPy archive (.npz)")
    try:
        return zipfile.ZipFile(source)
    except (zipfile.BadZipFile, ValueError, EOFError):
        raise ValueError("not a readable NumPy archive (.npz)") from None


def read_npz(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    progress: Progress | None = None,
) -> Matrix:
    """Read a matrix from an ``.npz`` archive of square arrays.

    Raises ValueError with a one-line reason for anything that is not a readable archive
    of square numeric arrays (with, if present, orvanel's metadata).
    """
    with NpzReader(path, tables) as reader:
        stack = gather(reader, progress)
        return Matrix._adopt(
            stack,
            [(info.name, info.type_code) for info in reader.tables],
            reader.banner,
            reader.run_id,
            reader.zone_labels,
        )


def _damaged(what: str) -> ValueError:
    return ValueError(
        f"{what} cannot be read: the archive is damaged, or the entry is not a NumPy "
        "array of numbers"
    )


@contextlib.contextmanager
def _reading(what: str) -> Iterator[None]:
    """Report any failure of reading a member as the member being unreadable.

    A damaged member fails in many ways: bad checksums and sizes (BadZipFile), corrupt
    deflate data (zlib.error), data that ends early, compression methods or encryption
    this Python cannot undo, and array headers that NumPy's parser rejects with whatever
    error its tokenizer raises. Each means the same here.
    """
    try:
        yield
    except MemoryError:
        raise
    except Exception:
        raise _damaged(what) from None


class _Table:
    """One array of the archive, read row by row from its member's stream."""

    def __init__(self, archive: zipfile.ZipFile, member: str, name: str) -> None:
        self.name, self.what = name, f"array {name!r}"
        self.spill: IO[bytes] | None = None
        with _reading(self.what):
            self.stream: IO[bytes] | None = archive.open(member)
        try:
            with _reading(self.what):
                version = np.lib.format.read_magic(self.stream)
                if version == (1, 0):
                    header = np.lib.format.read_array_header_1_0(self.stream)
                elif version == (2, 0):
                    header = np.lib.format.read_array_header_2_0(self.stream)
                else:  # 3.0 is for structured types with names beyond Latin-1: not numbers
                    raise ValueError(version)
        except BaseException:
            self.close()
            raise
        self.shape: tuple[int, ...] = header[0]
        self.fortran: bool = header[1]
        self.dtype: np.dtype[Any] = header[2]

    def check(self, shape: tuple[int, ...] | None) -> None:
        """Raise unless the array is a square table of numbers (of ``shape``, if given)."""
        if self.dtype.hasobject:  # objects would need pickling
            raise _damaged(self.what)
        array_shape = self.shape
        if len(array_shape) != 2 or array_shape[0] != array_shape[1] or array_shape[0] == 0:
            raise ValueError(f"{self.what} is not a square table (its shape is {array_shape})")
        if shape is not None and array_shape != shape:
            raise ValueError(f"{self.what} has shape {array_shape}, not {shape}")
        if self.dtype.kind not in "biuf":
            raise ValueError(f"{self.what} does not hold real numbers ({self.dtype})")

    def close(self) -> None:
        for handle in (self.stream, self.spill):
            if handle is not None:
                handle.close()

    def read_rows(self, origins: range, out: NDArray[np.float64]) -> None:
        """Read the rows of ``origins`` (the next ones) into ``out``."""
        zones, size = self.shape[0], self.dtype.itemsize
        pieces: Iterator[tuple[int, NDArray[Any]]]
        if self.spill is not None:
            with _reading(self.what):
                self.spill.seek((origins.start - 1) * zones * size)
                data = _exactly(self.spill, len(origins) * zones * size)
            pieces = iter([(0, np.frombuffer(data, self.dtype).reshape(zones, len(origins)).T)])
        else:
            pieces = self._pieces(len(origins))
        while True:
            with _reading(self.what):
                piece = next(pieces, None)
            if piece is None:
                break
            start, array = piece
            if self.dtype.kind in "iu" and self.dtype.itemsize == 8:
                check_exact_integers(array, self.what, origins.start - 1 + start)
            out[start : start + len(array)] = array
        if origins.stop > zones and self.stream is not None:
            with _reading(self.what):
                _to_end(self.stream)

    def _pieces(self, rows: int) -> Iterator[tuple[int, NDArray[Any]]]:
        """The next ``rows`` rows of the stream, a few at a time (about `_READ_BYTES`),
        each with its first row."""
        assert self.stream is not None
        zones = self.shape[0]
        step = max(1, _READ_BYTES // (zones * self.dtype.itemsize))
        for start in range(0, rows, step):
            count = min(step, rows - start)
            data = _exactly(self.stream, count * zones * self.dtype.itemsize)
            yield start, np.frombuffer(data, self.dtype).reshape(count, zones)

    def transpose(self, block: int) -> None:
        """Read a table stored column by column (Fortran order) into a temporary file
        laid out by blocks of ``block`` rows, so that each block of rows is one read.

        The temporary file takes the table's uncompressed size (Z * Z * itemsize).
        """
        assert self.stream is not None
        zones, size = self.shape[0], self.dtype.itemsize
        self.spill = tempfile.TemporaryFile()
        columns = max(1, _READ_BYTES * 16 // (zones * size))
        with _reading(self.what):
            for first in range(0, zones, columns):
                count = min(columns, zones - first)
                data = _exactly(self.stream, count * zones * size)
                stored = np.frombuffer(data, self.dtype).reshape(count, zones)  # one column a row
                # Block [s, e) of rows is kept as its transpose: for each column, the
                # column's values in those rows, one column after another.
                for origins in spans(zones, block):
                    rows = len(origins)
                    self.spill.seek(((origins.start - 1) * zones + first * rows) * size)
                    self.spill.write(
                        np.ascontiguousarray(stored[:, origins.start - 1 : origins.stop - 1]).data
                    )
            _to_end(self.stream)


def _exactly(stream: IO[bytes], size: int) -> bytes:
    data = stream.read(size)
    if len(data) != size:
        raise EOFError("the array ends early")
    return data


def _to_end(stream: IO[bytes]) -> None:
    # Reading a member to its end makes zipfile check its CRC.
    while stream.read(_READ_BYTES):
        pass


class NpzReader(BlockReader):
    """The arrays of an ``.npz`` archive, read in blocks of rows (origins).

    The archive's metadata and every array's header are checked when the reader is
    made; the values are read as blocks are asked for, one open stream per table. A
    table stored column by column (Fortran order) is first rearranged through a
    temporary file of its uncompressed size.
    """

    def __init__(
        self, path: str | os.PathLike[str], tables: str | Iterable[str] | None = None
    ) -> None:
        self._tables: list[_Table] = []
        with contextlib.ExitStack() as stack:
            archive = stack.enter_context(_open_archive(path))
            stack.callback(self._close_tables)
            self._read_header(archive, tables)
            self._stack = stack.pop_all()

    def _read_header(self, archive: zipfile.ZipFile, tables: str | Iterable[str] | None) -> None:
        members = {
            _key(info.filename): info.filename for info in archive.infolist() if not info.is_dir()
        }
        meta = _meta(archive, members.pop(META_KEY, None))
        available = list(members)
        if not available:
            raise ValueError("the .npz archive holds no arrays")
        names = [available[i] for i in select_tables(available, tables, "the .npz archive")]
        shape: tuple[int, ...] | None = None
        codes = []
        for name in names:
            table = _Table(archive, members[name], name)
            self._tables.append(table)
            table.check(shape)
            shape = table.shape
            codes.append(meta["type_codes"].get(name) or default_code(table.dtype))
        assert shape is not None
        self.zones = shape[0]
        self.tables = [
            TableInfo(position, name, code)
            for position, (name, code) in enumerate(zip(names, codes), start=1)
        ]
        self.banner, self.run_id = meta["banner"], meta["run_id"]
        if meta["zone_labels"] is not None:
            try:
                self.zone_labels = check_labels(meta["zone_labels"], self.zones)
            except (TypeError, ValueError) as exc:
                raise ValueError(
                    f"the zone labels in the archive's {META_KEY} entry: {exc}"
                ) from None

    def _close_tables(self) -> None:
        tables, self._tables = self._tables, []
        for table in tables:
            table.close()

    def close(self) -> None:
        self._stack.close()

    def _blocks(self, block: int) -> Iterator[Block]:
        for table in self._tables:
            if table.fortran:
                table.transpose(block)
        buffer = BlockBuffer(len(self._tables), block, self.zones)
        for origins in spans(self.zones, block):
            values = buffer.view(len(origins))
            for table, out in zip(self._tables, values):
                table.read_rows(origins, out)
            yield origins, values


def _key(member: str) -> str:
    """The name an array is known by: its member name without ``.npy``, as NumPy does."""
    return member[: -len(ARRAY_SUFFIX)] if member.endswith(ARRAY_SUFFIX) else member


def _array(archive: zipfile.ZipFile, member: str, what: str) -> NDArray[Any]:
    with _reading(what), archive.open(member) as entry:
        array: NDArray[Any] = np.lib.format.read_array(entry, allow_pickle=False)
    return array


def _meta(archive: zipfile.ZipFile, member: str | None) -> dict[str, Any]:
    """The banner, run identifier, type codes and zone labels the archive's metadata holds.

    Keys other than these are ignored; these must have the types orvanel writes.
    """
    meta: dict[str, Any] = {"banner": None, "run_id": None, "type_codes": {}, "zone_labels": None}
    if member is None:
        return meta
    array = _array(archive, member, f"the {META_KEY} entry")
    try:
        stored = json.loads(str(array[()])) if array.dtype.kind == "U" and array.ndim == 0 else None
    except ValueError:
        stored = None
    if not isinstance(stored, dict):
        raise ValueError(
            f"the {META_KEY} entry of the archive is not orvanel's metadata (a JSON object)"
        )
    for field in ("banner", "run_id"):
        value = stored.get(field)
        if value is not None and not isinstance(value, str):
            raise ValueError(f"the {field} in the archive's {META_KEY} entry is not a text")
        meta[field] = value
    labels = stored.get("zone_labels")
    if labels is not None and not (
        isinstance(labels, list) and all(type(label) is int for label in labels)
    ):
        raise ValueError(
            f"the zone labels in the archive's {META_KEY} entry are not a list of integers"
        )
    meta["zone_labels"] = labels
    codes = stored.get("type_codes", {})
    if not isinstance(codes, dict):
        raise ValueError(f"the type codes in the archive's {META_KEY} entry are not a mapping")
    for name, code in codes.items():
        if not isinstance(code, str):
            raise ValueError(
                f"the type code of table {name!r} in the archive's metadata is not a text"
            )
        try:
            meta["type_codes"][name] = type_code(code)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"table {name!r} in the archive's metadata: {exc}") from None
    return meta
