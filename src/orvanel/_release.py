"""Letting go of a replaced file after the call that replaced it.

A file renamed over another frees the old one, its cached pages and its blocks, in the
rename itself, unless something still holds the old file open. On the ext file systems
that takes a while for a large file: about 25 ms for 130 MB, most of it waiting for the
device to discard the freed blocks where the file system is mounted with ``discard``.
So `replace_file` holds a large replaced file open across the rename and a short-lived
background thread closes it: the write returns once the new file is in place, and the
old file's space comes back a few milliseconds later, as on file systems that free
files in the background themselves.

Nothing is held past its use: a child made by fork closes what it inherited at once (it
would otherwise keep the old file's space until it exits), and the interpreter waits for
the closes still running when it exits.
"""

from __future__ import annotations

import atexit
import os
import threading

from orvanel import _engine

# Below this size, freeing a file costs less than starting a thread for it.
MIN_SIZE = 16 << 20

_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC

_lock = threading.Lock()
_closed = threading.Condition(_lock)
# Every descriptor held, with the (device, inode) of its file, until it is closed: a
# forked child closes those it inherited, and only while they still hold that file (the
# parent may have closed one and reused its number just before the fork).
_held: dict[int, tuple[int, int]] = {}
_closing: set[int] = set()  # those handed to a background thread


def hold(path: str) -> int | None:
    """Open the file at ``path``, about to be renamed over, when letting it go later
    pays; None otherwise. Pass what it returns to `release`."""
    try:
        fd = os.open(path, _OPEN_FLAGS)
    except OSError:
        return None
    try:
        status = os.fstat(fd)
        # A file with other links is not freed by the rename.
        worth_it = status.st_nlink == 1 and status.st_size >= MIN_SIZE and _engine._slow_to_free(fd)
    except BaseException:
        os.close(fd)
        raise
    if not worth_it:
        os.close(fd)
        return None
    with _lock:
        _held[fd] = (status.st_dev, status.st_ino)
    return fd


def release(fd: int, *, in_background: bool) -> None:
    """Close a descriptor from `hold`: on a thread of its own when ``in_background`` (the
    file it holds has just been renamed over), at once otherwise."""
    if in_background:
        with _lock:
            _closing.add(fd)
        try:
            threading.Thread(target=_close, args=(fd,), name="orvanel-release", daemon=True).start()
            return
        except RuntimeError:  # no new thread while the interpreter shuts down
            pass
    _close(fd)


def wait_for_releases() -> None:
    """Wait until every file handed to a background thread has been let go of."""
    with _closed:
        while _closing:
            _closed.wait()


def _close(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:  # EINTR: on Linux the descriptor is gone all the same
        pass
    with _lock:
        _held.pop(fd, None)
        _closing.discard(fd)
        _closed.notify_all()


def _before_fork() -> None:
    _lock.acquire()


def _after_fork_in_parent() -> None:
    _lock.release()


def _after_fork_in_child() -> None:
    # The threads that were to close these do not exist here.
    global _lock, _closed
    for fd, identity in _held.items():
        try:
            status = os.fstat(fd)
            if (status.st_dev, status.st_ino) == identity:
                os.close(fd)
        except OSError:
            pass
    _held.clear()
    _closing.clear()
    _lock = threading.Lock()
    _closed = threading.Condition(_lock)


os.register_at_fork(
    before=_before_fork,
    after_in_parent=_after_fork_in_parent,
    after_in_child=_after_fork_in_child,
)
atexit.register(wait_for_releases)
