"""Open Matrix (OMX) files: HDF5 files holding square matrices; needs the ``omx`` extra.

An OMX file has the root attributes ``OMX_VERSION`` and ``SHAPE`` (rows, columns), one
dataset per matrix in the group ``/data`` and zone lookups (one number per zone) in the
group ``/lookup``. `orvanel.omx.write_omx` also stores what an OMX file has no place of
its own for, so that a matrix comes back unchanged from `orvanel.omx.read_omx`: the
banner and run identifier as root attributes ``banner`` and ``run_id``, and each table's
type code as the dataset attribute ``type_code``. Other programs ignore these.

Files written by other programs are read as they are: matrices of any integer, real or
boolean element type (booleans as 0 and 1), with or without ``SHAPE``, compressed with
any filter HDF5 has (those of the ``hdf5plugin`` package too, when it is installed).
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import re
import signal
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator
from types import FrameType
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import (
    DEFAULT_BANNER,
    DEFAULT_RUN_ID,
    TableInfo,
    header_value,
    stored_text,
    unique_labels,
)
from orvanel._optional import require
from orvanel._replace import replace_file
from orvanel._schema import TypeCodeLike, TypesLike, default_code, resolve_types, type_code
from orvanel._values import to_float64
from orvanel._zones import check_labels, default_labels
from orvanel.formats._common import Progress, select_tables
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

__all__ = ["OmxReader", "OmxWriter", "read_omx", "write_omx"]

OMX_VERSION = b"0.2"
LOOKUP_NAME = "zone_number"

Notice = Callable[[str], None]

# Cells written per HDF5 call: small enough that Ctrl-C is answered within a moment.
_SLAB_CELLS = 1 << 19
# Cells of one chunk of a matrix written here: whole rows, 64 KiB (one row when a row is
# larger), so that a block of origins is written and read as whole chunks.
_CHUNK_CELLS = 1 << 13
# HDF5 keeps a chunk cache for each open matrix (8 MiB each in recent versions), which
# fills as chunks are read or written: with hundreds of tables that alone would be
# gigabytes. Blocks of rows read whole chunks but at their edges, so reading gives each
# matrix a small cache (1 MiB, less when many share `_READ_CACHE_BYTES`); writing, which
# hands HDF5 whole chunks only, needs none.
_READ_CACHE_BYTES = 4 << 20
_MATRIX_CACHE_BYTES = 1 << 20

# Compression filters the hdf5plugin package provides, by HDF5 filter number.
_PLUGIN_FILTERS = {
    307: "BZip2",
    32001: "Blosc",
    32004: "LZ4",
    32008: "Bitshuffle",
    32013: "ZFP",
    32015: "Zstandard",
    32017: "SZ",
    32018: "FCIDECOMP",
    32024: "SZ3",
    32026: "Blosc2",
    32028: "SPERR",
    32033: "HTJ2K",
}

# Matrices named in one notice before the rest are counted.
_NAMES_SHOWN = 8


def _h5py(feature: str) -> Any:
    return require("h5py", "omx", feature)


class _HeldInterrupts:
    """Holds Ctrl-C (SIGINT) while HDF5 works, to deliver it between two reads or writes.

    h5py runs Python code inside HDF5 calls (freeing objects, the file-object driver),
    where an exception cannot travel back: a KeyboardInterrupt raised there is printed
    and lost, and the work goes on. In the block, SIGINT only marks itself; `check`
    hands it to the handler that was in place (Python's own raises KeyboardInterrupt).
    Only the main thread receives signals, so elsewhere this does nothing.
    """

    def __init__(self) -> None:
        self.previous: Callable[[int, FrameType | None], Any] | None = None
        self.pending: tuple[int, FrameType | None] | None = None

    def __enter__(self) -> _HeldInterrupts:
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if callable(previous):  # an ignored SIGINT stays ignored
                self.previous = previous
                signal.signal(signal.SIGINT, self._hold)
        return self

    def _hold(self, signum: int, frame: FrameType | None) -> None:
        self.pending = (signum, frame)

    def check(self) -> None:
        if self.pending is not None and self.previous is not None:
            pending, self.pending = self.pending, None
            self.previous(*pending)

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            if kind is None:
                self.check()


# -- reading ------------------------------------------------------------------------


def read_omx(
    path: str | os.PathLike[str],
    tables: str | Iterable[str] | None = None,
    types: TypesLike = None,
    *,
    banner: str | None = None,
    run_id: str | None = None,
    progress: Progress | None = None,
    lookup: str | None = None,
    notice: Notice | None = None,
) -> Matrix:
    """Read an OMX file into a matrix.

    Matrices are read by position: row ``i`` and column ``j`` (0-based) become origin
    and destination zone ``i + 1`` and ``j + 1``. A zone lookup gives the matrix its
    `Matrix.zone_labels`: the file's only lookup, or the one named by ``lookup``. Values
    are kept as stored: a matrix's ``NA`` attribute (the value that marks a missing
    cell) is not applied, and a notice says so.

    Parameters
    ----------
    path : str or os.PathLike
        The OMX file.
    tables : str or iterable of str, optional
        Read only the matrices with these names; by default all, in file order.
    types : type code or mapping, optional
        Type codes, as for `orvanel.from_arrays`. Tables it does not name take the
        dataset's ``type_code`` attribute if present, else a code that holds the
        dataset's values exactly: ``"S"`` for float32, ``0`` for integers and booleans,
        ``"D"`` otherwise.
    banner, run_id : str, optional
        Header texts; by default the root attributes ``banner`` and ``run_id`` if present.
    progress : callable, optional
        Called with the number of cells just read, after each block of rows.
    lookup : str, optional
        The lookup in ``/lookup`` whose numbers label the zones. By default the only
        lookup, if the file has one; with several, the zones keep the labels 1..Z and a
        notice names the lookups.
    notice : callable, optional
        Called with each one-line message the reader has for the user (a lookup that was
        not used, an ``NA`` attribute that was not applied); by default these are issued
        as warnings.

    Returns
    -------
    Matrix

    Raises
    ------
    ImportError
        If h5py is not installed, or a matrix is compressed with a filter of the
        hdf5plugin package, which is not installed.
    OSError
        If the file cannot be opened.
    ValueError
        If the file is not an OMX file of square numeric matrices of one size, is
        damaged, needs a compression filter that is not available, the lookup asked for
        is missing or cannot number the zones, or a matrix holds an integer that float64
        cannot hold exactly.
    TableNotFoundError
        If a table asked for is missing (a `KeyError`).
    """
    _h5py("orvanel.omx.read_omx")
    notes: list[str] = []
    with OmxReader(path, tables, types, lookup=lookup, notice=notes.append) as reader:
        stack = gather(reader, progress)
        matrix = Matrix._adopt(
            stack,
            [(info.name, info.type_code) for info in reader.tables],
            banner if banner is not None else reader.banner,
            run_id if run_id is not None else reader.run_id,
            reader.zone_labels,
        )
    # Said once the matrix is read: a read that fails says only why.
    for text in notes:
        if notice is not None:
            notice(text)
        else:
            warnings.warn(text, stacklevel=2)
    return matrix


class OmxReader(BlockReader):
    """The matrices of an OMX file, read in blocks of rows (origins).

    Everything is checked when the reader is made, before anything is allocated (a
    file's SHAPE may claim any size): the file's structure, the matrices' shapes,
    element types and compression filters, the zone lookup. ``banner`` and ``run_id``
    are the root attributes of those names, None where the file has none. The notices
    `read_omx` describes go to ``notice`` (by default they are issued as warnings) once
    every block has been read, or when the reader is left without an exception before:
    a read that fails says only why.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        tables: str | Iterable[str] | None = None,
        types: TypesLike = None,
        *,
        lookup: str | None = None,
        notice: Notice | None = None,
    ) -> None:
        h5py = _h5py("reading OMX files")
        self._h5py, self._path = h5py, path
        self._notes: list[str] = []
        self._notice = notice
        with contextlib.ExitStack() as stack:
            handle = stack.enter_context(_opened(h5py, path))
            with _HeldInterrupts():
                try:
                    self._header(handle, tables, types, lookup, self._notes)
                except (RuntimeError, OSError) as exc:
                    raise _damaged(exc, path) from None
            self._stack = stack.pop_all()

    def _say_notes(self) -> None:
        notes, self._notes = self._notes, []
        for text in notes:
            if self._notice is not None:
                self._notice(text)
            else:
                warnings.warn(text, stacklevel=3)

    def __exit__(self, kind: type[BaseException] | None, *rest: Any) -> None:
        try:
            if kind is None:
                self._say_notes()
        finally:
            self.close()

    def _header(
        self,
        handle: Any,
        tables: str | Iterable[str] | None,
        types: TypesLike,
        lookup: str | None,
        notes: list[str],
    ) -> None:
        h5py = self._h5py
        if "OMX_VERSION" not in handle.attrs:
            raise ValueError("not an OMX file: the OMX_VERSION attribute is missing")
        data = handle.get("data")
        if not isinstance(data, h5py.Group):
            raise ValueError("not an OMX file: the /data group is missing")
        available = [name for name, item in data.items() if isinstance(item, h5py.Dataset)]
        if not available:
            raise ValueError("the OMX file holds no matrices")
        names = [available[i] for i in select_tables(available, tables, "the OMX file")]
        datasets = [data[name] for name in names]
        zones, source = _zone_count(handle, names, datasets)
        for name, dataset in zip(names, datasets):
            _check_matrix(h5py, name, dataset, zones, source)
        self.zone_labels = _zone_labels(h5py, handle, zones, lookup, notes)
        notes.extend(_unapplied_markers("matrix", "matrices", names, datasets))
        stored: list[TypeCodeLike] = [
            _default_type(name, dataset, notes) for name, dataset in zip(names, datasets)
        ]
        codes = resolve_types(names, types, stored)
        self.zones = zones
        self.tables = [
            TableInfo(position, name, code)
            for position, (name, code) in enumerate(zip(names, codes), start=1)
        ]
        self.banner = stored_text(handle.attrs.get("banner"))
        self.run_id = stored_text(handle.attrs.get("run_id"))
        del datasets  # opened again below, each with its share of the chunk cache
        cache = min(_MATRIX_CACHE_BYTES, _READ_CACHE_BYTES // len(names))
        self._datasets = _with_cache(h5py, data, names, cache)

    def close(self) -> None:
        self._datasets = []
        self._stack.close()

    def _blocks(self, block: int) -> Iterator[Block]:
        buffer = BlockBuffer(len(self.tables), block, self.zones)
        for origins in spans(self.zones, block):
            values = buffer.view(len(origins))
            rows = slice(origins.start - 1, origins.stop - 1)
            # Ctrl-C waits while HDF5 reads, and is answered once the block is read.
            with _HeldInterrupts():
                try:
                    for info, dataset, out in zip(self.tables, self._datasets, values):
                        _read_rows(self._h5py, info.name, dataset, rows, out)
                except (RuntimeError, OSError) as exc:
                    raise _damaged(exc, self._path) from None
            yield origins, values
        self._say_notes()


@contextlib.contextmanager
def _opened(h5py: Any, path: str | os.PathLike[str]) -> Iterator[Any]:
    """The HDF5 file at ``path``, opened for reading, with HDF5's failures told plainly."""
    name = os.fspath(path)
    try:
        handle = h5py.File(name, "r")
    except OSError as exc:
        if exc.errno:
            # h5py's own text for these is HDF5's, spread over several lines.
            raise OSError(exc.errno, os.strerror(exc.errno), os.fsdecode(name)) from None
        message = str(exc)
        if "file signature not found" in message:
            raise ValueError("not an OMX file: it is not an HDF5 file") from None
        cut = re.search(r"eof = (\d+).*stored_eof = (\d+)", message)
        if cut:
            raise ValueError(
                f"the file is cut short: it has {cut[1]} bytes of the {cut[2]} it should have"
            ) from None
        raise ValueError(f"cannot be read as an HDF5 file ({_reason(exc)})") from None
    with handle:
        yield handle


def _reason(exc: BaseException) -> str:
    """HDF5's own reason for a failure, without h5py's lead-in, on one line."""
    text = " ".join(str(exc).split())
    inner = re.search(r"\((.*)\)\s*$", text)
    return inner[1] if inner else text


def _damaged(exc: BaseException, path: str | os.PathLike[str]) -> BaseException:
    """The error to raise for an HDF5 failure while reading an opened file."""
    if isinstance(exc, OSError) and exc.errno:
        return OSError(exc.errno, os.strerror(exc.errno), os.fsdecode(os.fspath(path)))
    return ValueError(f"the file is damaged ({_reason(exc)})")


def _with_cache(h5py: Any, group: Any, names: list[str], cache_bytes: int) -> list[Any]:
    """The datasets ``names`` of ``group``, each opened with a chunk cache of
    ``cache_bytes``."""
    access = h5py.h5p.create(h5py.h5p.DATASET_ACCESS)
    access.set_chunk_cache(521, cache_bytes, 0.75)  # 521 slots: HDF5's usual number
    return [h5py.Dataset(h5py.h5d.open(group.id, name.encode("utf-8"), access)) for name in names]


def _zone_count(handle: Any, names: list[str], datasets: list[Any]) -> tuple[int, str]:
    """The zone count, from the SHAPE attribute or else the first matrix read, and where
    it comes from (for messages)."""
    if "SHAPE" in handle.attrs:
        shape = np.asarray(handle.attrs["SHAPE"]).ravel()
        if shape.dtype.kind not in "iu" or shape.size != 2:
            raise ValueError(f"the SHAPE attribute is not a pair of zone counts ({shape.tolist()})")
        rows, columns = (int(n) for n in shape)
        where, source = "SHAPE is", "as the SHAPE attribute says"
    else:
        dims: tuple[int, ...] = datasets[0].shape or ()  # None: a dataset without values
        if len(dims) != 2:
            raise ValueError(f"the matrix {names[0]} is not a table of rows and columns")
        rows, columns = dims
        where, source = f"the matrix {names[0]} is", f"like the matrix {names[0]}"
    if rows != columns:
        raise ValueError(f"OMX matrices must be square ({where} {rows} by {columns})")
    if rows < 1:
        raise ValueError(f"OMX matrices must have at least one zone ({where} {rows} by {columns})")
    return int(rows), source


def _check_matrix(h5py: Any, name: str, dataset: Any, zones: int, source: str) -> None:
    """Raise unless ``dataset`` is a readable numeric ``zones`` x ``zones`` matrix."""
    dims = dataset.shape  # None for a dataset without values
    if dims != (zones, zones):
        held = f"has the shape {' by '.join(map(str, dims))}" if dims else "holds no table"
        raise ValueError(f"the matrix {name} {held}, not {zones} by {zones} {source}")
    try:
        kind = dataset.dtype.kind
    except (TypeError, ValueError):  # an HDF5 type NumPy has no equivalent for
        kind = ""
    if kind not in "biuf":
        raise ValueError(f"the matrix {name} does not hold numbers")
    _check_filters(h5py, name, dataset)


def _check_filters(h5py: Any, name: str, dataset: Any) -> None:
    """Raise, saying what to install, if a filter the matrix was stored with is missing.

    Reading such a matrix would fail with HDF5's note about its plugin folder. The
    filters of the hdf5plugin package are registered by importing it, so it is imported
    the first time one is missing.
    """
    plist = dataset.id.get_create_plist()
    for index in range(plist.get_nfilters()):
        number, _flags, _options, label = plist.get_filter(index)
        if h5py.h5z.filter_avail(number):
            continue
        provided = _PLUGIN_FILTERS.get(number)
        if provided is not None:
            with contextlib.suppress(ImportError):
                importlib.import_module("hdf5plugin")
                if h5py.h5z.filter_avail(number):
                    continue
                # hdf5plugin is there but lacks the filter: say so below.
                provided = None
        if provided is not None:
            raise ImportError(
                f"the matrix {name} is compressed with the {provided} filter, which is not "
                "available; install hdf5plugin (pip install hdf5plugin)"
            )
        shown = label.decode("utf-8", "replace") if isinstance(label, bytes) else str(label)
        raise ValueError(
            f"the matrix {name} is compressed with the HDF5 filter {number}"
            f"{f' ({shown})' if shown else ''}, which is not available here"
        )


def _read_rows(h5py: Any, name: str, dataset: Any, rows: slice, out: NDArray[np.float64]) -> None:
    """Read rows of one matrix into ``out``, exactly or not at all."""
    stored = dataset.id.get_type()
    kind, size = stored.get_class(), stored.get_size()
    try:
        if (kind == h5py.h5t.FLOAT and size <= 8) or (kind == h5py.h5t.INTEGER and size <= 4):
            # HDF5 converts these to float64 exactly, without a copy in between.
            dataset.read_direct(out, source_sel=np.s_[rows])
            return
        # Booleans (an HDF5 enumeration or bit field), other enumerations and 64-bit
        # integers: HDF5 has no exact conversion to float64 for them.
        values = dataset[rows]
    except OSError as exc:
        if exc.errno:
            raise
        raise ValueError(f"the matrix {name} cannot be read ({_reason(exc)})") from None
    out[...] = to_float64(values, f"the matrix {name}", rows.start)


def _default_type(name: str, dataset: Any, notes: list[str]) -> str:
    """The type code a dataset carries, or the one its element type suggests."""
    suggested = default_code(dataset.dtype)
    stored = dataset.attrs.get("type_code")
    if stored is None:
        return suggested
    text = stored_text(stored)
    try:
        return type_code(text if text is not None else np.asarray(stored).item())
    except (TypeError, ValueError):
        notes.append(
            f"the matrix {name} has the type_code attribute {_shown_value(stored)!r}, which "
            f"is not a type code; it takes the type code {suggested}, which holds its values"
        )
        return suggested


def _zone_labels(
    h5py: Any, handle: Any, zones: int, lookup: str | None, notes: list[str]
) -> NDArray[np.int64] | None:
    """The zone labels the file's lookups give, or None to keep 1..Z."""
    group = handle.get("lookup")
    lookups: dict[str, Any] = {}
    if isinstance(group, h5py.Group):
        lookups = {name: item for name, item in group.items() if isinstance(item, h5py.Dataset)}
    if lookup is not None:
        if lookup not in lookups:
            held = f"its lookups are {', '.join(lookups)}" if lookups else "it has no lookups"
            raise ValueError(f"the OMX file has no lookup named {lookup}; {held}")
        labels, why = _lookup_labels(lookups[lookup], zones)
        if labels is None:
            raise ValueError(f"the lookup {lookup} cannot number the zones: {why}")
    elif len(lookups) == 1:
        ((lookup, dataset),) = lookups.items()
        labels, why = _lookup_labels(dataset, zones)
        if labels is None:
            notes.append(
                f"the lookup {lookup} is not used as zone numbers: {why}; "
                f"the zones are numbered 1 to {zones}"
            )
            return None
    else:
        if lookups:
            notes.append(
                f"the OMX file has {len(lookups)} lookups ({', '.join(lookups)}); the zones "
                f"are numbered 1 to {zones}; choose the lookup that numbers them with "
                "lookup=NAME (orvanel convert --lookup NAME)"
            )
        return None
    notes.extend(_unapplied_markers("lookup", "lookups", [lookup], [lookups[lookup]]))
    return labels


def _lookup_labels(dataset: Any, zones: int) -> tuple[NDArray[np.int64] | None, str]:
    """A lookup's numbers as zone labels, or None and why they cannot be."""
    try:
        kind = dataset.dtype.kind
    except (TypeError, ValueError):
        kind = ""
    if kind not in "iuf":
        return None, "it does not hold numbers"
    if len(dataset.shape) != 1:
        return None, f"it is not a list of numbers (its shape is {dataset.shape})"
    if dataset.shape[0] != zones:
        return None, f"it has {dataset.shape[0]} entries for {zones} zones"
    try:
        return check_labels(dataset[()], zones), ""
    except (TypeError, ValueError) as exc:
        return None, str(exc)


def _unapplied_markers(one: str, several: str, names: list[str], datasets: list[Any]) -> list[str]:
    """Notices for the ``NA`` attributes of these datasets, one per marker value."""
    marked: dict[str, list[str]] = {}
    for name, dataset in zip(names, datasets):
        if "NA" in dataset.attrs:
            marked.setdefault(_shown_value(dataset.attrs["NA"]), []).append(name)
    notes = []
    for value, holders in marked.items():
        shown = ", ".join(holders[:_NAMES_SHOWN])
        if len(holders) > _NAMES_SHOWN:
            shown += f" and {len(holders) - _NAMES_SHOWN} more"
        subject = f"the {one} {shown} marks" if len(holders) == 1 else f"the {several} {shown} mark"
        notes.append(
            f"{subject} missing values with NA = {value}; the values are kept as stored, "
            "not turned into NaN"
        )
    return notes


def _shown_value(value: object) -> str:
    text = stored_text(value)
    if text is not None:
        return text
    array = np.asarray(value)
    return str(array.item() if array.size == 1 else array.tolist())


# -- writing ------------------------------------------------------------------------


class _Sink:
    """The file HDF5 writes to, through h5py's file-object driver; it never fails.

    HDF5 cannot recover from a write that fails (a full disk, a file size limit): the
    dataset and the file then fail to close, and h5py crashes the process when it closes
    or frees them later. So the first failure is kept here, later writes are dropped, and
    HDF5 carries on as if all went well; the writer checks `failure` between writes and
    raises it, and the unfinished file is removed.
    """

    def __init__(self, path: str) -> None:
        self.file = open(path, "w+b", buffering=0)  # closed by `close`
        self.failure: BaseException | None = None

    def close(self) -> None:
        self.file.close()

    # The driver seeks before every read and write; the file's own position is used.
    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        try:
            return self.file.seek(offset, whence)
        except BaseException as exc:  # HDF5 must not see it: kept for the writer
            self._fail(exc)
            return offset

    def tell(self) -> int:
        return self.file.tell()

    def read(self, size: int = -1) -> bytes:
        try:
            return self.file.read(size) or b""
        except BaseException as exc:
            self._fail(exc)
            return b""

    def readinto(self, buffer: Any) -> int:
        try:
            return self.file.readinto(buffer) or 0
        except BaseException as exc:
            self._fail(exc)
            return 0

    def write(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if self.failure is None:
            try:
                done = 0
                while done < len(view):
                    written = self.file.write(view[done:])
                    if not written:
                        raise OSError(errno.EIO, os.strerror(errno.EIO))
                    done += written
            except BaseException as exc:
                self._fail(exc)
        return len(view)

    def truncate(self, size: int | None = None) -> int:
        if self.failure is None:
            try:
                return self.file.truncate(size)
            except BaseException as exc:
                self._fail(exc)
        return 0 if size is None else size

    def flush(self) -> None:
        pass

    def _fail(self, exc: BaseException) -> None:
        if self.failure is None:
            self.failure = exc

    def check(self, target: str) -> None:
        """Raise the first failure, naming ``target`` rather than the temporary file."""
        failure = self.failure
        if failure is None:
            return
        if isinstance(failure, OSError) and failure.errno:
            raise OSError(failure.errno, os.strerror(failure.errno), target) from None
        raise failure


def _label_array(labels: NDArray[np.int64]) -> NDArray[np.integer[Any]]:
    """The zone labels as the lookup stores them: int32, as other programs write, when
    they fit."""
    small = np.iinfo(np.int32)
    if labels.min() >= small.min and labels.max() <= small.max:
        return labels.astype(np.int32)
    return labels


def write_omx(
    matrix: Matrix,
    path: str | os.PathLike[str],
    *,
    compression: str | None = "gzip",
    compression_level: int | None = 1,
    shuffle: bool = True,
    progress: Progress | None = None,
) -> None:
    """Write a matrix to an OMX file.

    Each table becomes a float64 dataset ``/data/<name>`` holding its values exactly,
    stored in chunks of whole rows; ``/lookup/zone_number`` holds the matrix's zone
    labels (1..Z unless it has labels of its own). The file appears only once it is
    complete: a failed or interrupted write leaves any file already at ``path`` as it
    was.

    Parameters
    ----------
    matrix : Matrix
        The matrix to write.
    path : str or os.PathLike
        Where to write; an existing file is replaced. It must be a regular file (or a
        new one), not a FIFO or a device.
    compression : str or None, default "gzip"
        HDF5 compression filter for the matrices, or None for none.
    compression_level : int or None, default 1
        The filter's option (the gzip level).
    shuffle : bool, default True
        Apply the byte shuffle filter before compressing.
    progress : callable, optional
        Called with the number of cells just written, after each block of rows.

    Raises
    ------
    ImportError
        If h5py is not installed.
    ValueError
        If two tables have the same name, or a name cannot name an HDF5 dataset.
    OSError
        If the file cannot be written (the path is not a regular file, the disk is full).
    KeyboardInterrupt
        On Ctrl-C, once the write in progress has stopped.
    """
    _h5py("orvanel.omx.write_omx")
    facts = Facts(
        matrix.zones,
        [(info.name, info.type_code) for info in matrix.tables],
        matrix.banner,
        matrix.run_id,
        matrix.zone_labels if matrix.has_zone_labels else None,
    )
    writer = OmxWriter(
        path, facts, compression=compression, compression_level=compression_level, shuffle=shuffle
    )
    with writer:
        write_stack(writer, matrix.to_numpy(), progress)


class OmxWriter(BlockWriter):
    """An OMX file written block by block; see `write_omx` for what it holds.

    The file is written through `_Sink`, so that a failed write (a full disk) is raised
    between two HDF5 calls, and Ctrl-C is held while HDF5 works and answered between
    two slabs of rows. HDF5 is given whole chunks only. A banner or run identifier of None is written as the default
    text a matrix has.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        facts: Facts,
        *,
        compression: str | None = "gzip",
        compression_level: int | None = 1,
        shuffle: bool = True,
    ) -> None:
        super().__init__(path, facts)
        self._h5py = _h5py("writing OMX files")
        self._names = unique_labels(facts.names, "the OMX file")
        for name in self._names:
            if "/" in name or name in (".", ".."):
                raise ValueError(f"table name {name!r} cannot name an OMX matrix")
        self._filters: dict[str, Any] = {"shuffle": shuffle}
        if compression is not None:
            self._filters.update(compression=compression, compression_opts=compression_level)
        self._handle: Any = None
        self._datasets: list[Any] = []

    def _open(self, stack: contextlib.ExitStack[Any]) -> None:
        temporary = stack.enter_context(replace_file(self.path, in_place_ok=False))
        self._sink = _Sink(temporary)
        stack.callback(self._sink.close)
        stack.push(self._close_on_failure)
        with _HeldInterrupts():
            self._handle = self._h5py.File(self._sink, "w", rdcc_nbytes=0)
            self._write_header()
        self._sink.check(self.path)

    def _write_header(self) -> None:
        facts, zones = self.facts, self.facts.zones
        handle = self._handle
        handle.attrs["OMX_VERSION"] = np.bytes_(OMX_VERSION)
        handle.attrs["SHAPE"] = np.array([zones, zones], dtype=np.int32)
        handle.attrs["banner"] = header_value(facts.banner, "banner", DEFAULT_BANNER)
        handle.attrs["run_id"] = header_value(facts.run_id, "run_id", DEFAULT_RUN_ID)
        data = handle.create_group("data", track_order=True)
        lookup = handle.create_group("lookup", track_order=True)
        labels = facts.zone_labels if facts.zone_labels is not None else default_labels(zones)
        lookup.create_dataset(LOOKUP_NAME, data=_label_array(labels))
        chunk_rows = max(1, min(zones, _CHUNK_CELLS // zones))
        for (_, code), name in zip(facts.tables, self._names):
            dataset = data.create_dataset(
                name,
                shape=(zones, zones),
                dtype=np.float64,
                chunks=(chunk_rows, zones),
                **self._filters,
            )
            dataset.attrs["type_code"] = code
            self._datasets.append(dataset)
        # Rows of a chunk not yet complete wait here, so that HDF5 is given whole chunks.
        self._waiting = np.empty((len(facts.tables), chunk_rows, zones))
        self._waiting_rows = 0
        self._next_row = 0  # the first row not yet given to HDF5

    def _write(self, origins: range, values: NDArray[np.float64]) -> None:
        chunk_rows = self._waiting.shape[1]
        taken = 0
        if self._waiting_rows:
            taken = min(chunk_rows - self._waiting_rows, values.shape[1])
            self._waiting[:, self._waiting_rows : self._waiting_rows + taken] = values[:, :taken]
            self._waiting_rows += taken
            if self._waiting_rows < chunk_rows:
                return
            self._put(self._waiting)
            self._waiting_rows = 0
        whole = (values.shape[1] - taken) // chunk_rows * chunk_rows
        if whole:
            self._put(values[:, taken : taken + whole])
        rest = values.shape[1] - taken - whole
        self._waiting[:, :rest] = values[:, taken + whole :]
        self._waiting_rows = rest

    def _put(self, values: NDArray[np.float64]) -> None:
        """Give HDF5 the next rows of every table, in slabs of whole chunks."""
        rows = values.shape[1]
        chunk_rows = self._waiting.shape[1]
        step = chunk_rows * max(1, _SLAB_CELLS // (chunk_rows * self.zones))
        with _HeldInterrupts() as interrupts:
            for dataset, table in zip(self._datasets, values):
                table = np.ascontiguousarray(table)
                for start in range(0, rows, step):
                    stop = min(start + step, rows)
                    dest = np.s_[self._next_row + start : self._next_row + stop]
                    dataset.write_direct(table, source_sel=np.s_[start:stop], dest_sel=dest)
                    self._sink.check(self.path)
                    interrupts.check()
        self._next_row += rows

    def _finish(self) -> None:
        if self._waiting_rows:  # the last chunk, cut short by the last row
            self._put(self._waiting[:, : self._waiting_rows])
        handle, self._handle = self._handle, None
        self._datasets = []
        with _HeldInterrupts():
            handle.close()
        self._sink.check(self.path)

    def _close_on_failure(self, kind: object, value: object, traceback: object) -> bool:
        # A write that failed or was interrupted: close what HDF5 holds; the temporary
        # file is removed next.
        handle, self._handle = self._handle, None
        self._datasets = []
        if handle is not None:
            with _HeldInterrupts(), contextlib.suppress(Exception):
                handle.close()
        return False
