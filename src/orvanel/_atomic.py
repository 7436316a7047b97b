"""Writing a file so that it appears only once it is complete."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator


@contextlib.contextmanager
def replace_on_success(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yield a temporary path beside ``path``; move it to ``path`` if the block succeeds.

    The temporary file is created empty first, with the usual permissions, so that a
    missing or read-only directory is reported for ``path`` before any work is done; the
    block then overwrites it. On failure the temporary file is removed and whatever was at
    ``path`` stays as it was.
    """
    target = os.fsdecode(os.fspath(path))
    directory, name = os.path.split(target)
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
    try:
        with open(temporary, "xb"):
            pass
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, target) from None
    try:
        yield temporary
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
