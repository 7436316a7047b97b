"""The command line block by block: conversions between every pair of formats, CSV lines in
any order, split files, and commands on matrices larger than the memory they may use."""

import json
import resource
import signal
import subprocess

import numpy as np
import pytest

import orvanel
import orvanel.formats.npz
from block_support import build_sparse, run_limited
from orvanel.formats.blocks import Facts
from orvanel.formats.registry import ReadOptions, WriteOptions, format_for
from support import SCRIPT, assert_one_line_failure, orvanel_cli, same_bits

SUFFIXES = [".mat", ".omx", ".npz", ".csv", ".csv.gz"]
KEEPS_HEADER = {".mat", ".omx", ".npz"}


def read_back(path, **options):
    return format_for(path).read(str(path), None, None, ReadOptions(**options))


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """The same matrix in every format: exact values of every kind, header texts."""
    directory = tmp_path_factory.mktemp("sources")
    values = np.random.default_rng(3).random((3, 11, 11)) * 1000
    values[0, 0, :5] = [-0.0, np.nan, np.inf, -np.inf, 5e-324]
    values[2] *= values[2] > 500
    facts = Facts(11, [("TRIPS", "D"), ("TIME", "D"), ("COST", "D")], "the banner", "RUN9")
    paths = {}
    for suffix in SUFFIXES:
        paths[suffix] = directory / f"source{suffix}"
        with format_for(paths[suffix]).create_blocks(str(paths[suffix]), facts, WriteOptions()) as writer:
            for start in range(0, 11, 4):
                writer.write(values[:, start:start + 4])
    return paths, values


@pytest.mark.parametrize("target", SUFFIXES)
@pytest.mark.parametrize("source", SUFFIXES)
def test_convert_between_every_pair_of_formats(sources, tmp_path, source, target):
    paths, values = sources
    out = tmp_path / f"out{target}"
    result = orvanel_cli("convert", paths[source], out)
    inferred = "orvanel convert: note: zones inferred from the data: 11 (use --zones to set it)\n"
    assert result.returncode == 0 and result.stderr == (inferred if source.startswith(".csv") else "")
    assert result.stdout == f"wrote {out} ({format_for(out).name}): 11 zones, 3 tables\n"
    back = read_back(out)
    assert back.names == ["TRIPS", "TIME", "COST"] and same_bits(back.to_numpy(), values)
    header = ("the banner", "RUN9") if source in KEEPS_HEADER and target in KEEPS_HEADER else None
    if header:
        assert (back.banner, back.run_id) == header
    diff = orvanel_cli("diff", paths[source], out)
    assert diff.stdout.splitlines()[-1] == "equal"


def trip_lines(order):
    rng = np.random.default_rng(4)
    cells = [(o, d, float(rng.integers(1, 9))) for o in range(1, 31) for d in range(1, 31) if rng.random() < 0.2]
    if order == "by destination":
        cells.sort(key=lambda cell: (cell[1], cell[0]))
    elif order == "shuffled":
        rng.shuffle(cells)
    return cells


@pytest.mark.parametrize("order", ["sorted", "by destination", "shuffled"])
def test_convert_csv_lines_in_any_order(tmp_path, order):
    cells = trip_lines(order)
    source = tmp_path / "trips.csv"
    source.write_text("origin,destination,TRIPS\n" + "".join(f"{o},{d},{v}\n" for o, d, v in cells))
    # Lines out of order, few enough to be sorted in memory: no temporary files, no note.
    result = orvanel_cli("convert", source, tmp_path / "trips.omx", "--zones", "30")
    assert result.returncode == 0 and result.stderr == ""
    expected = np.zeros((30, 30))
    for o, d, v in cells:
        expected[o - 1, d - 1] = v
    assert same_bits(read_back(tmp_path / "trips.omx")["TRIPS"], expected)


@pytest.mark.parametrize("order", ["sorted", "shuffled"])
def test_a_faulty_csv_is_one_line_whatever_its_order(tmp_path, order):
    cells = trip_lines(order)
    lines = [f"{o},{d},{v}" for o, d, v in cells]
    lines[len(lines) // 2] = lines[len(lines) // 2].rpartition(",")[0] + ",seven"
    source = tmp_path / "trips.csv"
    source.write_text("origin,destination,TRIPS\n" + "\n".join(lines) + "\n")
    # Without --zones: the notices would be said only after a successful read.
    result = orvanel_cli("convert", source, tmp_path / "trips.npz")
    assert_one_line_failure(result, 1, f"line {len(lines) // 2 + 2}, column 'TRIPS': 'seven' is not a number")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["trips.csv"]


@pytest.mark.parametrize("damaged", ["a", "b"])
def test_diff_reads_files_of_other_zone_counts_through(tmp_path, damaged):
    (tmp_path / "a.csv").write_text("origin,destination,A\n1,1,2\n2,x,3\n" if damaged == "a" else
                                    "origin,destination,A\n1,1,2\n")
    values = np.random.default_rng(2).random((40, 40))
    orvanel.formats.npz.write_npz(orvanel.from_arrays({"A": values}), tmp_path / "b.npz")
    if damaged == "b":  # in the values, after the array's header
        data = bytearray((tmp_path / "b.npz").read_bytes())
        data[len(data) // 2:len(data) // 2 + 10] = bytes(10)
        (tmp_path / "b.npz").write_bytes(bytes(data))
    result = orvanel_cli("diff", tmp_path / "a.csv", tmp_path / "b.npz")
    fragment = "line 3, column 'destination'" if damaged == "a" else "'A' cannot be read"
    assert_one_line_failure(result, 1, f"orvanel diff: {tmp_path / ('a.csv' if damaged == 'a' else 'b.npz')}: ",
                            fragment)


def test_split_files_come_from_one_pass(tmp_path):
    source = tmp_path / "many.npz"
    names = [f"T{n}" for n in range(7)]
    np.savez(source, **{name: np.full((4, 4), float(n)) for n, name in enumerate(names)})
    result = orvanel_cli("convert", source, tmp_path / "out.mat", "--split", "3", "--type", "T5=2")
    assert result.returncode == 0, result.stderr
    parts = [orvanel.read(tmp_path / f"out-{n}.mat") for n in (1, 2, 3)]
    assert [part.names for part in parts] == [names[:3], names[3:6], names[6:]]
    assert parts[1].type_codes == {"T3": "D", "T4": "D", "T5": "2"}
    assert all(same_bits(part[name], np.full((4, 4), float(names.index(name)))) for part in parts for name in part)


def test_a_split_file_that_cannot_be_written_leaves_the_others(tmp_path):
    source = tmp_path / "many.npz"
    tables = {f"T{n}": np.random.default_rng(n).random((60, 60)) for n in range(7)}
    np.savez(source, **tables)
    # The first file (5 tables) is larger than the file size limit, the second (2) is not.
    sizes = []
    for names in (list(tables)[:5], list(tables)[5:]):
        orvanel.write(tmp_path / "size.mat", {name: tables[name] for name in names})
        sizes.append((tmp_path / "size.mat").stat().st_size)
    (tmp_path / "size.mat").unlink()
    (tmp_path / "out-1.mat").write_bytes(b"previous")

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes fail with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (sum(sizes) // 2, sum(sizes) // 2))

    result = subprocess.run([*SCRIPT, "convert", source, tmp_path / "out.mat", "--split", "5"], capture_output=True,
                            text=True, preexec_fn=limit_file_size)
    assert_one_line_failure(result, 1, f"{tmp_path / 'out-1.mat'}: ", "File too large",
                            f"already written: {tmp_path / 'out-2.mat'}")
    assert result.stdout == f"wrote {tmp_path / 'out-2.mat'} (matrix file): 60 zones, 2 tables: T5, T6\n"
    assert (tmp_path / "out-1.mat").read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["many.npz", "out-1.mat", "out-2.mat"]
    assert orvanel.read(tmp_path / "out-2.mat").names == ["T5", "T6"]


def test_memory_does_not_grow_with_the_number_of_tables(tmp_path):
    # 60 tables of 600 zones: 173 MB of values. HDF5 would otherwise keep a chunk cache of
    # up to 8 MiB for each of them, that is all of them, as they are read or written.
    source, omx = tmp_path / "many.npz", tmp_path / "many.omx"
    build_sparse(source, 600, 60)
    for args in (["convert", source, omx, "-q"], ["info", omx], ["convert", omx, tmp_path / "back.npz", "-q"]):
        result, _ = run_limited(args, LIMIT_MB)
        assert result.returncode == 0, result.stderr


# In this much address space a 4000-zone matrix of two tables (256 MB of values) cannot be
# held whole, next to the interpreter and its libraries; blocks of it fit many times over.
LIMIT_MB = 300
ZONES = 4000


@pytest.fixture(scope="module", params=[".omx", ".npz", ".csv.gz"])
def large(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("large")
    source, other = directory / f"in{request.param}", directory / f"other{request.param}"
    build_sparse(source, ZONES, 2)
    build_sparse(other, ZONES, 2, changed=(1, 3001, 17))
    return source, other


def test_commands_on_a_matrix_larger_than_their_memory(large, tmp_path):
    source, other = large
    zones = ["--zones", str(ZONES)] if source.name.endswith(".csv.gz") else []
    info, _ = run_limited(["info", source, "--json"], LIMIT_MB)
    assert info.returncode == 0, info.stderr
    report = json.loads(info.stdout)
    assert report["zones"] == ZONES and [t["name"] for t in report["tables"]] == ["T0", "T1"]
    assert all(0.99 < t["zero_share"] < 1 and t["max"] <= 99 for t in report["tables"])
    validate, _ = run_limited(["validate", source], LIMIT_MB)
    assert validate.returncode == 0 and validate.stdout == f"{source}: OK\n"
    diff, _ = run_limited(["diff", source, other, "--json"], LIMIT_MB)
    assert diff.returncode == 1, diff.stderr
    tables = json.loads(diff.stdout)["tables"]
    assert [(t["differing_cells"], t["at"], t["max_abs_diff"]) for t in tables] == [(0, None, 0.0), (1, [3001, 17], 0.5)]
    for target in {".omx", ".npz", ".csv.gz"} - {source.name[2:]}:
        out = tmp_path / f"out{target}"
        convert, _ = run_limited(["convert", source, out, "-q", "--nonzero", *zones], LIMIT_MB)
        assert convert.returncode == 0, convert.stderr
        same, _ = run_limited(["diff", source, out], LIMIT_MB)
        assert same.returncode == 0 and same.stdout.splitlines()[-1] == "equal", same.stdout
