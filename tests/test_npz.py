"""NumPy archives: exact round trips, archives from elsewhere, and damaged or foreign files."""

import json
import zipfile

import numpy as np
import pytest

import orvanel
from orvanel.formats.npz import read_npz, write_npz
from support import same_bits


def test_round_trip_with_repeated_names_keys_type_codes_by_label(tmp_path):
    m = orvanel.create(1, [("A", 2), ("B", "S"), ("A", 0)], banner="b", run_id="r")
    m.to_numpy()[:] = [[[1.25]], [[np.nan]], [[-0.0]]]
    m.zone_labels = [-2**63]
    with pytest.warns(orvanel.RepeatedNamesWarning):
        write_npz(m, tmp_path / "m.npz")
    with np.load(tmp_path / "m.npz") as archive:
        assert archive.files == ["A", "B", "A#3", "__orvanel__"]
        assert json.loads(str(archive["__orvanel__"]))["type_codes"] == {"A": "2", "B": "S", "A#3": "0"}
    back = read_npz(tmp_path / "m.npz")
    assert [(t.name, t.type_code) for t in back.tables] == [("A", "2"), ("B", "S"), ("A#3", "0")]
    assert same_bits(back.to_numpy(), m.to_numpy()) and (back.banner, back.run_id) == ("b", "r")
    assert back.zone_labels.tolist() == [-2**63]
    m.zone_labels = None  # no labels of its own: none stored
    with pytest.warns(orvanel.RepeatedNamesWarning):
        write_npz(m, tmp_path / "m.npz")
    assert not read_npz(tmp_path / "m.npz").has_zone_labels


@pytest.mark.parametrize(("array", "code"), [
    (np.eye(3, dtype=bool), "0"), (np.eye(3, dtype=np.int8), "0"), (np.eye(3, dtype=np.uint64), "0"),
    (np.eye(3, dtype=np.float16), "S"), (np.eye(3, dtype=">f4"), "S"), (np.eye(3, dtype=">f8"), "D"),
    (np.asfortranarray(np.arange(9.0).reshape(3, 3)), "D")])
def test_archives_without_metadata_take_codes_from_element_types(tmp_path, array, code):
    np.savez(tmp_path / "plain.npz", T=array)
    m = read_npz(tmp_path / "plain.npz")
    assert m.type_codes == {"T": code} and same_bits(m["T"], array.astype(np.float64))


@pytest.mark.parametrize("dtype", [np.int64, np.uint64])
def test_integers_float64_cannot_hold_are_refused(tmp_path, dtype):
    array = np.zeros((2, 2), dtype=dtype)
    array[1, 0] = 2**53 + 1
    np.savez(tmp_path / "big.npz", T=array)
    with pytest.raises(ValueError, match=r"'T'.*9007199254740993 at origin 2, destination 1"):
        read_npz(tmp_path / "big.npz")


def archive_with_meta(path, meta, table=np.eye(2)):
    with zipfile.ZipFile(path, "w") as archive:
        for name, value in (("T", table), ("__orvanel__", meta)):
            with archive.open(f"{name}.npy", "w") as entry:
                np.lib.format.write_array(entry, np.asarray(value), allow_pickle=False)


def damaged_deflate(path):
    np.savez_compressed(path, T=np.random.default_rng(0).random((40, 40)))
    data = bytearray(path.read_bytes())
    data[120:160] = bytes(40)
    path.write_bytes(data)


@pytest.mark.parametrize(("make", "fragment"), [
    (lambda path: path.write_bytes(b"\x80\x04garbage" * 20), "not a readable NumPy archive"),
    (lambda path: np.save(open(path, "wb"), np.eye(2)), "single NumPy array (.npy)"),
    (damaged_deflate, "'T' cannot be read"),
    (lambda path: np.savez(path, T=np.array([[1, None], [2, 3]], dtype=object)), "'T' cannot be read"),
    (lambda path: np.savez(path, T=np.eye(2, dtype=complex)), "real numbers"),
    (lambda path: np.savez(path, T=np.zeros((2, 3))), "(2, 3)"),
    (lambda path: np.savez(path, T=np.zeros((0, 0))), "(0, 0)"),
    (lambda path: np.savez(path, T=np.eye(2), U=np.eye(3)), "'U' has shape (3, 3), not (2, 2)"),
    (lambda path: archive_with_meta(path, json.dumps({"type_codes": {"T": 2}})), "type code of table 'T'"),
    (lambda path: archive_with_meta(path, json.dumps({"type_codes": {"T": "X"}})), "invalid type code X"),
    (lambda path: archive_with_meta(path, json.dumps({"type_codes": ["T"]})), "not a mapping"),
    (lambda path: archive_with_meta(path, json.dumps({"banner": 5})), "banner"),
    (lambda path: archive_with_meta(path, json.dumps({"zone_labels": [1, 2.5]})), "not a list of integers"),
    (lambda path: archive_with_meta(path, json.dumps({"zone_labels": [4, 4]})), "4 occurs more than once"),
    (lambda path: archive_with_meta(path, json.dumps({"zone_labels": [2**64, 1]})), "zone labels"),
    (lambda path: archive_with_meta(path, "{not json"), "not orvanel's metadata"),
    (lambda path: archive_with_meta(path, 7), "not orvanel's metadata"),
])
def test_damaged_and_foreign_archives_are_refused_in_one_line(tmp_path, make, fragment):
    path = tmp_path / "bad.npz"
    make(path)
    with pytest.raises(ValueError) as info:
        read_npz(path)
    message = str(info.value)
    assert fragment in message and "\n" not in message and "pickle" not in message, message


def test_unknown_metadata_keys_are_ignored(tmp_path):
    archive_with_meta(tmp_path / "m.npz", json.dumps({"type_codes": {"T": "4", "gone": "S"}, "later": [1]}))
    assert read_npz(tmp_path / "m.npz").type_codes == {"T": "4"}
