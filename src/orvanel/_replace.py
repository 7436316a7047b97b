"""One way to replace a file, for every format the package writes.

A failed write never destroys what was at the path before: a regular file (or a path
where nothing exists yet) is written to a hidden temporary file in the same directory,
which is moved over the target only once it is complete. The rules, the same for every
format:

- a symbolic link is followed, and the file it points to is replaced (the link stays);
- a replaced file keeps its permission bits; a new file gets 0666 less the umask;
- a FIFO or a device is written in place, by formats that can be written as a stream;
  the others refuse it;
- a file in a directory where no file can be created, but which may itself be written,
  is written in place;
- a large replaced file may be freed shortly after the call returns (``orvanel._release``).
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterator

from orvanel import _release

# Longest file name most file systems take, in bytes.
NAME_MAX = 255
_MAX_LINK_DEPTH = 40
_TAG_BYTES = 6


class NotAFileError(OSError):
    """The target is neither a regular file nor a path where one can be created."""


def _resolve_links(path: str) -> str:
    """Follow symbolic links at ``path`` to the file that will be replaced."""
    for _ in range(_MAX_LINK_DEPTH):
        try:
            if not stat.S_ISLNK(os.lstat(path).st_mode):
                return path
        except FileNotFoundError:
            return path
        target = os.readlink(path)
        path = target if os.path.isabs(target) else os.path.join(os.path.dirname(path), target)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


def temporary_name(target_name: str) -> str:
    """A hidden, unique name for the temporary file of ``target_name``, short enough for
    any file system that takes the target's own name."""
    tag = secrets.token_hex(_TAG_BYTES)
    room = NAME_MAX - len(f"..{tag}.tmp")
    stem = target_name
    while len(os.fsencode(stem)) > room:
        stem = stem[:-1]
    return f".{stem}.{tag}.tmp"


@contextlib.contextmanager
def replace_file(path: str | os.PathLike[str], *, in_place_ok: bool) -> Iterator[str]:
    """Yield the path to write to; on success it ends up at ``path``.

    ``in_place_ok`` says whether the format can be written as a stream, to a FIFO or a
    device. On failure (any exception, KeyboardInterrupt included) the temporary file is
    removed and whatever was at ``path`` stays as it was.
    """
    target = _resolve_links(os.fsdecode(os.fspath(path)))
    try:
        status: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        status = None
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    if status is not None and not stat.S_ISREG(status.st_mode):
        if not in_place_ok:
            raise NotAFileError(
                errno.EINVAL, "this format can only be written to a regular file", target
            )
        yield target
        return

    directory, name = os.path.split(target)
    temporary = os.path.join(directory, temporary_name(name))
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if status is not None and exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
            # No new file can be made beside the target, but the target may be written.
            yield target
            return
        raise OSError(exc.errno, exc.strerror, target) from None
    try:
        if status is not None:
            os.fchmod(fd, stat.S_IMODE(status.st_mode))
    finally:
        os.close(fd)
    try:
        yield temporary
        # The size seen before the write is enough to spare small files the check.
        large = status is not None and status.st_size >= _release.MIN_SIZE
        _rename_over(temporary, target, replaces_a_large_file=large)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _rename_over(temporary: str, target: str, *, replaces_a_large_file: bool) -> None:
    """Move the finished file to its place. A large file it replaces is held open across
    the rename and let go of in the background, so that freeing it does not hold up the
    caller (see ``orvanel._release``)."""
    held = None
    renamed = False
    try:
        if replaces_a_large_file:
            held = _release.hold(target)
        os.replace(temporary, target)
        renamed = True
    finally:
        if held is not None:
            _release.release(held, in_background=renamed)
