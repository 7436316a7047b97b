"""Reading, creating and writing through the public functions, and the shipped sample."""

import subprocess
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import orvanel
from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from support import same_bits

REPO = Path(__file__).resolve().parent.parent


def tables(zones, count, seed=7):
    rng = np.random.default_rng(seed)
    return {f"T{i}": rng.standard_normal((zones, zones)) * 10.0**i for i in range(count)}


def test_read_reports_faults_with_kind_and_offset(tmp_path):
    with pytest.raises(orvanel.OrvanelParseError) as caught:
        orvanel.read_bytes(orvanel.sample().to_bytes()[:-5])
    assert caught.value.kind == "unexpected_eof"
    assert str(caught.value).startswith(f"at byte offset {caught.value.offset}: ")
    with pytest.raises(orvanel.OrvanelIoError):
        orvanel.read(tmp_path / "missing.mat")


@pytest.mark.parametrize("schema", [
    {"TRIPS": 2, "TIME": "D"}, [("TRIPS", 2), ("TIME", "D")],
    [orvanel.TableDef("TRIPS", "2"), orvanel.TableDef("TIME", "D")],
    (pair for pair in [("TRIPS", "2"), ("TIME", "D")])])
def test_create_accepts_mappings_and_sequences(schema):
    m = orvanel.create(5, schema, banner="my banner", run_id="run 7")
    assert m.type_codes == {"TRIPS": "2", "TIME": "D"}
    assert (m.zones, m.banner, m.run_id) == (5, "my banner", "run 7")
    assert same_bits(m.to_numpy(), np.zeros((2, 5, 5)))


INVALID = orvanel.OrvanelValidationError


@pytest.mark.parametrize(("zones", "schema", "create_error", "file_error"), [
    (0, {"A": "D"}, ValueError, INVALID), (-1, {"A": "D"}, ValueError, INVALID),
    (32001, {"A": "D"}, None, INVALID), (70000, {"A": "D"}, None, INVALID),
    (3, {}, ValueError, INVALID), (3, {"": "D"}, None, INVALID), (3, {"Zürich": "D"}, None, INVALID),
    (3, {f"T{i}": "D" for i in range(256)}, None, INVALID),
    (3, {"A": "X"}, ValueError, ValueError), (3, "AB", TypeError, TypeError), (2.0, {"A": "D"}, TypeError, TypeError)])
def test_only_the_file_rules_bind_validate_schema(zones, schema, create_error, file_error):
    # A Matrix takes any zone count from 1 and any names; a matrix file does not.
    if create_error is None:
        m = orvanel.create(min(zones, 32001), schema)
        assert m.zones == min(zones, 32001) and m.names == list(schema)
        with pytest.raises(file_error):
            m.to_bytes()
    else:
        with pytest.raises(create_error):
            orvanel.create(zones, schema)
    with pytest.raises(file_error):
        orvanel.validate_schema(zones, schema)


def test_validate_schema_reports_the_schema_as_written():
    result = orvanel.validate_schema(32000, {"A": 0, "B": "S"})
    assert (result.zone_count, result.banner, result.run_id) == (32000, DEFAULT_BANNER, DEFAULT_RUN_ID)
    assert [(t.index, t.name, t.type_code) for t in result.tables()] == [(1, "A", "0"), (2, "B", "S")]


# Tables not named stay double precision.
@pytest.mark.parametrize(("types", "codes"), [
    ("D", ["D", "D", "D"]), (3, ["3", "3", "3"]), ({"T1": "S"}, ["D", "S", "D"])])
def test_write_applies_type_codes(tmp_path, types, codes):
    arrays = tables(4, 3)
    orvanel.write(tmp_path / "typed.mat", arrays, types, banner="b", run_id="r")
    m = orvanel.read(tmp_path / "typed.mat")
    assert [t.type_code for t in m.tables] == codes and (m.banner, m.run_id) == ("b", "r")
    assert all(same_bits(m[name], arrays[name]) for name, code in zip(m.names, codes) if code == "D")
    orvanel.write(tmp_path / "w.mat", arrays, types)
    assert (tmp_path / "w.mat").read_bytes() == bytes(orvanel.from_arrays(arrays, types))


@pytest.mark.parametrize(("arrays", "types", "error"), [
    ({}, "D", ValueError), ({"A": np.zeros((2, 2)), "B": np.zeros((3, 3))}, "D", ValueError),
    ({"A": np.zeros((2, 3))}, "D", ValueError), ({"A": np.zeros((2, 2))}, {"B": "S"}, KeyError),
    ({"A": np.zeros((2, 2))}, "DD", ValueError), ([np.zeros((2, 2))], "D", TypeError),
    ({"A": np.full((2, 2), 2**53 + 1)}, "D", ValueError), ({"A": np.eye(2).astype(object)}, "D", TypeError)])
def test_write_refuses_bad_input_and_creates_no_file(tmp_path, arrays, types, error):
    with pytest.raises(error):
        orvanel.write(tmp_path / "bad.mat", arrays, types)
    assert not (tmp_path / "bad.mat").exists()


def test_sample_matrix(tmp_path):
    m = orvanel.sample()
    assert m.zones == 50 and m.type_codes == {"TRIPS": "2", "TIME": "D", "COST": "S", "COUNT": "0"}
    trips, time, cost, count = m.to_numpy()
    assert np.array_equal(np.round(trips * 100) / 100, trips) and np.array_equal(cost.astype(np.float32), cost)
    assert np.array_equal(np.round(count), count) and (count == 0).any()
    assert (trips > 0).all() and (time > 0).all()
    # Intrazonal trips are short, so the diagonal is the fastest way out of each zone.
    assert np.array_equal(time.argmin(axis=1), np.arange(50))
    # Shipped as package data, and regenerated exactly by the tool.
    shipped = resources.files("orvanel").joinpath("data", "sample.mat").read_bytes()
    assert shipped == (REPO / "src/orvanel/data/sample.mat").read_bytes()
    output = tmp_path / "sample.mat"
    subprocess.run([sys.executable, REPO / "tools/make_sample.py", "--output", output], check=True, capture_output=True)
    assert output.read_bytes() == shipped
