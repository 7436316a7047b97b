"""A large replaced file is let go of after the write returns: held open across the rename,
closed on a thread of its own, never kept by a forked child, closed at once when the
rename fails."""

import contextlib
import os
import subprocess
import tempfile

import numpy as np
import pytest

import orvanel
from orvanel import _release
from orvanel._replace import replace_file

BIG = _release.MIN_SIZE + 4096


def frees_in_place(directory):
    """The ext file systems free a file in the call that drops its last link."""
    kind = subprocess.run(["stat", "-f", "-c", "%T", str(directory)], capture_output=True, text=True)
    return kind.stdout.strip().startswith("ext")


def files_held():
    """What this process's descriptors refer to; a deleted file ends in " (deleted)"."""
    links = []
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # closed meanwhile
            links.append(os.readlink(f"/proc/self/fd/{fd}"))
    return links


def fd_holds(fd, path):
    try:
        return os.path.samestat(os.fstat(fd), os.stat(path))
    except OSError:
        return False


def sparse_file(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
    return str(path)


@pytest.mark.parametrize(("directory", "size", "links"), [
    ("tmp", BIG, 1), ("tmp", _release.MIN_SIZE - 1, 1), ("tmp", BIG, 2), ("/dev/shm", BIG, 1)])
def test_only_large_files_a_rename_frees_in_place_are_held(tmp_path, directory, size, links):
    if not os.path.isdir(directory if directory != "tmp" else tmp_path):
        pytest.skip("no /dev/shm here")
    with tempfile.TemporaryDirectory(dir=tmp_path if directory == "tmp" else directory) as where:
        path = sparse_file(os.path.join(where, "held.bin"), size)
        for k in range(1, links):
            os.link(path, f"{path}.{k}")
        fd = _release.hold(path)
        assert (fd is not None) == (size >= _release.MIN_SIZE and links == 1 and frees_in_place(where))
        if fd is not None:
            assert os.path.samestat(os.fstat(fd), os.stat(path))
            _release.release(fd, in_background=False)
            with pytest.raises(OSError):
                os.fstat(fd)


def test_a_replaced_file_is_gone_once_its_release_is_done(tmp_path, monkeypatch):
    values = np.random.default_rng(3).random((1600, 1600))
    target = tmp_path / "big.mat"
    orvanel.from_arrays({"T": values}, types={"T": "D"}).write(target)
    assert target.stat().st_size >= _release.MIN_SIZE
    second = orvanel.from_arrays({"T": values + 1.0}, types={"T": "D"})
    before, released, release = files_held(), [], _release.release
    monkeypatch.setattr(_release, "release", lambda fd, *, in_background: (
        released.append(in_background), release(fd, in_background=in_background)))
    second.write(target)
    _release.wait_for_releases()
    assert released == ([True] if frees_in_place(tmp_path) else [])
    assert not [f for f in files_held() if f.endswith(" (deleted)") and f not in before]
    assert np.array_equal(orvanel.read(target).to_numpy(), second.to_numpy())
    assert [p.name for p in tmp_path.iterdir()] == ["big.mat"]


@pytest.mark.parametrize("reused", [False, True])
def test_a_forked_child_closes_the_held_files_it_inherited(tmp_path, reused):
    """A number the parent has closed and reused for another file stays open in the child."""
    path = sparse_file(tmp_path / "old.bin", BIG)
    fd = _release.hold(path)
    if fd is None:
        pytest.skip("files are not freed in place here")
    other = sparse_file(tmp_path / "other.bin", 10)
    if reused:  # as if the file had been closed, and its number taken, just before the fork
        spare = os.open(other, os.O_RDONLY)
        os.dup2(spare, fd)
        os.close(spare)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if (fd_holds(fd, other) == reused) else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    os.fstat(fd)  # still the parent's, until released
    os.replace(other, path)
    _release.release(fd, in_background=True)
    _release.wait_for_releases()
    with pytest.raises(OSError):
        os.fstat(fd)


def test_a_failed_rename_lets_go_at_once_and_keeps_the_old_file(tmp_path):
    path = sparse_file(tmp_path / "old.bin", BIG)
    with pytest.raises(FileNotFoundError), replace_file(path, in_place_ok=False) as temporary:
        os.unlink(temporary)  # nothing left to move over the target
    assert os.path.getsize(path) == BIG
    assert not _release._held and not _release._closing and path not in files_held()
