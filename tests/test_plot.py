"""Looking at a matrix: statistics, the notebook view, trip length distributions and the
pictures matplotlib draws of them, checked by reading the pictures back; ``orvanel plot``
run as a separate process, from each format, and its failures in one line."""

import io
import sys

import numpy as np
import pytest
from matplotlib import colormaps
from matplotlib.colors import to_rgb
from matplotlib.figure import Figure
from matplotlib.image import imread

import orvanel
from orvanel._stats import BLOCK_CELLS
from orvanel._view import html_view
from orvanel.cli import main
from orvanel.errors import TableNotFoundError
from orvanel.formats.registry import WriteOptions, format_for
from orvanel.plotting import NAN_COLOUR, ZERO_COLOUR
from support import assert_one_line_failure, orvanel_cli

RNG = np.random.default_rng(20240611)
# Enough zones that a table spans several blocks of rows of the statistics and the
# distribution.
BLOCKED = int(np.sqrt(2.5 * BLOCK_CELLS))


def png(ax):
    """The figure of ``ax`` rendered to PNG and read back: (rows, columns, RGBA) floats."""
    buffer = io.BytesIO()
    ax.figure.savefig(buffer, format="png")
    buffer.seek(0)
    return imread(buffer)


def pixel(ax, x, y):
    """The row and column in the PNG of the point (x, y) in data coordinates."""
    column, row_from_bottom = ax.transData.transform((x, y))
    return int(ax.figure.bbox.height - row_from_bottom), int(column)


def colour_at(image, ax, origin, destination):
    """The colour of the heatmap at the centre of a cell (zones 1-based)."""
    row, column = pixel(ax, destination - 1, origin - 1)
    return image[row, column, :3]


def near(colour, expected):
    return np.allclose(colour, to_rgb(expected)[:3] if isinstance(expected, str) else expected, atol=0.02)


def not_blank(image):
    return len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 20


# -- the notebook view ------------------------------------------------


@pytest.fixture
def odd_names():
    arrays = {"<b>&amp;</b>": np.eye(4), "plain": np.arange(16.0).reshape(4, 4), "third": np.ones((4, 4))}
    return orvanel.from_arrays(arrays, types={"plain": 2}, banner="<script>alert(1)</script>", run_id="a&b\x1b")


def test_notebook_view_escapes_and_shows_the_statistics(odd_names):
    view = odd_names._repr_html_()
    assert "<script>" not in view and "<b>" not in view and "\x1b" not in view
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in view and "&lt;b&gt;&amp;amp;&lt;/b&gt;" in view
    assert "a&amp;b\\x1b" in view
    assert "fixed point, 2 decimals" in view and "double precision" in view
    # The cells of the second table's row: total 120, diagonal 0+5+10+15, min 0, max 15.
    row = view.split("<td>plain</td>")[1].split("</tr>")[0]
    assert [cell.split(">")[1] for cell in row.split("</td>")[1:-1]] == ["120.00", "30.00", "0.00", "15.00", "6.2%"]
    assert len(repr(odd_names).splitlines()) == 6


@pytest.mark.parametrize(("max_tables", "max_cells", "rows", "measured", "notes"), [
    (20, 10**6, 3, 3, []),
    (20, 40, 3, 2, ["No statistics for the last 1 tables shown"]),
    (2, 15, 2, 0, ["Showing the first 2 of 3 tables", "No statistics for any table"]),
])
def test_notebook_view_caps_its_work(odd_names, max_tables, max_cells, rows, measured, notes):
    view = html_view(odd_names, max_tables=max_tables, max_cells=max_cells)
    body = view.split("<tbody>")[1].split("</tbody>")[0]
    assert body.count("<tr>") == rows
    assert body.count("%</td>") == measured
    assert all(note in view for note in notes) and view.count("<p>") == 1 + len(notes)


# -- trip length frequency distributions -------------------------------------------


def _skim(zones):
    """Trips with a few NaN, and times with NaN, infinite and negative values."""
    trips = RNG.gamma(0.5, 20.0, (zones, zones))
    time = RNG.uniform(-2.0, 60.0, (zones, zones))
    time.flat[RNG.choice(time.size, 3, replace=False)] = [np.nan, np.inf, -np.inf]
    trips.flat[RNG.choice(trips.size, 2, replace=False)] = np.nan
    return orvanel.from_arrays({"TRIPS": trips, "TIME": time})


@pytest.mark.parametrize(("zones", "bins"), [(6, 7), (BLOCKED, [0.0, 5.0, 12.5, 30.0, 45.0]), (BLOCKED, 16)])
def test_distribution_agrees_with_numpy(zones, bins):
    matrix = _skim(zones)
    trips, time = matrix["TRIPS"].ravel(), matrix["TIME"].ravel()
    counted = np.isfinite(time) & ~np.isnan(trips)
    edges = np.histogram_bin_edges(time[counted], bins) if np.ndim(bins) == 0 else np.asarray(bins)
    inside = counted & (time >= edges[0]) & (time <= edges[-1])

    result = matrix.tlfd("TRIPS", "TIME", bins)

    expected, _ = np.histogram(time[inside], bins=edges, weights=trips[inside])
    np.testing.assert_array_equal(result.edges, edges)
    np.testing.assert_allclose(result.totals, expected, rtol=1e-9)
    np.testing.assert_allclose(result.shares, expected / expected.sum(), rtol=1e-9)
    assert result.mean == pytest.approx(np.average(time[inside], weights=trips[inside]), rel=1e-9)
    assert result.left_out_cells == np.count_nonzero(~inside)
    assert result.left_out == pytest.approx(np.nansum(trips[~inside]), rel=1e-9)
    assert result.total + result.left_out == pytest.approx(np.nansum(trips), rel=1e-9)
    with pytest.raises(ValueError):
        result.totals[0] = 1.0


@pytest.mark.parametrize(("trips", "time", "bins", "edges", "shares", "left_out_cells"), [
    # A value on the last edge is in the last bin; one on an inner edge in the bin it starts.
    ([[1.0, 2.0], [4.0, 8.0]], [[0.0, 10.0], [20.0, 99.0]], [0, 10, 20], [0, 10, 20], [1 / 7, 6 / 7], 1),
    # No trips at all: no shares, no mean.
    ([[0.0, 0.0], [0.0, 0.0]], [[1.0, 2.0], [3.0, 4.0]], 2, [1, 2.5, 4], [np.nan, np.nan], 0),
    # Every time unknown: every cell left out, equal bins over 0 to 1.
    ([[1.0, 1.0], [1.0, 1.0]], [[np.nan] * 2] * 2, 2, [0, 0.5, 1], [np.nan, np.nan], 4),
    # One time only: equal bins around it.
    ([[3.0, 0.0], [0.0, 0.0]], [[5.0] * 2] * 2, 1, [4.5, 5.5], [1.0], 0),
])
def test_distribution_edge_cases(trips, time, bins, edges, shares, left_out_cells):
    matrix = orvanel.from_arrays({"TRIPS": np.array(trips), "TIME": np.array(time)})
    result = matrix.tlfd("TRIPS", "TIME", bins)
    np.testing.assert_allclose(result.edges, edges)
    np.testing.assert_allclose(result.shares, shares)
    assert result.left_out_cells == left_out_cells
    assert np.isnan(result.mean) == np.isnan(shares).all()


@pytest.mark.parametrize(("bins", "error"), [
    (0, ValueError), (-3, ValueError), (2.5, TypeError), ("auto", TypeError), ([1.0], ValueError),
    ([[0, 1], [2, 3]], ValueError), ([0, np.inf], ValueError), ([0, np.nan, 3], ValueError),
    ([3, 2, 5], ValueError), ([0, 0, 1], ValueError), (["a", "b"], TypeError),
])
def test_distribution_refuses_bad_bins(bins, error):
    with pytest.raises(error):
        orvanel.sample().tlfd("TRIPS", "TIME", bins)


# -- pictures ---------------------------------------------------------------------


def single_cell(zones, origin, destination, value=5.0):
    table = np.zeros((zones, zones))
    table[origin - 1, destination - 1] = value
    return orvanel.from_arrays({"ONE": table})


@pytest.mark.parametrize(("zones", "origin", "destination"), [
    (7, 1, 6), (7, 6, 1), (1, 1, 1), (2400, 2000, 150),
])
def test_heatmap_puts_a_cell_where_its_origin_and_destination_are(zones, origin, destination):
    ax = single_cell(zones, origin, destination).plot("ONE")
    image = png(ax)
    top = colormaps["viridis"](1.0)[:3]
    assert near(colour_at(image, ax, origin, destination), top)
    # Nowhere else in the axes, and nowhere outside the cell's block.
    (left, bottom), (right, upper) = ax.get_window_extent().get_points()
    height = ax.figure.bbox.height
    inside = image[int(height - upper) + 1 : int(height - bottom) - 1, int(left) + 1 : int(right) - 1, :3]
    rows, columns = np.nonzero(np.all(np.abs(inside - top) < 0.02, axis=2))
    row, column = pixel(ax, destination - 1, origin - 1)
    cell = ax.get_window_extent().width / zones  # pixels per zone
    reach = max(cell, 6)  # an aggregated block is a few zones wide
    assert rows.size and np.abs(rows + int(height - upper) + 1 - row).max() <= reach
    assert np.abs(columns + int(left) + 1 - column).max() <= reach
    assert image.shape[:2] == (600, 700) and not_blank(image)


def test_heatmap_of_many_zones_draws_block_means_and_keeps_nan():
    zones = 2400
    table = np.ones((zones, zones))
    table[1000, 1200] = np.nan
    ax = orvanel.from_arrays({"BIG": table}).plot("BIG")
    drawn = ax.images[0].get_array()
    assert drawn.shape[0] < 1000 and drawn.shape[0] * -(-zones // drawn.shape[0]) >= zones
    assert np.count_nonzero(drawn.mask) == 1
    assert "mean per cell of" in ax.figure.axes[1].get_ylabel()
    assert near(colour_at(png(ax), ax, 1001, 1201), NAN_COLOUR)


LOG_TABLE = np.array([[0.0, 0.01, 1.0], [np.nan, 10.0, 100.0], [0.5, 2.0, 1e4]])


@pytest.mark.parametrize(("table", "log", "cells"), [
    # Several orders of magnitude: logarithmic, zero grey, NaN magenta, the largest the top.
    (LOG_TABLE, None, {(1, 1): ZERO_COLOUR, (2, 1): NAN_COLOUR, (3, 3): colormaps["viridis"](1.0)[:3],
                       (1, 2): colormaps["viridis"](0.0)[:3]}),
    # A linear scale asked for: zero is the bottom of the scale like any other value.
    (LOG_TABLE, False, {(1, 1): colormaps["viridis"](0.0)[:3], (2, 1): NAN_COLOUR}),
    # Negative values: zero is the neutral middle of a diverging scale.
    (np.array([[0.0, -3.0], [3.0, 1.0]]), None, {(1, 1): colormaps["RdBu_r"](0.5)[:3],
                                                   (1, 2): colormaps["RdBu_r"](0.0)[:3]}),
])
def test_heatmap_colours_zero_and_nan_cells(table, log, cells):
    given = Figure().subplots()  # drawn into axes given, with a colour bar beside them
    ax = orvanel.from_arrays({"T": table}).plot("T", log=log, ax=given)
    assert ax is given and len(ax.figure.axes) == 2
    image = png(ax)
    for (origin, destination), colour in cells.items():
        assert near(colour_at(image, ax, origin, destination), colour), (origin, destination)


@pytest.mark.parametrize(("largest", "smallest", "log", "norm"), [
    (999.0, 1.0, None, "Normalize"),
    (1000.0, 1.0, None, "LogNorm"),
    (5.0, 1.0, True, "LogNorm"),
    (1e6, -1.0, None, "SymLogNorm"),
    (2.0, -1.0, True, "SymLogNorm"),
    (0.0, 0.0, True, "Normalize"),  # nothing to draw on a logarithmic scale
])
def test_heatmap_scale_is_logarithmic_over_three_orders_of_magnitude(largest, smallest, log, norm):
    table = np.array([[largest, smallest], [0.0, 0.0]])
    ax = orvanel.from_arrays({"T": table}).plot("T", log=log)
    assert type(ax.images[0].norm).__name__ == norm


@pytest.mark.parametrize("zones", [5, 80])
def test_totals_are_productions_and_attractions(zones):
    table = RNG.random((zones, zones)) * np.arange(1, zones + 1)[:, None]  # rows differ most
    ax = orvanel.from_arrays({"T": table}).plot("T", kind="totals")
    drawn = [c.datavalues for c in ax.containers] or [line.get_ydata() for line in ax.lines]
    np.testing.assert_allclose(drawn[0], table.sum(axis=1))
    np.testing.assert_allclose(drawn[1], table.sum(axis=0))
    image = png(ax)
    assert image.shape[:2] == (450, 800) and not_blank(image)


def test_distribution_picture_shows_shares_and_mean():
    matrix = orvanel.sample()
    ax = matrix.plot("TRIPS", kind="tlfd", by="TIME", bins=[0, 10, 20, 40, 90])
    expected = matrix.tlfd("TRIPS", "TIME", [0, 10, 20, 40, 90])
    np.testing.assert_allclose(ax.containers[0].datavalues, expected.shares)
    assert ax.lines[0].get_xdata()[0] == expected.mean
    image = png(ax)
    assert image.shape[:2] == (450, 800) and not_blank(image)


@pytest.mark.parametrize("name", ["a$\\x$b", "cost$ \x1b[2J"])
def test_table_names_are_drawn_literally(name):
    matrix = orvanel.from_arrays({name: np.arange(4.0).reshape(2, 2)})
    for kind in ("heatmap", "totals"):
        assert not_blank(png(matrix.plot(name, kind=kind)))
    assert not_blank(png(matrix.plot(name, kind="tlfd", by=name)))


@pytest.mark.parametrize(("table", "arguments", "error"), [
    ("TRIPS", {"kind": "pie"}, ValueError),
    ("TRIPS", {"kind": "tlfd"}, ValueError),
    ("TRIPS", {"by": "TIME"}, ValueError),
    ("TRIPS", {"kind": "totals", "bins": 5}, ValueError),
    ("TRIPS", {"kind": "tlfd", "by": "NOPE"}, TableNotFoundError),
    ("NOPE", {}, TableNotFoundError),
    ("NOPE", {"kind": "totals"}, KeyError),
])
def test_plot_refuses_what_it_cannot_draw(table, arguments, error):
    with pytest.raises(error):
        orvanel.sample().plot(table, **arguments)


# -- the command line -------------------------------------------------------------


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
    assert not_blank(image), "blank picture"
    return image


@pytest.mark.parametrize(("args", "name", "size"), [
    (["TRIPS"], "p.png", (600, 700)),
    (["--table", "COST", "--kind", "totals", "--log"], "p.PNG", (450, 800)),
    (["--table", "TRIPS", "--by", "TIME", "--bins=-5,0,5,10,20,40,100"], "p.svg", b"<?xml"),
    (["--table", "TRIPS", "--kind", "tlfd", "--by", "TIME", "--bins", "8", "--no-log"], "p.pdf", b"%PDF"),
])
def test_each_kind_of_the_shipped_sample(tmp_path, args, name, size):
    out = tmp_path / name
    result = orvanel_cli("plot", *args, "-o", out)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.startswith(f"wrote {out}: ")
    assert out.read_bytes().startswith(size) if isinstance(size, bytes) else picture(out).shape[:2] == size


@pytest.mark.parametrize("suffix", [".mat", ".omx", ".npz", ".csv"])
def test_reads_every_format(skim, tmp_path, suffix):
    source = tmp_path / f"skim-copy{suffix}"
    format_for(str(source)).write(orvanel.read(skim), str(source), None, WriteOptions())
    out = tmp_path / "tlfd.png"
    result = orvanel_cli("plot", source, "TRIPS", "--by", "TIME", "-o", out, "-q")
    assert result.returncode == 0 and result.stdout == "" and picture(out).shape[:2] == (450, 800)
    # The two cells of unknown time are said to be left out.
    assert result.stderr.startswith("orvanel plot: note: 2 cells left out") and len(result.stderr.splitlines()) == 1


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
    (tmp_path / "out.png").write_bytes(b"previous")
    result = orvanel_cli("plot", *[arg.format(skim=skim, corrupt=corrupt) for arg in args], cwd=tmp_path)
    assert_one_line_failure(result, status, "orvanel plot", fragment)
    assert (tmp_path / "out.png").read_bytes() == b"previous"


def test_without_matplotlib_one_line_says_how_to_install_it(skim, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    out, err = io.StringIO(), io.StringIO()
    status = main(["plot", str(skim), "--table", "TRIPS", "-o", str(tmp_path / "out.png")], out, err)
    assert status == 1 and len(err.getvalue().splitlines()) == 1
    assert "pip install 'orvanel[plot]'" in err.getvalue() and "Traceback" not in err.getvalue()
