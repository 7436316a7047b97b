"""The command line block by block: conversions between every pair of formats, split files,
and commands on matrices larger than the memory they may use (with ``-m heavy``: matrices
of gigabytes)."""

import json
import resource
import signal
import subprocess

import numpy as np
import pytest

import orvanel
import orvanel.formats.npz
from bench_blocks import build, run_limited
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


def test_diff_reads_files_of_other_zone_counts_through(tmp_path):
    (tmp_path / "a.csv").write_text("origin,destination,A\n1,1,2\n")
    values = np.random.default_rng(2).random((40, 40))
    orvanel.formats.npz.write_npz(orvanel.from_arrays({"A": values}), tmp_path / "b.npz")
    data = bytearray((tmp_path / "b.npz").read_bytes())
    data[len(data) // 2:len(data) // 2 + 10] = bytes(10)  # in the values, after the array's header
    (tmp_path / "b.npz").write_bytes(bytes(data))
    result = orvanel_cli("diff", tmp_path / "a.csv", tmp_path / "b.npz")
    assert_one_line_failure(result, 1, f"orvanel diff: {tmp_path / 'b.npz'}: ", "'A' cannot be read")


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
    build(source, 600, 60)
    for args in (["convert", source, omx, "-q"], ["info", omx], ["convert", omx, tmp_path / "back.npz", "-q"]):
        result, _ = run_limited(args, LIMIT_MB)
        assert result.returncode == 0, result.stderr


# In this much address space a 4000-zone matrix of two tables (256 MB of values) cannot be
# held whole, next to the interpreter and its libraries; blocks of it fit many times over.
# The heavy tests (-m heavy) take 20,000 zones (6.4 GB) and 10,000 (1.6 GB) in 1500 MB.
LIMIT_MB, HEAVY_MB = 300, 1500
COMMANDS = ["info", "validate", "diff", "convert .mat", "convert .omx", "convert .npz", "convert .csv.gz"]


def scenario(directory, suffix, zones):
    """A sparse two-table matrix of ``zones`` zones and a copy that differs in one cell."""
    source, other = directory / f"in{suffix}", directory / f"other{suffix}"
    changed = (1, zones // 2 + 7, zones - 3)
    build(source, zones, 2)
    build(other, zones, 2, changed=changed)
    return source, other, changed, zones


def check_command(command, source, other, changed, zones, limit, tmp_path):
    if command == "info":
        result, peak = run_limited(["info", source, "--json"], limit)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert report["zones"] == zones and [t["name"] for t in report["tables"]] == ["T0", "T1"]
        assert all(0.99 < t["zero_share"] < 1 and t["max"] <= 99 for t in report["tables"])
    elif command == "validate":
        result, peak = run_limited(["validate", source], limit)
        assert result.returncode == 0 and result.stdout == f"{source}: OK\n", result.stdout + result.stderr
    elif command == "diff":
        result, peak = run_limited(["diff", source, other], limit)
        assert result.returncode == 1, result.stderr
        assert result.stdout.splitlines()[2:] == [
            "T0  identical", f"T1  1 cell differs; largest difference 0.5 at {changed[1:]}", "different"]
    else:
        target = command.split()[1]
        if target == source.name[2:]:
            pytest.skip("the same format")
        out = tmp_path / f"out{target}"
        # Other type codes for a matrix file: whole numbers are held exactly by each.
        types = ["--type", "T0=S", "--type", "T1=2"] if target == ".mat" else []
        zones_option = ["--zones", str(zones)] if source.name.endswith(".csv.gz") else []
        result, peak = run_limited(["convert", source, out, "-q", "--nonzero", *types, *zones_option], limit)
        assert result.returncode == 0, result.stderr
        same, _ = run_limited(["diff", source, out], limit)
        assert same.returncode == 0 and same.stdout.splitlines()[-1] == "equal", same.stdout + same.stderr
    print(f"{command} {source.name}: peak {peak:.0f} MB")


@pytest.fixture(scope="module", params=[".mat", ".omx", ".npz", ".csv.gz"])
def large(request, tmp_path_factory):
    return scenario(tmp_path_factory.mktemp("large"), request.param, 4000)


@pytest.mark.parametrize("command", COMMANDS)
def test_commands_on_a_matrix_larger_than_their_memory(large, command, tmp_path):
    check_command(command, *large, LIMIT_MB, tmp_path)


@pytest.fixture(scope="module", params=[".mat", ".omx", ".npz", ".csv.gz"])
def huge(request, tmp_path_factory):
    """A matrix file of 20,000 zones, the other formats of 10,000."""
    return scenario(tmp_path_factory.mktemp("huge"), request.param, 20_000 if request.param == ".mat" else 10_000)


@pytest.mark.heavy
@pytest.mark.parametrize("command", COMMANDS)
def test_commands_on_gigabytes_in_an_address_space_far_smaller(huge, command, tmp_path):
    check_command(command, *huge, HEAVY_MB, tmp_path)
