"""The xarray and pandas adapters, and the messages when an optional dependency is missing."""

import sys

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import orvanel
import orvanel.omx

SPECIAL = np.array([[-0.0, np.nan, np.inf], [-np.inf, 5e-324, 1 / 3], [1e300, -2.5, 0.1]])


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.fixture
def matrix():
    ramp = np.arange(9.0).reshape(3, 3) / 7.0
    return orvanel.from_arrays(
        {"TIME": SPECIAL, "TRIPS": ramp, "N": np.eye(3)},
        types={"TRIPS": 2, "N": 0},
        banner="base year",
        run_id="R1",
    )


def assert_same_matrix(a, b):
    assert a.names == b.names
    assert a.type_codes == b.type_codes
    assert (a.zones, a.banner, a.run_id) == (b.zones, b.banner, b.run_id)
    assert same_bits(a.to_numpy(), b.to_numpy())


# -- xarray ---------------------------------------------------------------------------


def test_to_xarray_layout(matrix):
    ds = matrix.to_xarray()
    assert list(ds.data_vars) == ["TIME", "TRIPS", "N"]
    assert ds["TIME"].dims == ("origin", "destination")
    assert ds["origin"].values.tolist() == [1, 2, 3] == ds["destination"].values.tolist()
    assert ds.attrs == {"banner": "base year", "run_id": "R1"}
    assert [ds[name].attrs["type_code"] for name in ds.data_vars] == ["D", "2", "0"]
    assert same_bits(ds["TIME"].values, SPECIAL)
    assert float(ds["TRIPS"].sel(origin=3, destination=2)) == matrix.get("TRIPS", 3, 2)


def test_xarray_round_trip_is_exact(matrix):
    assert_same_matrix(orvanel.from_xarray(matrix.to_xarray()), matrix)


def test_from_xarray_places_cells_by_zone_number(matrix):
    ds = matrix.to_xarray()
    shuffled = ds.isel(origin=[2, 0, 1], destination=[1, 2, 0])
    shuffled["TRIPS"] = shuffled["TRIPS"].transpose("destination", "origin")
    assert_same_matrix(orvanel.from_xarray(shuffled), matrix)


def test_from_xarray_without_coordinates_uses_positions_and_defaults():
    ds = xr.Dataset({"A": (("origin", "destination"), np.arange(4.0).reshape(2, 2))})
    m = orvanel.from_xarray(ds, types={"A": "S"}, banner="given")
    assert m.type_codes == {"A": "S"} and m.banner == "given" and m.run_id == "ORVANEL"
    assert m.get("A", 2, 1) == 2.0


@pytest.mark.parametrize(
    ("dataset", "error"),
    [
        (xr.Dataset({"A": (("o", "d"), np.zeros((2, 2)))}), ValueError),
        (xr.Dataset({"A": (("origin", "destination"), np.zeros((2, 3)))}), ValueError),
        (
            xr.Dataset(
                {"A": (("origin", "destination"), np.zeros((2, 2)))},
                coords={"origin": [0, 1], "destination": [1, 2]},
            ),
            ValueError,
        ),
        (xr.Dataset(), ValueError),
        (xr.DataArray(np.zeros((2, 2)), dims=("origin", "destination")), TypeError),
    ],
)
def test_from_xarray_refuses_what_is_not_a_matrix(dataset, error):
    with pytest.raises(error):
        orvanel.from_xarray(dataset)


# -- pandas ---------------------------------------------------------------------------


def test_to_pandas_layout(matrix):
    df = matrix.to_pandas()
    assert df.index.names == ["origin", "destination"]
    assert list(df.columns) == ["TIME", "TRIPS", "N"]
    assert len(df) == 9 and (df.dtypes == np.float64).all()
    assert df.loc[(3, 2), "TRIPS"] == matrix.get("TRIPS", 3, 2)
    assert same_bits(df["TIME"].to_numpy().reshape(3, 3), SPECIAL)
    assert df.attrs["type_codes"] == {"TIME": "D", "TRIPS": "2", "N": "0"}
    assert (df.attrs["banner"], df.attrs["run_id"]) == ("base year", "R1")


@pytest.mark.parametrize("reshape", [lambda df: df, lambda df: df.reset_index()])
def test_pandas_round_trip_is_exact(matrix, reshape):
    assert_same_matrix(orvanel.from_pandas(reshape(matrix.to_pandas())), matrix)


def test_from_pandas_fills_missing_pairs_with_zero():
    df = pd.DataFrame({"origin": [3, 1], "destination": [1, 2], "TRIPS": [4.5, 2]})
    m = orvanel.from_pandas(df)
    assert m.zones == 3 and m.type_codes == {"TRIPS": "D"}
    expected = np.zeros((3, 3))
    expected[2, 0], expected[0, 1] = 4.5, 2.0
    assert same_bits(m["TRIPS"], expected)
    assert orvanel.from_pandas(df, zones=5, types=1).zones == 5


@pytest.mark.parametrize(
    ("frame", "error"),
    [
        (pd.DataFrame({"origin": [1, 1], "destination": [2, 2], "A": [1.0, 2.0]}), ValueError),
        (pd.DataFrame({"origin": [0], "destination": [1], "A": [1.0]}), ValueError),
        (pd.DataFrame({"origin": [1.5], "destination": [1], "A": [1.0]}), ValueError),
        (pd.DataFrame({"origin": [1], "destination": [1], "A": ["x"]}), TypeError),
        (pd.DataFrame({"from": [1], "destination": [1], "A": [1.0]}), ValueError),
        (pd.DataFrame({"origin": [1], "destination": [1], 5: [1.0]}), TypeError),
    ],
)
def test_from_pandas_refuses_bad_frames(frame, error):
    with pytest.raises(error):
        orvanel.from_pandas(frame)


def test_from_pandas_refuses_zones_beyond_the_limit():
    frame = pd.DataFrame({"origin": [1], "destination": [32001], "A": [1.0]})
    with pytest.raises(orvanel.OrvanelValidationError):
        orvanel.from_pandas(frame)


# -- both -----------------------------------------------------------------------------


@pytest.mark.parametrize("convert", [lambda m: m.to_xarray(), lambda m: m.to_pandas()])
def test_duplicate_table_names_are_refused(convert):
    with pytest.raises(ValueError, match="more than once"):
        convert(orvanel.create(2, [("A", "D"), ("A", "D")]))


@pytest.mark.parametrize(
    ("module", "extra", "call"),
    [
        ("xarray", "xarray", lambda m, p: m.to_xarray()),
        ("xarray", "xarray", lambda m, p: orvanel.from_xarray(None)),
        ("pandas", "pandas", lambda m, p: m.to_pandas()),
        ("pandas", "pandas", lambda m, p: orvanel.from_pandas(None)),
        ("h5py", "omx", lambda m, p: orvanel.omx.write_omx(m, p)),
        ("h5py", "omx", lambda m, p: orvanel.omx.read_omx(p)),
    ],
)
def test_missing_optional_dependency_says_what_to_install(
    monkeypatch, tmp_path, matrix, module, extra, call
):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=rf"pip install 'orvanel\[{extra}\]'"):
        call(matrix, tmp_path / "m.omx")
    assert not (tmp_path / "m.omx").exists()
