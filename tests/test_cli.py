"""The `orvanel` command line, run as a separate process the way a modeller runs it: what
each command does and prints (header facts per format, number columns, escaped text), zone
counts, zone labels and zones files, and one line for every failure, whatever the file or
the output stream."""

import gzip
import json
import os
import pty
import subprocess
import zlib

import h5py
import numpy as np
import pytest
from test_csv_npz import damaged_deflate

import orvanel
import orvanel.omx
from orvanel.cli._errors import describe
from orvanel.formats.npz import read_npz, write_npz
from orvanel.formats.zonesfile import read_zones, write_zones, zones_path
from support import MODULE, SCRIPT, SPECIAL, assert_one_line_failure, orvanel_cli, same_bits


@pytest.mark.parametrize("runner", [SCRIPT, MODULE])
def test_info_without_a_file_describes_the_shipped_sample(runner):
    result = orvanel_cli("info", runner=runner)
    assert result.returncode == 0 and result.stderr == ""
    lines = result.stdout.splitlines()
    assert "zones   50" in lines and "tables  4" in lines and "run id  SAMPLE" in lines
    tables = [line.split()[:3] for line in lines if line[:1].isdigit()]
    assert tables == [["1", "TRIPS", "2"], ["2", "TIME", "D"], ["3", "COST", "S"], ["4", "COUNT", "0"]]
    assert any(line.startswith("size ") and "bytes per cell" in line for line in lines)
    assert orvanel_cli("--version", runner=runner).stdout == f"orvanel {orvanel.__version__}\n"


def test_info_json(sample, tmp_path):
    report = json.loads(orvanel_cli("info", sample, "--json").stdout)
    m = orvanel.read(sample)
    assert (report["zones"], report["banner"], report["run_id"]) == (50, m.banner, m.run_id)
    assert report["size_bytes"] == sample.stat().st_size
    assert report["bytes_per_cell"] == sample.stat().st_size / (50 * 50 * 4)
    for entry, info in zip(report["tables"], m.tables, strict=True):
        table = m[info.name]
        assert (entry["index"], entry["name"], entry["type_code"]) == (info.index, info.name, info.type_code)
        assert (entry["total"], entry["diagonal_total"]) == (m.total(info.name), m.diagonal_total(info.name))
        assert (entry["min"], entry["max"]) == (table.min(), table.max())
        assert entry["zero_share"] == np.count_nonzero(table == 0) / table.size
    # Non-finite values are written as strings.
    orvanel.write(tmp_path / "special.mat", {"X": SPECIAL})
    report = json.loads(orvanel_cli("info", tmp_path / "special.mat", "--json").stdout)
    assert report["tables"][0]["total"] == report["tables"][0]["max"] == "nan"
    # A file without header texts shows no banner or run id, in either output.
    (tmp_path / "t.csv").write_text(TRIPS)
    report = json.loads(orvanel_cli("info", tmp_path / "t.csv", "--json").stdout)
    assert (report["banner"], report["run_id"]) == (None, None)
    text = orvanel_cli("info", tmp_path / "t.csv").stdout.splitlines()
    assert [line[:8] for line in text[2:4]] == ["zones   ", "tables  "]


@pytest.mark.parametrize(("options", "status", "verdict", "differing"), [
    ([], 1, "different", 2),
    (["--atol", "0.5"], 1, "different", 1),  # only the 0.75 change exceeds 0.5
    (["--rtol", "0.5"], 0, "equal within tolerance", 0),  # 0.75 of at least 2.2
])
def test_diff_finds_the_largest_difference(sample, tmp_path, options, status, verdict, differing):
    m = orvanel.read(sample)
    m.set("TIME", 7, 3, m.get("TIME", 7, 3) + 0.75)
    m.set("TIME", 2, 9, m.get("TIME", 2, 9) - 0.25)
    changed = tmp_path / "changed.mat"
    m.write(changed)
    result = orvanel_cli("diff", sample, changed, *options)
    assert result.returncode == status and result.stdout.splitlines()[-1] == verdict
    report = json.loads(orvanel_cli("diff", sample, changed, *options, "--json").stdout)
    time = next(t for t in report["tables"] if t["name"] == "TIME")
    assert time["at"] == [7, 3]  # 1-based zone numbers
    assert time["max_abs_diff"] == pytest.approx(0.75) and time["differing_cells"] == differing
    assert report["equal"] is (status == 0)
    assert all(t["differing_cells"] == 0 and t["at"] is None for t in report["tables"] if t["name"] != "TIME")


def write_tables(path, names, zones=3, changed=None):
    """Table i holds i everywhere; `changed` (table, origin, destination), 0-based, adds 7."""
    m = orvanel.create(zones, [(name, "D") for name in names])
    values = m.to_numpy()
    values[:] = np.arange(len(names))[:, None, None]
    if changed is not None:
        values[changed] += 7
    m.write(path)


REPEATED = ["A", "B", "A"]


@pytest.mark.parametrize(("names", "options", "status", "lines", "facts"), [
    (REPEATED, {}, 0, ["A    identical", "B    identical", "A#3  identical", "equal"], {}),
    (REPEATED, {"changed": (2, 0, 1)}, 1,
     ["A    identical", "B    identical", "A#3  1 cell differs; largest difference 7 at (1, 2)", "different"], {}),
    (["A", "B"], {}, 1, ["table counts differ: 3 and 2", "only in {a}: A#3", "A  identical", "B  identical",
                         "different"], {"only_in_a": ["A#3"], "table_count": {"a": 3, "b": 2}}),
    (["A", "B", "A", "C"], {}, 1, ["table counts differ: 3 and 4", "only in {b}: C", "A    identical",
                                   "B    identical", "A#3  identical", "different"],
     {"only_in_b": ["C"], "table_count": {"a": 3, "b": 4}}),
    (["A", "X", "A"], {}, 1, ["A    identical", "B    name B != X; identical", "A#3  identical", "different"],
     {"renamed": [{"a": "B", "b": "X"}]}),
    (REPEATED, {"zones": 4}, 1, ["zone counts differ: 3 and 4; tables not compared", "different"],
     {"tables_compared": False}),
])
def test_diff_pairs_tables_by_position(tmp_path, names, options, status, lines, facts):
    a, b = tmp_path / "a.mat", tmp_path / "b.mat"
    write_tables(a, REPEATED)
    write_tables(b, names, **options)
    result = orvanel_cli("diff", a, b)
    assert result.returncode == status
    assert result.stdout.splitlines() == [f"--- {a}", f"+++ {b}", *(line.format(a=a, b=b) for line in lines)]
    # Each file with a repeated name says once how its tables are labelled.
    notes = [f"orvanel diff: note: repeated table names are labelled by position in {path}: A#3"
             for path in (a, b) if orvanel.read(path).names.count("A") > 1]
    assert result.stderr.splitlines() == notes
    report = json.loads(orvanel_cli("diff", a, b, "--json").stdout)
    assert report["equal"] is (status == 0) and report["tables_compared"] is facts.get("tables_compared", True)
    assert (report["only_in_a"], report["only_in_b"]) == (facts.get("only_in_a", []), facts.get("only_in_b", []))
    assert report["header"].get("table_count") == facts.get("table_count")
    assert [t["renamed"] for t in report["tables"] if "renamed" in t] == facts.get("renamed", [])
    assert [t["label"] for t in report["tables"]] == [line.split()[0] for line in lines if "  " in line]


@pytest.mark.parametrize(("a", "b", "options", "verdict"), [
    (np.inf, 5.0, ["--rtol", "0.5"], "different"),  # an infinite tolerance does not make inf equal 5
    (np.nan, 5.0, ["--atol", "inf"], "different"),
    (np.inf, -np.inf, ["--rtol", "1"], "different"),
    (1e308, 5.0, ["--rtol", "1"], "equal within tolerance"),
])
def test_diff_non_finite_values_differ_from_all_others(tmp_path, a, b, options, verdict):
    orvanel.write(tmp_path / "a.mat", {"T": np.full((1, 1), a)})
    orvanel.write(tmp_path / "b.mat", {"T": np.full((1, 1), b)})
    result = orvanel_cli("diff", tmp_path / "a.mat", tmp_path / "b.mat", *options)
    assert result.returncode == (verdict == "different") and result.stdout.splitlines()[-1] == verdict
    report = json.loads(orvanel_cli("diff", tmp_path / "a.mat", tmp_path / "b.mat", *options, "--json").stdout)
    assert report["equal"] is (verdict != "different") and report["tables"][0]["differing_cells"] == (not report["equal"])


def test_diff_reports_header_differences(sample, tmp_path):
    other = tmp_path / "other.mat"
    orvanel.read(sample).astype({"TRIPS": "D"}).write(other)
    m = orvanel.read(other)
    orvanel.write(other, dict(m.items()), types=m.type_codes, run_id="OTHER")
    result = orvanel_cli("diff", sample, other)
    assert result.returncode == 0 and result.stdout.splitlines()[2:] == [
        "run id: 'SAMPLE' != 'OTHER'", "TRIPS  type 2 != D; identical", "TIME   identical", "COST   identical",
        "COUNT  identical", "equal"]


@pytest.mark.parametrize("suffix", [".omx", ".npz"])
def test_convert_keeps_type_codes_byte_for_byte(sample, tmp_path, suffix):
    middle, back = tmp_path / f"middle{suffix}", tmp_path / "back.mat"
    assert orvanel_cli("convert", sample, middle).returncode == 0
    assert orvanel_cli("convert", middle, back).returncode == 0 and back.read_bytes() == sample.read_bytes()


@pytest.fixture
def odd_names(tmp_path):
    """An archive whose table names hold a comma, are empty, or look like options."""
    path = tmp_path / "odd.npz"
    write_npz(orvanel.from_arrays({"A,B": np.ones((2, 2)), "": np.eye(2), "C": np.zeros((2, 2))}), path)
    return path


@pytest.mark.parametrize(("options", "codes"), [
    (["--table", "A,B"], {"A,B": "D"}),
    (["--tables", "C", "--table", ""], {"": "D", "C": "D"}),
    (["--type", "=2", "--type", "A,B=S", "--type", "=2"], {"A,B": "S", "": "2", "C": "D"}),
    (["--type", "0", "--tables", "C"], {"C": "0"}),
])
def test_convert_options_take_one_value_each(odd_names, tmp_path, options, codes):
    # The options come before the file names, which they must leave alone.
    result = orvanel_cli("convert", *options, odd_names, tmp_path / "out.npz")
    assert result.returncode == 0, result.stderr
    assert read_npz(tmp_path / "out.npz").type_codes == codes


@pytest.mark.parametrize("argv", [
    [], ["bogus"], ["info", "--bogus"], ["diff", "a.mat"], ["diff", "a", "b", "--rtol", "-1"]])
def test_usage_errors_exit_with_status_2(argv):
    assert_one_line_failure(orvanel_cli(*argv), 2, "orvanel")


def run_at_terminal(argv):
    """Runs with standard error on a pseudo-terminal; returns (status, what it showed)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([*SCRIPT, *map(str, argv)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=terminal)
    os.close(terminal)
    shown = b""
    try:
        while chunk := os.read(controller, 4096):
            shown += chunk
    except OSError:  # the terminal side closed
        pass
    os.close(controller)
    process.stdout.read()
    return process.wait(), shown.decode()


def test_progress_bar_only_at_a_terminal_and_not_when_quiet(tmp_path):
    large = tmp_path / "large.mat"  # just over 2**20 cells
    orvanel.write(large, {"A": np.eye(725), "B": np.ones((725, 725))})
    status, shown = run_at_terminal(["convert", large, tmp_path / "large.omx"])
    assert status == 0 and "writing" in shown and "100%" in shown and "[" + "#" * 30 + "]" in shown
    status, shown = run_at_terminal(["convert", large, tmp_path / "large.npz", "--quiet"])
    assert status == 0 and "%" not in shown
    result = orvanel_cli("convert", large, tmp_path / "other.npz")
    assert result.returncode == 0 and result.stderr == ""


# ---- what the commands print ---------------------------------------------------------

# What a message must never show: a traceback, exception class names, Python's phrasing.
INTERNALS = ["Traceback", "Error:", "Error(", "BadZipFile", "zlib", "codec", "invalid literal", "int()", "errno"]


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


def damaged_gzip():
    data = bytearray(gzip.compress(b"origin,destination,A\n" + b"".join(b"%d,1,2\n" % o for o in range(1, 3000))))
    data[30:60] = bytes(30)
    return bytes(data)


def corrupt_files(tmp_path, sample):
    """Files that fail to read in each way a reader can fail, with what is said of each."""
    contents = {
        "cut.mat": (sample.read_bytes()[:1000], ["unexpected_eof", "at byte offset 1000: "]),
        "garbage.mat": (b"\xff" * 64, ["invalid_header_length", "at byte offset"]),
        "garbage.npz": (b"PK\x03\x04 this is not an archive", ["not a readable NumPy archive"]),
        "cut.csv.gz": (gzip.compress(b"origin,destination,A\n" + b"1,1,2.5\n" * 1000)[:-20],
                       ["the compressed data ends early: the file is cut short"]),
        "latin1.csv": ("origin,destination,Zürich\n1,1,2\n".encode("latin-1"), []),
        "letters.csv": (b"origin,destination,A\n1,x,2\n", []),
        "text.omx": (b"not an HDF5 file\n" * 10, []),
        "damaged.csv.gz": (damaged_gzip(), ["the compressed data is corrupt"]),
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
    quiet = orvanel_cli("validate", "--quiet", sample, *files, sample)
    assert quiet.returncode == 1 and quiet.stdout.splitlines() == lines[:-1]


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


def test_names_the_terminal_cannot_show_are_escaped(tmp_path):
    path = tmp_path / "zürich.npz"
    write_npz(orvanel.from_arrays({"Zürich→東京": np.eye(2)}), path)
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    info = orvanel_cli("info", path, env=env)
    missing = orvanel_cli("info", tmp_path / "ü.mat", env=env)
    assert info.returncode == 0 and "1  Z\\xfcrich\\u2192\\u6771\\u4eac  D" in info.stdout
    assert_one_line_failure(missing, 1, f"orvanel info: {tmp_path}/\\xfc.mat: ")


# ---- zones and convert failures -----------------------------------------------------

TRIPS = "origin,destination,TRIPS\n1,2,10\n2,1,5\n"


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


INPUTS = {  # file name: how it is made
    "sample.mat": lambda p: p.write_bytes(bytes(orvanel.sample())),
    "t.csv": lambda p: p.write_text(TRIPS),
    "z.csv": lambda p: p.write_text("position,label\n1,5\n2,6\n"),
    "bad.csv": lambda p: p.write_text("origin,destination,A\n1,1,2.0\n1,2,x\n"),
    "euro.csv": lambda p: p.write_text("origin,destination,Zeit\u20ac\n5,6,1\n"),  # a name no matrix file takes
    "out.zones.csv": lambda p: p.write_text("old"),  # kept when the matrix file is not written
    "t.mat": lambda p: orvanel.write(p, {"A": np.eye(3)}),
    "t.omx": lambda p: orvanel.omx.write_omx(orvanel.from_arrays({"A": np.eye(2)}), p),
    "fifo.omx": os.mkfifo,
    "device.npz": lambda p: p.symlink_to(os.devnull),
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
    (["sample.mat", "out.mat", "--split", "x"], 2, "--split: takes a number of tables in 1 to 255 (got x)"),
    (["sample.mat", "out.npz", "--split", "5"], 2, "--split applies only when OUT is a matrix file"),
    (["sample.mat", "out.omx", "--lookup", "taz"], 2, "--lookup applies only"),
    (["sample.mat", "no/such/dir/out.npz"], 1, "No such file or directory"),
    (["sample.mat", "fifo.omx"], 1, "fifo.omx: this format can only be written to a regular file"),
    (["sample.mat", "device.npz"], 1, "device.npz: this format can only be written to a regular file"),
    (["bad.csv", "out.mat"], 1, "line 3"),
    (["euro.csv", "out.mat", "--zones-file", "z.csv"], 1, "out.mat"),
    (["t.csv", "out.omx", "--zones", "1"], 1, "line 3: origin zone 2 is outside 1 to 1"),
    (["t.csv", "out.omx", "--zones", "1.5"], 2, "--zones"),
    (["t.csv", "out.omx", "--zones-file", "missing.csv"], 1, "missing.csv"),
    (["t.csv", "out.omx", "--zones-file", "t.csv"], 1, "position,label"),
    (["t.csv", "out.omx", "--zones-file", "z.csv", "--zones", "3"], 2, "--zones"),
    (["t.mat", "out.omx", "--zones", "4"], 1, "3 zones, not 4"),
    (["t.mat", "out.omx", "--zones-file", "z.csv"], 1, "2 zone labels"),
])
def test_convert_failures_are_one_line(tmp_path, args, status, fragment):
    for name, make in INPUTS.items():
        make(tmp_path / name)
    assert_one_line_failure(orvanel_cli("convert", *args, cwd=tmp_path), status, fragment)
    assert sorted(os.listdir(tmp_path)) == sorted(INPUTS) and (tmp_path / "out.zones.csv").read_text() == "old"
