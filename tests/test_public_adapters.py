"""The xarray and pandas adapters, and the messages when an optional dependency is missing."""

import sys

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import orvanel
import orvanel.omx
from orvanel._header import DEFAULT_RUN_ID
from support import SPECIAL, same_bits


@pytest.fixture
def matrix():
    ramp = np.arange(9.0).reshape(3, 3) / 7.0
    return orvanel.from_arrays(
        {"TIME": SPECIAL, "TRIPS": ramp, "N": np.eye(3)}, types={"TRIPS": 2, "N": 0}, banner="base year", run_id="R1"
    )


def test_to_xarray_layout(matrix):
    ds = matrix.to_xarray()
    assert list(ds.data_vars) == ["TIME", "TRIPS", "N"] and ds["TIME"].dims == ("origin", "destination")
    assert ds["origin"].values.tolist() == [1, 2, 3] == ds["destination"].values.tolist()
    assert ds.attrs == {"banner": "base year", "run_id": "R1"}
    assert [ds[name].attrs["type_code"] for name in ds.data_vars] == ["D", "2", "0"]
    assert same_bits(ds["TIME"].values, SPECIAL)
    assert float(ds["TRIPS"].sel(origin=3, destination=2)) == matrix.get("TRIPS", 3, 2)


def shuffled(ds):
    """Zones out of order and one table transposed: cells are placed by zone number."""
    ds = ds.isel(origin=[2, 0, 1], destination=[1, 2, 0])
    ds["TRIPS"] = ds["TRIPS"].transpose("destination", "origin")
    return ds


@pytest.mark.parametrize("there, back", [
    (lambda m: m.to_xarray(), orvanel.from_xarray), (lambda m: shuffled(m.to_xarray()), orvanel.from_xarray),
    (lambda m: m.to_pandas(), orvanel.from_pandas), (lambda m: m.to_pandas().reset_index(), orvanel.from_pandas)])
def test_round_trips_are_exact(matrix, there, back):
    a = back(there(matrix))
    assert (a.names, a.type_codes, a.zones, a.banner, a.run_id) == (
        matrix.names, matrix.type_codes, matrix.zones, matrix.banner, matrix.run_id)
    assert same_bits(a.to_numpy(), matrix.to_numpy())


def test_from_xarray_without_coordinates_uses_positions_and_defaults():
    ds = xr.Dataset({"A": (("origin", "destination"), np.arange(4.0).reshape(2, 2))})
    m = orvanel.from_xarray(ds, types={"A": "S"}, banner="given")
    assert m.type_codes == {"A": "S"} and m.banner == "given" and m.run_id == DEFAULT_RUN_ID
    assert m.get("A", 2, 1) == 2.0


OD = ("origin", "destination")


@pytest.mark.parametrize(("dataset", "error"), [
    (xr.Dataset({"A": (("o", "d"), np.zeros((2, 2)))}), ValueError),
    (xr.Dataset({"A": (OD, np.zeros((2, 3)))}), ValueError),
    (xr.Dataset({"A": (OD, np.zeros((2, 2)))}, coords={"origin": [0, 1], "destination": [1, 2]}), ValueError),
    (xr.Dataset(), ValueError), (xr.DataArray(np.zeros((2, 2)), dims=OD), TypeError),
])
def test_from_xarray_refuses_what_is_not_a_matrix(dataset, error):
    with pytest.raises(error):
        orvanel.from_xarray(dataset)


def test_to_pandas_layout(matrix):
    df = matrix.to_pandas()
    assert df.index.names == ["origin", "destination"] and list(df.columns) == ["TIME", "TRIPS", "N"]
    assert len(df) == 9 and (df.dtypes == np.float64).all()
    assert df.loc[(3, 2), "TRIPS"] == matrix.get("TRIPS", 3, 2)
    assert same_bits(df["TIME"].to_numpy().reshape(3, 3), SPECIAL)
    assert df.attrs == {"zones": 3, "type_codes": {"TIME": "D", "TRIPS": "2", "N": "0"}, "banner": "base year", "run_id": "R1"}


def test_from_pandas_fills_missing_pairs_with_zero():
    df = pd.DataFrame({"origin": [3, 1], "destination": [1, 2], "TRIPS": [4.5, 2]})
    with pytest.warns(orvanel.ZonesInferredWarning, match="zones inferred from the data: 3"):
        m = orvanel.from_pandas(df)
    assert m.zones == 3 and m.type_codes == {"TRIPS": "D"}
    expected = np.zeros((3, 3))
    expected[2, 0], expected[0, 1] = 4.5, 2.0
    assert same_bits(m["TRIPS"], expected)
    assert orvanel.from_pandas(df, zones=5, types=1).zones == 5
    # A frame made by to_pandas carries its zone count, also when its last zones are empty.
    wide = orvanel.create(4, {"TRIPS": 2})
    wide.set("TRIPS", 1, 2, 1.0)
    frame = wide.to_pandas()
    assert orvanel.from_pandas(frame[frame["TRIPS"] != 0]).zones == 4


@pytest.mark.parametrize(("columns", "error"), [
    ({"origin": [1, 1], "destination": [2, 2], "A": [1.0, 2.0]}, ValueError),
    ({"origin": [0], "destination": [1], "A": [1.0]}, ValueError),
    ({"origin": [1.5], "destination": [1], "A": [1.0]}, ValueError),
    ({"origin": [1], "destination": [1], "A": ["x"]}, TypeError),
    ({"from": [1], "destination": [1], "A": [1.0]}, ValueError),
    ({"origin": [1], "destination": [1], 5: [1.0]}, TypeError),
    ({"origin": [1], "destination": [1], "A": [2**53 + 1]}, ValueError),
])
def test_from_pandas_refuses_bad_frames(columns, error):
    with pytest.raises(error):
        orvanel.from_pandas(pd.DataFrame(columns))


@pytest.mark.parametrize("convert", [lambda m: list(m.to_xarray().data_vars), lambda m: list(m.to_pandas())])
def test_repeated_table_names_are_labelled_by_position(convert):
    with pytest.warns(orvanel.RepeatedNamesWarning, match="A#3"):
        assert convert(orvanel.create(2, [("A", "D"), ("B", "D"), ("A", "D")])) == ["A", "B", "A#3"]


@pytest.mark.parametrize(("module", "extra", "call"), [
    ("xarray", "xarray", lambda m, p: m.to_xarray()),
    ("pandas", "pandas", lambda m, p: orvanel.from_pandas(None)),
    ("h5py", "omx", lambda m, p: orvanel.omx.write_omx(m, p)),
    ("h5py", "omx", lambda m, p: orvanel.omx.read_omx(p)),
])
def test_missing_optional_dependency_says_what_to_install(monkeypatch, tmp_path, matrix, module, extra, call):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=rf"pip install 'orvanel\[{extra}\]'"):
        call(matrix, tmp_path / "m.omx")
    assert not (tmp_path / "m.omx").exists()
