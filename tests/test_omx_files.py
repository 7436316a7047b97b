"""OMX files: the layout written, and files as other programs write them: openmatrix (on
PyTables), h5py with the compression filters of hdf5plugin; zone lookups, NA attributes."""

import os
import subprocess
import sys
import tracemalloc

import h5py
import hdf5plugin
import numpy as np
import openmatrix
import pytest

import orvanel
from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel.omx import read_omx, write_omx
from support import SPECIAL, same_bits

GAPPED = [3093, 3098, 3112, 3120]
SANITIZED = os.environ.get("ORVANEL_SANITIZED") == "1"


def openmatrix_file(path, tables, lookups=None, attrs=None):
    """An OMX file written by the openmatrix package."""
    with openmatrix.open_file(str(path), "w") as f:
        for name, values in tables.items():
            f.create_matrix(name, obj=np.asarray(values), attrs=(attrs or {}).get(name))
        for name, entries in (lookups or {}).items():
            f.create_mapping(name, np.asarray(entries))
    return path


def h5py_file(path, tables, lookups=None, shape=True):
    """An OMX file written with plain h5py; ``shape=False`` leaves out SHAPE."""
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
        if shape:
            f.attrs["SHAPE"] = np.array(next(iter(tables.values())).shape, dtype=np.int32)
        f.create_group("lookup")
        for name, values in tables.items():
            f.create_dataset(f"data/{name}", data=values)
        for name, entries in (lookups or {}).items():
            f.create_dataset(f"lookup/{name}", data=entries)
    return path


def read_noting(path, **options):
    notes = []
    return read_omx(path, notice=notes.append, **options), notes


def test_layout_read_with_plain_h5py_and_round_trip(tmp_path):
    # Names out of alphabetical order: the file must keep the table order.
    arrays = {"ZETA": SPECIAL, "ALPHA": np.arange(9.0).reshape(3, 3), "MID": np.eye(3) / 3}
    matrix = orvanel.from_arrays(arrays, types={"ALPHA": 0, "MID": "S"}, banner="omx test", run_id="R9")
    path = tmp_path / "m.omx"
    write_omx(matrix, path)
    with h5py.File(path, "r") as f:
        assert bytes(np.bytes_(f.attrs["OMX_VERSION"])) == b"0.2" and f.attrs["SHAPE"].tolist() == [3, 3]
        assert set(f) == {"data", "lookup"} and list(f["data"]) == ["ZETA", "ALPHA", "MID"]
        assert f["lookup/zone_number"][()].tolist() == [1, 2, 3]
        for name, table in matrix.items():
            dataset = f["data"][name]
            assert dataset.dtype == np.float64 and dataset.attrs["type_code"] == matrix.type_codes[name]
            assert (dataset.compression, dataset.compression_opts, dataset.shuffle) == ("gzip", 1, True)
            assert same_bits(dataset[()], table)
    back = read_omx(path)
    assert back.names == matrix.names and back.type_codes == matrix.type_codes
    assert (back.banner, back.run_id) == ("omx test", "R9") and same_bits(back.to_numpy(), matrix.to_numpy())
    # Named tables keep the file's order.
    m = read_omx(path, ["MID", "ZETA"])
    assert m.names == ["ZETA", "MID"] and same_bits(m["MID"], matrix["MID"])
    write_omx(matrix, path, compression=None, shuffle=False)
    with h5py.File(path, "r") as f:
        assert f["data/ZETA"].compression is None and not f["data/ZETA"].shuffle
    assert same_bits(read_omx(path).to_numpy(), matrix.to_numpy())


@pytest.mark.parametrize("writer", [openmatrix_file, h5py_file])
def test_element_types_read_exactly_with_codes_that_hold_them(tmp_path, writer):
    # openmatrix stores booleans as an HDF5 bit field, h5py as an enumeration.
    flags = np.eye(4, dtype=bool)
    flags[0, 3] = True
    big = np.arange(16, dtype=np.int64).reshape(4, 4) + 2**52
    single = (np.arange(16, dtype=np.float32) / 3).reshape(4, 4)
    arrays = {"FLAG": flags, "BIG": big, "S1": single, "D1": np.full((4, 4), 0.1)}
    m = read_omx(writer(tmp_path / "m.omx", arrays))
    assert m.type_codes == {"FLAG": "0", "BIG": "0", "S1": "S", "D1": "D"}
    assert (m.banner, m.run_id) == (DEFAULT_BANNER, DEFAULT_RUN_ID)
    assert all(same_bits(m[name], values.astype(np.float64)) for name, values in arrays.items())
    assert read_omx(writer(tmp_path / "m.omx", {"S1": single}), types="D").type_codes == {"S1": "D"}
    # An integer that float64 would round is refused rather than changed.
    big[2, 1] = 2**53 + 1
    with pytest.raises(ValueError, match=r"BIG.*9007199254740993.*origin 3, destination 2"):
        read_omx(writer(tmp_path / "inexact.omx", {"BIG": big}))


def test_shape_comes_from_the_matrices_when_the_file_has_none(tmp_path):
    path = h5py_file(tmp_path / "m.omx", {"A": np.ones((3, 3)), "B": np.eye(3)}, shape=False)
    m = read_omx(path)
    assert m.zones == 3 and same_bits(m["B"], np.eye(3))
    h5py_file(path, {"A": np.ones((3, 3)), "B": np.eye(2)}, shape=False)
    with pytest.raises(ValueError, match="the matrix B has the shape 2 by 2, not 3 by 3"):
        read_omx(path)
    h5py_file(path, {"A": np.ones((3, 2))}, shape=False)
    with pytest.raises(ValueError, match="square.*3 by 2"):
        read_omx(path)


# tracemalloc's own records of allocations are reported as leaks by LeakSanitizer.
@pytest.mark.skipif(SANITIZED, reason="tracemalloc under LeakSanitizer")
def test_a_claimed_shape_allocates_nothing_before_the_matrices_are_checked(tmp_path):
    path = tmp_path / "hostile.omx"
    h5py_file(path, {"A": np.zeros((1, 1))})
    with h5py.File(path, "r+") as f:
        f.attrs["SHAPE"] = np.array([40000, 40000], dtype=np.int32)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="1 by 1, not 40000 by 40000"):
            read_omx(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 24


@pytest.mark.parametrize("compression", [hdf5plugin.Blosc(), hdf5plugin.Blosc2(), hdf5plugin.Zstd(), hdf5plugin.LZ4()],
                         ids=["blosc", "blosc2", "zstd", "lz4"])
def test_matrices_compressed_with_plugin_filters(tmp_path, compression):
    values = np.arange(400.0).reshape(20, 20) / 7
    path = tmp_path / "m.omx"
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
        f.attrs["SHAPE"] = np.array([20, 20], dtype=np.int32)
        f.create_dataset("data/TIME", data=values, **compression)
    assert same_bits(read_omx(path)["TIME"], values)


def run_python(code, *args):
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True)


def test_plugin_filters_load_on_demand_and_their_absence_is_one_line(tmp_path):
    path = tmp_path / "blosc.omx"
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
        f.create_dataset("data/TIME", data=np.eye(5), **hdf5plugin.Blosc())
    # A fresh process that never imported hdf5plugin itself.
    read = "import sys, orvanel.omx; print(orvanel.omx.read_omx(sys.argv[1])['TIME'].trace())"
    result = run_python(read, path)
    assert result.returncode == 0 and result.stdout.strip() == "5.0", result.stderr
    # hdf5plugin not installed (an import of it fails).
    missing = "import sys; sys.modules['hdf5plugin'] = None; from orvanel.cli import main; sys.exit(main(sys.argv[1:]))"
    result = run_python(missing, "info", path)
    assert result.returncode == 1 and result.stderr.splitlines() == [
        f"orvanel info: {path}: the matrix TIME is compressed with the Blosc filter, which is not available; "
        "install hdf5plugin (pip install hdf5plugin)"]


@pytest.mark.parametrize(("writer", "lookups", "lookup", "labels", "note"), [
    (openmatrix_file, {"taz": GAPPED}, None, GAPPED, None),
    (openmatrix_file, {"taz": GAPPED, "district": [1, 1, 2, 2]}, None, None, "2 lookups (district, taz)"),
    (openmatrix_file, {"taz": GAPPED, "district": [1, 1, 2, 2]}, "taz", GAPPED, None),
    (openmatrix_file, {"taz": [7, 8, 8, 9]}, None, None, "lookup taz is not used as zone numbers: zone labels must be distinct (8"),
    (h5py_file, {"taz": [1.0, 2.5, 3.0, 4.0]}, None, None, "lookup taz is not used as zone numbers: zone labels must be integers"),
    (h5py_file, {"name": np.array([b"a", b"b", b"c", b"d"])}, None, None, "lookup name is not used as zone numbers: it does not"),
    (h5py_file, {"taz": [1, 2, 3]}, None, None, "lookup taz is not used as zone numbers: it has 3 entries for 4 zones"),
    (h5py_file, {}, None, None, None),
])
def test_zone_labels_come_from_the_lookup(tmp_path, writer, lookups, lookup, labels, note):
    m, notes = read_noting(writer(tmp_path / "m.omx", {"TIME": np.eye(4)}, lookups), lookup=lookup)
    assert m.has_zone_labels is (labels is not None)
    assert m.zone_labels.tolist() == (labels or [1, 2, 3, 4])
    assert len(notes) == (note is not None) and all(note in text for text in notes), notes


@pytest.mark.parametrize(("lookups", "lookup", "message"), [
    ({"taz": GAPPED, "district": [1, 1, 2, 2]}, "zone", "no lookup named zone; its lookups are district, taz"),
    ({}, "taz", "no lookup named taz; it has no lookups"),
    ({"district": [1, 1, 2, 2]}, "district", "lookup district cannot number the zones: .*distinct"),
    ({"short": [1, 2, 3]}, "short", "lookup short cannot number the zones: it has 3 entries for 4 zones"),
])
def test_a_lookup_asked_for_must_number_the_zones(tmp_path, lookups, lookup, message):
    path = h5py_file(tmp_path / "m.omx", {"TIME": np.eye(4)}, lookups)
    with pytest.raises(ValueError, match=message):
        read_omx(path, lookup=lookup)


def test_na_attributes_are_reported_not_applied(tmp_path):
    values = np.array([[1.0, -9999.0], [3.0, 4.0]])
    attrs = {"TIME": {"NA": -9999.0}, "DIST": {"NA": -9999.0}, "COST": {"NA": -1}}
    tables = {"TIME": values, "DIST": values * 2, "COST": values, "PLAIN": values}
    path = openmatrix_file(tmp_path / "m.omx", tables, attrs=attrs)
    m, notes = read_noting(path)
    assert m.names == ["COST", "DIST", "PLAIN", "TIME"]  # PyTables lists them by name
    assert same_bits(m.to_numpy(), np.stack([tables[name] for name in m.names]))
    assert notes == [
        "the matrix COST marks missing values with NA = -1; the values are kept as stored, not turned into NaN",
        "the matrices DIST, TIME mark missing values with NA = -9999.0; the values are kept as stored, "
        "not turned into NaN",
    ]
    # Without a notice callable they are warnings; reading only PLAIN has none.
    with pytest.warns(UserWarning, match="NA = -1"):
        read_omx(path, ["COST"])
    assert read_noting(path, tables=["PLAIN"])[1] == []


def test_written_labels_are_the_zone_number_lookup(tmp_path):
    m = orvanel.from_arrays({"TIME": np.arange(16.0).reshape(4, 4), "FLAG": np.eye(4)})
    path = tmp_path / "m.omx"
    write_omx(m, path)
    with h5py.File(path, "r") as f:
        assert f["lookup/zone_number"][()].tolist() == [1, 2, 3, 4]
    m.zone_labels = GAPPED
    write_omx(m, path)
    back, notes = read_noting(path)
    assert back.zone_labels.tolist() == GAPPED and notes == []
    # Labels beyond int32 are stored as int64.
    m.zone_labels = [1, 2, 3, 2**40]
    write_omx(m, path)
    assert read_omx(path).zone_labels.tolist() == [1, 2, 3, 2**40]


# PyTables keeps a few bytes for good when it opens a dataset that h5py wrote.
@pytest.mark.skipif(SANITIZED, reason="PyTables under LeakSanitizer")
def test_openmatrix_reads_written_files(tmp_path):
    m = orvanel.from_arrays({"TIME": np.arange(16.0).reshape(4, 4), "FLAG": np.eye(4)})
    m.zone_labels = GAPPED
    write_omx(m, tmp_path / "m.omx")
    with openmatrix.open_file(str(tmp_path / "m.omx")) as f:
        assert f.list_matrices() == ["FLAG", "TIME"] and f.list_mappings() == ["zone_number"]
        assert f.mapping("zone_number") == {label: i for i, label in enumerate(GAPPED)}
        assert same_bits(np.array(f["TIME"]), m["TIME"]) and same_bits(np.array(f["FLAG"]), m["FLAG"])


@pytest.mark.parametrize(("stored", "code", "noted"), [
    ("2", "2", False), (np.int64(7), "7", False), ("X", "0", True), (np.int64(12), "0", True)])
def test_a_type_code_attribute_is_used_only_when_valid(tmp_path, stored, code, noted):
    path = h5py_file(tmp_path / "m.omx", {"COUNT": np.eye(3, dtype=np.int32)})
    with h5py.File(path, "r+") as f:
        f["data/COUNT"].attrs["type_code"] = stored
    m, notes = read_noting(path)
    assert m.type_codes == {"COUNT": code}
    assert notes == ([f"the matrix COUNT has the type_code attribute {str(stored)!r}, which is not a type code; "
                      "it takes the type code 0, which holds its values"] if noted else [])


@pytest.mark.parametrize("name", ["A/B", ".."])
def test_names_an_omx_file_cannot_hold_are_refused(tmp_path, name):
    with pytest.raises(ValueError):
        write_omx(orvanel.create(2, [(name, "D")]), tmp_path / "x.omx")
    assert list(tmp_path.iterdir()) == []
