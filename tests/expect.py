"""Exact checks of the exceptions raised for core errors."""

import contextlib

import pytest

EOF_MESSAGE = "unexpected end of file"
TRAILING_MESSAGE = "trailing bytes after the final expected row record"


def check_core_error(exc, cls, kind, offset, message):
    """`exc` is exactly `cls` with the given kind, offset and message (the message
    without its offset prefix)."""
    assert type(exc) is cls
    assert exc.kind == kind
    assert exc.offset == offset
    assert type(exc.offset) is type(offset)
    text = message if offset is None else f"at byte offset {offset}: {message}"
    assert exc.args == (text,)
    assert str(exc) == text


@contextlib.contextmanager
def raises_core(cls, kind, offset, message):
    with pytest.raises(cls) as info:
        yield info
    check_core_error(info.value, cls, kind, offset, message)


@contextlib.contextmanager
def raises_exact(cls, message):
    """A plain exception of exactly `cls` with exactly `message`."""
    with pytest.raises(cls) as info:
        yield info
    assert type(info.value) is cls
    assert str(info.value) == message
