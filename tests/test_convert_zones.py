"""Zone counts, zone labels and zones files, and one-line failures of `orvanel convert`."""

import gzip

import numpy as np
import pytest
from test_npz import damaged_deflate

import orvanel
import orvanel.formats.npz
import orvanel.omx
from orvanel.formats.zonesfile import read_zones, write_zones, zones_path
from support import assert_one_line_failure, orvanel_cli, same_bits

TRIPS = "origin,destination,TRIPS\n1,2,10\n2,1,5\n"
INFERRED = "orvanel convert: note: zones inferred from the data: 2 (use --zones to set it)\n"


@pytest.mark.parametrize(("text", "fragment"), [
    ("", "empty"),
    ("zone,label\n1,5\n", "line 1: the zones file's header must be position,label"),
    ("position,label\n", "lists no zones"),
    ("position,label\n1,5\n3,6\n", "line 3: position 3 where position 2 was expected"),
    ("position,label\n1,5\n\n2,5\n", "line 4: zone label 5 is also on line 2"),
    ("position,label\n1,5.5\n", "line 2, column 'label': '5.5' is not a whole number"),
    ("position,label\n1\n", "line 2: 1 fields"),
    (f"position,label\n1,{2**63}\n", "line 2, column 'label'"),
    ('position,label\n1,"5\n', "line 2: a quoted field is not closed"),
])
def test_faulty_zones_files_name_the_line(tmp_path, text, fragment):
    (tmp_path / "z.csv").write_text(text)
    with pytest.raises(ValueError) as info:
        read_zones(tmp_path / "z.csv")
    assert fragment in str(info.value)


def test_zones_file_round_trip_and_name(tmp_path):
    write_zones(tmp_path / "z.csv", [9, -3, 2**63 - 1, -2**63])
    assert (tmp_path / "z.csv").read_text() == f"position,label\n1,9\n2,-3\n3,{2**63 - 1}\n4,{-2**63}\n"
    assert read_zones(tmp_path / "z.csv").tolist() == [9, -3, 2**63 - 1, -2**63]
    assert [zones_path(p) for p in ("out.mat", "d.v2/OUT.MAT", "plain")] == [
        "out.zones.csv", "d.v2/OUT.zones.csv", "plain.zones.csv"]


@pytest.mark.parametrize(("options", "zones", "stderr"), [
    ([], 2, INFERRED), (["--quiet"], 2, INFERRED), (["--zones", "3"], 3, ""), (["--zones", "3", "-q"], 3, "")])
def test_zone_count_is_given_or_said_to_be_inferred(tmp_path, options, zones, stderr):
    (tmp_path / "t.csv").write_text(TRIPS)
    result = orvanel_cli("convert", tmp_path / "t.csv", tmp_path / "t.mat", *options)
    assert result.returncode == 0 and result.stderr == stderr
    assert orvanel.read(tmp_path / "t.mat").zones == zones


def test_nonzero_csv_reads_back_with_zones(tmp_path):
    values = np.zeros((5, 5))
    values[0, 1], values[2, 3] = 4.5, -0.0  # -0.0 is kept: left out, it would read back as 0.0
    np.savez(tmp_path / "m.npz", A=values, B=values * 2)
    assert orvanel_cli("convert", tmp_path / "m.npz", tmp_path / "m.csv.gz", "--nonzero").returncode == 0
    assert len(gzip.decompress((tmp_path / "m.csv.gz").read_bytes()).splitlines()) == 3
    result = orvanel_cli("convert", tmp_path / "m.csv.gz", tmp_path / "back.npz", "--zones", "5")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    back = orvanel.formats.npz.read_npz(tmp_path / "back.npz")
    assert same_bits(back["A"], values) and same_bits(back["B"], values * 2)


def test_zone_labels_travel_beside_a_matrix_file(tmp_path):
    (tmp_path / "z.csv").write_text("position,label\n1,310\n2,120\n3,205\n")
    (tmp_path / "l.csv").write_text("origin,destination,TRIPS\n120,310,10\n205,120,5\n")
    result = orvanel_cli("convert", tmp_path / "l.csv", tmp_path / "l.mat", "--zones-file", tmp_path / "z.csv", "-q")
    assert result.returncode == 0 and result.stderr == (
        f"orvanel convert: note: zone labels written to {tmp_path / 'l.zones.csv'} (read them back with --zones-file)\n")
    assert (tmp_path / "l.zones.csv").read_text() == (tmp_path / "z.csv").read_text()
    assert same_bits(orvanel.read(tmp_path / "l.mat")["TRIPS"], [[0, 0, 0], [10, 0, 0], [0, 5, 0]])
    args = ["--zones-file", tmp_path / "l.zones.csv", "--nonzero"]
    assert orvanel_cli("convert", tmp_path / "l.mat", tmp_path / "back.csv", *args).returncode == 0
    assert (tmp_path / "back.csv").read_text() == "origin,destination,TRIPS\n120,310,10.0\n205,120,5.0\n"
    # A matrix written without labels gets no zones file.
    assert orvanel_cli("convert", tmp_path / "l.mat", tmp_path / "plain.mat").stderr == ""
    assert not (tmp_path / "plain.zones.csv").exists()


def test_failed_matrix_write_keeps_the_old_zones_file(tmp_path):
    (tmp_path / "z.csv").write_text("position,label\n1,7\n2,8\n")
    (tmp_path / "out.zones.csv").write_text("old")
    (tmp_path / "bad.csv").write_text("origin,destination,Zeit\u20ac\n7,8,1\n")  # a name no matrix file takes
    result = orvanel_cli("convert", tmp_path / "bad.csv", tmp_path / "out.mat", "--zones-file", tmp_path / "z.csv")
    assert_one_line_failure(result, 1, "out.mat")
    assert (tmp_path / "out.zones.csv").read_text() == "old" and not (tmp_path / "out.mat").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.csv", "out.zones.csv", "z.csv"]


def damaged_gzip():
    data = bytearray(gzip.compress(b"origin,destination,A\n" + b"".join(b"%d,1,2\n" % o for o in range(1, 3000))))
    data[30:60] = bytes(30)
    return bytes(data)


INPUTS = {  # file name: how it is made
    "sample.mat": lambda p: p.write_bytes(bytes(orvanel.sample())),
    "t.csv": lambda p: p.write_text(TRIPS),
    "z.csv": lambda p: p.write_text("position,label\n1,5\n2,6\n"),
    "bad.csv": lambda p: p.write_text("origin,destination,A\n1,1,2.0\n1,2,x\n"),
    "t.mat": lambda p: orvanel.write(p, {"A": np.eye(3)}),
    "t.omx": lambda p: orvanel.omx.write_omx(orvanel.from_arrays({"A": np.eye(2)}), p),
    "cut.csv.gz": lambda p: p.write_bytes(gzip.compress(TRIPS.encode())[:-20]),
    "damaged.csv.gz": lambda p: p.write_bytes(damaged_gzip()),
    "damaged.npz": damaged_deflate,
    "garbage.npz": lambda p: p.write_bytes(b"PK\x03\x04" + bytes(50)),
    "npy.npz": lambda p: np.save(open(p, "wb"), np.eye(2)),
}


@pytest.mark.parametrize(("args", "status", "fragment"), [
    (["sample.mat", "out.xlsx"], 2, "cannot tell the format of out.xlsx"),
    (["sample.mat", "out.omx", "--type", "TRIPS=X"], 2, "invalid type code X"),
    (["sample.mat", "out.omx", "--type", "S", "--type", "TIME=D"], 2, "--type TIME=D: give either"),
    (["sample.mat", "out.omx", "--type", "TRIPS=2", "--type", "TRIPS=3"], 2, 'table "TRIPS" already has type code 2'),
    (["sample.mat", "out.omx", "--type", "S", "--type", "2"], 2, "every table already has type code S"),
    (["sample.mat", "out.omx", "--type", "NOPE=2"], 2, 'sample.mat: no table named "NOPE" (--type)'),
    (["sample.mat", "out.omx", "--type", "=2"], 2, 'no table named "" (--type)'),
    (["sample.mat", "out.omx", "--tables", "TIME", "--type", "TRIPS=2"], 2, '"TRIPS" among the tables chosen'),
    (["sample.mat", "out.omx", "--tables", "NOPE"], 2, 'sample.mat: no table named "NOPE" (--tables'),
    (["t.omx", "out.mat", "--tables", "NOPE"], 2, 't.omx: no table named "NOPE" (--tables'),
    (["sample.mat", "out.omx", "--tables", "TIME,,COST"], 2, "--tables TIME,,COST: empty table name"),
    (["sample.mat", "out.omx", "--tables", "TIME", "COST"], 2, "unrecognized arguments: COST"),
    (["sample.mat"], 2, "required"),
    (["missing.mat", "out.omx"], 1, "missing.mat"),
    (["sample.mat", "no/such/dir/out.npz"], 1, "No such file or directory"),
    (["bad.csv", "out.mat"], 1, "line 3"),
    (["t.csv", "out.omx", "--zones", "1"], 1, "line 3: origin zone 2 is outside 1 to 1"),
    (["t.csv", "out.omx", "--zones", "1.5"], 2, "--zones"),
    (["t.csv", "out.omx", "--zones-file", "missing.csv"], 1, "missing.csv"),
    (["t.csv", "out.omx", "--zones-file", "t.csv"], 1, "position,label"),
    (["t.csv", "out.omx", "--zones-file", "z.csv", "--zones", "3"], 2, "--zones"),
    (["t.mat", "out.omx", "--zones", "4"], 1, "3 zones, not 4"),
    (["t.mat", "out.omx", "--zones-file", "z.csv"], 1, "2 zone labels"),
    (["cut.csv.gz", "out.omx"], 1, "ends early"),
    (["damaged.csv.gz", "out.omx"], 1, "the compressed data is corrupt"),
    (["damaged.npz", "out.omx"], 1, "'T' cannot be read"),
    (["garbage.npz", "out.omx"], 1, "not a readable NumPy archive"),
    (["npy.npz", "out.omx"], 1, "single NumPy array"),
])
def test_convert_failures_are_one_line(tmp_path, args, status, fragment):
    for name, make in INPUTS.items():
        make(tmp_path / name)
    assert_one_line_failure(orvanel_cli("convert", *args, cwd=tmp_path), status, fragment)
    assert not (tmp_path / "out.omx").exists() and not (tmp_path / "out.mat").exists()
