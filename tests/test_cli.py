"""The `orvanel` command line, run as a separate process the way a modeller runs it."""

import gzip
import json
import os
import pty
import subprocess

import numpy as np
import pytest

import orvanel
from orvanel._header import DEFAULT_RUN_ID
from orvanel.formats.npz import read_npz, write_npz
from support import MODULE, SCRIPT, SPECIAL, assert_one_line_failure, orvanel_cli, same_bits


@pytest.fixture
def special(tmp_path):
    path = tmp_path / "special.mat"
    orvanel.write(path, {"X": SPECIAL, "Y": SPECIAL.T * 3}, banner="special", run_id="S1")
    return path


@pytest.mark.parametrize("runner", [SCRIPT, MODULE])
def test_info_without_a_file_describes_the_shipped_sample(runner):
    result = orvanel_cli("info", runner=runner)
    assert result.returncode == 0 and result.stderr == ""
    lines = result.stdout.splitlines()
    assert "zones   50" in lines and "tables  4" in lines and "run id  SAMPLE" in lines
    tables = [line.split()[:3] for line in lines if line[:1].isdigit()]
    assert tables == [["1", "TRIPS", "2"], ["2", "TIME", "D"], ["3", "COST", "S"], ["4", "COUNT", "0"]]
    assert any(line.startswith("size ") and "bytes per cell" in line for line in lines)


def test_info_json(sample, special):
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
    report = json.loads(orvanel_cli("info", special, "--json").stdout)
    assert report["tables"][0]["total"] == report["tables"][0]["max"] == "nan"


def test_validate_reports_every_file(sample, special, tmp_path):
    cut, missing = tmp_path / "cut.mat", tmp_path / "missing.mat"
    cut.write_bytes(sample.read_bytes()[:-1])
    result = orvanel_cli("validate", sample, cut, missing, sample)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == lines[3] == f"{sample}: OK"
    assert lines[1].startswith(f"{cut}: unexpected_eof: at byte offset {sample.stat().st_size - 1}: ")
    assert lines[2].startswith(f"{missing}: io: ")
    quiet = orvanel_cli("validate", "--quiet", sample, cut)
    assert quiet.returncode == 1 and quiet.stdout.splitlines() == [lines[1]]
    valid = orvanel_cli("validate", sample, special)
    assert valid.returncode == 0 and valid.stdout.splitlines() == [f"{sample}: OK", f"{special}: OK"]


@pytest.mark.parametrize(("options", "status", "verdict", "differing"), [
    ([], 1, "different", 2),
    (["--atol", "0.5"], 1, "different", 1),  # only the 0.75 change exceeds 0.5
    (["--atol", "0.75"], 0, "equal within tolerance", 0),
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
    (np.inf, np.inf, [], "equal"),
    (np.nan, np.nan, [], "equal"),
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


@pytest.mark.parametrize("suffix", [".omx", ".npz", ".csv", ".csv.gz", ".mat"])
def test_convert_round_trips_are_exact(special, sample, tmp_path, suffix):
    middle, back = tmp_path / f"middle{suffix}", tmp_path / "back.mat"
    first = orvanel_cli("convert", special, middle)
    assert first.returncode == 0 and first.stdout.startswith(f"wrote {middle} "), first.stderr
    if suffix == ".csv.gz":  # long form: one line per zone pair
        lines = gzip.decompress(middle.read_bytes()).decode().splitlines()
        assert lines[0] == "origin,destination,X,Y" and len(lines) == 1 + 9 and lines[5] == "2,2,5e-324,1.5e-323"
        assert lines[1:4] == ["1,1,-0.0,-0.0", "1,2,nan,-inf", "1,3,inf,3e+300"]
    assert orvanel_cli("convert", middle, back).returncode == 0
    original, result = orvanel.read(special), orvanel.read(back)
    assert result.names == original.names and same_bits(result.to_numpy(), original.to_numpy())
    # CSV keeps only names and values: banner, run id and type codes come from options.
    expected = (result.banner, DEFAULT_RUN_ID) if suffix.startswith(".csv") else ("special", "S1")
    assert (result.banner, result.run_id) == expected
    # NaN counts as equal to NaN.
    diff = orvanel_cli("diff", special, middle)
    assert diff.returncode == 0 and diff.stdout.splitlines()[-1] == "equal"
    if not suffix.startswith(".csv"):  # the other formats keep type codes: the sample comes back byte for byte
        orvanel_cli("convert", sample, middle)
        orvanel_cli("convert", middle, back)
        assert back.read_bytes() == sample.read_bytes()


def test_convert_csv_with_types_and_missing_pairs(tmp_path):
    source, target = tmp_path / "trips.csv", tmp_path / "trips.mat"
    source.write_text("\ufefforigin,destination,TRIPS,TIME\n3,1,2.345,10\n1,2,4,1.5\n\n")
    result = orvanel_cli("convert", source, target, "--type", "TRIPS=2", "--tables", "TRIPS")
    assert result.returncode == 0, result.stderr
    m = orvanel.read(target)
    assert m.zones == 3 and m.type_codes == {"TRIPS": "2"}
    expected = np.zeros((3, 3))
    expected[2, 0], expected[0, 1] = 2.35, 4.0  # rounded to two decimals in the file
    assert np.allclose(m["TRIPS"], expected, rtol=0, atol=1e-12)


@pytest.fixture
def odd_names(tmp_path):
    """An archive whose table names hold a comma, are empty, or look like options."""
    path = tmp_path / "odd.npz"
    write_npz(orvanel.from_arrays({"A,B": np.ones((2, 2)), "": np.eye(2), "C": np.zeros((2, 2))}), path)
    return path


@pytest.mark.parametrize(("options", "codes"), [
    (["--table", "A,B"], {"A,B": "D"}),
    (["--tables", "C", "--table", ""], {"": "D", "C": "D"}),
    (["--tables", "C", "--tables", "C", "--table", "A,B"], {"A,B": "D", "C": "D"}),
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


def test_version():
    result = orvanel_cli("--version")
    assert result.returncode == 0 and result.stdout.strip() == f"orvanel {orvanel.__version__}"


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
