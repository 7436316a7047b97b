"""Writing and reading when the file system fails. A failed write raises the io error and
leaves the path as it was, with nothing else in its directory; a killed writer leaves the
old or the complete new content; a read that runs out of data fails with unexpected_eof."""

import json
import os
import signal
import stat
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import orvanel
from orvanel import _engine
from orvanel._orvanel import OrvanelIoError, OrvanelParseError, _MatrixCore
from support import EOF_MESSAGE, check_core_error, raises_core, shared_out

TABLES = [("a", "D"), ("b", "3")]
HOW = ["write", "write_from_stack"]
HERE = os.path.dirname(__file__)


def stack_for(z, seed):
    """Values that do not compress: every row is stored with most of its planes."""
    stack = np.random.default_rng(seed).standard_normal((len(TABLES), z, z)) * 1e3
    stack[1] = np.round(stack[1], 3)
    return stack


def matrix_for(z, seed):
    m = _MatrixCore.create(z, TABLES)
    m.set_stack_array(stack_for(z, seed))
    return m


def write_matrix(how, path, z, seed):
    if how == "write":
        matrix_for(z, seed).write(path)
    elif how == "public":  # through the engine, two rows per batch on three threads
        with shared_out(1, 2 * z):
            orvanel.write(path, dict(zip(dict(TABLES), stack_for(z, seed))), dict(TABLES), threads=3)
    elif how == "engine":  # one record per batch, on three threads
        with shared_out():
            _engine.write(path, z, TABLES, stack_for(z, seed), threads=3)
    elif how == "rows":  # by blocks of 7 origins, each on three threads
        stack = stack_for(z, seed)
        with shared_out(1, 2 * z), orvanel.RowWriter(path, z, TABLES, threads=3) as writer:
            for first in range(0, z, 7):
                writer.write(stack[:, first:first + 7])
    else:
        _MatrixCore.write_from_stack(path, z, TABLES, stack_for(z, seed))


# Where a write fails at once, and what the io error says.
IO_FAULTS = {
    "full-device": ("/dev/full", "No space left on device (os error 28)"),
    "directory": ("out.mat", "Is a directory (os error 21)"),
    "missing-directory": ("missing/out.mat", "No such file or directory (os error 2)"),
    "nul-in-path": ("a\x00b", "file name contained an unexpected NUL byte"),
}


@pytest.mark.parametrize("how", [*HOW, "engine"])
@pytest.mark.parametrize("fault", list(IO_FAULTS))
def test_failed_writes_are_io_errors_and_change_nothing(tmp_path, how, fault):
    name, message = IO_FAULTS[fault]
    path = os.path.join(tmp_path, name)
    if fault == "directory":
        os.mkdir(path)
        (tmp_path / name / "inside").write_bytes(b"kept")
    with raises_core(OrvanelIoError, "io", None, f"I/O error: {message}"):
        write_matrix(how, path, 150, seed=1)
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)  # written in place, not replaced
    assert os.listdir(tmp_path) == (["out.mat"] if fault == "directory" else [])
    if fault == "directory":
        assert os.listdir(path) == ["inside"]


LIMIT_CHILD = """
import json, resource, signal, sys
sys.path.insert(0, sys.argv[5])
from test_io_faults import write_matrix
from orvanel._orvanel import OrvanelError

limit, z, how = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # past the limit a write then fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
outcomes = []
for path in (sys.argv[1], sys.argv[1] + ".new"):
    try:
        outcomes.append(write_matrix(how, path, z, seed=2))
    except OrvanelError as exc:
        outcomes.append([type(exc).__name__, exc.kind, exc.offset, str(exc)])
print(json.dumps(outcomes))
"""
LIMIT_Z = 120  # about 250 KB: several flushes of the 64 KiB write buffer


@pytest.fixture(scope="module")
def new_content():
    return matrix_for(LIMIT_Z, 2).to_bytes()


@pytest.mark.parametrize("how", [*HOW, "public", "rows"])
@pytest.mark.parametrize("limit", [0, 100, 65536, 65537, -1, None],
                         ids=["nothing", "in-header", "one-buffer", "one-buffer-and-a-byte", "last-byte", "whole-file"])
def test_file_size_limit(tmp_path, new_content, how, limit):
    """Writing over an existing file and to a new one under a file-size limit: past the
    limit both fail and nothing changes; a limit of the file's size lets both through."""
    size = len(new_content)
    target = tmp_path / "trips.mat"
    old = matrix_for(3, 7).to_bytes()
    target.write_bytes(old)
    limit = size if limit is None else size + limit if limit < 0 else limit
    done = subprocess.run([sys.executable, "-c", LIMIT_CHILD, target, str(limit), str(LIMIT_Z), how, HERE],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    if limit < size:
        failure = ["OrvanelIoError", "io", None, "I/O error: File too large (os error 27)"]
        assert json.loads(done.stdout) == [failure, failure]
        assert target.read_bytes() == old and os.listdir(tmp_path) == ["trips.mat"]
    else:
        assert json.loads(done.stdout) == [None, None]
        assert target.read_bytes() == (tmp_path / "trips.mat.new").read_bytes() == new_content
        assert sorted(os.listdir(tmp_path)) == ["trips.mat", "trips.mat.new"]


KILL_CHILD = """
import sys
sys.path.insert(0, sys.argv[3])
from test_io_faults import matrix_for

m = matrix_for(int(sys.argv[2]), seed=3)
print("ready", flush=True)
while True:
    m.write(sys.argv[1])
"""
KILL_Z = 700  # about 8 MB, long enough to be caught half written


def wait_until(child, condition):
    while not condition():
        assert child.poll() is None, "the writer ended by itself"


def temp_file_growing(directory, target_name):
    """A file other than the target has some bytes: a write is part way through."""
    for entry in os.scandir(directory):
        try:
            if entry.name != target_name and entry.stat().st_size > 0:
                return True
        except FileNotFoundError:  # renamed into place meanwhile
            pass
    return False


@pytest.mark.parametrize("moment", ["first-write-part-way", "later-write-part-way"])
def test_killed_writer_leaves_old_or_complete_new_file(tmp_path, moment):
    old = matrix_for(4, 8).to_bytes()
    new = matrix_for(KILL_Z, 3).to_bytes()
    target = tmp_path / "trips.mat"
    target.write_bytes(old)
    child = subprocess.Popen([sys.executable, "-c", KILL_CHILD, str(target), str(KILL_Z), HERE],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        if moment == "later-write-part-way":
            wait_until(child, lambda: target.stat().st_size == len(new))
        wait_until(child, lambda: temp_file_growing(tmp_path, target.name))
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    assert child.returncode == -signal.SIGKILL
    content = target.read_bytes()
    assert content in ((new,) if moment == "later-write-part-way" else (old, new))
    _MatrixCore.from_bytes(content)


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
    full = matrix_for(1400, 5)
    data = full.to_bytes()
    cut = len(data) // 3
    path = tmp_path / "trips.mat"
    outcomes = []
    with ThreadPoolExecutor(1) as pool:
        for _ in range(4):
            path.write_bytes(data)
            loading = pool.submit(_MatrixCore.open, path)
            while not loading.done() and not is_open(path):
                pass
            os.truncate(path, cut)
            try:
                assert np.array_equal(loading.result().stack_array(), full.stack_array())
                outcomes.append("whole")
            except OrvanelParseError as exc:
                assert cut <= exc.offset <= len(data), exc
                check_core_error(exc, OrvanelParseError, "unexpected_eof", exc.offset, EOF_MESSAGE)
                outcomes.append("cut")
    assert "cut" in outcomes
