"""``orvanel plot`` run as a separate process: pictures of each kind from each format,
and its failures in one line."""

import io
import sys

import numpy as np
import pytest
from matplotlib.image import imread

import orvanel
from orvanel.cli import main
from orvanel.formats.registry import WriteOptions, format_for
from support import assert_one_line_failure, orvanel_cli


@pytest.fixture
def skim(tmp_path):
    """Trips and times of 12 zones; the times of two cells unknown."""
    rng = np.random.default_rng(7)
    time = rng.uniform(1.0, 50.0, (12, 12))
    time[3, 4] = time[5, 6] = np.nan
    path = tmp_path / "skim.mat"
    orvanel.write(path, {"TRIPS": rng.gamma(1.0, 10.0, (12, 12)), "TIME": time})
    return path


def picture(path):
    image = imread(path)
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 20, "blank picture"
    return image


@pytest.mark.parametrize(("args", "size"), [
    (["TRIPS"], (600, 700)),
    (["--table", "COST", "--kind", "totals", "--log"], (450, 800)),
    (["--table", "TRIPS", "--by", "TIME", "--bins=-5,0,5,10,20,40,100"], (450, 800)),
    (["--table", "TRIPS", "--kind", "tlfd", "--by", "TIME", "--bins", "8", "--no-log"], (450, 800)),
])
def test_each_kind_of_the_shipped_sample(tmp_path, args, size):
    out = tmp_path / "picture.png"
    result = orvanel_cli("plot", *args, "-o", out)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.startswith(f"wrote {out}: ")
    assert picture(out).shape[:2] == size


@pytest.mark.parametrize("suffix", [".mat", ".omx", ".npz", ".csv"])
def test_reads_every_format(skim, tmp_path, suffix):
    source = tmp_path / f"skim-copy{suffix}"
    format_for(str(source)).write(orvanel.read(skim), str(source), None, WriteOptions())
    out = tmp_path / "tlfd.png"
    result = orvanel_cli("plot", source, "TRIPS", "--by", "TIME", "-o", out, "-q")
    assert result.returncode == 0 and result.stdout == "" and picture(out).shape[:2] == (450, 800)
    # The two cells of unknown time are said to be left out.
    assert result.stderr.startswith("orvanel plot: note: 2 cells left out") and len(result.stderr.splitlines()) == 1
    missing = orvanel_cli("plot", source, "--table", "NOPE", "-o", out)
    assert_one_line_failure(missing, 2, f'{source}: no table named "NOPE" (--table)')


@pytest.mark.parametrize(("suffix", "start"), [(".svg", b"<?xml"), (".pdf", b"%PDF"), (".PNG", b"\x89PNG")])
def test_picture_format_follows_the_name(skim, tmp_path, suffix, start):
    out = tmp_path / f"heatmap{suffix}"
    assert orvanel_cli("plot", skim, "--table", "TIME", "-o", out).returncode == 0
    assert out.read_bytes().startswith(start)


@pytest.mark.parametrize(("args", "status", "fragment"), [
    (["{skim}", "--table", "NOPE", "-o", "out.png"], 2, 'skim.mat: no table named "NOPE" (--table)'),
    (["{skim}", "NOPE", "-o", "out.png"], 2, 'skim.mat: no table named "NOPE" (TABLE)'),
    (["{skim}", "TRIPS", "--table", "TIME", "-o", "out.png"], 2, "give the table once"),
    (["{skim}", "TRIPS", "TIME", "-o", "out.png"], 2, "too many operands"),
    (["{skim}", "--table", "TRIPS", "--by", "NOPE", "-o", "out.png"], 2, 'no table named "NOPE" (--by)'),
    (["{skim}", "--table", "TRIPS", "-o", "out.jpg"], 2, "cannot tell the picture format of out.jpg"),
    (["{skim}", "--table", "TRIPS", "--kind", "tlfd", "-o", "out.png"], 2, "--kind tlfd needs --by"),
    (["{skim}", "--table", "TRIPS", "--bins", "5", "-o", "out.png"], 2, "--bins applies to --kind tlfd only"),
    (["{skim}", "--table", "TRIPS", "--kind", "totals", "--by", "TIME", "-o", "out.png"], 2, "--by applies"),
    (["{skim}", "--table", "TRIPS", "--by", "TIME", "--bins", "0", "-o", "out.png"], 2, "whole number of bins"),
    (["{skim}", "--table", "TRIPS", "--by", "TIME", "--bins", "1,x", "-o", "out.png"], 2, "'x' is not a number"),
    (["{skim}", "--table", "TRIPS", "--by", "TIME", "--bins", "5,1", "-o", "out.png"], 2, "must increase"),
    (["{skim}", "--table", "TRIPS", "--by", "TIME", "--bins", "0,inf", "-o", "out.png"], 2, "must be finite"),
    (["{skim}", "--table", "TRIPS", "--kind", "pie", "-o", "out.png"], 2, "invalid choice"),
    (["{skim}", "-o", "out.png"], 2, "which table? give it after the file"),
    (["{skim}", "--table", "TRIPS"], 2, "-o/--output"),
    (["missing.mat", "--table", "TRIPS", "-o", "out.png"], 1, "missing.mat"),
    (["{corrupt}", "--table", "TRIPS", "-o", "out.png"], 1, "corrupt.mat: "),
    (["{skim}", "--table", "TRIPS", "-o", "no/such/dir/out.png"], 1, "No such file or directory"),
])
def test_failures(skim, tmp_path, args, status, fragment):
    corrupt = tmp_path / "corrupt.mat"
    corrupt.write_bytes(skim.read_bytes()[:700])
    result = orvanel_cli("plot", *[arg.format(skim=skim, corrupt=corrupt) for arg in args], cwd=tmp_path)
    assert_one_line_failure(result, status, "orvanel plot", fragment)
    assert not (tmp_path / "out.png").exists()


def test_failed_write_keeps_the_previous_picture(skim, tmp_path):
    out = tmp_path / "out.png"
    out.write_bytes(b"previous")
    result = orvanel_cli("plot", skim, "--table", "NOPE", "-o", out)
    assert result.returncode == 2 and out.read_bytes() == b"previous"
    assert orvanel_cli("plot", skim, "--table", "TIME", "-o", out).returncode == 0
    assert picture(out).shape[:2] == (600, 700)


def test_without_matplotlib_one_line_says_how_to_install_it(skim, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    out, err = io.StringIO(), io.StringIO()
    status = main(["plot", str(skim), "--table", "TRIPS", "-o", str(tmp_path / "out.png")], out, err)
    assert status == 1 and len(err.getvalue().splitlines()) == 1
    assert "pip install 'orvanel[plot]'" in err.getvalue() and "Traceback" not in err.getvalue()
