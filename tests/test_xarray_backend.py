"""Matrix files opened lazily by xarray (engine="orvanel"): variables, coordinates and
attributes as Matrix.to_xarray has them, values decoded by origins as they are indexed,
the load's errors for bad records among those, and Dask chunks that pickle by path to
worker processes."""


import numpy as np
import pytest
from test_engine import (
    FAULT_VALUES,
    FT,
    check_same_error,
    faulty_file,
    low_level_load,
    outcome,
)

import orvanel
from support import same_bits

xr = pytest.importorskip("xarray")

from orvanel.xarray_backend import OrvanelBackendEntrypoint  # noqa: E402


def scenario(zones, seed, names=("TRIPS", "TIME", "COST")):
    rng = np.random.default_rng(seed)
    values = np.round(rng.gamma(0.7, 5.0, (len(names), zones, zones)), 2)
    values[:, rng.random(zones) < 0.2] = 0.0
    return orvanel.from_arrays(dict(zip(names, values)), types={"TRIPS": 2, "COST": "S"},
                               banner="SCENARIO", run_id=f"S{seed}")


@pytest.fixture
def matrix_file(tmp_path):
    path = tmp_path / "skims.mat"
    scenario(60, 1).write(path)
    return path, orvanel.read(path)


def test_dataset_as_to_xarray_has_it(matrix_file):
    path, m = matrix_file
    with xr.open_dataset(path, engine="orvanel") as ds:
        expected = m.to_xarray()
        assert list(ds.data_vars) == list(expected.data_vars)
        assert ds.attrs == expected.attrs
        for name in ds.data_vars:
            assert ds[name].dims == ("origin", "destination")
            assert ds[name].attrs == expected[name].attrs
            assert same_bits(ds[name].values, expected[name].values)
        assert np.array_equal(ds["origin"], expected["origin"]) and np.array_equal(ds["destination"], expected["origin"])
        assert orvanel.from_xarray(ds.load()).to_bytes() == m.to_bytes()


def test_repeated_names_and_zones_file(tmp_path):
    values = np.arange(2 * 4 * 16, dtype=np.float64).reshape(8, 4, 4)[:3]
    path = tmp_path / "m.mat"
    with open(path, "wb") as f:
        f.write(orvanel._orvanel._MatrixCore.to_bytes_from_stack(4, [("A", "D"), ("B", "D"), ("A", "D")], values))
    zones = tmp_path / "zones.csv"
    zones.write_text("position,label\n1,101\n2,205\n3,300\n4,999\n")
    with pytest.warns(orvanel.RepeatedNamesWarning, match="A#3"):
        ds = xr.open_dataset(path, engine="orvanel", zones_file=zones)
    assert list(ds.data_vars) == ["A", "B", "A#3"]
    assert same_bits(ds["A#3"].values, values[2]) and same_bits(ds["A"].values, values[0])
    assert ds["origin"].values.tolist() == [101, 205, 300, 999]
    assert same_bits(ds["B"].sel(origin=300, destination=[999, 101]).values, values[1, 2, [3, 0]])
    zones.write_text("position,label\n1,101\n2,205\n")
    with pytest.raises(ValueError, match="2 zones, the matrix file has 4"):
        xr.open_dataset(path, engine="orvanel", zones_file=zones)
    with pytest.warns(orvanel.RepeatedNamesWarning):
        assert list(xr.open_dataset(path, engine="orvanel", drop_variables=["B"]).data_vars) == ["A", "A#3"]


INDEXERS = [
    {"origin": -1}, {"origin": slice(None, None, -7)}, {"origin": [5, 3, 3, 59, 0]}, {"origin": slice(4, 4)},
    {"origin": [], "destination": [1]},
    {"origin": slice(1, 50, 4), "destination": slice(3, None, 2)}, {"origin": 17, "destination": -2},
    {"destination": [7, 2]},
    # Pointwise: pairs of origin and destination.
    {"origin": xr.DataArray([3, 40, 3], dims="pair"), "destination": xr.DataArray([0, 59, 8], dims="pair")},
]


@pytest.mark.parametrize("indexer", INDEXERS, ids=str)
def test_outer_indexing_as_numpy(matrix_file, indexer):
    path, m = matrix_file
    full = m.to_xarray()["TIME"]
    with xr.open_dataset(path, engine="orvanel") as ds:
        got = ds["TIME"].isel(indexer)
        assert same_bits(got.values, full.isel(indexer).values)


def test_only_the_origins_indexed_are_decoded(tmp_path):
    """A bad payload in origin 9 of table b: reading elsewhere works; reading it gives the
    error a whole load gives, at its offset."""
    record = 8 * FT + 1
    data = faulty_file([(record, "preamble")])
    path = tmp_path / "bad.mat"
    path.write_bytes(data)
    expected = low_level_load(data)
    with xr.open_dataset(path, engine="orvanel") as ds:
        assert same_bits(ds["b"].isel(origin=slice(0, 8)).values, FAULT_VALUES[1, :8])
        assert same_bits(ds["b"].isel(origin=slice(9, None)).values, FAULT_VALUES[1, 9:])
        assert same_bits(ds["a"].values, FAULT_VALUES[0]) and same_bits(ds["c"].values, FAULT_VALUES[2])
        check_same_error(outcome(lambda: ds["b"].isel(origin=[2, 8]).values), expected)
        check_same_error(outcome(lambda: ds["b"].values), expected)


@pytest.mark.parametrize("faults", [[(30, "order")], [(60, "cut")], [(5, "chunk")]], ids=str)
def test_a_faulty_framing_fails_the_opening_as_a_load(tmp_path, faults):
    data = faulty_file(faults)
    path = tmp_path / "bad.mat"
    path.write_bytes(data)
    check_same_error(outcome(lambda: xr.open_dataset(path, engine="orvanel")), low_level_load(data))


def matlab_like(path):
    """The opening of a MATLAB level 5 file: a text header of 116 bytes, subsystem offset,
    version and endian indicator, then one data element."""
    text = b"MATLAB 5.0 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024"
    path.write_bytes(text.ljust(116, b" ") + bytes(8) + b"\x00\x01IM" + bytes(64))


@pytest.mark.parametrize("name, make, expected", [
    ("skims.mat", lambda p: p.write_bytes(orvanel.sample().to_bytes()), True),
    ("model.mat", matlab_like, False),
    ("level4.mat", lambda p: p.write_bytes(np.array([0, 3, 3, 0, 2], "<i4").tobytes() + b"x\0" + bytes(72)), False),
    ("folder.mat", lambda p: p.mkdir(), False),
    ("missing.mat", lambda p: None, False),
])
def test_guess_can_open_by_content(tmp_path, name, make, expected):
    path = tmp_path / name
    make(path)
    entry = OrvanelBackendEntrypoint()
    assert entry.guess_can_open(path) is expected and entry.guess_can_open(str(path)) is expected
    assert entry.guess_can_open(b"bytes are not opened") is False


# ---- Dask -------------------------------------------------------------------------

def test_chunks_by_origin(matrix_file):
    dask_array = pytest.importorskip("dask.array")
    path, m = matrix_file
    with xr.open_dataset(path, engine="orvanel", chunks={"origin": 13}) as ds:
        data = ds["TRIPS"].data
        assert isinstance(data, dask_array.Array) and data.chunks == ((13, 13, 13, 13, 8), (60,))
        assert same_bits(ds["TRIPS"].sum("destination").compute().values, m["TRIPS"].sum(axis=1))
        assert same_bits(ds["COST"].compute(scheduler="threads").values, m["COST"])


def test_scenarios_stack(tmp_path):
    pytest.importorskip("dask.array")
    paths = [tmp_path / f"scenario{k}.mat" for k in range(3)]
    for k, path in enumerate(paths):
        scenario(40, 10 + k).write(path)
    with xr.open_mfdataset(paths, engine="orvanel", combine="nested", concat_dim="scenario",
                           chunks={"origin": 16}) as ds:
        assert ds["TIME"].dims == ("scenario", "origin", "destination")
        expected = np.stack([orvanel.read(path)["TIME"] for path in paths])
        assert same_bits(ds["TIME"].compute(scheduler="processes").values, expected)
