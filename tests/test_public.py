"""The public package: creating, reading and writing, the `Matrix` class, the xarray and
pandas adapters, and how every format replaces a file (whole or not at all, mode kept,
links followed, streams written in place where the format allows it)."""

import copy
import gzip
import os
import pickle
import stat
import subprocess
import sys
import threading
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import orvanel
import orvanel.omx
from orvanel.formats.registry import ReadOptions, WriteOptions, format_for
from reference_codec import ZERO_ROW, assemble, raw_double_payload, row_record, standard_header
from support import SPECIAL, Stop, same_bits

REPO = Path(__file__).resolve().parent.parent
TRIPS = np.arange(1.0, 10.0).reshape(3, 3)  # 1..9, row-major
TIME = SPECIAL


@pytest.fixture
def matrix():
    return orvanel.from_arrays({"TRIPS": TRIPS, "TIME": TIME}, types={"TRIPS": 2}, banner="B", run_id="R")


# ---- reading, creating, writing ------------------------------------------------------

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


@pytest.mark.parametrize(("zones", "schema", "create_error", "file_error"), [  # create_error: class, message
    (0, {"A": "D"}, (ValueError, "at least 1"), INVALID), (-1, {"A": "D"}, (ValueError, r"zones must be at least 1 \(got -1\)"), INVALID),
    (32001, {"A": "D"}, None, INVALID), (70000, {"A": "D"}, None, INVALID),
    (3, {}, ValueError, INVALID), (3, {"": "D"}, None, INVALID), (3, {"Zürich": "D"}, None, INVALID),
    (3, {f"T{i}": "D" for i in range(256)}, None, INVALID),
    (3, {"A": "X"}, ValueError, ValueError), (3, "AB", TypeError, TypeError),
    (2.0, {"A": "D"}, (TypeError, "integer"), TypeError), ("3", {"A": "D"}, (TypeError, "integer"), TypeError)])
def test_only_the_file_rules_bind_validate_schema(zones, schema, create_error, file_error):
    # A Matrix takes any zone count from 1 and any names; a matrix file does not.
    if create_error is None:
        m = orvanel.create(min(zones, 32001), schema)
        assert m.zones == min(zones, 32001) and m.names == list(schema)
        with pytest.raises(file_error):
            m.to_bytes()
    else:
        cls, message = create_error if isinstance(create_error, tuple) else (create_error, None)
        with pytest.raises(cls, match=message):
            orvanel.create(zones, schema)
    with pytest.raises(file_error):
        orvanel.validate_schema(zones, schema)


# Tables not named stay double precision.
@pytest.mark.parametrize(("types", "codes"), [
    ("D", ["D", "D", "D"]), (3, ["3", "3", "3"]), ({"T1": "S"}, ["D", "S", "D"])])
def test_write_applies_type_codes(tmp_path, types, codes):
    arrays = {f"T{i}": np.random.default_rng(7).standard_normal((4, 4)) * 10.0**i for i in range(3)}
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
    assert (m["TRIPS"] > 0).all() and (m["COUNT"] == 0).any()
    # Shipped as package data, and regenerated exactly by the tool.
    shipped = resources.files("orvanel").joinpath("data", "sample.mat").read_bytes()
    assert shipped == (REPO / "src/orvanel/data/sample.mat").read_bytes()
    output = tmp_path / "sample.mat"
    subprocess.run([sys.executable, REPO / "tools/make_sample.py", "--output", output], check=True, capture_output=True)
    assert output.read_bytes() == shipped


# ---- the Matrix class ---------------------------------------------------------------


def test_mapping_protocol(matrix):
    assert len(matrix) == 2 and list(matrix) == ["TRIPS", "TIME"] == matrix.names == matrix.keys()
    assert "TIME" in matrix and "time" not in matrix and 1 not in matrix
    with pytest.raises(KeyError):
        matrix[1]
    assert [name for name, _ in matrix.items()] == ["TRIPS", "TIME"]
    assert all(same_bits(a, b) for a, b in zip(matrix.values(), [TRIPS, TIME]))
    assert (matrix.zones, matrix.banner, matrix.run_id) == (3, "B", "R")
    assert [(t.index, t.name, t.type_code) for t in matrix.tables] == [(1, "TRIPS", "2"), (2, "TIME", "D")]
    assert matrix.type_codes == {"TRIPS": "2", "TIME": "D"}
    assert (matrix.total("TRIPS"), matrix.diagonal_total("TRIPS")) == (45.0, 1.0 + 5.0 + 9.0)
    table = matrix["TRIPS"]
    # Tables are views: a change shows in the matrix, but not in an independent copy.
    copied = matrix.copy()
    table[0, 0] = 99.0
    assert matrix["TRIPS"][0, 0] == 99.0 == matrix.get("TRIPS", 1, 1) and matrix.to_numpy()[0, 0, 0] == 99.0
    assert copied["TRIPS"][0, 0] == 1.0 and same_bits(matrix["TIME"], TIME)


@pytest.mark.parametrize(("values", "error"), [
    (np.arange(9, dtype=np.int32).reshape(3, 3), None), (np.asfortranarray(TIME.T), None),
    ([[1, 2, 3], [4, 5, 6], [7, 8, 9]], None), (2.5, None), (np.zeros((3, 4)), ValueError), (np.zeros(9), ValueError),
    (np.zeros((3, 3), dtype=complex), TypeError), (np.full((3, 3), "1.0"), TypeError)])
def test_setitem_stores_values_exactly_or_changes_nothing(matrix, values, error):
    if error is None:
        matrix["TIME"] = values
        assert same_bits(matrix["TIME"], np.broadcast_to(np.asarray(values, dtype=np.float64), (3, 3)))
    else:
        with pytest.raises(error):
            matrix["TIME"] = values
        assert same_bits(matrix["TIME"], TIME)
    assert same_bits(matrix["TRIPS"], TRIPS)


@pytest.mark.parametrize(("origin", "destination", "error"), [
    (1, 3, None), (3, 1, None), (np.int64(3), np.uint8(2), None),
    (0, 1, ValueError), (1, 4, ValueError), (70000, 1, ValueError), (-1, 1, ValueError), (1.0, 1, TypeError)])
def test_zone_numbers_are_one_based_and_within_the_matrix(matrix, origin, destination, error):
    expected = TRIPS.copy()
    if error is None:
        assert matrix.get("TRIPS", origin, destination) == TRIPS[origin - 1, destination - 1]
        matrix.set("TRIPS", origin, destination, -7.25)
        expected[origin - 1, destination - 1] = -7.25
    for call in [] if error is None else [matrix.get, lambda *zone: matrix.set(*zone, 1.0)]:
        with pytest.raises(error):
            call("TRIPS", origin, destination)
    assert same_bits(matrix["TRIPS"], expected)


@pytest.mark.parametrize(("types", "error"), [
    ({"NOPE": "S"}, orvanel.TableNotFoundError), ("X", ValueError), (10, ValueError), (1.5, TypeError)])
def test_astype_rejects_bad_codes(matrix, types, error):
    with pytest.raises(error):
        matrix.astype(types)


def test_duplicate_names_resolve_to_the_first_table():
    m = orvanel.create(2, [("A", "D"), ("A", "S")])
    m["A"] = 1.0
    assert m.names == ["A", "A"] and len(m) == 2 and m.total("A") == 4.0
    assert same_bits(m.to_numpy()[1], np.zeros((2, 2)))
    with pytest.raises(TypeError):
        orvanel.Matrix(np.zeros((1, 2, 2)))  # copies only low-level matrices


# ---- what a matrix holds -------------------------------------------------------------


@pytest.fixture
def odd_names():
    """A file the matrix file's writer would refuse: an empty and a non-ASCII name, a repeat."""
    tables = [("", "D"), ("Zürich", "D"), ("A", "D"), ("A", "D")]
    rows = {(1, 2): [1.5, -2.0], (2, 4): [7.0, 2.0**60]}
    records = [row_record(o, t, raw_double_payload(rows[o, t]) if (o, t) in rows else ZERO_ROW)
               for o in (1, 2) for t in (1, 2, 3, 4)]
    data, _ = assemble(standard_header(2, tables, banner="b", run_id="r"), records)
    return orvanel.read_bytes(data)


COPIES = [lambda m: m.copy(), copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m)), lambda m: m.astype(None)]


@pytest.mark.parametrize("duplicate, codes", [
    *[(copier, "DDDD") for copier in COPIES], (lambda m: m.astype("S"), "SSSS"), (lambda m: m.astype({"A#4": 2}), "DDD2")])
def test_every_matrix_that_exists_can_be_copied(odd_names, duplicate, codes):
    odd_names.zone_labels = [10, 20]
    twin = duplicate(odd_names)
    assert twin.names == ["", "Zürich", "A", "A"] and (twin.banner, twin.run_id) == ("b", "r")
    assert [t.type_code for t in twin.tables] == list(codes) and [t.type_code for t in odd_names.tables] == list("DDDD")
    assert twin.zone_labels.tolist() == [10, 20] and same_bits(twin.to_numpy(), odd_names.to_numpy())
    twin.to_numpy()[1, 0, :] = 0.0
    assert odd_names.get("Zürich", 1, 1) == 1.5 and odd_names.to_numpy()[3, 1, 1] == 2.0**60  # independent values


def test_type_codes_by_label_and_views_that_share_values(odd_names):
    assert [t.type_code for t in odd_names.astype({"A": 2}).tables] == ["D", "D", "2", "2"]
    shared = odd_names.astype("S", copy=False)
    shared["Zürich"][0, 0] = 42.0
    assert odd_names.get("Zürich", 1, 1) == 42.0 and np.shares_memory(shared.to_numpy(), odd_names.to_numpy())
    stack = odd_names.to_numpy()
    assert stack is odd_names.to_numpy() and np.asarray(odd_names) is stack
    assert all(np.shares_memory(table, stack) for table in odd_names.values())
    assert not np.shares_memory(np.array(odd_names), stack)
    with pytest.raises(ValueError):
        odd_names.__array__(np.float32, copy=False)


MASKED = np.ma.masked_array(np.arange(4.0).reshape(2, 2), mask=[[0, 1], [0, 0]])
BIG = 2**53 + 1
MASKED_MESSAGE = r"masked array.*fill it first"


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda p: orvanel.from_arrays({"A": MASKED}), TypeError, MASKED_MESSAGE),
    (lambda p: orvanel.write(p, {"A": np.zeros((2, 2)), "B": MASKED}), TypeError, MASKED_MESSAGE),
    (lambda p: orvanel.create(2, {"A": "D"}).__setitem__("A", MASKED), TypeError, MASKED_MESSAGE),
    (lambda p: orvanel.from_arrays({"N": np.array([[0, BIG], [0, 0]])}), ValueError, "table 'N'.*origin 1, destination 2"),
    (lambda p: orvanel.from_arrays({"N": np.array([[0, 0], [0, 2**64 - 1]], dtype=np.uint64)}), ValueError,
     "origin 2, destination 2"),
    (lambda p: orvanel.create(2, {"N": 0}).set("N", 2, 1, BIG), ValueError, str(BIG)),
    (lambda p: orvanel.from_pandas(pd.DataFrame({"origin": [1, 2], "destination": [2, 1], "N": [1, -BIG]})), ValueError,
     "table 'N'.*origin 2, destination 1"),
    (lambda p: orvanel.from_xarray(xr.Dataset({"N": (("origin", "destination"), np.full((2, 2), BIG))})), ValueError,
     "variable 'N'"),
])
def test_masked_arrays_and_integers_float64_cannot_hold_are_refused(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path / "m.mat")
    assert not list(tmp_path.iterdir())


def test_integers_float64_holds_are_kept():
    exact = np.array([[2**53, -(2**53)], [2**60, np.iinfo(np.int64).min]])
    m = orvanel.from_arrays({"N": exact}, types=0)
    assert m["N"].tolist() == exact.astype(np.float64).tolist() and m["N"][1, 0] == 2.0**60


@pytest.mark.parametrize("field", ["banner", "run_id"])
def test_header_texts_with_an_inner_nul_are_refused_before_writing(tmp_path, field):
    for call in (lambda text: orvanel.create(2, {"A": "D"}, **{field: text}),
                 lambda text: orvanel.write(tmp_path / "w.mat", {"A": np.eye(2)}, **{field: text})):
        with pytest.raises(ValueError, match=field):
            call("ab\0cd")
    assert not list(tmp_path.iterdir())
    # A text from another source reaches the matrix, but not a matrix file.
    m = orvanel.from_xarray(xr.Dataset({"A": (("origin", "destination"), np.eye(2))}, attrs={field: "ab\0cd"}))
    assert getattr(m, field) == "ab\0cd"
    with pytest.raises(ValueError, match=field):
        m.write(tmp_path / "w.mat")
    assert not list(tmp_path.iterdir())
    # One trailing NUL is the file's own terminator.
    back = orvanel.read_bytes(orvanel.create(2, {"A": "D"}, **{field: "ab\0"}).to_bytes())
    assert getattr(back, field) == "ab"


@pytest.mark.parametrize("data", [10**10, [1, 2, 3], "text", None])
def test_read_bytes_refuses_what_is_not_bytes_like(data):
    with pytest.raises(TypeError, match="bytes-like"):
        orvanel.read_bytes(data)


@pytest.mark.parametrize("call", [
    lambda m, p: m["NOPE"], lambda m, p: m.get("NOPE", 1, 1), lambda m, p: m.total("NOPE"),
    lambda m, p: m.__setitem__("NOPE", 1.0), lambda m, p: m.astype({"NOPE": 2}),
    lambda m, p: orvanel.from_arrays({"A": np.eye(2)}, types={"NOPE": 2}),
    lambda m, p: orvanel.read(p, ["TIME", "NOPE"]), lambda m, p: orvanel.read_bytes(p.read_bytes(), "NOPE"),
    lambda m, p: orvanel.omx.read_omx(p.with_suffix(".omx"), ["NOPE"]),
])
def test_unknown_table_names_raise_one_exception(tmp_path, call):
    m = orvanel.sample()
    m.write(tmp_path / "s.mat")
    orvanel.omx.write_omx(m, tmp_path / "s.omx")
    with pytest.raises(orvanel.TableNotFoundError) as caught:
        call(m, tmp_path / "s.mat")
    error = caught.value
    assert isinstance(error, KeyError) and isinstance(error, orvanel.OrvanelValidationError)
    assert error.kind == "table_not_found" and error.name == "NOPE"
    assert str(error).endswith('"NOPE"') and not str(error).startswith("'")


def test_sources_without_type_codes_follow_one_rule():
    arrays = {"B": np.eye(2, dtype=bool), "I": np.eye(2, dtype=np.int16), "U": np.eye(2, dtype=np.uint64),
              "H": np.eye(2, dtype=np.float16), "F": np.eye(2, dtype=np.float32), "D": np.eye(2)}
    expected = {"B": "0", "I": "0", "U": "0", "H": "S", "F": "S", "D": "D"}
    ds = xr.Dataset({name: (("origin", "destination"), a) for name, a in arrays.items()})
    frame = pd.DataFrame({"origin": [1, 1, 2, 2], "destination": [1, 2, 1, 2],
                          **{name: a.reshape(-1) for name, a in arrays.items()}})
    for m in (orvanel.from_xarray(ds), orvanel.from_pandas(frame, zones=2)):
        assert m.type_codes == expected and same_bits(m["B"], np.eye(2))
    # Explicit codes still win; arrays given to from_arrays keep its documented default.
    assert orvanel.from_xarray(ds, types={"I": "D"}).type_codes["I"] == "D"
    assert set(orvanel.from_arrays(arrays).type_codes.values()) == {"D"}


def test_zone_labels():
    m = orvanel.create(3, {"A": "D"})
    assert m.zone_labels.tolist() == [1, 2, 3] and not m.has_zone_labels
    m.zone_labels = [3093, 3098, 3112]
    m["A"] = np.arange(9.0).reshape(3, 3)
    assert m.has_zone_labels and not m.zone_labels.flags.writeable
    ds = m.to_xarray()
    assert ds["origin"].values.tolist() == [3093, 3098, 3112]
    assert float(ds["A"].sel(origin=3112, destination=3093)) == 6.0
    back = orvanel.from_xarray(ds.isel(origin=[2, 0, 1]), zone_labels=[3093, 3098, 3112])
    assert same_bits(back["A"], m["A"]) and back.zone_labels.tolist() == [3093, 3098, 3112]
    with pytest.raises(ValueError, match="zone_labels"):
        orvanel.from_xarray(ds)
    frame = m.to_pandas()
    assert frame.index.get_level_values("origin")[-1] == 3112
    again = orvanel.from_pandas(frame.iloc[::-1], zone_labels=m.zone_labels)
    assert same_bits(again["A"], m["A"]) and again.zone_labels.tolist() == [3093, 3098, 3112]
    with pytest.warns(UserWarning, match="labels of this matrix are not stored"):
        assert orvanel.read_bytes(m.to_bytes()).zone_labels.tolist() == [1, 2, 3]
    with pytest.raises(ValueError, match="3099 is not one of the zone labels"):
        orvanel.from_pandas(pd.DataFrame({"origin": [3099], "destination": [3093], "A": [1.0]}),
                            zone_labels=m.zone_labels)


@pytest.mark.parametrize(("labels", "error"), [
    ([1, 2], ValueError), ([1, 1, 2], ValueError), ([1.5, 2, 3], ValueError), (["a", "b", "c"], TypeError),
    ([[1, 2, 3]], TypeError)])
def test_zone_labels_are_checked(labels, error):
    m = orvanel.create(3, {"A": "D"})
    with pytest.raises(error):
        m.zone_labels = labels
    assert not m.has_zone_labels


# ---- xarray and pandas ---------------------------------------------------------------


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


def test_from_pandas_fills_missing_pairs_with_zero():
    df = pd.DataFrame({"origin": [3, 1], "destination": [1, 2], "TRIPS": [4.5, 2]})
    with pytest.warns(orvanel.ZonesInferredWarning, match="zones inferred from the data: 3"):
        m = orvanel.from_pandas(df)
    assert m.zones == 3 and m.type_codes == {"TRIPS": "D"}
    assert same_bits(m["TRIPS"], [[0.0, 2.0, 0.0], [0.0, 0.0, 0.0], [4.5, 0.0, 0.0]])
    assert orvanel.from_pandas(df, zones=5, types=1).zones == 5
    # A frame made by to_pandas carries its zone count, also when its last zones are empty.
    wide = orvanel.create(4, {"TRIPS": 2})
    wide.set("TRIPS", 1, 2, 1.0)
    frame = wide.to_pandas()
    assert orvanel.from_pandas(frame[frame["TRIPS"] != 0]).zones == 4


OD = ("origin", "destination")


@pytest.mark.parametrize(("source", "error"), [
    (xr.Dataset({"A": (("o", "d"), np.zeros((2, 2)))}), ValueError),
    (xr.Dataset({"A": (OD, np.zeros((2, 3)))}), ValueError),
    (xr.Dataset({"A": (OD, np.zeros((2, 2)))}, coords={"origin": [0, 1], "destination": [1, 2]}), ValueError),
    (xr.Dataset(), ValueError), (xr.DataArray(np.zeros((2, 2)), dims=OD), TypeError),
    (pd.DataFrame({"origin": [1, 1], "destination": [2, 2], "A": [1.0, 2.0]}), ValueError),
    (pd.DataFrame({"origin": [0], "destination": [1], "A": [1.0]}), ValueError),
    (pd.DataFrame({"origin": [1.5], "destination": [1], "A": [1.0]}), ValueError),
    (pd.DataFrame({"origin": [1], "destination": [1], "A": ["x"]}), TypeError),
    (pd.DataFrame({"from": [1], "destination": [1], "A": [1.0]}), ValueError),
    (pd.DataFrame({"origin": [1], "destination": [1], 5: [1.0]}), TypeError),
    (pd.DataFrame({"origin": [1], "destination": [1], "A": [2**53 + 1]}), ValueError),
])
def test_adapters_refuse_what_is_not_a_matrix(source, error):
    with pytest.raises(error):
        (orvanel.from_pandas if isinstance(source, pd.DataFrame) else orvanel.from_xarray)(source)


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


# ---- replacing files ----------------------------------------------------------------

SUFFIXES = [".mat", ".omx", ".npz", ".csv", ".csv.gz"]
STREAMABLE = {".mat", ".csv", ".csv.gz"}


def write(matrix, path, progress=None):
    format_for(path).write(matrix, str(path), progress, WriteOptions())


def content(path):
    data = path.read_bytes()
    return gzip.decompress(data) if path.name.endswith(".gz") else data


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_new_and_replaced_files_keep_the_usual_permissions(tmp_path, matrix, suffix):
    """Of the longest name allowed, which leaves a temporary name just as long to find."""
    target = tmp_path / ("b" * (255 - len(suffix)) + suffix)
    old = os.umask(0o022)
    try:
        write(matrix, target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o644
        target.chmod(0o600)  # a private file stays private when replaced
        write(matrix, target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o600
    finally:
        os.umask(old)
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    assert format_for(target).read(str(target), None, None, ReadOptions()).names == ["TRIPS", "TIME"]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_symbolic_link_is_followed_and_kept(tmp_path, matrix, suffix):
    real = tmp_path / f"real{suffix}"
    real.write_bytes(b"old")
    link = tmp_path / f"link{suffix}"
    link.symlink_to(real.name)
    write(matrix, link)
    assert link.is_symlink() and real.read_bytes() != b"old"
    write(matrix, tmp_path / f"plain{suffix}")
    assert content(real) == content(tmp_path / f"plain{suffix}") or suffix in (".omx", ".npz")


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_fifo_is_written_in_place_or_refused(tmp_path, matrix, suffix):
    fifo = tmp_path / f"pipe{suffix}"
    os.mkfifo(fifo)
    if suffix not in STREAMABLE:
        with pytest.raises(OSError, match="regular file"):
            write(matrix, fifo)
        return
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    write(matrix, fifo)
    reader.join(10)
    regular = tmp_path / f"regular{suffix}"
    write(matrix, regular)
    got = gzip.decompress(received[0]) if suffix.endswith(".gz") else received[0]
    assert got == content(regular) and stat.S_ISFIFO(fifo.stat().st_mode)


def stop_after_first(amount):
    raise Stop


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_failed_write_leaves_the_previous_file(tmp_path, matrix, suffix):
    target = tmp_path / f"m{suffix}"
    target.write_bytes(b"previous")
    if suffix == ".mat":
        bad = orvanel.create(3, {"Zürich": "D"})  # a name a matrix file cannot hold
        with pytest.raises(orvanel.OrvanelValidationError):
            write(bad, target)
    else:
        with pytest.raises(Stop):
            write(matrix, target, progress=stop_after_first)
    assert target.read_bytes() == b"previous" and [p.name for p in tmp_path.iterdir()] == [target.name]
