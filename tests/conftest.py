import mmap
import sys
from collections import namedtuple
from pathlib import Path

import numpy as np
import pytest

import orvanel
from orvanel import _engine, open_rows
from orvanel._orvanel import _MatrixCore
from orvanel.errors import TableNotFoundError
from support import shared_out

# The benchmarks' builder of large sparse matrices and their runner of the command line in
# a limited address space serve the tests of large matrices as well.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

# The engine's loads, each with a kind of source and a number of threads: every test of
# loading runs through them too, and must give what the low-level module gives.
ENGINE_LOADS = ["engine-bytes-1", "engine-path-2", "engine-bytearray-3", "engine-memoryview-8", "engine-mmap-2"]
# The same loads a block of origins at a time (rows-...), and by origin ranges after an
# index of the records (index-...): every test of loading runs through them too.
ROW_LOADS = ["rows-bytes-2", "rows-path-1", "rows-mmap-3", "index-path-2", "index-bytearray-1"]


EngineTable = namedtuple("EngineTable", "index name type_code")


class EngineMatrix:
    """An engine load's result, read through the methods of a low-level matrix."""

    def __init__(self, result):
        self.values, self.zone_count, self.banner, self.run_id, pairs = result
        assert self.values.dtype == np.float64 and self.values.flags.c_contiguous and self.values.flags.owndata
        assert self.values.shape == (len(pairs), self.zone_count, self.zone_count)
        self.table_count = len(pairs)
        self._tables = [EngineTable(i, name, code) for i, (name, code) in enumerate(pairs, start=1)]

    def tables(self):
        return list(self._tables)

    def row(self, table, origin):
        number = next(t.index for t in self._tables if t.name == table) if isinstance(table, str) else table
        return self.values[number - 1, origin - 1].tolist()

    def stack_array(self):
        return self.values


@pytest.fixture
def sample(tmp_path):
    """The shipped sample as a matrix file."""
    path = tmp_path / "sample.mat"
    path.write_bytes(bytes(orvanel.sample()))
    return path


@pytest.fixture
def many_threads_for_small_inputs():
    """Loads and writes share out rows a record at a time: neighbours go to different threads."""
    with shared_out():
        yield


def engine_source(kind, data, path):
    """`data` as the engine's source of the given kind; a path is written first."""
    if kind in ("path", "mmap"):
        path.write_bytes(data)
        if kind == "path" or not data:  # an empty file cannot be mapped
            return str(path)
        with open(path, "rb") as f:
            return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    return {"bytes": bytes, "bytearray": bytearray, "memoryview": lambda d: memoryview(bytearray(d))}[kind](data)


def _row_load(how, source, names, threads):
    """The whole matrix read through orvanel.open_rows, as the engine's load returns it:
    block after block (blocks of 3 origins), or by ranges of 4 origins after the index."""
    try:
        with open_rows(source, names[0] if names else None, block=3, threads=threads) as rows:
            if how == "rows":
                blocks = [values for _, values in rows]
            else:
                rows.index()
                blocks = [rows.read(range(first, min(first + 4, rows.zones + 1)))
                          for first in range(1, rows.zones + 1, 4)]
            pairs = [(info.name, info.type_code) for info in rows.tables]
            return EngineMatrix((np.concatenate(blocks, axis=1), rows.zones, rows.banner, rows.run_id, pairs))
    except TableNotFoundError as exc:
        # The public layer's class for the core's table_not_found error, which it wraps.
        raise exc.__context__ from None


def _loader(request, tmp_path, method):
    param = request.param
    if param.startswith(("engine", "rows", "index")):
        request.getfixturevalue("many_threads_for_small_inputs")
        how, kind, threads = param.split("-")

        def load(data, *names):
            source = engine_source(kind, data, tmp_path / "input.mat")
            if how == "engine":
                return EngineMatrix(_engine.load(source, *names, threads=int(threads)))
            return _row_load(how, source, names, int(threads))

        return load
    if param.startswith("from_bytes"):
        return method

    def load(data, *args):
        (tmp_path / "input.mat").write_bytes(data)
        return method(str(tmp_path / "input.mat"), *args)

    return load


@pytest.fixture(params=["from_bytes", "open", *ENGINE_LOADS, *ROW_LOADS])
def load(request, tmp_path):
    """Loads every table of matrix bytes, from memory or from a file, by the low-level
    module or by the engine."""
    return _loader(request, tmp_path, getattr(_MatrixCore, request.param, None))


@pytest.fixture(params=["from_bytes_tables", "open_tables", *ENGINE_LOADS, *ROW_LOADS])
def load_tables(request, tmp_path):
    """Loads the named tables of matrix bytes, from memory or from a file, by the
    low-level module or by the engine."""
    return _loader(request, tmp_path, getattr(_MatrixCore, request.param, None))
