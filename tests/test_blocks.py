"""Every format read and written in blocks of origins: what comes back, how blocks are laid
out, and what a failed or incomplete write leaves behind."""

import gzip
import os
import re
import tempfile
import threading
import zipfile

import h5py
import numpy as np
import pytest

import orvanel
from orvanel._stats import BLOCK_CELLS, BlockStatistics, statistics
from orvanel.cli.diff import TableComparison, compare_tables
from orvanel.formats import _zipspill, csvlong
from orvanel.formats.blocks import Facts, reblock, spans
from orvanel.formats.csvlong import CsvReader
from orvanel.formats.npz import NpzReader
from orvanel.formats.omx import OmxReader
from orvanel.formats.registry import ReadOptions, WriteOptions, format_for
from orvanel.formats.zonesfile import zones_path
from support import same_bits

ZONES = 7
SUFFIXES = [".mat", ".omx", ".npz", ".csv", ".csv.gz"]


def special_values(tables=3, zones=ZONES):
    """Values that show any change: signed zeros, NaN, infinities, subnormals, fractions."""
    values = np.random.default_rng(4).random((tables, zones, zones)) * 100
    values[0, 0, :4] = [-0.0, np.nan, np.inf, -np.inf]
    values[1, zones - 1, zones - 1] = 5e-324
    values[2, 3] = 0.0
    return values


FACTS = Facts(ZONES, [("TRIPS", "2"), ("TIME", "D"), ("COST", "S")], "a banner", "R7",
              np.array([17, 3, 99, 4, 5, 60, 8]))


def write_blocks(path, facts, values, size):
    with format_for(path).create_blocks(str(path), facts, WriteOptions()) as writer:
        for origins in spans(facts.zones, size):
            writer.write(values[:, origins.start - 1:origins.stop - 1])


def read_blocks(path, size, **options):
    """Every block, checked for layout, stacked; and the reader's header facts."""
    with format_for(path).open_blocks(str(path), None, ReadOptions(**options)) as reader:
        zones, tables = reader.zones, len(reader.tables)
        parts, next_origin = [], 1
        for origins, values in reader.blocks(size):
            assert origins.start == next_origin and len(origins) == min(size, zones - origins.start + 1)
            assert values.shape == (tables, len(origins), zones) and values.flags.c_contiguous
            parts.append(values.copy())  # the next block may reuse the array
            next_origin = origins.stop
        assert next_origin == zones + 1
        return np.concatenate(parts, axis=1), reader.facts()


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize(("write_size", "read_size"), [(1, 3), (ZONES, 2), (4, 100)])
def test_every_format_round_trips_through_blocks(tmp_path, suffix, write_size, read_size):
    path = tmp_path / f"m{suffix}"
    values = special_values()
    write_blocks(path, FACTS, values, write_size)
    labels = FACTS.zone_labels
    options = {"zone_labels": labels} if suffix.startswith(".csv") else {}
    back, facts = read_blocks(path, read_size, **options)
    if suffix == ".mat":  # stored as the type codes say: as a whole-matrix write stores them
        values = orvanel.read_bytes(orvanel.Matrix._adopt(values, FACTS.tables).to_bytes()).to_numpy()
    assert same_bits(back, values) and facts.names == FACTS.names
    keeps_header = suffix in (".mat", ".omx", ".npz")
    assert [code for _, code in facts.tables] == (["2", "D", "S"] if keeps_header else ["D"] * 3)
    assert (facts.banner, facts.run_id) == (("a banner", "R7") if keeps_header else (None, None))
    # A matrix file has no place for labels: they are in the zones file beside it.
    beside = tmp_path / zones_path(path.name)
    assert beside.exists() == (suffix in (".mat", ".csv", ".csv.gz"))
    if suffix == ".mat":
        assert facts.zone_labels is None
        assert orvanel.formats.zonesfile.read_zones(beside).tolist() == labels.tolist()
    else:
        assert facts.zone_labels.tolist() == labels.tolist()


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize(("blocks", "error", "fragment"), [
    ([np.s_[:, :6]], ValueError, "incomplete: 6 of 7 origins were written"),
    ([np.s_[:, :2], None], KeyboardInterrupt, None),  # None: interrupted
    ([np.s_[:, :5], np.s_[:, :5]], ValueError, "goes beyond the 7 zones"),
    ([np.s_[:2]], ValueError, "shape (3, n, 7)"),  # two tables of three
])
def test_a_failed_block_write_leaves_the_previous_files(tmp_path, suffix, blocks, error, fragment):
    path = tmp_path / f"m{suffix}"
    beside = tmp_path / zones_path(path.name)
    path.write_bytes(b"previous")
    beside.write_bytes(b"previous zones")
    with pytest.raises(error, match=fragment and re.escape(fragment)):
        with format_for(path).create_blocks(str(path), FACTS, WriteOptions()) as writer:
            for rows in blocks:
                if rows is None:
                    raise KeyboardInterrupt
                writer.write(special_values()[rows])
    assert path.read_bytes() == b"previous" and beside.read_bytes() == b"previous zones"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([path.name, beside.name])


@pytest.mark.parametrize(("sizes", "block"), [
    ([1] * 7, 3), ([3, 4], 2), ([5, 2], 3), ([1, 6], 10)])
def test_reblock_gives_blocks_of_the_size_asked(sizes, block):
    values = special_values()
    source = [(None, part) for part in np.split(values, np.cumsum(sizes)[:-1], axis=1)]
    out, expected = [], list(spans(ZONES, block))
    for origins, part in reblock(source, block, 3, ZONES):
        assert part.flags.c_contiguous
        out.append((origins, part.copy()))
    assert [origins for origins, _ in out] == expected
    assert same_bits(np.concatenate([part for _, part in out], axis=1), values)


def test_reblock_refuses_rows_that_end_early():
    with pytest.raises(ValueError, match="after origin 4 of 7"):
        list(reblock([(None, special_values()[:, :4])], 2, 3, ZONES))


# -- OMX ------------------------------------------------------------------------------


@pytest.mark.parametrize("sizes", [[3] * 333 + [1], [13] * 76 + [12], [1, 999]])
def test_omx_rows_reach_their_chunks_whatever_the_block_sizes(tmp_path, sizes):
    path, zones = tmp_path / "m.omx", 1000
    values = np.random.default_rng(3).random((2, zones, zones))
    with format_for(path).create_blocks(str(path), Facts(zones, [("A", "D"), ("B", "D")]), WriteOptions()) as writer:
        for part in np.split(values, np.cumsum(sizes)[:-1], axis=1):
            writer.write(part)
    with h5py.File(path, "r") as f:
        assert f["data/A"].chunks == (8, zones)  # 64 KiB of whole rows
        assert same_bits(np.stack([f["data/A"][()], f["data/B"][()]]), values)


@pytest.mark.parametrize("block", [1, 4, 9])
def test_omx_files_of_other_layouts_read_in_blocks(tmp_path, block):
    path = tmp_path / "m.omx"
    big = np.arange(81, dtype=np.int64).reshape(9, 9) + 2**53 - 100
    flags = np.eye(9, dtype=bool)
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
        f.create_dataset("data/BIG", data=big, chunks=(4, 4))
        f.create_dataset("data/FLAG", data=flags, chunks=(2, 9), compression="gzip")
        f.create_dataset("data/F32", data=big.astype(np.float32), chunks=(9, 1))
    with OmxReader(path) as reader:
        stack = np.concatenate([values.copy() for _, values in reader.blocks(block)], axis=1)
    # h5py lists the datasets by name.
    assert same_bits(stack, np.stack([big, big.astype(np.float32), flags]).astype(np.float64))
    with h5py.File(path, "r+") as f:
        f["data/BIG"][7, 2] = 2**53 + 1  # an integer float64 cannot hold, in a later block
    with OmxReader(path) as reader, pytest.raises(ValueError, match="origin 8, destination 3"):
        list(reader.blocks(block))


# -- NumPy archives -------------------------------------------------------------------


@pytest.mark.parametrize("block", [1, 5])
@pytest.mark.parametrize("dtype", [">f8", "int8", "bool", ">i8"])
def test_npz_tables_stored_by_column_read_in_blocks(tmp_path, block, dtype):
    table = (np.arange(36).reshape(6, 6) % 7).astype(dtype)
    np.savez(tmp_path / "m.npz", C=table, F=np.asfortranarray(table.T))
    with NpzReader(tmp_path / "m.npz") as reader:
        stack = np.concatenate([values.copy() for _, values in reader.blocks(block)], axis=1)
    assert same_bits(stack, np.stack([table, table.T]).astype(np.float64))


@pytest.mark.parametrize(("dtype", "fortran"), [(np.int64, False), (np.int64, True), (np.uint64, True)])
@pytest.mark.parametrize("block", [1, 9])
def test_npz_integers_float64_cannot_hold_are_named_by_their_cell(tmp_path, dtype, fortran, block):
    table = np.zeros((9, 9), dtype=dtype)
    table[7, 2] = 2**53 + 1
    np.savez(tmp_path / "m.npz", T=np.asfortranarray(table) if fortran else table)
    with NpzReader(tmp_path / "m.npz") as reader, pytest.raises(ValueError, match=r"'T'.*9007199254740993 at origin 8, destination 3"):
        list(reader.blocks(block))


def test_npz_member_cut_short_is_refused(tmp_path):
    with zipfile.ZipFile(tmp_path / "m.npz", "w") as archive, archive.open("T.npy", "w") as entry:
        np.lib.format.write_array_header_1_0(entry, {"descr": "<f8", "fortran_order": False, "shape": (3, 3)})
        entry.write(np.zeros(8).tobytes())  # one value short
    with NpzReader(tmp_path / "m.npz") as reader, pytest.raises(ValueError, match="'T' cannot be read"):
        list(reader.blocks(1))


def test_npz_sizes_beyond_the_zip64_limit_are_read_by_every_reader(tmp_path, monkeypatch):
    # With the limit lowered every size and offset is stored in zip64 fields.
    monkeypatch.setattr(_zipspill, "_ZIP64_LIMIT", 0)
    path = tmp_path / "m.npz"
    write_blocks(path, FACTS, special_values(), 2)
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None
        assert archive.namelist() == ["TRIPS.npy", "TIME.npy", "COST.npy", "__orvanel__.npy"]
    with np.load(path) as loaded:
        assert same_bits(np.stack([loaded[name] for name in FACTS.names]), special_values())
    assert b"PK\x06\x06" in path.read_bytes()  # the zip64 end of the central directory


# -- CSV ------------------------------------------------------------------------------


def csv_lines(values, labels, order, rng):
    _tables, zones, _ = values.shape
    cells = [(o, d) for o in range(zones) for d in range(zones) if values[:, o, d].any()]
    if order == "by destination":
        cells.sort(key=lambda cell: (cell[1], cell[0]))
    elif order == "reversed":
        cells.reverse()
    elif order == "shuffled":
        rng.shuffle(cells)
    return [f"{labels[o]},{labels[d]},{','.join(repr(float(v)) for v in values[:, o, d])}" for o, d in cells]


@pytest.mark.parametrize("order", ["sorted", "by destination", "reversed", "shuffled"])
@pytest.mark.parametrize("block", [1, 3, 40])
@pytest.mark.parametrize("labelled", [False, True])
@pytest.mark.parametrize("spilled", [False, True])
def test_csv_lines_in_any_order(tmp_path, monkeypatch, order, block, labelled, spilled):
    if spilled:  # several temporary files; else the lines are few enough to sort here
        monkeypatch.setattr(csvlong, "SPILL_BYTES", 200)
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    monkeypatch.setattr(tempfile, "tempdir", None)  # TMPDIR is read again
    (tmp_path / "tmp").mkdir()
    rng = np.random.default_rng(9)
    values = np.round(rng.random((2, 23, 23)) * 10, 2) * (rng.random((2, 23, 23)) < 0.3)
    labels = rng.permutation(np.arange(100, 123)) if labelled else np.arange(1, 24)
    lines = csv_lines(values, labels, order, rng)
    (tmp_path / "m.csv").write_text("origin,destination,A,B\n" + "\n".join(lines) + "\n")
    notes = []
    options = {"zone_labels": labels} if labelled else {"zones": 23}
    with CsvReader(tmp_path / "m.csv", notice=notes.append, **options) as reader:
        assert reader.sorted == (order == "sorted")
        stack = np.concatenate([part.copy() for _, part in reader.blocks(block)], axis=1)
        assert os.listdir(tmp_path / "tmp") == []  # temporary files are gone once read
    assert same_bits(stack, values)
    through_files = spilled and order != "sorted"
    note = "the CSV lines are not sorted by origin: they were sorted through 1 MB of temporary files"
    assert notes == ([note] if through_files else [])


@pytest.mark.parametrize(("line", "fragment"), [
    ("4,5,x", "line {n}, column 'A': 'x' is not a number"),
    ("3,3,1", "line {n}: origin 3, destination 3 occurs a second time"),
    ("9,1,1", "line {n}: origin zone 9 is outside 1 to 8"),
    ("1,0,1", "line {n}: destination zone 0 is outside 1 to 8"),
])
def test_csv_faults_name_their_line_when_lines_are_not_sorted(tmp_path, monkeypatch, line, fragment):
    monkeypatch.setattr(csvlong, "BLOCK_BYTES", 64)  # lines parsed a few at a time
    cells = [f"{o},{d},{o * d}" for o in range(1, 9) for d in range(1, 9)]
    np.random.default_rng(2).shuffle(cells)
    cells.insert(40, line)
    (tmp_path / "m.csv").write_text("origin,destination,A\n" + "\n".join(cells) + "\n")
    number = 42
    if line == "3,3,1":  # the later of the two lines is the repeat
        number = max(number, 2 + cells.index("3,3,9"))
    with pytest.raises(ValueError, match=fragment.format(n=number)):
        with CsvReader(tmp_path / "m.csv", zones=8) as reader:
            assert not reader.sorted
            list(reader.blocks(3))


@pytest.mark.parametrize("whole", [False, True], ids=["blocks", "whole-matrix"])
def test_csv_zone_ids_beyond_any_matrix_are_refused(tmp_path, whole):
    (tmp_path / "m.csv").write_text("origin,destination,A\n1,123456789,2\n")
    with pytest.raises(ValueError, match="123456789 zones and 1 table make .* too many to process"):
        if whole:
            csvlong.read_csv(tmp_path / "m.csv")
        with CsvReader(tmp_path / "m.csv") as reader:
            list(reader.blocks())


def test_csv_from_a_pipe(tmp_path):
    pipe = tmp_path / "m.csv.gz"
    os.mkfifo(pipe)
    text = "origin,destination,A\n2,1,5\n1,2,3\n"
    feeder = threading.Thread(target=lambda: pipe.write_bytes(gzip.compress(text.encode())))
    feeder.start()
    with CsvReader(pipe) as reader:
        stack = np.concatenate([part.copy() for _, part in reader.blocks(1)], axis=1)
    feeder.join(10)
    assert same_bits(stack, [[[0, 3], [5, 0]]])


# -- statistics and comparisons block by block ---------------------------------------------


def table_with(special):
    values = np.random.default_rng(6).random((2, 9, 9))
    values[1, 1, 1] = 0.0
    for key, value in special.items():
        if key[0] == "rows":  # ("rows", table, first, stop): whole rows of one value
            values[key[1], key[2]:key[3]] = value
        else:
            values[key] = value
    return values


@pytest.mark.parametrize("block", [1, 4, 9])
@pytest.mark.parametrize("special", [
    {(0, 8, 8): np.nan}, {(0, 0, 3): np.inf, (0, 7, 2): -np.inf}, {(1, 2, 2): 1e308, (1, 6, 6): 1e308},
    # Blocks of zeros and of negative zeros, alone and among others.
    {("rows", 0, 0, 9): -0.0}, {("rows", 1, 2, 6): -0.0},
    {("rows", 1, 0, 9): 0.0, ("rows", 1, 4, 5): -0.0, (1, 8, 0): np.nan}])
def test_info_statistics_do_not_depend_on_the_block_size(block, special):
    # Block by block, every statistic is the one of the table held whole, to the bit.
    values = table_with(special)
    stats = BlockStatistics(2, 9)
    for origins in spans(9, block):
        stats.add(origins, np.ascontiguousarray(values[:, origins.start - 1:origins.stop - 1]))
    for entry, table in zip(stats.result(), values):
        whole = statistics(table)
        got = [entry.total, entry.diagonal_total, entry.min, entry.max]
        assert same_bits(got, [whole.total, whole.diagonal_total, whole.min, whole.max])
        with np.errstate(invalid="ignore", over="ignore"):
            assert np.allclose(got, [table.sum(), np.trace(table), table.min(), table.max()], rtol=1e-12, equal_nan=True)
        assert entry.zero_share == whole.zero_share == np.count_nonzero(table == 0) / table.size


@pytest.mark.parametrize("late", [-5.0, np.nan])
def test_statistics_of_a_table_of_several_row_blocks_agree_with_numpy(late):
    zones = int(np.sqrt(2.5 * BLOCK_CELLS))  # three blocks of rows
    table = np.random.default_rng(5).integers(0, 3, (zones, zones)).astype(float)
    table[-1, -2] = late  # in the last block
    stats = statistics(table)
    assert np.array_equal([stats.total, stats.diagonal_total, stats.min, stats.max],
                          [table.sum(), np.trace(table), table.min(), table.max()], equal_nan=True)
    assert stats.zero_share == np.count_nonzero(table == 0) / table.size


@pytest.mark.parametrize("block", [1, 3, 9])
@pytest.mark.parametrize(("changes", "options"), [
    ({(2, 4): 0.5, (7, 1): 0.5}, (0.0, 0.0)),  # a tie: the first cell is the one named
    ({(8, 8): np.nan, (0, 0): np.inf}, (0.0, 0.0)),
    ({(3, 3): 1e-9, (5, 1): 2e-9}, (0.0, 1e-8)),
    ({}, (0.0, 0.0)),
])
def test_diff_comparisons_do_not_depend_on_the_block_size(block, changes, options):
    a = np.random.default_rng(8).random((9, 9))
    b = a.copy()
    for (origin, destination), change in changes.items():
        b[origin, destination] += change
    comparison = TableComparison(*options)
    for origins in spans(9, block):
        rows = slice(origins.start - 1, origins.stop - 1)
        comparison.add(origins.start, a[rows], b[rows])
    assert comparison.result() == compare_tables(a, b, *options)
