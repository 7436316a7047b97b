"""Exact checks of raised exceptions and of float bits."""

import contextlib

import numpy as np
import pytest

EOF_MESSAGE = "unexpected end of file"
TRAILING_MESSAGE = "trailing bytes after the final expected row record"


def check_core_error(exc, cls, kind, offset, message):
    """`exc` is exactly `cls` with the given kind, offset and message (without the offset prefix)."""
    assert type(exc) is cls
    assert (exc.kind, exc.offset, type(exc.offset)) == (kind, offset, type(offset))
    text = message if offset is None else f"at byte offset {offset}: {message}"
    assert exc.args == (text,) and str(exc) == text


@contextlib.contextmanager
def raises_core(cls, kind, offset, message):
    with pytest.raises(cls) as info:
        yield info
    check_core_error(info.value, cls, kind, offset, message)


@contextlib.contextmanager
def raises_exact(cls, message):
    with pytest.raises(cls) as info:
        yield info
    assert type(info.value) is cls and str(info.value) == message


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))
