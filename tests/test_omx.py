"""OMX files: the layout written, and files as other programs write them: openmatrix (on
PyTables), h5py with the compression filters of hdf5plugin; zone lookups, NA attributes.
On the command line: skim files of hundreds of tables, zone lookups, matrix files split by
table count, and OMX reads and writes that fail or are interrupted."""

import os
import resource
import signal
import subprocess
import sys
import time
import tracemalloc

import h5py
import hdf5plugin
import numpy as np
import openmatrix
import pytest

import orvanel
from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel.formats.zonesfile import read_zones
from orvanel.omx import read_omx, write_omx
from support import SCRIPT, SPECIAL, assert_one_line_failure, orvanel_cli, same_bits

GAPPED = [3093, 3098, 3112, 3120]
SANITIZED = os.environ.get("ORVANEL_SANITIZED") == "1"


def openmatrix_file(path, tables, lookups=None, attrs=None):
    """An OMX file written by the openmatrix package."""
    with openmatrix.open_file(str(path), "w") as f:
        for name, values in tables.items():
            f.create_matrix(name, obj=np.asarray(values), attrs=(attrs or {}).get(name))
        for name, entries in (lookups or {}).items():
            f.create_mapping(name, np.asarray(entries))
    return path


def h5py_file(path, tables, lookups=None, shape=True, version=b"0.2", **dataset_options):
    """An OMX file written with plain h5py: SHAPE that of the first table (or ``shape``,
    or left out if False), OMX_VERSION ``version`` (left out if None)."""
    with h5py.File(path, "w") as f:
        if version is not None:
            f.attrs["OMX_VERSION"] = np.bytes_(version)
        if shape is True:
            shape = next(iter(tables.values())).shape
        if shape:
            f.attrs["SHAPE"] = np.array(shape, dtype=np.int32)
        f.create_group("lookup")
        for name, values in tables.items():
            f.create_dataset(f"data/{name}", data=values, **dataset_options)
        for name, entries in (lookups or {}).items():
            f.create_dataset(f"lookup/{name}", data=entries)
    return path


def read_noting(path, **options):
    notes = []
    return read_omx(path, notice=notes.append, **options), notes


def test_layout_read_with_plain_h5py_and_round_trip(tmp_path):
    # Names out of alphabetical order: the file must keep the table order.
    arrays = {"ZETA": SPECIAL, "ALPHA": np.arange(9.0).reshape(3, 3), "MID": np.eye(3) / 3}
    matrix = orvanel.from_arrays(arrays, types={"ALPHA": 0, "MID": "S"}, banner="omx test", run_id="R9")
    path = tmp_path / "m.omx"
    write_omx(matrix, path)
    with h5py.File(path, "r") as f:
        assert bytes(np.bytes_(f.attrs["OMX_VERSION"])) == b"0.2" and f.attrs["SHAPE"].tolist() == [3, 3]
        assert set(f) == {"data", "lookup"} and list(f["data"]) == ["ZETA", "ALPHA", "MID"]
        assert f["lookup/zone_number"][()].tolist() == [1, 2, 3]
        for name, table in matrix.items():
            dataset = f["data"][name]
            assert dataset.dtype == np.float64 and dataset.attrs["type_code"] == matrix.type_codes[name]
            assert (dataset.compression, dataset.compression_opts, dataset.shuffle) == ("gzip", 1, True)
            assert same_bits(dataset[()], table)
    back = read_omx(path)
    assert back.names == matrix.names and back.type_codes == matrix.type_codes
    assert (back.banner, back.run_id) == ("omx test", "R9") and same_bits(back.to_numpy(), matrix.to_numpy())
    # Named tables keep the file's order.
    m = read_omx(path, ["MID", "ZETA"])
    assert m.names == ["ZETA", "MID"] and same_bits(m["MID"], matrix["MID"])
    write_omx(matrix, path, compression=None, shuffle=False)
    with h5py.File(path, "r") as f:
        assert f["data/ZETA"].compression is None and not f["data/ZETA"].shuffle
    assert same_bits(read_omx(path).to_numpy(), matrix.to_numpy())


@pytest.mark.parametrize("writer", [openmatrix_file, h5py_file])
def test_element_types_read_exactly_with_codes_that_hold_them(tmp_path, writer):
    # openmatrix stores booleans as an HDF5 bit field, h5py as an enumeration.
    flags = np.eye(4, dtype=bool)
    flags[0, 3] = True
    big = np.arange(16, dtype=np.int64).reshape(4, 4) + 2**52
    single = (np.arange(16, dtype=np.float32) / 3).reshape(4, 4)
    arrays = {"FLAG": flags, "BIG": big, "S1": single, "D1": np.full((4, 4), 0.1)}
    m = read_omx(writer(tmp_path / "m.omx", arrays))
    assert m.type_codes == {"FLAG": "0", "BIG": "0", "S1": "S", "D1": "D"}
    assert (m.banner, m.run_id) == (DEFAULT_BANNER, DEFAULT_RUN_ID)
    assert all(same_bits(m[name], values.astype(np.float64)) for name, values in arrays.items())
    assert read_omx(writer(tmp_path / "m.omx", {"S1": single}), types="D").type_codes == {"S1": "D"}
    # An integer that float64 would round is refused rather than changed.
    big[2, 1] = 2**53 + 1
    with pytest.raises(ValueError, match=r"BIG.*9007199254740993.*origin 3, destination 2"):
        read_omx(writer(tmp_path / "inexact.omx", {"BIG": big}))


# tracemalloc's own records of allocations are reported as leaks by LeakSanitizer.
@pytest.mark.skipif(SANITIZED, reason="tracemalloc under LeakSanitizer")
def test_a_claimed_shape_allocates_nothing_before_the_matrices_are_checked(tmp_path):
    path = tmp_path / "hostile.omx"
    h5py_file(path, {"A": np.zeros((1, 1))})
    with h5py.File(path, "r+") as f:
        f.attrs["SHAPE"] = np.array([40000, 40000], dtype=np.int32)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="1 by 1, not 40000 by 40000"):
            read_omx(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 24


@pytest.mark.parametrize("compression", [hdf5plugin.Blosc(), hdf5plugin.Blosc2(), hdf5plugin.Zstd(), hdf5plugin.LZ4()],
                         ids=["blosc", "blosc2", "zstd", "lz4"])
def test_matrices_compressed_with_plugin_filters(tmp_path, compression):
    values = np.arange(400.0).reshape(20, 20) / 7
    assert same_bits(read_omx(h5py_file(tmp_path / "m.omx", {"TIME": values}, **compression))["TIME"], values)


def test_plugin_filters_load_on_demand_and_their_absence_is_one_line(tmp_path):
    path = h5py_file(tmp_path / "blosc.omx", {"TIME": np.eye(5)}, shape=False, **hdf5plugin.Blosc())
    # A fresh process that never imported hdf5plugin itself.
    read = "import sys, orvanel.omx; print(orvanel.omx.read_omx(sys.argv[1])['TIME'].trace())"
    result = subprocess.run([sys.executable, "-c", read, path], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.strip() == "5.0", result.stderr
    # hdf5plugin not installed (an import of it fails).
    missing = "import sys; sys.modules['hdf5plugin'] = None; from orvanel.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run([sys.executable, "-c", missing, "info", path], capture_output=True, text=True)
    assert result.returncode == 1 and result.stderr.splitlines() == [
        f"orvanel info: {path}: the matrix TIME is compressed with the Blosc filter, which is not available; "
        "install hdf5plugin (pip install hdf5plugin)"]


@pytest.mark.parametrize(("writer", "lookups", "lookup", "labels", "note"), [
    (openmatrix_file, {"taz": GAPPED}, None, GAPPED, None),
    (openmatrix_file, {"taz": GAPPED, "district": [1, 1, 2, 2]}, "taz", GAPPED, None),
    (openmatrix_file, {"taz": [7, 8, 8, 9]}, None, None, "lookup taz is not used as zone numbers: zone labels must be distinct (8"),
    (h5py_file, {"taz": [1.0, 2.5, 3.0, 4.0]}, None, None, "lookup taz is not used as zone numbers: zone labels must be integers"),
    (h5py_file, {"name": np.array([b"a", b"b", b"c", b"d"])}, None, None, "lookup name is not used as zone numbers: it does not"),
    (h5py_file, {"taz": [1, 2, 3]}, None, None, "lookup taz is not used as zone numbers: it has 3 entries for 4 zones"),
    (h5py_file, {}, None, None, None),
])
def test_zone_labels_come_from_the_lookup(tmp_path, writer, lookups, lookup, labels, note):
    m, notes = read_noting(writer(tmp_path / "m.omx", {"TIME": np.eye(4)}, lookups), lookup=lookup)
    assert m.has_zone_labels is (labels is not None)
    assert m.zone_labels.tolist() == (labels or [1, 2, 3, 4])
    assert len(notes) == (note is not None) and all(note in text for text in notes), notes


@pytest.mark.parametrize(("lookups", "lookup", "message"), [
    ({}, "taz", "no lookup named taz; it has no lookups"),
    ({"district": [1, 1, 2, 2]}, "district", "lookup district cannot number the zones: .*distinct"),
    ({"short": [1, 2, 3]}, "short", "lookup short cannot number the zones: it has 3 entries for 4 zones"),
])
def test_a_lookup_asked_for_must_number_the_zones(tmp_path, lookups, lookup, message):
    path = h5py_file(tmp_path / "m.omx", {"TIME": np.eye(4)}, lookups)
    with pytest.raises(ValueError, match=message):
        read_omx(path, lookup=lookup)


def test_na_attributes_are_reported_not_applied(tmp_path):
    values = np.array([[1.0, -9999.0], [3.0, 4.0]])
    attrs = {"TIME": {"NA": -9999.0}, "DIST": {"NA": -9999.0}, "COST": {"NA": -1}}
    tables = {"TIME": values, "DIST": values * 2, "COST": values, "PLAIN": values}
    path = openmatrix_file(tmp_path / "m.omx", tables, attrs=attrs)
    m, notes = read_noting(path)
    assert m.names == ["COST", "DIST", "PLAIN", "TIME"]  # PyTables lists them by name
    assert same_bits(m.to_numpy(), np.stack([tables[name] for name in m.names]))
    assert notes == [
        "the matrix COST marks missing values with NA = -1; the values are kept as stored, not turned into NaN",
        "the matrices DIST, TIME mark missing values with NA = -9999.0; the values are kept as stored, "
        "not turned into NaN",
    ]
    # Without a notice callable they are warnings; reading only PLAIN has none.
    with pytest.warns(UserWarning, match="NA = -1"):
        read_omx(path, ["COST"])
    assert read_noting(path, tables=["PLAIN"])[1] == []


# PyTables keeps a few bytes for good when it opens a dataset that h5py wrote.
@pytest.mark.skipif(SANITIZED, reason="PyTables under LeakSanitizer")
def test_openmatrix_reads_written_files(tmp_path):
    m = orvanel.from_arrays({"TIME": np.arange(16.0).reshape(4, 4), "FLAG": np.eye(4)})
    m.zone_labels = labels = [*GAPPED[:3], 2**40]  # beyond int32: stored as int64
    write_omx(m, tmp_path / "m.omx")
    with openmatrix.open_file(str(tmp_path / "m.omx")) as f:
        assert f.list_matrices() == ["FLAG", "TIME"] and f.list_mappings() == ["zone_number"]
        assert f.mapping("zone_number") == {label: i for i, label in enumerate(labels)}
        assert same_bits(np.array(f["TIME"]), m["TIME"]) and same_bits(np.array(f["FLAG"]), m["FLAG"])
    back, notes = read_noting(tmp_path / "m.omx")
    assert back.zone_labels.tolist() == labels and notes == []


@pytest.mark.parametrize(("stored", "code", "noted"), [
    ("2", "2", False), (np.int64(7), "7", False), ("X", "0", True), (np.int64(12), "0", True)])
def test_a_type_code_attribute_is_used_only_when_valid(tmp_path, stored, code, noted):
    path = h5py_file(tmp_path / "m.omx", {"COUNT": np.eye(3, dtype=np.int32)})
    with h5py.File(path, "r+") as f:
        f["data/COUNT"].attrs["type_code"] = stored
    m, notes = read_noting(path)
    assert m.type_codes == {"COUNT": code}
    assert notes == ([f"the matrix COUNT has the type_code attribute {str(stored)!r}, which is not a type code; "
                      "it takes the type code 0, which holds its values"] if noted else [])


@pytest.mark.parametrize("name", ["A/B", ".."])
def test_names_an_omx_file_cannot_hold_are_refused(tmp_path, name):
    with pytest.raises(ValueError):
        write_omx(orvanel.create(2, [(name, "D")]), tmp_path / "x.omx")
    assert list(tmp_path.iterdir()) == []


# ---- the command line -----------------------------------------------------------------

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


def test_more_tables_than_a_matrix_file_holds(skims, tmp_path):
    info = orvanel_cli("info", skims)
    assert info.returncode == 0 and f"tables  {TABLES}" in info.stdout.splitlines(), info.stderr
    assert orvanel_cli("validate", skims).stdout == f"{skims}: OK\n"
    out = tmp_path / "out.npz"  # other formats hold any number of tables
    result = orvanel_cli("convert", skims, out)
    assert result.stdout == f"wrote {out} (NumPy archive): {ZONES} zones, {TABLES} tables\n", result.stderr
    assert orvanel_cli("diff", skims, out).stdout.splitlines()[-1] == "equal"
    out = tmp_path / "out.mat"
    assert_one_line_failure(orvanel_cli("convert", skims, out), 1, f"{out}: a matrix file holds at most 255 tables",
                            f"{skims} has {TABLES}", "--tables", "--split N")
    assert list(tmp_path.iterdir()) == [tmp_path / "out.npz"]
    chosen = orvanel_cli("convert", skims, out, "--tables", "T007,T250")
    assert chosen.returncode == 0 and orvanel.read(out).names == ["T007", "T250"]


@pytest.mark.parametrize(("size", "chosen", "files"), [(100, None, 3), (255, 10, 1)])
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
    for number, (path, line) in enumerate(zip(paths, result.stdout.splitlines(), strict=True)):
        part = orvanel.read(path)
        expected = names[number * size:(number + 1) * size]
        assert part.names == expected
        assert same_bits(part.to_numpy(), np.stack([source[name] for name in expected]))
        assert line == f"wrote {path} (matrix file): {ZONES} zones, {len(expected)} tables: {', '.join(expected)}"
    assert orvanel_cli("convert", skims, out, "--split", size, *choice, "--quiet").stdout == ""
    assert read_zones(zones).tolist() == list(range(2100, 2100 + ZONES))


def two_lookup_file(path):
    with openmatrix.open_file(str(path), "w") as f:
        f["TIME"] = np.arange(9.0).reshape(3, 3)
        f.create_mapping("taz", np.array([331, 345, 358]))
        f.create_mapping("district", np.array([1, 2, 3]))
    return path


def test_lookup_option(tmp_path):
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


@pytest.mark.parametrize(("make", "fragment"), [
    (lambda p: p.write_bytes(b"origin,destination\n"), "not an OMX file: it is not an HDF5 file"),
    (lambda p: write_omx(orvanel.from_arrays({"A": np.eye(40)}), p) or p.write_bytes(p.read_bytes()[:3000]),
     "the file is cut short: it has 3000 bytes of the"),
    (lambda p: h5py_file(p, {}, shape=(2, 2)), "not an OMX file: the /data group is missing"),
    (lambda p: h5py_file(p, {"A": np.zeros((2, 3))}, shape=(2, 2)), "the matrix A has the shape 2 by 3, not 2 by 2"),
    # Without SHAPE the first matrix sets it.
    (lambda p: h5py_file(p, {"A": np.ones((3, 3)), "B": np.eye(2)}, shape=False), "the matrix B has the shape 2 by 2, not 3 by 3"),
    (lambda p: h5py_file(p, {"A": np.ones((3, 2))}, shape=False), "OMX matrices must be square (the matrix A is 3 by 2)"),
    (lambda p: h5py_file(p, {"A": np.full((2, 2), b"x")}), "the matrix A does not hold numbers"),
    (lambda p: h5py_file(p, {"A": np.zeros((2, 2))}, version=None),
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


def test_write_beyond_the_file_size_limit_is_one_line(large_matrix, tmp_path):
    full = tmp_path / "full.omx"  # one byte short of it: only the last write fails
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


def test_reading_raises_keyboard_interrupt_at_the_first_progress(tmp_path):
    write_omx(orvanel.from_arrays({"A": np.eye(300), "B": np.ones((300, 300))}), tmp_path / "m.omx")
    calls = []
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            read_omx(tmp_path / "m.omx", progress=lambda cells: calls.append(cells) or os.kill(os.getpid(), signal.SIGINT))
    finally:
        signal.signal(signal.SIGINT, previous)
    assert len(calls) == 1  # raised at once, not after the work is done
