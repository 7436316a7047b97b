"""Checks shared by the tests: exact exceptions and float bits, rows as the library writes
them, and the `orvanel` command line run as a separate process."""

import contextlib
import faulthandler
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from orvanel import _engine
from orvanel._orvanel import _MatrixCore
from reference_codec import split_records, standard_header

EOF_MESSAGE = "unexpected end of file"
TRAILING_MESSAGE = "trailing bytes after the final expected row record"
SCRIPT = [str(Path(sys.executable).with_name("orvanel"))]
# Values that test exactness: signed zero, NaN, infinities, a subnormal, inexact decimals.
SPECIAL = np.array([[-0.0, np.nan, np.inf], [-np.inf, 5e-324, 1 / 3], [1e300, -2.5, 0.1]])
MODULE = [sys.executable, "-m", "orvanel"]


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


@contextlib.contextmanager
def shared_out(min_cells=1, batch_cells=1):
    """The engine's loads and writes within share out their rows in batches of
    `batch_cells` values, on several threads from `min_cells` values of work on."""
    previous = _engine._tuning(min_cells, batch_cells)
    try:
        yield
    finally:
        _engine._tuning(*previous)


def matrix_with_row(code, row, origin=1):
    """A one-table matrix of len(row) zones whose row `origin` holds `row`, set cell by cell."""
    m = _MatrixCore.create(len(row), [("t", code)])
    for d, v in enumerate(row, start=1):
        m.set(1, origin, d, float(v))
    return m


def written_row(code, row):
    """The payload `row` is written as (row 1 of a one-table matrix) and what it reads back as."""
    data = matrix_with_row(code, row).to_bytes()
    header_length = len(standard_header(len(row), [("t", code)]))
    return split_records(data, header_length)[0][2], _MatrixCore.from_bytes(data).row(1, 1)


def directory_listing(path):
    return sorted(os.listdir(path))


def orvanel_cli(*args, runner=SCRIPT, **kwargs):
    return subprocess.run([*runner, *map(str, args)], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          **kwargs)


def assert_one_line_failure(result, status, *fragments):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr and len(result.stderr.splitlines()) == 1, result.stderr
    assert all(fragment in result.stderr for fragment in fragments), result.stderr


class Stop(Exception):
    pass


def raise_once():
    """A handler raising Stop once: a later alarm must not strike the clean-up. A Stop
    raised where exceptions are ignored (in a finaliser the garbage collector runs
    meanwhile) does not count: `alarms` lets the next alarm raise again."""
    raised = []

    def handler(signum, frame):
        if not raised:
            raised.append(signum)
            raise Stop

    handler.ignored = raised.clear
    return handler


@contextlib.contextmanager
def alarms(handler, every=0.02):
    """SIGALRM every `every` seconds while the block runs, handled by `handler`. A hang
    ends the process after 60 s, its traceback in ORVANEL_WATCHDOG_LOG if that is set (the
    test's own output is captured and lost with the process)."""
    previous_hook = sys.unraisablehook

    def unraisable(report):
        if isinstance(report.exc_value, Stop) and hasattr(handler, "ignored"):
            handler.ignored()
        else:
            previous_hook(report)

    previous = signal.signal(signal.SIGALRM, handler)
    sys.unraisablehook = unraisable
    log_path = os.environ.get("ORVANEL_WATCHDOG_LOG")
    log = open(log_path, "a") if log_path else sys.stderr
    faulthandler.dump_traceback_later(60, exit=True, file=log)
    signal.setitimer(signal.ITIMER_REAL, every, every)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        sys.unraisablehook = previous_hook
        faulthandler.cancel_dump_traceback_later()
        if log is not sys.stderr:
            log.close()
