"""Long-form CSV: what is read as a number, what is refused and how, and exact writing.
NumPy archives: exact round trips, archives from elsewhere, and damaged or foreign files."""

import gzip
import json
import struct
import zipfile

import numpy as np
import pytest

import orvanel
from orvanel.formats import csvlong
from orvanel.formats.csvlong import read_csv, write_csv
from orvanel.formats.npz import read_npz, write_npz
from support import same_bits

INTERNAL = ("invalid literal", "int()", "codec", "gzipped", "zlib", "Error -3", "..=", "could not convert")


def csv_file(tmp_path, text, name="in.csv"):
    path = tmp_path / name
    data = text.encode() if isinstance(text, str) else text
    path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    return path


def refused(path, *fragments, **options):
    with pytest.raises(ValueError) as info:
        read_csv(path, **options)
    message = str(info.value)
    assert all(fragment in message for fragment in fragments), message
    assert not any(text in message for text in INTERNAL) and "\n" not in message, message


@pytest.mark.parametrize("field", [
    "NaN", "-inf", "Infinity", "1e-05", "-0.0", ".5", "5.", "+2", "", '"2.5"', "-9007199254740992", "1e400", "0.1"])
def test_accepted_numbers_read_as_python_reads_them(tmp_path, field):
    m = read_csv(csv_file(tmp_path, f"origin,destination,A\n1,1,{field}\r\n"))
    assert same_bits(m["A"], [[float(field.strip('"') or "nan")]])


@pytest.mark.parametrize(("line", "fragments"), [
    ("1,1,1_000", ["line 3, column 'A'", "'1_000' is not a number"]),
    ("1,1, 1", ["' 1' is not a number"]),
    ("1,1,0x10", ["'0x10' is not a number"]),
    ("1,1,1e", ["'1e' is not a number"]),
    ("1,1,\u0661", ["column 'A'"]),  # a non-ASCII digit
    ("1,1,\"2", ["line 3", "quoted field is not closed"]),
    ("1,1,\"2\"x", ["line 3", "quoted field"]),
    ('1,1,"1,5"', ["line 3, column 'A'", "'1,5' is not a number"]),
    ("1.5,1,1", ["line 3, column 'origin'", "'1.5' is not a whole zone number"]),
    ("1,1_0,1", ["column 'destination'", "'1_0' is not a zone number"]),
    (",1,1", ["column 'origin'", "missing"]),
    ("1,1", ["line 3: 2 fields, but the header has 3 columns"]),
    ("0,1,1", ["line 3: origin zone 0"]),
    ("1,1,9007199254740993", ["table 'A', line 3 (origin 1, destination 1)", "9007199254740993"]),
    ("1,1,-18014398509481985", ["-18014398509481985"]),
    ("1,1,2\n1,1,3", ["line 4: origin 1, destination 1 occurs a second time"]),
])
def test_faulty_lines_are_refused_with_line_and_column(tmp_path, line, fragments):
    refused(csv_file(tmp_path, f"origin,destination,A\n2,2,1\n{line}\n"), *fragments)


@pytest.mark.parametrize(("content", "fragment"), [
    (b"", "empty"),
    (b"from,to,A\n1,1,1\n", "origin,destination"),
    (b"origin,destination\n1,1\n", "no table columns"),
    (b"origin,destination,A\n", "no data lines"),
    (b'origin,destination,"A\n1,1,1\n', "header"),
    (b"origin,destination,A\n1,1,1\n1,2,\xe9\n", "line 3: the text is not UTF-8"),
])
def test_faulty_files_are_refused(tmp_path, content, fragment):
    refused(csv_file(tmp_path, content), fragment)


@pytest.mark.parametrize(("transform", "fragment"), [
    (lambda data: data, "not a gzip-compressed file"),
    (lambda data: gzip.compress(data)[:-8] + b"\0\0\0\0" + gzip.compress(data)[-4:], "corrupt"),
])
def test_damaged_gzip_files_are_refused(tmp_path, transform, fragment):
    data = b"origin,destination,A\n" + b"".join(b"%d,%d,%d.5\n" % (o, d, o * d) for o in range(1, 30) for d in range(1, 30))
    path = tmp_path / "in.csv.gz"
    path.write_bytes(transform(data))
    refused(path, fragment)


@pytest.mark.parametrize(("ids", "zones"), [('"1","2"', 2), ("2.0,3.", 3), ("+1,007", 7)])
def test_zone_ids_written_any_way_infer_the_zone_count(tmp_path, ids, zones):
    assert read_csv(csv_file(tmp_path, f"origin,destination,A\n{ids},4\n")).zones == zones


def test_line_numbers_hold_across_blocks_blank_lines_and_crlf(tmp_path, monkeypatch):
    monkeypatch.setattr(csvlong, "BLOCK_BYTES", 50)
    lines = [f"{o},{d},{o * 10 + d}" for o in range(1, 8) for d in range(1, 8)]
    lines[5:5] = ["", ""]
    text = "\ufefforigin,destination,A\r\n" + "\r\n".join(lines)  # a byte order mark, no newline at the end
    m = read_csv(csv_file(tmp_path, text))
    assert same_bits(m["A"], np.add.outer(np.arange(1, 8) * 10, np.arange(1, 8)))
    lines[40] = "6,6,x"  # line 42 of the file
    refused(csv_file(tmp_path, "origin,destination,A\n" + "\n".join(lines)), "line 42, column 'A'")
    lines[40] = "1,3,1"  # repeats line 4 of the file
    refused(csv_file(tmp_path, "origin,destination,A\n" + "\n".join(lines)), "line 42: origin 1, destination 3")


@pytest.mark.parametrize(("options", "zones", "fault"), [
    ({"zones": 3}, 3, None),
    ({"zone_labels": [2, 1, 7]}, 3, None),
    ({"zone_labels": [1, 3, 4]}, None, "line 3: origin zone 2 is not one of the zone labels"),
    ({"zones": 2, "zone_labels": [2, 1, 7]}, None, "3 zone labels were given for 2 zones"),
])
def test_zone_count_and_labels(tmp_path, options, zones, fault):
    path = csv_file(tmp_path, "origin,destination,A\n1,2,10\n2,1,5\n")
    if fault:
        return refused(path, fault, **options)
    m = read_csv(path, **options)
    labels = list(options.get("zone_labels", range(1, zones + 1)))
    expected = np.zeros((zones, zones))
    expected[labels.index(1), labels.index(2)], expected[labels.index(2), labels.index(1)] = 10, 5
    assert m.zones == zones and same_bits(m["A"], expected) and list(m.zone_labels) == labels


@pytest.mark.parametrize("name", ["out.csv", "out.csv.gz"])
@pytest.mark.parametrize("nonzero", [False, True])
def test_writing_reads_back_exactly(tmp_path, name, nonzero):
    values = np.zeros((2, 4, 4))
    values[0, 0, :3] = [np.nan, -0.0, 5e-324]
    values[1, 2, 1] = np.inf
    m = orvanel.from_arrays({"A": values[0], 'B,"b"\nc': values[1]})  # a header of two lines
    m.zone_labels = [40, 30, 20, 10]
    write_csv(m, tmp_path / name, nonzero=nonzero)
    back = read_csv(tmp_path / name, zone_labels=m.zone_labels)
    assert back.names == m.names and same_bits(back.to_numpy(), values)
    data = (tmp_path / name).read_bytes()
    lines = (gzip.decompress(data) if name.endswith(".gz") else data).decode().splitlines()
    assert len(lines) == 2 + (4 if nonzero else 16) and lines[2] == "40,40,nan,0.0"
    if name.endswith(".gz"):  # the gzip header names the file, not its temporary file
        assert data[3] & 0x08 and data[10:data.index(b"\0", 10)] == b"out.csv"
        assert struct.unpack("<I", data[4:8])[0] > 0


def test_columns_not_read_may_hold_anything_but_broken_quotes(tmp_path):
    path = csv_file(tmp_path, 'origin,destination,NAME,A\n1,1,"north, old",2\n1,2,x y,3\n')
    assert same_bits(read_csv(path, tables=["A"])["A"], [[2, 3], [0, 0]])
    refused(path, "line 2, column 'NAME'")
    refused(csv_file(tmp_path, 'origin,destination,NAME,A\n1,1,"north,2\n'), "line 2: a quoted field", tables="A")


def test_all_zero_matrix_with_nonzero_is_a_header(tmp_path):
    m = orvanel.create(3, {"A": "D"})
    write_csv(m, tmp_path / "zero.csv", nonzero=True)
    assert (tmp_path / "zero.csv").read_text() == "origin,destination,A\n"
    assert same_bits(read_csv(tmp_path / "zero.csv", zones=3).to_numpy(), m.to_numpy())


@pytest.mark.parametrize(("zone", "fault"), [
    (2**63 - 1, None), (-2**63, None), (2**63, "too large for a zone number"), (10**19 + 5, "too large")])
def test_zone_labels_span_int64(tmp_path, zone, fault):
    path = csv_file(tmp_path, f"origin,destination,A\n{zone},{zone}.0,2\n")
    if fault:
        return refused(path, "line 2, column 'origin'", fault, zone_labels=[zone % 7])
    assert same_bits(read_csv(path, zone_labels=[3, zone]).to_numpy(), [[[0, 0], [0, 2]]])


# ---- NumPy archives ---------------------------------------------------------------------


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
    (np.eye(3, dtype=bool), "0"), (np.eye(3, dtype=np.uint64), "0"), (np.eye(3, dtype=np.float16), "S"),
    (np.eye(3, dtype=">f4"), "S"), (np.eye(3, dtype=">f8"), "D"),
    (np.asfortranarray(np.arange(9.0).reshape(3, 3)), "D")])
def test_archives_without_metadata_take_codes_from_element_types(tmp_path, array, code):
    np.savez(tmp_path / "plain.npz", T=array)
    m = read_npz(tmp_path / "plain.npz")
    assert m.type_codes == {"T": code} and same_bits(m["T"], array.astype(np.float64))


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
