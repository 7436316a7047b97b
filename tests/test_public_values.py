"""What a `Matrix` holds: its own values and table facts, without the matrix file's limits,
and nothing changed or lost on the way in."""

import copy
import pickle

import numpy as np
import pandas as pd
import pytest
import xarray as xr

import orvanel
from reference_codec import ZERO_ROW, assemble, raw_double_payload, row_record, standard_header
from support import same_bits


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
    assert [t.type_code for t in twin.tables] == list(codes)
    assert twin.zone_labels.tolist() == [10, 20] and same_bits(twin.to_numpy(), odd_names.to_numpy())
    twin.to_numpy()[1, 0, :] = 0.0
    assert odd_names.get("Zürich", 1, 1) == 1.5  # independent values
    assert odd_names.to_numpy()[3, 1, 1] == 2.0**60


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


def test_the_file_limits_bind_only_a_matrix_file(tmp_path):
    many = orvanel.create(2, [(f"T{i}", "D") for i in range(300)] + [("Zürich", 2)])
    many["T299"] = 1.0
    assert len(many) == 301 and many.total("T299") == 4.0
    assert list(many.to_xarray().data_vars)[-1] == "Zürich"
    with pytest.raises(orvanel.OrvanelValidationError, match="at most 255 tables allowed, got 301"):
        many.write(tmp_path / "many.mat")
    with pytest.raises(orvanel.OrvanelValidationError) as caught:
        orvanel.create(40000, {"A": "D"}).to_bytes()
    assert caught.value.kind == "invalid_zone_count"
    assert not list(tmp_path.iterdir())


MASKED = np.ma.masked_array(np.arange(4.0).reshape(2, 2), mask=[[0, 1], [0, 0]])


@pytest.mark.parametrize("call", [
    lambda p: orvanel.from_arrays({"A": MASKED}),
    lambda p: orvanel.write(p, {"A": np.zeros((2, 2)), "B": MASKED}),
    lambda p: orvanel.create(2, {"A": "D"}).__setitem__("A", MASKED),
])
def test_masked_arrays_are_refused(tmp_path, call):
    with pytest.raises(TypeError, match=r"masked array.*fill it first"):
        call(tmp_path / "m.mat")
    assert not list(tmp_path.iterdir())


BIG = 2**53 + 1


@pytest.mark.parametrize(("call", "where"), [
    (lambda: orvanel.from_arrays({"N": np.array([[0, BIG], [0, 0]])}), "table 'N'.*origin 1, destination 2"),
    (lambda: orvanel.from_arrays({"N": np.array([[0, 0], [0, 2**64 - 1]], dtype=np.uint64)}),
     "origin 2, destination 2"),
    (lambda: orvanel.create(2, {"N": 0}).set("N", 2, 1, BIG), str(BIG)),
    (lambda: orvanel.from_pandas(pd.DataFrame({"origin": [1, 2], "destination": [2, 1], "N": [1, -BIG]})),
     "table 'N'.*origin 2, destination 1"),
    (lambda: orvanel.from_xarray(xr.Dataset({"N": (("origin", "destination"), np.full((2, 2), BIG))})),
     "variable 'N'"),
])
def test_integers_float64_cannot_hold_are_refused(call, where):
    with pytest.raises(ValueError, match=where):
        call()


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
    ds = xr.Dataset({"A": (("origin", "destination"), np.eye(2))}, attrs={field: "ab\0cd"})
    m = orvanel.from_xarray(ds)
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


@pytest.mark.parametrize(("zones", "error", "message"), [
    (-1, ValueError, r"zones must be at least 1 \(got -1\)"), (0, ValueError, "at least 1"),
    (2.0, TypeError, "integer"), ("3", TypeError, "integer")])
def test_create_refuses_bad_zone_counts(zones, error, message):
    with pytest.raises(error, match=message):
        orvanel.create(zones, {"A": "D"})


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
    shuffled = ds.isel(origin=[2, 0, 1])
    back = orvanel.from_xarray(shuffled, zone_labels=[3093, 3098, 3112])
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
