"""Every format replaces a file by the same rules: complete or not at all, the target's mode
kept, links followed, streams written in place where the format allows it."""

import gzip
import os
import stat
import threading

import numpy as np
import pytest

import orvanel
from orvanel.formats.registry import ReadOptions, WriteOptions, format_for

SUFFIXES = [".mat", ".omx", ".npz", ".csv", ".csv.gz"]
STREAMABLE = {".mat", ".csv", ".csv.gz"}


@pytest.fixture
def matrix():
    return orvanel.from_arrays({"A": np.arange(9.0).reshape(3, 3), "B": np.eye(3)}, types={"A": 2})


def write(matrix, path, progress=None):
    format_for(path).write(matrix, str(path), progress, WriteOptions())


def content(path):
    data = path.read_bytes()
    return gzip.decompress(data) if path.name.endswith(".gz") else data


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_new_and_replaced_files_keep_the_usual_permissions(tmp_path, matrix, suffix):
    target = tmp_path / f"m{suffix}"
    old = os.umask(0o022)
    try:
        write(matrix, target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o644
        target.chmod(0o600)  # a private file stays private when replaced
        write(matrix, target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o600
    finally:
        os.umask(old)
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_symbolic_link_is_followed_and_kept(tmp_path, matrix, suffix):
    real = tmp_path / f"real{suffix}"
    real.write_bytes(b"old")
    link = tmp_path / f"link{suffix}"
    link.symlink_to(real.name)
    write(matrix, link)
    assert link.is_symlink() and real.read_bytes() != b"old"
    write(matrix, tmp_path / f"plain{suffix}")
    assert content(real) == content(tmp_path / f"plain{suffix}") or suffix in (".omx", ".npz")


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_fifo_is_written_in_place_or_refused(tmp_path, matrix, suffix):
    fifo = tmp_path / f"pipe{suffix}"
    os.mkfifo(fifo)
    if suffix not in STREAMABLE:
        with pytest.raises(OSError, match="regular file"):
            write(matrix, fifo)
        return
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    write(matrix, fifo)
    reader.join(10)
    regular = tmp_path / f"regular{suffix}"
    write(matrix, regular)
    got = gzip.decompress(received[0]) if suffix.endswith(".gz") else received[0]
    assert got == content(regular) and stat.S_ISFIFO(fifo.stat().st_mode)


class Stop(Exception):
    pass


def stop_after_first(amount):
    raise Stop


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_failed_write_leaves_the_previous_file(tmp_path, matrix, suffix):
    target = tmp_path / f"m{suffix}"
    target.write_bytes(b"previous")
    if suffix == ".mat":
        bad = orvanel.create(3, {"Zürich": "D"})  # a name a matrix file cannot hold
        with pytest.raises(orvanel.OrvanelValidationError):
            write(bad, target)
    else:
        with pytest.raises(Stop):
            write(matrix, target, progress=stop_after_first)
    assert target.read_bytes() == b"previous" and [p.name for p in tmp_path.iterdir()] == [target.name]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_the_longest_legal_file_name_can_be_written(tmp_path, matrix, suffix):
    target = tmp_path / ("b" * (255 - len(suffix)) + suffix)
    write(matrix, target)
    write(matrix, target)  # replacing it needs a temporary name as well
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    assert format_for(target).read(str(target), None, None, ReadOptions()).names == ["A", "B"]
