"""Reading, creating and writing through the public functions, and the shipped sample."""

import subprocess
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import orvanel

REPO = Path(__file__).resolve().parent.parent


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def tables(zones, count, seed=7):
    rng = np.random.default_rng(seed)
    return {f"T{i}": rng.standard_normal((zones, zones)) * 10.0**i for i in range(count)}


@pytest.fixture
def three_tables(tmp_path):
    arrays = tables(4, 3)
    path = tmp_path / "three.mat"
    orvanel.write(path, arrays)
    return path, arrays


@pytest.mark.parametrize(
    ("selection", "expected"),
    [
        (None, ["T0", "T1", "T2"]),
        ("T1", ["T1"]),
        (["T2", "T0"], ["T0", "T2"]),  # the file's order, not the request's
        (("T2",), ["T2"]),
    ],
)
def test_read_all_or_named_tables(three_tables, selection, expected):
    path, arrays = three_tables
    for m in (
        orvanel.read(path, selection),
        orvanel.read(str(path), tables=selection),
        orvanel.read_bytes(path.read_bytes(), selection),
        orvanel.read_bytes(bytearray(path.read_bytes()), selection),
        orvanel.read_bytes(memoryview(path.read_bytes()), selection),
    ):
        assert m.names == expected
        for name in expected:
            assert same_bits(m[name], arrays[name])


def test_read_reports_faults_with_kind_and_offset(three_tables, tmp_path):
    path, _ = three_tables
    truncated = path.read_bytes()[:-5]
    with pytest.raises(orvanel.OrvanelParseError) as caught:
        orvanel.read_bytes(truncated)
    assert caught.value.kind == "unexpected_eof"
    assert str(caught.value).startswith(f"at byte offset {caught.value.offset}: ")
    with pytest.raises(orvanel.OrvanelIoError):
        orvanel.read(tmp_path / "missing.mat")
    with pytest.raises(orvanel.OrvanelValidationError) as caught:
        orvanel.read(path, ["NOPE"])
    assert caught.value.kind == "table_not_found"


@pytest.mark.parametrize(
    "schema",
    [
        {"TRIPS": 2, "TIME": "D"},
        [("TRIPS", 2), ("TIME", "D")],
        [orvanel.TableDef("TRIPS", "2"), orvanel.TableDef("TIME", "D")],
        (pair for pair in [("TRIPS", "2"), ("TIME", "D")]),
    ],
)
def test_create_accepts_mappings_and_sequences(schema):
    m = orvanel.create(5, schema, banner="my banner", run_id="run 7")
    assert m.type_codes == {"TRIPS": "2", "TIME": "D"}
    assert (m.zones, m.banner, m.run_id) == (5, "my banner", "run 7")
    assert same_bits(m.to_numpy(), np.zeros((2, 5, 5)))


@pytest.mark.parametrize(
    ("zones", "schema", "error"),
    [
        (0, {"A": "D"}, orvanel.OrvanelValidationError),
        (32001, {"A": "D"}, orvanel.OrvanelValidationError),
        (3, {}, orvanel.OrvanelValidationError),
        (3, {"": "D"}, orvanel.OrvanelValidationError),
        (3, {"A": "X"}, ValueError),
        (3, "AB", TypeError),
    ],
)
def test_create_and_validate_schema_refuse_bad_schemas(zones, schema, error):
    with pytest.raises(error):
        orvanel.create(zones, schema)
    with pytest.raises(error):
        orvanel.validate_schema(zones, schema)


def test_validate_schema_reports_the_schema_as_written():
    result = orvanel.validate_schema(32000, {"A": 0, "B": "S"})
    assert result.zone_count == 32000
    assert result.banner == "MAT PGM=ORVANEL VER=0.4.3" and result.run_id == "ORVANEL"
    assert [(t.index, t.name, t.type_code) for t in result.tables()] == [
        (1, "A", "0"),
        (2, "B", "S"),
    ]


@pytest.mark.parametrize(
    ("types", "codes"),
    [
        ("D", ["D", "D", "D"]),
        (3, ["3", "3", "3"]),
        ({"T1": "S"}, ["D", "S", "D"]),  # tables not named stay double precision
    ],
)
def test_write_applies_type_codes(tmp_path, types, codes):
    arrays = tables(4, 3)
    path = tmp_path / "typed.mat"
    orvanel.write(path, arrays, types, banner="b", run_id="r")
    m = orvanel.read(path)
    assert [t.type_code for t in m.tables] == codes
    assert (m.banner, m.run_id) == ("b", "r")
    for name, code in zip(m.names, codes):
        if code == "D":
            assert same_bits(m[name], arrays[name])


def test_write_matches_from_arrays(tmp_path):
    arrays = tables(6, 2)
    path = tmp_path / "w.mat"
    orvanel.write(path, arrays, {"T0": 4})
    assert path.read_bytes() == bytes(orvanel.from_arrays(arrays, {"T0": 4}))


@pytest.mark.parametrize(
    ("arrays", "types", "error"),
    [
        ({}, "D", ValueError),
        ({"A": np.zeros((2, 2)), "B": np.zeros((3, 3))}, "D", ValueError),
        ({"A": np.zeros((2, 3))}, "D", ValueError),
        ({"A": np.zeros((2, 2))}, {"B": "S"}, ValueError),
        ({"A": np.zeros((2, 2))}, "DD", ValueError),
        ([np.zeros((2, 2))], "D", TypeError),
    ],
)
def test_write_refuses_bad_input_and_creates_no_file(tmp_path, arrays, types, error):
    path = tmp_path / "bad.mat"
    with pytest.raises(error):
        orvanel.write(path, arrays, types)
    assert not path.exists()


def test_sample_matrix():
    m = orvanel.sample()
    assert m.zones == 50
    assert m.type_codes == {"TRIPS": "2", "TIME": "D", "COST": "S", "COUNT": "0"}
    trips, time, cost, count = m.to_numpy()
    assert np.array_equal(np.round(trips * 100) / 100, trips)
    assert np.array_equal(np.round(count), count) and (count == 0).any()
    assert np.array_equal(cost.astype(np.float32), cost)
    assert (trips > 0).all() and (time > 0).all()
    # Intrazonal trips are short, so the diagonal is the fastest way out of each zone.
    assert np.array_equal(time.argmin(axis=1), np.arange(50))


def test_sample_is_shipped_as_package_data_and_regenerates_exactly(tmp_path):
    shipped = resources.files("orvanel").joinpath("data", "sample.mat").read_bytes()
    assert shipped == (REPO / "src/orvanel/data/sample.mat").read_bytes()
    output = tmp_path / "sample.mat"
    subprocess.run(
        [sys.executable, str(REPO / "tools/make_sample.py"), "--output", str(output)],
        check=True,
        capture_output=True,
    )
    assert output.read_bytes() == shipped
