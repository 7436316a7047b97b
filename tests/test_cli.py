"""The `orvanel` command line, run as a separate process the way a modeller runs it."""

import gzip
import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import orvanel

SCRIPT = [str(Path(sys.executable).with_name("orvanel"))]
MODULE = [sys.executable, "-m", "orvanel"]


def orvanel_cli(*args, runner=SCRIPT, **kwargs):
    return subprocess.run(
        [*runner, *map(str, args)],
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        **kwargs,
    )


def assert_one_line_failure(result, status, *fragments):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr
    for fragment in fragments:
        assert fragment in result.stderr


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.mat"
    path.write_bytes(bytes(orvanel.sample()))
    return path


@pytest.fixture
def special(tmp_path):
    """A matrix whose values test exactness: signed zero, NaN, infinities, subnormals."""
    values = np.array([[-0.0, np.nan, np.inf], [-np.inf, 5e-324, 1 / 3], [1e300, -2.5, 0.1]])
    path = tmp_path / "special.mat"
    orvanel.write(path, {"X": values, "Y": values.T * 3}, banner="special", run_id="S1")
    return path


# -- info ------------------------------------------------------------------------------


@pytest.mark.parametrize("runner", [SCRIPT, MODULE])
def test_info_without_a_file_describes_the_shipped_sample(runner):
    result = orvanel_cli("info", runner=runner)
    assert result.returncode == 0 and result.stderr == ""
    lines = result.stdout.splitlines()
    assert "zones   50" in lines and "tables  4" in lines and "run id  SAMPLE" in lines
    table_lines = [line.split() for line in lines if line[:1].isdigit()]
    assert [fields[:3] for fields in table_lines] == [
        ["1", "TRIPS", "2"],
        ["2", "TIME", "D"],
        ["3", "COST", "S"],
        ["4", "COUNT", "0"],
    ]
    assert any(line.startswith("size ") and "bytes per cell" in line for line in lines)


def test_info_json_matches_the_matrix(sample):
    result = orvanel_cli("info", sample, "--json")
    assert result.returncode == 0
    report = json.loads(result.stdout)
    m = orvanel.read(sample)
    assert (report["zones"], report["banner"], report["run_id"]) == (50, m.banner, m.run_id)
    assert report["size_bytes"] == sample.stat().st_size
    assert report["bytes_per_cell"] == sample.stat().st_size / (50 * 50 * 4)
    for entry, info in zip(report["tables"], m.tables, strict=True):
        table = m[info.name]
        assert (entry["index"], entry["name"], entry["type_code"]) == (
            info.index,
            info.name,
            info.type_code,
        )
        assert entry["total"] == m.total(info.name)
        assert entry["diagonal_total"] == m.diagonal_total(info.name)
        assert (entry["min"], entry["max"]) == (table.min(), table.max())
        assert entry["zero_share"] == np.count_nonzero(table == 0) / table.size


def test_info_json_writes_non_finite_values_as_strings(special):
    report = json.loads(orvanel_cli("info", special, "--json").stdout)
    assert report["tables"][0]["total"] == "nan"
    assert report["tables"][0]["max"] == "nan"


@pytest.mark.parametrize(
    ("content", "fragments"),
    [
        (None, ["missing.mat", "io"]),
        (b"", ["unexpected_eof", "at byte offset 0"]),
        (b"\xff" * 64, ["invalid_header_length", "at byte offset"]),
    ],
)
def test_info_on_missing_and_corrupt_files(tmp_path, content, fragments):
    path = tmp_path / "missing.mat"
    if content is not None:
        path.write_bytes(content)
    assert_one_line_failure(orvanel_cli("info", path), 1, str(path), *fragments)


def test_info_on_a_truncated_file_names_the_offset(sample, tmp_path):
    cut = tmp_path / "cut.mat"
    cut.write_bytes(sample.read_bytes()[:1000])
    assert_one_line_failure(orvanel_cli("info", cut), 1, "unexpected_eof", "at byte offset 1000: ")


# -- validate ----------------------------------------------------------------------------


def test_validate_reports_every_file(sample, tmp_path):
    cut = tmp_path / "cut.mat"
    cut.write_bytes(sample.read_bytes()[:-1])
    missing = tmp_path / "missing.mat"
    result = orvanel_cli("validate", sample, cut, missing, sample)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"{sample}: OK" and lines[3] == f"{sample}: OK"
    offset = sample.stat().st_size - 1
    assert lines[1].startswith(f"{cut}: unexpected_eof: at byte offset {offset}: ")
    assert lines[2].startswith(f"{missing}: io: ")
    quiet = orvanel_cli("validate", "--quiet", sample, cut)
    assert quiet.returncode == 1 and quiet.stdout.splitlines() == [lines[1]]


def test_validate_succeeds_only_when_all_files_are_valid(sample, special):
    result = orvanel_cli("validate", sample, special)
    assert result.returncode == 0
    assert result.stdout.splitlines() == [f"{sample}: OK", f"{special}: OK"]


# -- diff --------------------------------------------------------------------------------


def test_diff_of_equal_files(sample, tmp_path):
    copy = tmp_path / "copy.mat"
    copy.write_bytes(sample.read_bytes())
    result = orvanel_cli("diff", sample, copy)
    assert result.returncode == 0
    assert result.stdout.splitlines()[-1] == "equal"


@pytest.mark.parametrize(
    ("options", "status", "verdict", "differing"),
    [
        ([], 1, "different", 2),
        (["--atol", "0.5"], 1, "different", 1),  # only the 0.75 change exceeds 0.5
        (["--atol", "0.75"], 0, "equal within tolerance", 0),
        (["--rtol", "0.5"], 0, "equal within tolerance", 0),  # 0.75 of at least 2.2
    ],
)
def test_diff_finds_the_largest_difference(sample, tmp_path, options, status, verdict, differing):
    m = orvanel.read(sample)
    m.set("TIME", 7, 3, m.get("TIME", 7, 3) + 0.75)
    m.set("TIME", 2, 9, m.get("TIME", 2, 9) - 0.25)
    changed = tmp_path / "changed.mat"
    m.write(changed)
    result = orvanel_cli("diff", sample, changed, *options)
    assert result.returncode == status
    assert result.stdout.splitlines()[-1] == verdict
    report = json.loads(orvanel_cli("diff", sample, changed, *options, "--json").stdout)
    time = next(t for t in report["tables"] if t["name"] == "TIME")
    assert time["at"] == [7, 3]  # 1-based zone numbers
    assert time["max_abs_diff"] == pytest.approx(0.75)
    assert time["differing_cells"] == differing
    assert report["equal"] is (status == 0)
    others = [t for t in report["tables"] if t["name"] != "TIME"]
    assert all(t["differing_cells"] == 0 and t["at"] is None for t in others)


def test_diff_reports_header_and_table_differences(sample, tmp_path):
    other = tmp_path / "other.mat"
    m = orvanel.read(sample)
    arrays = {"TRIPS": m["TRIPS"], "TIME": m["TIME"], "EXTRA": m["COST"]}
    orvanel.write(other, arrays, types={"TRIPS": "D"}, run_id="OTHER")
    result = orvanel_cli("diff", sample, other)
    assert result.returncode == 1
    out = result.stdout
    assert "run id: 'SAMPLE' != 'OTHER'" in out
    assert f"only in {sample}: COST, COUNT" in out and f"only in {other}: EXTRA" in out
    assert "TRIPS  type 2 != D; identical" in out


def test_diff_treats_nan_as_equal_to_nan(special, tmp_path):
    copy = tmp_path / "copy.mat"
    copy.write_bytes(special.read_bytes())
    assert orvanel_cli("diff", special, copy).returncode == 0


def test_diff_of_different_zone_counts(sample, special):
    result = orvanel_cli("diff", sample, special, "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout)["header"]["zones"] == {"a": 50, "b": 3}


# -- convert -----------------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".omx", ".npz", ".csv", ".csv.gz", ".mat"])
def test_convert_round_trips_are_exact(special, tmp_path, suffix):
    middle = tmp_path / f"middle{suffix}"
    back = tmp_path / "back.mat"
    first = orvanel_cli("convert", special, middle)
    assert first.returncode == 0, first.stderr
    assert first.stdout.startswith(f"wrote {middle} ")
    # CSV keeps only names and values: banner, run id and type codes come from options.
    assert orvanel_cli("convert", middle, back).returncode == 0
    original, result = orvanel.read(special), orvanel.read(back)
    assert result.names == original.names
    assert same_bits(result.to_numpy(), original.to_numpy())
    if suffix.startswith(".csv"):
        assert result.run_id == "ORVANEL"
    else:
        assert (result.banner, result.run_id) == ("special", "S1")
    assert orvanel_cli("diff", special, middle).returncode == 0


def test_convert_keeps_type_codes_through_omx_and_npz(sample, tmp_path):
    for suffix in (".omx", ".npz"):
        middle, back = tmp_path / f"m{suffix}", tmp_path / f"back{suffix}.mat"
        orvanel_cli("convert", sample, middle)
        orvanel_cli("convert", middle, back)
        assert back.read_bytes() == sample.read_bytes()


def test_csv_long_form(special, tmp_path):
    target = tmp_path / "long.csv.gz"
    orvanel_cli("convert", special, target)
    lines = gzip.decompress(target.read_bytes()).decode().splitlines()
    assert lines[0] == "origin,destination,X,Y"
    assert lines[1:4] == ["1,1,-0.0,-0.0", "1,2,nan,-inf", "1,3,inf,3e+300"]
    assert lines[5] == "2,2,5e-324,1.5e-323"
    assert len(lines) == 1 + 9


def test_convert_csv_with_types_and_missing_pairs(tmp_path):
    source = tmp_path / "trips.csv"
    source.write_text("\ufefforigin,destination,TRIPS,TIME\n3,1,2.345,10\n1,2,4,1.5\n\n")
    target = tmp_path / "trips.mat"
    result = orvanel_cli("convert", source, target, "--type", "TRIPS=2", "--tables", "TRIPS")
    assert result.returncode == 0, result.stderr
    m = orvanel.read(target)
    assert m.zones == 3 and m.type_codes == {"TRIPS": "2"}
    expected = np.zeros((3, 3))
    expected[2, 0], expected[0, 1] = 2.35, 4.0  # rounded to two decimals in the file
    assert np.allclose(m["TRIPS"], expected, rtol=0, atol=1e-12)


def test_convert_type_for_every_table(sample, tmp_path):
    target = tmp_path / "single.mat"
    assert orvanel_cli("convert", sample, target, "--type", "S").returncode == 0
    assert set(orvanel.read(target).type_codes.values()) == {"S"}


@pytest.mark.parametrize(
    ("args", "status", "fragment"),
    [
        (["{sample}", "out.xlsx"], 2, "cannot tell the format of out.xlsx"),
        (["{sample}", "out.omx", "--type", "TRIPS=X"], 2, "invalid type code X"),
        (["{sample}", "out.omx", "--type", "S", "TIME=D"], 2, "--type"),
        (["{sample}", "out.omx", "--type", "NOPE=2"], 1, "NOPE"),
        (["{sample}", "out.omx", "--tables", "NOPE"], 1, "NOPE"),
        (["missing.mat", "out.omx"], 1, "missing.mat"),
        (["{sample}", "no/such/dir/out.npz"], 1, "No such file or directory"),
        (["{bad_csv}", "out.mat"], 1, "line 3"),
        (["{sample}"], 2, "required"),
    ],
)
def test_convert_failures(sample, tmp_path, args, status, fragment):
    bad_csv = tmp_path / "bad.csv"
    bad_csv.write_text("origin,destination,A\n1,1,2.0\n1,2,x\n")
    argv = [arg.format(sample=sample, bad_csv=bad_csv) for arg in args]
    result = orvanel_cli("convert", *argv, cwd=tmp_path)
    assert_one_line_failure(result, status, fragment)
    assert not (tmp_path / "out.omx").exists() and not (tmp_path / "out.mat").exists()


@pytest.mark.parametrize(
    "argv",
    [[], ["bogus"], ["info", "--bogus"], ["diff", "a.mat"], ["diff", "a", "b", "--rtol", "-1"]],
)
def test_usage_errors_exit_with_status_2(argv):
    assert_one_line_failure(orvanel_cli(*argv), 2, "orvanel")


def test_version():
    result = orvanel_cli("--version")
    assert result.returncode == 0 and result.stdout.strip() == f"orvanel {orvanel.__version__}"


# -- progress ----------------------------------------------------------------------------


@pytest.fixture
def large(tmp_path):
    """Just over 2**20 cells: large enough for a progress bar."""
    path = tmp_path / "large.mat"
    zones = 725
    orvanel.write(path, {"A": np.eye(zones), "B": np.ones((zones, zones))})
    return path


def run_at_terminal(argv):
    """Run with standard error on a pseudo-terminal; return (status, what it showed)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen(
        [*SCRIPT, *map(str, argv)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=terminal,
    )
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the terminal side closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    process.stdout.read()
    return process.wait(), shown.decode()


def test_progress_bar_at_a_terminal(large, tmp_path):
    status, shown = run_at_terminal(["convert", large, tmp_path / "large.omx"])
    assert status == 0
    assert "writing" in shown and "100%" in shown and "[" + "#" * 30 + "]" in shown


@pytest.mark.parametrize("quiet", [True, False])
def test_no_progress_bar_when_quiet_or_not_at_a_terminal(large, tmp_path, quiet):
    target = tmp_path / "large.npz"
    if quiet:
        status, shown = run_at_terminal(["convert", large, target, "--quiet"])
        assert status == 0 and "%" not in shown
    else:
        result = orvanel_cli("convert", large, target)
        assert result.returncode == 0 and result.stderr == ""
