"""The `Matrix` class: mapping behaviour, 1-based cell access, copies and conversions."""

import numpy as np
import pytest

import orvanel
from support import SPECIAL, same_bits

TRIPS = np.arange(1.0, 10.0).reshape(3, 3)  # 1..9, row-major
TIME = SPECIAL


@pytest.fixture
def matrix():
    return orvanel.from_arrays({"TRIPS": TRIPS, "TIME": TIME}, types={"TRIPS": 2}, banner="B", run_id="R")


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
    assert table.dtype == np.float64 and table.shape == (3, 3)
    # Tables are views: a change shows in the matrix, but not in an independent copy.
    copied = matrix.copy()
    table[0, 0] = 99.0
    assert matrix["TRIPS"][0, 0] == 99.0 == matrix.get("TRIPS", 1, 1) and matrix.to_numpy()[0, 0, 0] == 99.0
    assert copied["TRIPS"][0, 0] == 1.0 and same_bits(matrix["TIME"], TIME)


@pytest.mark.parametrize("values", [
    np.arange(9, dtype=np.int32).reshape(3, 3), np.asfortranarray(TIME.T), [[1, 2, 3], [4, 5, 6], [7, 8, 9]], 2.5])
def test_setitem_stores_values_exactly(matrix, values):
    matrix["TIME"] = values
    assert same_bits(matrix["TIME"], np.broadcast_to(np.asarray(values, dtype=np.float64), (3, 3)))
    assert same_bits(matrix["TRIPS"], TRIPS)


@pytest.mark.parametrize(("values", "error"), [
    (np.zeros((3, 4)), ValueError), (np.zeros(9), ValueError),
    (np.zeros((3, 3), dtype=complex), TypeError), (np.full((3, 3), "1.0"), TypeError)])
def test_setitem_rejects_wrong_arrays_and_changes_nothing(matrix, values, error):
    with pytest.raises(error):
        matrix["TRIPS"] = values
    assert same_bits(matrix["TRIPS"], TRIPS)


@pytest.mark.parametrize(("origin", "destination"), [(1, 3), (3, 1), (np.int64(3), np.uint8(2))])
def test_zone_numbers_are_one_based(matrix, origin, destination):
    assert matrix.get("TRIPS", origin, destination) == TRIPS[origin - 1, destination - 1]
    matrix.set("TRIPS", origin, destination, -7.25)
    expected = TRIPS.copy()
    expected[origin - 1, destination - 1] = -7.25
    assert same_bits(matrix["TRIPS"], expected)


@pytest.mark.parametrize(("origin", "destination", "error"), [
    (0, 1, ValueError), (1, 4, ValueError), (70000, 1, ValueError), (-1, 1, ValueError), (1.0, 1, TypeError)])
def test_zone_numbers_outside_the_matrix_are_refused(matrix, origin, destination, error):
    with pytest.raises(error):
        matrix.get("TRIPS", origin, destination)
    with pytest.raises(error):
        matrix.set("TRIPS", origin, destination, 1.0)
    assert same_bits(matrix["TRIPS"], TRIPS)


def test_to_numpy_stacks_tables_in_order(matrix):
    stack = matrix.to_numpy()
    assert same_bits(stack, np.stack([TRIPS, TIME])) and same_bits(np.asarray(matrix), stack)
    with np.errstate(over="ignore"):  # 1e300 does not fit float32
        assert np.asarray(matrix, dtype=np.float32).dtype == np.float32


def test_write_and_bytes_agree_and_apply_type_codes(matrix, tmp_path):
    matrix.set("TRIPS", 1, 1, 1.234)
    path = tmp_path / "m.mat"
    matrix.write(path)
    assert path.read_bytes() == matrix.to_bytes() == bytes(matrix)
    back = orvanel.read(path)
    assert back.get("TRIPS", 1, 1) == 1.23  # rounded to the table's two decimals
    assert same_bits(back["TIME"], TIME)  # double precision keeps every bit
    assert (back.banner, back.run_id, back.type_codes) == ("B", "R", matrix.type_codes)


def test_astype_changes_codes_not_values(matrix):
    single = matrix.astype({"TIME": "S"})
    assert single.type_codes == {"TRIPS": "2", "TIME": "S"} and same_bits(single.to_numpy(), matrix.to_numpy())
    assert matrix.astype(4).type_codes == {"TRIPS": "4", "TIME": "4"}
    assert matrix.type_codes == {"TRIPS": "2", "TIME": "D"}


@pytest.mark.parametrize(("types", "error"), [
    ({"NOPE": "S"}, orvanel.TableNotFoundError), ("X", ValueError), (10, ValueError), (1.5, TypeError)])
def test_astype_rejects_bad_codes(matrix, types, error):
    with pytest.raises(error):
        matrix.astype(types)


def test_repr_shows_zones_and_tables(matrix):
    text = repr(matrix)
    assert text.splitlines()[0] == "<orvanel.Matrix: 3 zones, 2 tables>"
    assert "'TRIPS'  2  (fixed point, 2 decimals)" in text and "'TIME'   D  (double precision)" in text


def test_duplicate_names_resolve_to_the_first_table():
    m = orvanel.create(2, [("A", "D"), ("A", "S")])
    m["A"] = 1.0
    assert m.names == ["A", "A"] and len(m) == 2 and m.total("A") == 4.0
    assert same_bits(m.to_numpy()[1], np.zeros((2, 2)))
    with pytest.raises(TypeError):
        orvanel.Matrix(np.zeros((1, 2, 2)))  # copies only low-level matrices
