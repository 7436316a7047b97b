"""OMX files: the layout other programs read with plain h5py, and exact round trips."""

import h5py
import numpy as np
import pytest

import orvanel
from expect import same_bits
from orvanel.omx import read_omx, write_omx

SPECIAL = np.array([[-0.0, np.nan, np.inf], [-np.inf, 5e-324, 1 / 3], [1e300, -2.5, 0.1]])


@pytest.fixture
def matrix():
    # Names out of alphabetical order: the file must keep the table order.
    arrays = {"ZETA": SPECIAL, "ALPHA": np.arange(9.0).reshape(3, 3), "MID": np.eye(3) / 3}
    return orvanel.from_arrays(arrays, types={"ALPHA": 0, "MID": "S"}, banner="omx test", run_id="R9")


def write_plain_omx(path, arrays, shape=None):
    """An OMX file as another program would write it, without orvanel's attributes."""
    with h5py.File(path, "w") as f:
        f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
        f.attrs["SHAPE"] = np.array(shape or next(iter(arrays.values())).shape, dtype=np.int32)
        f.create_group("lookup")
        for name, values in arrays.items():
            f.create_dataset(f"data/{name}", data=values)


def test_layout_read_with_plain_h5py_and_round_trip(matrix, tmp_path):
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
    with pytest.raises(orvanel.TableNotFoundError, match="NOPE"):
        read_omx(path, ["NOPE"])
    # Compression can be turned off.
    write_omx(matrix, path, compression=None, shuffle=False)
    with h5py.File(path, "r") as f:
        assert f["data/ZETA"].compression is None and not f["data/ZETA"].shuffle
    assert same_bits(read_omx(path).to_numpy(), matrix.to_numpy())


def test_reads_files_from_other_programs(tmp_path):
    path = tmp_path / "other.omx"
    single = (np.arange(16, dtype=np.float32) / 3).reshape(4, 4)
    counts = np.arange(16, dtype=np.int32).reshape(4, 4) - 8
    write_plain_omx(path, {"S1": single, "C1": counts, "D1": np.full((4, 4), 0.1)})
    m = read_omx(path)
    assert m.zones == 4 and m.type_codes == {"S1": "S", "C1": "0", "D1": "D"}  # codes that hold the values
    assert same_bits(m["S1"], single.astype(np.float64)) and same_bits(m["C1"], counts.astype(np.float64))
    assert (m.banner, m.run_id) == ("MAT PGM=ORVANEL VER=0.4.3", "ORVANEL")
    assert read_omx(path, types="D", run_id="X").type_codes == {"S1": "D", "C1": "D", "D1": "D"}


@pytest.mark.parametrize(("arrays", "shape", "message"), [
    ({"A": np.zeros((2, 3))}, None, "square"),
    ({"A": np.zeros((2, 2)), "B": np.zeros((3, 3))}, (2, 2), "shape"),
    ({"A": np.zeros((2, 2), dtype="S4")}, None, "does not hold numbers"),
    ({"A": np.zeros((1, 1))}, (40000, 40000), "shape"),
    (None, None, "OMX_VERSION"),  # HDF5 but not OMX
])
def test_malformed_omx_files_are_refused(tmp_path, arrays, shape, message):
    path = tmp_path / "bad.omx"
    if arrays is None:
        with h5py.File(path, "w") as f:
            f["data/A"] = np.zeros((2, 2))
    else:
        write_plain_omx(path, arrays, shape)
    with pytest.raises((ValueError, orvanel.OrvanelValidationError), match=message):
        read_omx(path)


def test_failed_write_keeps_the_existing_file(matrix, tmp_path):
    path = tmp_path / "m.omx"
    path.write_bytes(b"previous content")

    def fail(cells):
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError):
        write_omx(matrix, path, progress=fail)
    assert path.read_bytes() == b"previous content" and sorted(p.name for p in tmp_path.iterdir()) == ["m.omx"]


@pytest.mark.parametrize("names", [[("A/B", "D")], [("..", "D")]])
def test_names_an_omx_file_cannot_hold_are_refused(tmp_path, names):
    with pytest.raises(ValueError):
        write_omx(orvanel.create(2, names), tmp_path / "x.omx")
    assert list(tmp_path.iterdir()) == []
