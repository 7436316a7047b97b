"""Matrix files opened lazily by xarray: ``xarray.open_dataset(path, engine="orvanel")``.

Opening reads the header and indexes where every row record starts (one pass over the
records' headers); each variable then decodes only the origins it is indexed with. With
``chunks=...`` the variables are Dask arrays whose chunks read their own origins, in any
process: what the variables hand to Dask holds the file's path, never an open file, and
each process opens (and indexes) the file once, on first use.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvanel._header import unique_labels
from orvanel._optional import require
from orvanel.formats.zonesfile import read_zones
from orvanel.streaming import RowReader, open_rows

xr: Any = require("xarray", "xarray", "the xarray backend")
from xarray.backends import BackendArray, BackendEntrypoint  # noqa: E402
from xarray.core import indexing  # noqa: E402

DIMS = ("origin", "destination")

# Readers open in this process, by file and version: the variables of a dataset, and
# every chunk of them a process computes, share one open file and one index. Least
# recently used first; one dropped is closed once nobody reads through it any more.
_READERS: OrderedDict[tuple[Any, ...], RowReader] = OrderedDict()
_READERS_LOCK = threading.Lock()
_MAX_READERS = 32


def _reader_key(path: str) -> tuple[Any, ...]:
    status = os.stat(path)
    return (path, status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def _forget(key: tuple[Any, ...]) -> None:
    """Closing a dataset: its file is no longer kept open here (a variable used again
    opens it again)."""
    with _READERS_LOCK:
        _READERS.pop(key, None)


def _reader(path: str) -> RowReader:
    """The indexed reader of the file at ``path`` as it is now (a file rewritten since is
    opened afresh)."""
    key = _reader_key(path)
    with _READERS_LOCK:
        reader = _READERS.get(key)
        if reader is not None:
            _READERS.move_to_end(key)
            return reader
        # Threads as for every read (ORVANEL_NUM_THREADS, or the cores): a read of a few
        # origins is decoded on the calling thread anyway.
        reader = open_rows(path)
        reader.index()
        _READERS[key] = reader
        while len(_READERS) > _MAX_READERS:
            _READERS.popitem(last=False)
        return reader


def _positions(key: Any, zones: int) -> tuple[NDArray[np.intp], bool]:
    """The 0-based origins an outer indexer of one dimension selects, and whether it is a
    single integer (which drops the dimension)."""
    if isinstance(key, (int, np.integer)):
        position = int(key)
        return np.array([position + zones if position < 0 else position], dtype=np.intp), True
    if isinstance(key, slice):
        return np.arange(*key.indices(zones), dtype=np.intp), False
    positions = np.asarray(key, dtype=np.intp).reshape(-1)
    return np.where(positions < 0, positions + zones, positions), False


class OrvanelBackendArray(BackendArray):
    """One table of a matrix file, decoded by origins as it is indexed.

    Pickles as the file's path and the table's number: unpickled in another process, it
    opens the file there on first use.
    """

    def __init__(self, path: str, table: int, zones: int) -> None:
        self.path = path
        self.table = table  # the table's position in the file, 1-based
        self.zones = zones
        self.shape = (zones, zones)
        self.dtype = np.dtype(np.float64)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._raw_indexing_method
        )

    def _raw_indexing_method(self, key: tuple[Any, ...]) -> NDArray[np.float64]:
        origin_key, destination_key = key
        positions, single = _positions(origin_key, self.zones)
        rows = self._rows(positions)
        values = rows[0] if single else rows
        return values[..., destination_key]

    def _rows(self, positions: NDArray[np.intp]) -> NDArray[np.float64]:
        """The table's rows at ``positions`` (0-based, any order, repeats allowed): each
        run of consecutive origins is decoded once."""
        if positions.size == 0:
            return np.zeros((0, self.zones))
        reader = _reader(self.path)
        wanted = np.unique(positions)
        breaks = np.flatnonzero(np.diff(wanted) != 1) + 1
        runs = np.split(wanted, breaks)
        parts = [
            reader._read_file_tables(int(run[0]) + 1, len(run), [self.table])[0] for run in runs
        ]
        rows = parts[0] if len(parts) == 1 else np.concatenate(parts)
        if wanted.size == positions.size and np.array_equal(wanted, positions):
            return rows
        return rows[np.searchsorted(wanted, positions)]


def _zone_labels(zones_file: str | os.PathLike[str] | None, zones: int) -> NDArray[np.int64]:
    if zones_file is None:
        return np.arange(1, zones + 1, dtype=np.int64)
    labels = read_zones(zones_file)
    if len(labels) != zones:
        raise ValueError(
            f"{os.fspath(zones_file)}: the zones file labels {len(labels)} zones, the matrix "
            f"file has {zones}"
        )
    return labels


def open_matrix_dataset(
    path: str | os.PathLike[str],
    *,
    drop_variables: str | Iterable[str] | None = None,
    zones_file: str | os.PathLike[str] | None = None,
) -> Any:
    """The Dataset `OrvanelBackendEntrypoint.open_dataset` returns."""
    path = os.path.abspath(os.fspath(path))
    reader = _reader(path)
    zones = reader.zones
    labels = _zone_labels(zones_file, zones)
    names = unique_labels([info.name for info in reader.tables], "the Dataset's variables")
    if isinstance(drop_variables, str):
        drop_variables = [drop_variables]
    dropped = set(drop_variables or ())
    variables = {}
    for name, info, number in zip(names, reader.tables, reader.file_table_numbers):
        if name in dropped:
            continue
        data = indexing.LazilyIndexedArray(OrvanelBackendArray(path, number, zones))
        variables[name] = xr.Variable(DIMS, data, attrs={"type_code": info.type_code})
    dataset = xr.Dataset(
        variables,
        coords={"origin": labels, "destination": labels},
        attrs={"banner": reader.banner, "run_id": reader.run_id},
    )
    key = _reader_key(path)
    dataset.set_close(lambda: _forget(key))
    return dataset


def looks_like_matrix_file(path: str | os.PathLike[str]) -> bool:
    """Whether the file starts as a matrix file does: five header records, each a
    little-endian length (4 bytes to 1 MiB, the length included) and its content, the
    third holding the zone and table counts and the fifth the row marker."""
    try:
        with open(path, "rb") as f:
            contents = []
            for _ in range(5):
                length_bytes = f.read(4)
                if len(length_bytes) != 4:
                    return False
                length = int.from_bytes(length_bytes, "little")
                if length < 4 or length > (1 << 20):
                    return False
                content = f.read(length - 4)
                if len(content) != length - 4:
                    return False
                contents.append(content)
    except (OSError, ValueError):
        return False
    counts = contents[2].split(b"\0", 1)[0].split()
    return (
        any(token.startswith(b"Zones=") for token in counts)
        and any(token.startswith(b"M=") for token in counts)
        and contents[4] == b"ROW\0"
    )


class OrvanelBackendEntrypoint(BackendEntrypoint):
    """xarray's entry to matrix files: ``xarray.open_dataset(path, engine="orvanel")``.

    One float64 variable per table, dimensions ``("origin", "destination")``, the zone
    labels (1..Z, or those of ``zones_file=``) as coordinates on both; each variable's
    ``attrs`` hold its ``type_code``, the Dataset's its ``banner`` and ``run_id``; a
    repeated table name is labelled by position (``A#3``). Variables are decoded lazily,
    by origins.
    """

    open_dataset_parameters = ("filename_or_obj", "drop_variables", "zones_file")
    description = "Open origin-destination matrix files lazily, decoding only the origins indexed"
    url = "https://pypi.org/project/orvanel/"

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: str | os.PathLike[str],
        *,
        drop_variables: str | Iterable[str] | None = None,
        zones_file: str | os.PathLike[str] | None = None,
    ) -> Any:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(
                "the orvanel engine opens matrix files by path (got "
                f"{type(filename_or_obj).__name__}); use orvanel.read_bytes for bytes"
            )
        return open_matrix_dataset(
            filename_or_obj, drop_variables=drop_variables, zones_file=zones_file
        )

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        try:
            return os.path.isfile(filename_or_obj) and looks_like_matrix_file(filename_or_obj)
        except (OSError, ValueError):
            return False
