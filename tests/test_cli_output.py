"""What the `orvanel` command line prints: header facts per format, number columns,
escaped text, and one line for every failure, whatever the file or the output stream."""

import gzip
import json
import os
import re
import subprocess
import zlib

import h5py
import numpy as np
import pytest
from test_npz import damaged_deflate
from test_omx import h5py_file

import orvanel
from orvanel.cli._errors import describe
from orvanel.formats.npz import write_npz
from support import SCRIPT, assert_one_line_failure, orvanel_cli

# What a message must never show: a traceback, exception class names, Python's phrasing.
INTERNALS = ["Traceback", "Error:", "Error(", "BadZipFile", "zlib", "codec", "invalid literal", "int()", "errno"]


def converted(suffix):
    def make(sample, path):
        assert orvanel_cli("convert", sample, path.with_suffix(suffix)).returncode == 0
        return path.with_suffix(suffix)
    return make


def npz_without_metadata(sample, path):
    np.savez(path.with_suffix(".npz"), T=np.eye(2))
    return path.with_suffix(".npz")


@pytest.mark.parametrize(("make", "has_texts"), [
    (lambda sample, path: sample, True),
    (converted(".omx"), True),
    (converted(".npz"), True),
    (converted(".csv"), False),
    (lambda sample, path: h5py_file(path.with_suffix(".omx"), {"T": np.eye(2)}), False),
    (npz_without_metadata, False),
], ids=["matrix file", "omx", "npz", "csv", "other omx", "other npz"])
def test_info_shows_banner_and_run_id_only_where_the_file_has_them(sample, tmp_path, make, has_texts):
    path = make(sample, tmp_path / "file")
    text = orvanel_cli("info", path).stdout.splitlines()
    report = json.loads(orvanel_cli("info", path, "--json").stdout)
    assert (report["banner"], report["run_id"]) == ((orvanel.read(sample).banner, "SAMPLE") if has_texts else (None, None))
    assert [line[:8] for line in text[2:4]] == (["banner  ", "run id  "] if has_texts else ["zones   ", "tables  "])


def number_columns(stdout):
    """The total, diagonal, min and max cells of `info`'s table rows, column by column."""
    rows = [line.split() for line in stdout.splitlines() if re.match(r"\s*\d+ ", line)]
    return list(zip(*[row[3:7] for row in rows]))


@pytest.mark.parametrize("arrays", [
    {"TRIPS": np.full((2, 2), 1234.5), "TIME": np.full((2, 2), 1 / 3), "BIG": np.full((2, 2), 5e20)},
    {"A": np.array([[1e-9, 2.0], [3.0, 4.0]]), "B": np.array([[np.nan, 1.0], [np.inf, 7.25]])},
])
def test_info_writes_each_number_column_one_way(tmp_path, arrays):
    path = tmp_path / "m.mat"
    orvanel.write(path, arrays, types={"TRIPS": 2, "BIG": "S"} if "TRIPS" in arrays else "D")
    result = orvanel_cli("info", path)
    for column in number_columns(result.stdout):
        numbers = [cell for cell in column if cell not in ("nan", "inf", "-inf")]
        styles = {("e" in cell, len(cell.partition(".")[2].partition("e")[0])) for cell in numbers}
        assert len(styles) == 1, column
    codes = dict.fromkeys(info.type_code for info in orvanel.read(path).tables)
    legend = "; ".join(f"{code} = {orvanel._schema.describe_type(code)}" for code in codes)
    assert f"type    {legend}" in result.stdout.splitlines()


HOSTILE = "\x1b[2J\x1b[H\rfake\nline\x07\x7f"  # a matrix file takes ASCII names


def test_text_output_escapes_control_characters_and_json_stays_exact(tmp_path):
    path = tmp_path / f"evil{HOSTILE[:4]}\u2028.mat"
    orvanel.write(path, {f"T{HOSTILE}": np.eye(2)}, banner=f"b{HOSTILE}", run_id=f"r{HOSTILE}")
    other = tmp_path / "other.mat"
    orvanel.write(other, {"T": np.ones((2, 2))})
    bad = tmp_path / f"cut{HOSTILE}.mat"
    bad.write_bytes(path.read_bytes()[:-3])
    results = [
        orvanel_cli("info", path), orvanel_cli("diff", path, other), orvanel_cli("validate", path, bad),
        orvanel_cli("convert", path, tmp_path / f"out{HOSTILE}.npz"), orvanel_cli("convert", path, f"{bad}.xlsx"),
        orvanel_cli("info", bad), orvanel_cli("convert", path, other, "--type", f"{HOSTILE}=2"),
    ]
    assert [result.returncode for result in results] == [0, 1, 1, 0, 2, 1, 2]
    for result in results:
        # Line breaks end lines only; nothing else a terminal would act on gets through.
        assert all(line.isprintable() for line in (result.stdout + result.stderr).split("\n")), result
        assert "\\x1b[2J" in result.stdout + result.stderr
    assert "\\x1b[2J\\x1b[H\\rfake\\nline\\x07\\x7f" in results[0].stdout
    assert f"file    {tmp_path}/evil\\x1b[2J\\u2028.mat" in results[0].stdout
    report = json.loads(orvanel_cli("info", path, "--json").stdout)
    assert (report["file"], report["banner"], report["tables"][0]["name"]) == (str(path), f"b{HOSTILE}", f"T{HOSTILE}")


def corrupt_files(tmp_path, sample):
    """Files that fail to read in each way a reader can fail, with what is said of each."""
    contents = {
        "cut.mat": (sample.read_bytes()[:1000], ["unexpected_eof", "at byte offset 1000: "]),
        "garbage.mat": (b"\xff" * 64, ["invalid_header_length", "at byte offset"]),
        "garbage.npz": (b"PK\x03\x04 this is not an archive", []),
        "cut.csv.gz": (gzip.compress(b"origin,destination,A\n" + b"1,1,2.5\n" * 1000)[:-20],
                       ["the compressed data ends early: the file is cut short"]),
        "latin1.csv": ("origin,destination,Zürich\n1,1,2\n".encode("latin-1"), []),
        "letters.csv": (b"origin,destination,A\n1,x,2\n", []),
        "text.omx": (b"not an HDF5 file\n" * 10, []),
    }
    for name, (content, _) in contents.items():
        (tmp_path / name).write_bytes(content)
    damaged_deflate(tmp_path / "deflate.npz")
    np.save(open(tmp_path / "npy.npz", "wb"), np.eye(2))
    return {tmp_path / name: fragments for name, (_, fragments) in contents.items()} | {
        tmp_path / "deflate.npz": ["'T' cannot be read"],
        tmp_path / "npy.npz": ["this is a single NumPy array (.npy), not a NumPy archive (.npz)"],
        tmp_path / "missing.mat": ["io: "]}


def test_every_reader_failure_is_one_line_and_validate_goes_on(tmp_path, sample):
    files = corrupt_files(tmp_path, sample)
    for path, fragments in files.items():
        result = orvanel_cli("info", path)
        assert_one_line_failure(result, 1, f"orvanel info: {path}: ", *fragments)
        assert not any(word in result.stderr for word in INTERNALS), result.stderr
    result = orvanel_cli("validate", *files, sample)
    lines = result.stdout.splitlines()
    assert result.returncode == 1 and result.stderr == "" and lines[-1] == f"{sample}: OK"
    assert [line.partition(": ")[0] for line in lines] == [*map(str, files), str(sample)]
    assert all(all(f in line for f in fragments) for line, fragments in zip(lines, files.values()))
    assert not any(word in result.stdout for word in INTERNALS), result.stdout


@pytest.mark.parametrize(("fail", "expected"), [
    (lambda: int("x"), "not a whole number: 'x'"),
    (lambda: float("1,5"), "not a number: '1,5'"),
    (lambda: zlib.decompress(b"not deflate data"), "corrupt compressed data"),
    (lambda: gzip.decompress(b"not gzip data"), "not a gzip-compressed file"),
    (lambda: gzip.decompress(gzip.compress(b"abc" * 100)[:-12]), "the compressed data ends early (the file is cut short)"),
    (lambda: b"Z\xfcrich".decode("utf-8"), "not UTF-8 text"),
    (lambda: open("/no/such/file.csv"), "No such file or directory (/no/such/file.csv)"),
    (lambda: h5py.File(__file__, "r"), "not an HDF5 file"),
])
def test_failures_are_described_in_plain_words(fail, expected):
    with pytest.raises(Exception) as info:
        fail()
    assert describe(info.value) == expected


@pytest.mark.parametrize(("shell", "status", "message"), [
    ('"$@" >&-', 1, "orvanel info: standard output is closed"),
    ('"$@" >/dev/full', 1, "orvanel info: cannot write to standard output: No space left on device"),
    ('"$@" --quiet >&-', 0, None),  # nothing to write: the conversion succeeds
])
def test_unwritable_standard_output_is_one_line(sample, tmp_path, shell, status, message):
    args = ["convert", sample, tmp_path / "out.npz"] if "quiet" in shell else ["info", sample]
    result = subprocess.run(["sh", "-c", shell, "sh", *SCRIPT, *map(str, args)], capture_output=True, text=True)
    assert result.returncode == status and result.stderr.splitlines() == ([message] if message else [])


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    path = tmp_path / "many.npz"
    write_npz(orvanel.from_arrays({f"T{i}": np.eye(3) for i in range(2000)}), path)
    process = subprocess.Popen([*SCRIPT, "info", path, "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"{\n"
    process.stdout.close()
    assert process.wait() == 1 and process.stderr.read() == b""


@pytest.mark.parametrize("suffix", [".omx", ".npz", ".csv"])
def test_repeated_names_are_one_note_line(tmp_path, suffix):
    source, target = tmp_path / "repeated.mat", tmp_path / f"out{suffix}"
    orvanel.create(2, [("A", "D"), ("B", "D"), ("A", "D")]).write(source)
    result = orvanel_cli("convert", source, target)
    assert result.returncode == 0 and result.stderr.splitlines() == [
        f"orvanel convert: note: repeated table names are labelled by position in the "
        f"{ {'.omx': 'OMX file', '.npz': '.npz archive', '.csv': 'CSV file'}[suffix]}: A#3"]


@pytest.mark.parametrize(("tables", "zones"), [(900, 3), (1, 1)])
def test_any_number_of_tables_and_zones(tmp_path, tables, zones):
    a, b = tmp_path / "a.npz", tmp_path / "b.npz"
    m = orvanel.from_arrays({f"T{i}": np.full((zones, zones), float(i)) for i in range(tables)})
    write_npz(m, a)
    m.to_numpy()[-1, -1, -1] = -1.0
    write_npz(m, b)
    info = orvanel_cli("info", a)
    assert info.returncode == 0 and len(number_columns(info.stdout)[0]) == tables
    diff = orvanel_cli("diff", a, b)
    lines = diff.stdout.splitlines()
    assert diff.returncode == 1 and len(lines) == 2 + tables + 1
    assert lines[-2].startswith(f"T{tables - 1}") and "1 cell differs" in lines[-2]
    assert all(line.endswith("identical") for line in lines[2:-2])


def test_names_the_terminal_cannot_show_are_escaped(tmp_path):
    path = tmp_path / "zürich.npz"
    write_npz(orvanel.from_arrays({"Zürich→東京": np.eye(2)}), path)
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    info = orvanel_cli("info", path, env=env)
    missing = orvanel_cli("info", tmp_path / "ü.mat", env=env)
    assert info.returncode == 0 and "1  Z\\xfcrich\\u2192\\u6771\\u4eac  D" in info.stdout
    assert_one_line_failure(missing, 1, f"orvanel info: {tmp_path}/\\xfc.mat: ")
