"""OMX files on the command line: skim files of hundreds of tables, zone lookups, matrix
files split by table count, and OMX reads and writes that fail or are interrupted."""

import os
import resource
import signal
import subprocess
import sys
import time

import h5py
import numpy as np
import openmatrix
import pytest

import orvanel
from support import SCRIPT, assert_one_line_failure, orvanel_cli, same_bits

TABLES, ZONES = 300, 30


@pytest.fixture(scope="module")
def skims(tmp_path_factory):
    """A skim file as openmatrix writes it: 300 tables of 30 zones numbered from 2100."""
    path = tmp_path_factory.mktemp("skims") / "skims.omx"
    rng = np.random.default_rng(7)
    with openmatrix.open_file(str(path), "w") as f:
        for number in range(TABLES):
            f[f"T{number:03d}"] = rng.random((ZONES, ZONES))
        f.create_mapping("taz", np.arange(2100, 2100 + ZONES))
    return path


def test_many_tables_through_every_command(skims, tmp_path):
    info = orvanel_cli("info", skims)
    assert info.returncode == 0 and f"tables  {TABLES}" in info.stdout.splitlines(), info.stderr
    assert orvanel_cli("validate", skims).stdout == f"{skims}: OK\n"
    source = orvanel.omx.read_omx(skims)
    for suffix, kind in ((".npz", "NumPy archive"), (".csv", "CSV"), (".omx", "OMX")):
        out = tmp_path / f"out{suffix}"
        result = orvanel_cli("convert", skims, out)
        assert result.returncode == 0 and result.stdout == f"wrote {out} ({kind}): {ZONES} zones, {TABLES} tables\n"
        if suffix == ".csv":  # zone ids are the lookup's labels; they come back as labels
            zones = tmp_path / "out.zones.csv"
            assert result.stderr == f"orvanel convert: note: zone labels written to {zones} " \
                                    "(read them back with --zones-file)\n"
            orvanel_cli("convert", out, tmp_path / "back.omx", "--zones-file", zones)
            out = tmp_path / "back.omx"
        else:
            assert result.stderr == ""
        diff = orvanel_cli("diff", skims, out)
        assert diff.returncode == 0 and diff.stdout.splitlines()[-1] == "equal"
    # The lookup's zone numbers travel to the written OMX file.
    with h5py.File(tmp_path / "out.omx", "r") as f:
        assert f["lookup/zone_number"][()].tolist() == list(range(2100, 2100 + ZONES))
    assert same_bits(orvanel.omx.read_omx(tmp_path / "out.omx").to_numpy(), source.to_numpy())


def test_more_tables_than_a_matrix_file_holds(skims, tmp_path):
    out = tmp_path / "out.mat"
    assert_one_line_failure(orvanel_cli("convert", skims, out), 1, f"{out}: a matrix file holds at most 255 tables",
                            f"{skims} has {TABLES}", "--tables", "--split N")
    assert list(tmp_path.iterdir()) == []
    chosen = orvanel_cli("convert", skims, out, "--tables", "T007,T250")
    assert chosen.returncode == 0 and orvanel.read(out).names == ["T007", "T250"]


@pytest.mark.parametrize(("size", "chosen", "files"), [(100, None, 3), (255, None, 2), (255, 10, 1)])
def test_split_writes_files_of_at_most_n_tables(skims, tmp_path, size, chosen, files):
    out = tmp_path / "out.mat"
    source = orvanel.omx.read_omx(skims)
    names = source.names[:chosen] if chosen else source.names
    choice = ["--tables", ",".join(names)] if chosen else []
    result = orvanel_cli("convert", skims, out, "--split", size, *choice)
    zones = tmp_path / "out.zones.csv"  # the lookup's zone numbers, once for every file
    assert result.returncode == 0 and result.stderr == (
        f"orvanel convert: note: zone labels written to {zones} (read them back with --zones-file)\n")
    # One file keeps the name given; several are numbered.
    paths = [out] if files == 1 else [tmp_path / f"out-{n}.mat" for n in range(1, files + 1)]
    assert sorted(tmp_path.iterdir()) == sorted([*paths, zones])
    lines = result.stdout.splitlines()
    assert len(lines) == files
    for number, (path, line) in enumerate(zip(paths, lines)):
        part = orvanel.read(path)
        expected = names[number * size:(number + 1) * size]
        assert part.names == expected
        assert same_bits(part.to_numpy(), np.stack([source[name] for name in expected]))
        assert line == f"wrote {path} (matrix file): {ZONES} zones, {len(expected)} tables: {', '.join(expected)}"
    assert orvanel_cli("convert", skims, out, "--split", size, *choice, "--quiet").stdout == ""
    assert orvanel.formats.zonesfile.read_zones(zones).tolist() == list(range(2100, 2100 + ZONES))


def test_split_failure_says_which_files_were_written(skims, tmp_path):
    (tmp_path / "out-2.mat").mkdir()
    result = orvanel_cli("convert", skims, tmp_path / "out.mat", "--split", 200)
    assert_one_line_failure(result, 1, f"{tmp_path / 'out-2.mat'}: ", f"already written: {tmp_path / 'out-1.mat'}")
    assert orvanel.read(tmp_path / "out-1.mat").names == [f"T{n:03d}" for n in range(200)]


@pytest.mark.parametrize(("args", "fragment"), [
    (["--split", "0"], "--split: takes a number of tables in 1 to 255 (got 0)"),
    (["--split", "256"], "--split: takes a number of tables in 1 to 255 (got 256)"),
    (["--split", "x"], "--split: takes a number of tables in 1 to 255 (got x)"),
])
def test_split_usage_errors(skims, tmp_path, args, fragment):
    assert_one_line_failure(orvanel_cli("convert", skims, tmp_path / "out.mat", *args), 2, fragment)
    assert_one_line_failure(orvanel_cli("convert", skims, tmp_path / "out.npz", "--split", "5"), 2,
                            "--split applies only when OUT is a matrix file")


def two_lookup_file(path):
    with openmatrix.open_file(str(path), "w") as f:
        f["TIME"] = np.arange(9.0).reshape(3, 3)
        f.create_mapping("taz", np.array([331, 345, 358]))
        f.create_mapping("district", np.array([1, 2, 3]))
    return path


def test_lookup_option(tmp_path, sample):
    source, out = two_lookup_file(tmp_path / "in.omx"), tmp_path / "out.omx"
    # Several lookups, none chosen: zones 1..Z and one line saying how to choose.
    result = orvanel_cli("convert", source, out, "--quiet")
    assert result.returncode == 0 and result.stderr.splitlines() == [
        "orvanel convert: note: the OMX file has 2 lookups (district, taz); the zones are numbered 1 to 3; choose the "
        "lookup that numbers them with lookup=NAME (orvanel convert --lookup NAME)"]
    assert orvanel.omx.read_omx(out).zone_labels.tolist() == [1, 2, 3]
    result = orvanel_cli("convert", source, out, "--lookup", "taz")
    assert result.returncode == 0 and result.stderr == ""
    assert orvanel.omx.read_omx(out).zone_labels.tolist() == [331, 345, 358]
    assert_one_line_failure(orvanel_cli("convert", source, out, "--lookup", "zone"), 1,
                            f"{source}: the OMX file has no lookup named zone; its lookups are district, taz")
    assert_one_line_failure(orvanel_cli("convert", sample, out, "--lookup", "taz"), 2, "--lookup applies only")


def test_notices_of_other_commands_are_one_line(tmp_path):
    path = tmp_path / "na.omx"
    with openmatrix.open_file(str(path), "w") as f:
        f.create_matrix("TIME", obj=np.eye(2), attrs={"NA": -1.0})
    result = orvanel_cli("info", path)
    assert result.returncode == 0 and result.stderr == (
        "orvanel info: note: the matrix TIME marks missing values with NA = -1.0; the values are kept as stored, "
        "not turned into NaN\n")


def write_plain(path, build):
    with h5py.File(path, "w") as f:
        build(f)


def omx_attrs(f):
    f.attrs["OMX_VERSION"] = np.bytes_(b"0.2")
    f.attrs["SHAPE"] = np.array([2, 2], dtype=np.int32)


@pytest.mark.parametrize(("make", "fragment"), [
    (lambda p: p.write_bytes(b"origin,destination\n"), "not an OMX file: it is not an HDF5 file"),
    (lambda p: p.write_bytes(orvanel_omx_bytes()[:3000]), "the file is cut short: it has 3000 bytes of the"),
    (lambda p: write_plain(p, omx_attrs), "not an OMX file: the /data group is missing"),
    (lambda p: write_plain(p, lambda f: (omx_attrs(f), f.create_dataset("data/A", data=np.zeros((2, 3))))),
     "the matrix A has the shape 2 by 3, not 2 by 2"),
    (lambda p: write_plain(p, lambda f: (omx_attrs(f), f.create_dataset("data/A", data=np.full((2, 2), b"x")))),
     "the matrix A does not hold numbers"),
    (lambda p: write_plain(p, lambda f: f.create_dataset("data/A", data=np.zeros((2, 2)))),
     "not an OMX file: the OMX_VERSION attribute is missing"),
    (lambda p: os.mkdir(p), "Is a directory"),
])
def test_unreadable_omx_files_are_one_line(tmp_path, make, fragment):
    path = tmp_path / "bad.omx"
    make(path)
    for command in ("info", "convert"):
        assert_one_line_failure(orvanel_cli(command, path, tmp_path / "out.npz")
                                if command == "convert" else orvanel_cli(command, path), 1, f"{path}: {fragment}")
    result = orvanel_cli("validate", path)
    assert result.returncode == 1 and result.stdout.startswith(f"{path}: {fragment}")
    assert result.stderr == "" and len(result.stdout.splitlines()) == 1


def orvanel_omx_bytes():
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"orvanel-omx-{os.getpid()}.omx")
    try:
        orvanel.omx.write_omx(orvanel.from_arrays({"A": np.eye(40)}), path)
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.unlink(path)


def test_damaged_omx_files_never_crash_or_print_tracebacks(tmp_path):
    good = tmp_path / "good.omx"
    orvanel.omx.write_omx(orvanel.from_arrays({"A": np.arange(1600.0).reshape(40, 40), "B": np.eye(40)}), good)
    content = good.read_bytes()
    paths = []
    for offset in range(0, len(content), 16):  # every metadata structure of the file
        damaged = bytearray(content)
        damaged[offset:offset + 4] = b"\xa5\x5a\xff\x00"
        paths.append(tmp_path / f"damaged-{offset}.omx")
        paths[-1].write_bytes(bytes(damaged))
    result = orvanel_cli("validate", "--quiet", *paths)
    assert result.returncode == 1 and "Traceback" not in result.stderr, result.stderr
    # Notices only on standard error: a damaged type code is not used.
    assert all(line.startswith("orvanel validate: note: the matrix ") for line in result.stderr.splitlines())
    lines = result.stdout.splitlines()
    assert lines and all(line.startswith(f"{tmp_path}{os.sep}damaged-") for line in lines)
    assert len(lines) == len({line.split(":")[0] for line in lines})  # one line per file at most


@pytest.fixture
def large_matrix(tmp_path):
    """A matrix file whose OMX conversion takes a while: 8 tables of 1200 zones."""
    path = tmp_path / "large.mat"
    rng = np.random.default_rng(3)
    orvanel.write(path, {f"T{n}": rng.random((1200, 1200)) for n in range(8)})
    return path


def previous_omx(tmp_path):
    path = tmp_path / "out.omx"
    path.write_bytes(b"the previous file")
    return path


def assert_only_the_previous_file(path, *others):
    assert path.read_bytes() == b"the previous file"
    assert sorted(path.parent.iterdir()) == sorted([path, *others])


@pytest.mark.parametrize("limit", [1 << 16, 1 << 23, "one byte short"])
def test_write_beyond_the_file_size_limit_is_one_line(large_matrix, tmp_path, limit):
    if limit == "one byte short":  # only the last write fails
        full = tmp_path / "full.omx"
        orvanel.omx.write_omx(orvanel.read(large_matrix), full)
        limit = full.stat().st_size - 1
        full.unlink()
    out = previous_omx(tmp_path)

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # as a shell does: writes fail with EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = subprocess.run([*SCRIPT, "convert", large_matrix, out], capture_output=True, text=True,
                            preexec_fn=limit_file_size)
    assert_one_line_failure(result, 1, f"orvanel convert: {out}: File too large")
    assert_only_the_previous_file(out, large_matrix)


def temporary_size(directory):
    """The size of the temporary file being written in ``directory`` (0 if none)."""
    for path in directory.iterdir():
        if path.name.endswith(".tmp"):
            try:
                return path.stat().st_size
            except FileNotFoundError:  # renamed or removed meanwhile
                pass
    return 0


def default_ctrl_c():
    """Run in a child before it starts: a shell running the suite in the background leaves
    SIGINT ignored, and an interpreter started so never turns Ctrl-C into
    KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_ctrl_c_stops_an_omx_write(large_matrix, tmp_path):
    out = previous_omx(tmp_path)
    process = subprocess.Popen([*SCRIPT, "convert", large_matrix, out], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, preexec_fn=default_ctrl_c)
    try:
        # Signal once HDF5 is writing the matrices into the temporary file.
        while process.poll() is None and temporary_size(tmp_path) < 1 << 21:
            time.sleep(0.005)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 130 and stdout == "" and stderr.strip() == "orvanel convert: interrupted", stderr
    assert_only_the_previous_file(out, large_matrix)


@pytest.mark.parametrize("call", ["write_omx(m, path, progress=interrupt)", "read_omx(path, progress=interrupt)"])
def test_reading_and_writing_raise_keyboard_interrupt(tmp_path, call):
    out = previous_omx(tmp_path)
    if call.startswith("read"):
        orvanel.omx.write_omx(orvanel.from_arrays({"A": np.eye(300), "B": np.ones((300, 300))}), out)
    code = (
        "import os, signal, sys, numpy as np, orvanel\n"
        "from orvanel.omx import read_omx, write_omx\n"
        "m, path, calls = orvanel.from_arrays({'A': np.eye(300), 'B': np.ones((300, 300))}), sys.argv[1], []\n"
        "def interrupt(cells): calls.append(cells); os.kill(os.getpid(), signal.SIGINT)\n"
        "try:\n"
        f"    {call}\n"
        "except KeyboardInterrupt:\n"
        "    sys.exit(len(calls))\n"
    )
    result = subprocess.run([sys.executable, "-c", code, out], capture_output=True, text=True,
                            preexec_fn=default_ctrl_c)
    # Raised at the first report of progress, not after the work is done.
    assert result.returncode == 1 and result.stderr == "", result.stderr
    if call.startswith("write"):
        assert_only_the_previous_file(out)


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_omx_cannot_be_written_to_a_fifo_or_device(tmp_path, sample, kind):
    out = tmp_path / "out.omx"
    if kind == "fifo":
        os.mkfifo(out)
    else:
        out.symlink_to(os.devnull)
    assert_one_line_failure(orvanel_cli("convert", sample, out), 1,
                            f"orvanel convert: {out}: this format can only be written to a regular file")
