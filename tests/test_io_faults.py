"""Writing and reading when the file system fails: a full device, a file-size limit, a
writer killed part way, a file cut short while it is read, a path that cannot be read.

A failed write must raise the io error and leave the previous file at the path as it
was, with nothing else left in its directory; a killed writer leaves the old or the
complete new content; a read that runs out of data fails with unexpected_eof."""

import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from expect import EOF_MESSAGE, check_core_error, raises_core
from orvanel._orvanel import OrvanelIoError, OrvanelParseError, _MatrixCore

TABLES = [("a", "D"), ("b", "3")]
ENOSPC = "I/O error: No space left on device (os error 28)"
EFBIG = "I/O error: File too large (os error 27)"


def stack_for(z, seed):
    """Values that do not compress: every row is stored with most of its planes."""
    rng = np.random.default_rng(seed)
    stack = rng.standard_normal((len(TABLES), z, z)) * 1e3
    stack[1] = np.round(stack[1], 3)
    return stack


def matrix_for(z, seed):
    m = _MatrixCore.create(z, TABLES)
    m.set_stack_array(stack_for(z, seed))
    return m


def write_matrix(how, path, z, seed):
    """The same matrix written by the instance method or straight from the stack."""
    if how == "write":
        matrix_for(z, seed).write(path)
    else:
        _MatrixCore.write_from_stack(path, z, TABLES, stack_for(z, seed))


HOW = ["write", "write_from_stack"]


# --- a full device ------------------------------------------------------------------


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("how", HOW)
def test_full_device_raises_no_space_and_stays_a_device(how):
    with raises_core(OrvanelIoError, "io", None, ENOSPC):
        write_matrix(how, "/dev/full", 150, seed=1)
    # Written in place: the device is not replaced by a regular file.
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


# --- a file-size limit --------------------------------------------------------------

LIMIT_CHILD = textwrap.dedent(
    """
    import json, resource, signal, sys
    sys.path.insert(0, sys.argv[5])
    from test_io_faults import write_matrix
    from orvanel._orvanel import OrvanelError

    path, limit, z, how = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    # Past the limit a write fails with EFBIG instead of the process being killed.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    try:
        write_matrix(how, path, z, seed=2)
    except OrvanelError as exc:
        print(json.dumps({"class": type(exc).__name__, "kind": exc.kind, "offset": exc.offset,
                          "message": str(exc)}))
    else:
        print(json.dumps(None))
    """
)

LIMIT_Z = 120  # about 250 KB: several flushes of the 64 KiB write buffer


def run_child(code, *args, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        capture_output=True,
        text=True,
        **kwargs,
    )


@pytest.fixture(scope="module")
def new_content():
    return matrix_for(LIMIT_Z, 2).to_bytes()


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize(
    "limit",
    [0, 10, 100, 65536, 65537, 150_000, -1],
    ids=["nothing", "in-record-1", "in-header", "one-buffer", "one-buffer-and-a-byte", "mid-rows", "last-byte"],
)
def test_file_size_limit_keeps_previous_file(tmp_path, new_content, how, limit):
    limit = len(new_content) + limit if limit < 0 else limit
    old = matrix_for(3, 7).to_bytes()
    target = tmp_path / "trips.mat"
    target.write_bytes(old)
    before = sorted(os.listdir(tmp_path))

    done = run_child(LIMIT_CHILD, target, limit, LIMIT_Z, how, os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"class": "OrvanelIoError", "kind": "io", "offset": None, "message": EFBIG}
    assert target.read_bytes() == old
    assert sorted(os.listdir(tmp_path)) == before


def test_file_size_limit_above_the_file_writes_it(tmp_path, new_content):
    target = tmp_path / "trips.mat"
    target.write_bytes(b"old")
    done = run_child(LIMIT_CHILD, target, len(new_content), LIMIT_Z, "write", os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) is None
    assert target.read_bytes() == new_content
    assert os.listdir(tmp_path) == ["trips.mat"]


# --- a writer killed part way -------------------------------------------------------

KILL_CHILD = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[3])
    from test_io_faults import matrix_for

    m = matrix_for(int(sys.argv[2]), seed=3)
    print("ready", flush=True)
    while True:
        m.write(sys.argv[1])
    """
)

KILL_Z = 700  # about 8 MB, long enough to be caught half written


def wait_until(child, condition):
    """Polls `condition` while the writing child lives."""
    while not condition():
        assert child.poll() is None, "the writer ended by itself"


def growing_temp_file(directory, target_name):
    """Whether a file other than the target exists in `directory` and has some of its
    bytes: a write is part way through."""

    def check():
        for entry in os.scandir(directory):
            if entry.name != target_name:
                try:
                    if entry.stat().st_size > 0:
                        return True
                except FileNotFoundError:  # renamed into place meanwhile
                    pass
        return False

    return check


@pytest.mark.parametrize("moment", ["first-write-part-way", "later-write-part-way", "any"])
def test_killed_writer_leaves_old_or_complete_new_file(tmp_path, moment):
    old = matrix_for(4, 8).to_bytes()
    new = matrix_for(KILL_Z, 3).to_bytes()
    target = tmp_path / "trips.mat"
    target.write_bytes(old)

    child = subprocess.Popen(
        [sys.executable, "-c", KILL_CHILD, str(target), str(KILL_Z), os.path.dirname(__file__)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        if moment == "later-write-part-way":
            wait_until(child, lambda: target.stat().st_size == len(new))
        if moment != "any":
            wait_until(child, growing_temp_file(tmp_path, target.name))
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    assert child.returncode == -signal.SIGKILL
    content = target.read_bytes()
    assert content == old or content == new
    if moment == "later-write-part-way":
        assert content == new
    _MatrixCore.from_bytes(content)


# --- reading faults -----------------------------------------------------------------


def is_open(path):
    """Whether this process has `path` open."""
    target = os.path.realpath(path)
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == target:
                return True
        except OSError:  # closed meanwhile
            pass
    return False


def test_file_cut_short_while_it_is_read(tmp_path):
    """A reader meets the new end of a file truncated under it: unexpected_eof at the
    bytes it had consumed, or the whole matrix if it was quicker. Never anything else."""
    z = 1400
    full = matrix_for(z, 5)
    data = full.to_bytes()
    cut = len(data) // 3
    path = tmp_path / "trips.mat"
    outcomes = []
    for _ in range(4):
        path.write_bytes(data)
        outcome = {}

        def load():
            try:
                outcome["matrix"] = _MatrixCore.open(path)
            except Exception as exc:  # handed to the checks below
                outcome["error"] = exc

        reader = threading.Thread(target=load)
        reader.start()
        while reader.is_alive() and not is_open(path):
            pass
        os.truncate(path, cut)
        reader.join()
        if "error" in outcome:
            exc = outcome["error"]
            assert isinstance(exc, OrvanelParseError), exc
            assert cut <= exc.offset <= len(data)
            check_core_error(exc, OrvanelParseError, "unexpected_eof", exc.offset, EOF_MESSAGE)
            outcomes.append("cut")
        else:
            assert np.array_equal(outcome["matrix"].stack_array(), full.stack_array())
            outcomes.append("whole")
    assert "cut" in outcomes


def test_reading_a_directory_is_an_io_error_at_offset_zero(tmp_path):
    with raises_core(OrvanelIoError, "io", 0, "I/O error: Is a directory (os error 21)"):
        _MatrixCore.open(tmp_path)
    with raises_core(OrvanelIoError, "io", 0, "I/O error: Is a directory (os error 21)"):
        _MatrixCore.open_tables(tmp_path, ["a"])


@pytest.mark.parametrize("how", HOW)
def test_writing_over_a_directory_is_an_io_error_and_leaves_it(tmp_path, how):
    target = tmp_path / "out.mat"
    target.mkdir()
    (target / "inside").write_bytes(b"kept")
    with raises_core(OrvanelIoError, "io", None, "I/O error: Is a directory (os error 21)"):
        write_matrix(how, target, 3, seed=4)
    assert os.listdir(tmp_path) == ["out.mat"] and os.listdir(target) == ["inside"]
