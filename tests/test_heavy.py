"""Commands on matrices of gigabytes and CSV files of millions of lines, in an address space
far smaller than the matrix (as ``ulimit -v 1500000`` gives). Run with ``-m heavy``.

Matrix files are read and written through the engine's row streams (``orvanel.open_rows``
and ``orvanel.RowWriter``).
"""

import json
import time

import numpy as np
import pytest

from block_support import build_sparse, run_limited
from orvanel.formats.blocks import Facts
from orvanel.formats.registry import WriteOptions, format_for

pytestmark = pytest.mark.heavy

LIMIT_MB = 1500


def scenario(directory, suffix, zones):
    """A sparse two-table matrix of ``zones`` zones and a copy that differs in one cell."""
    source, other = directory / f"in{suffix}", directory / f"other{suffix}"
    changed = (1, zones // 2 + 7, zones - 3)
    build_sparse(source, zones, 2)
    build_sparse(other, zones, 2, changed=changed)
    return source, other, changed


@pytest.fixture(scope="module")
def matrix_file(tmp_path_factory):
    """20,000 zones: 6.4 GB of values."""
    return scenario(tmp_path_factory.mktemp("heavy-mat"), ".mat", 20_000)


@pytest.fixture(scope="module", params=[".omx", ".npz", ".csv.gz"])
def other_format(request, tmp_path_factory):
    """10,000 zones: 1.6 GB of values, more than the address space allowed."""
    return scenario(tmp_path_factory.mktemp("heavy"), request.param, 10_000)


def totals(path):
    """Each table's total, as `info` gives it (of CSV, with the zone count inferred)."""
    result, _ = run_limited(["info", path, "--json"], LIMIT_MB)
    assert result.returncode == 0, result.stderr
    return [table["total"] for table in json.loads(result.stdout)["tables"]]


COMMANDS = ["info", "validate", "diff", "convert .mat", "convert .omx", "convert .npz", "convert .csv.gz"]


def check_command(command, source, other, changed, tmp_path):
    zones = 20_000 if source.suffix == ".mat" else 10_000
    if command == "info":
        result, peak = run_limited(["info", source, "--json"], LIMIT_MB)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert report["zones"] == zones and [t["name"] for t in report["tables"]] == ["T0", "T1"]
    elif command == "validate":
        result, peak = run_limited(["validate", source], LIMIT_MB)
        assert result.returncode == 0 and result.stdout == f"{source}: OK\n", result.stdout + result.stderr
    elif command == "diff":
        result, peak = run_limited(["diff", source, other], LIMIT_MB)
        _table, origin, destination = changed
        assert result.returncode == 1, result.stderr
        assert result.stdout.splitlines()[2:] == [
            "T0  identical", f"T1  1 cell differs; largest difference 0.5 at ({origin}, {destination})", "different"]
    else:
        target = command.split()[1]
        if target == source.name[2:]:
            pytest.skip("the same format")
        out = tmp_path / f"out{target}"
        # Other type codes for a matrix file: whole numbers are held exactly by each.
        types = ["--type", "T0=S", "--type", "T1=2"] if target == ".mat" else []
        zones_option = ["--zones", str(zones)] if source.name.endswith(".csv.gz") else []
        result, peak = run_limited(["convert", source, out, "-q", "--nonzero", *types, *zones_option], LIMIT_MB)
        assert result.returncode == 0, result.stderr
        assert totals(out) == totals(source)
    print(f"{command} {source.name}: peak {peak:.0f} MB")


@pytest.mark.parametrize("command", COMMANDS)
def test_matrix_file_of_20000_zones_within_the_address_space(matrix_file, command, tmp_path):
    check_command(command, *matrix_file, tmp_path)


@pytest.mark.parametrize("command", COMMANDS)
def test_other_formats_larger_than_the_address_space(other_format, command, tmp_path):
    check_command(command, *other_format, tmp_path)


def test_info_on_an_all_zero_matrix_file_of_32000_zones(tmp_path):
    path = tmp_path / "zero.mat"
    zones = 32_000
    with format_for(path).create_blocks(str(path), Facts(zones, [("ZERO", "0")]), WriteOptions()) as writer:
        values = np.zeros((1, 100, zones))
        for _start in range(0, zones, 100):
            writer.write(values)
    assert path.stat().st_size < 1 << 20
    started = time.perf_counter()
    result, peak = run_limited(["info", path, "--json"], LIMIT_MB)
    seconds = time.perf_counter() - started
    assert result.returncode == 0, result.stderr
    table = json.loads(result.stdout)["tables"][0]
    assert (table["total"], table["zero_share"], table["max"]) == (0.0, 1.0, 0.0)
    print(f"info on {zones} zones of zeros: {seconds:.2f} s, peak {peak:.0f} MB")
    assert peak < 100


def csv_of_lines(path, zones, lines, by_destination):
    """A one-table CSV file of the first ``lines`` zone pairs, origin by origin, or (with
    ``by_destination``) destination by destination."""
    with open(path, "w") as out:
        out.write("origin,destination,TRIPS\n")
        written = 0
        for outer in range(1, zones + 1):
            inner = np.arange(1, zones + 1)[: lines - written]
            if not inner.size:
                break
            pairs = (inner, outer) if by_destination else (outer, inner)
            origins, destinations = np.broadcast_arrays(*pairs)
            out.write("".join(f"{o},{d},{(o * d) % 97}\n"
                              for o, d in zip(origins.tolist(), destinations.tolist())))
            written += inner.size


@pytest.mark.parametrize("by_destination", [False, True], ids=["sorted", "unsorted"])
def test_ten_million_csv_lines_convert_in_memory_independent_of_their_number(tmp_path, by_destination):
    zones = 3163  # 3163 ** 2 = 10,004,569 pairs
    peaks = {}
    for lines in (1_000_000, 10_000_000):
        source = tmp_path / f"{lines}.csv"
        csv_of_lines(source, zones, lines, by_destination)
        # A 10-million-line file held whole needs about 600 MB more than this.
        result, peaks[lines] = run_limited(["convert", source, tmp_path / "out.npz", "--zones", zones], 700)
        assert result.returncode == 0, result.stderr
        assert ("not sorted by origin" in result.stderr) == by_destination
        source.unlink()
    with np.load(tmp_path / "out.npz") as archive:
        trips = archive["TRIPS"]
    expected = np.outer(np.arange(1, zones + 1), np.arange(1, zones + 1)) % 97
    counted = np.zeros(zones * zones, dtype=bool)
    counted[:10_000_000] = True
    counted = counted.reshape(zones, zones)
    if by_destination:
        counted = counted.T
    assert np.array_equal(trips, np.where(counted, expected, 0))
    print(f"peak memory: {peaks}")
    assert peaks[10_000_000] < peaks[1_000_000] + 40
