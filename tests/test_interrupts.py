"""Loads and writes waiting on a FIFO run the signal handlers at once: an exception from one
ends the call (the FIFO kept, no temporary file), else the call waits on and finishes. The
calls run on the main thread, where handlers run; a helper thread plays the other end of
the FIFO (which it could not were the interpreter lock held), meanwhile changes what the
call was given, and ends a wait that ignores the signals after a while, so that the test
fails instead of hanging."""

import errno
import faulthandler
import os
import stat
import threading
import time

import numpy as np
import pytest

from orvanel import _engine
from orvanel._orvanel import OrvanelParseError, _MatrixCore
from reference_codec import ZERO_ROW, matrix_file, row_record, standard_header
from support import EOF_MESSAGE, Stop, alarms, check_core_error, raise_once

Z = 120  # about 115 KB: more than a pipe holds, so a writer blocks until it is read
TABLES = [("a", "D")]
VALUES = np.random.default_rng(12).standard_normal((1, Z, Z))
HEAD = 1000  # bytes a passive writer end holds before the loader waits for more
RESCUE_SECONDS = 10


def written():
    m = _MatrixCore.create(Z, TABLES)
    m.set_stack_array(VALUES)
    return m


DATA = written().to_bytes()


class Subject:
    """What the other end may touch while a call waits: the matrix written, the stack given."""

    def __init__(self):
        self.matrix, self.stack = written(), VALUES.copy()


OPERATIONS = {
    "load": lambda path, subject: _MatrixCore.open(path),
    "write": lambda path, subject: subject.matrix.write(path),
    "write_from_stack": lambda path, subject: _MatrixCore.write_from_stack(path, Z, TABLES, subject.stack),
    "engine_load": lambda path, subject: _engine.load(path, threads=3)[0],
    "engine_write": lambda path, subject: _engine.write(path, Z, TABLES, VALUES, threads=3),
}


def is_load(operation):
    return operation.endswith("load")


def fifo_with_other_end(tmp_path, operation, phase):
    """The FIFO, and a descriptor of a passive other end when the call is to block while
    transferring rather than while opening (it holds the first bytes of a load)."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    if phase == "opening":
        return fifo, None
    fd = os.open(fifo, os.O_RDWR)  # counts as reader and writer; never reads
    if is_load(operation):
        os.write(fd, DATA[:HEAD])
    return fifo, fd


def unblock(fifo, operation, fd):
    """Gives a blocked call an end: a writer or reader appears and goes at once."""
    if fd is None:
        fd = os.open(fifo, (os.O_WRONLY if is_load(operation) else os.O_RDONLY) | os.O_NONBLOCK)
    os.close(fd)


@pytest.mark.parametrize("phase", ["opening", "transferring"])
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_exception_from_signal_handler_ends_a_blocked_call(tmp_path, operation, phase):
    fifo, fd = fifo_with_other_end(tmp_path, operation, phase)
    done = threading.Event()
    rescued = []

    def rescue():
        if not done.wait(RESCUE_SECONDS):
            rescued.append(True)
            unblock(fifo, operation, fd)

    helper = threading.Thread(target=rescue)
    helper.start()
    try:
        with alarms(raise_once()), pytest.raises(Stop):
            OPERATIONS[operation](fifo, Subject())
    finally:
        done.set()
        helper.join()
        if fd is not None and not rescued:
            os.close(fd)
    assert not rescued, "the call waited on although a signal handler raised"
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and os.listdir(tmp_path) == ["pipe"]


def play_other_end(fifo, operation, fd, received):
    """Writes the whole file into the FIFO for a load; reads the whole file for a write."""
    if is_load(operation):
        rest = DATA if fd is None else DATA[HEAD:]
        with os.fdopen(os.open(fifo, os.O_WRONLY) if fd is None else fd, "wb") as pipe:
            pipe.write(rest)
        return
    if fd is None:
        fd = os.open(fifo, os.O_RDONLY)
    with os.fdopen(fd, "rb", buffering=0) as pipe:
        while len(received) < len(DATA):
            chunk = pipe.read(len(DATA) - len(received))
            if not chunk:
                break
            received += chunk


@pytest.mark.parametrize("phase", ["opening", "transferring"])
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_blocked_call_waits_on_when_no_handler_raises(tmp_path, operation, phase):
    fifo, fd = fifo_with_other_end(tmp_path, operation, phase)
    handled = []
    handled_three_times = threading.Event()
    ran_during_call = []
    received, subject, refused = bytearray(), Subject(), []

    def handler(signum, frame):
        handled.append(signum)
        if len(handled) == 3:
            handled_three_times.set()

    def other_end():
        ran_during_call.append(handled_three_times.wait(RESCUE_SECONDS))
        if phase == "transferring":  # a write under way holds its matrix and has its own stack
            subject.stack[:] = 0.0
            try:
                subject.matrix.set(1, 1, 1, 0.0)
            except RuntimeError as exc:
                refused.append((str(exc), subject.matrix.to_bytes() == DATA))  # shared use goes on
        play_other_end(fifo, operation, fd, received)

    helper = threading.Thread(target=other_end)
    with alarms(handler):
        helper.start()
        try:
            outcome = OPERATIONS[operation](fifo, subject)
        finally:
            helper.join()
    assert ran_during_call == [True], "the signal handlers did not run while the call waited"
    assert refused == ([("Already borrowed", True)] if (operation, phase) == ("write", "transferring") else [])
    if is_load(operation):
        assert np.array_equal(outcome if operation == "engine_load" else outcome.stack_array(), VALUES)
    else:
        assert outcome is None and bytes(received) == DATA
    assert os.listdir(tmp_path) == ["pipe"]


# ---- loads from a FIFO that the loading process fills -------------------------------


PIPE_VALUES = np.random.default_rng(3).standard_normal((2, Z, Z))
PIPE_DATA = matrix_file(Z, [("a", "D"), ("b", "D")], PIPE_VALUES)  # several pipe buffers long


def load_through_pipe(tmp_path, target, data, *args):
    """Loads from a pipe that only this thread fills. Were the interpreter lock held
    during the load, this thread could not write and the load would never end (the
    watchdog then ends the run)."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    outcome = {}

    def work():
        try:
            outcome["matrix"] = target(str(fifo), *args)
        except Exception as exc:  # handed to the main thread
            outcome["error"] = exc

    faulthandler.dump_traceback_later(120, exit=True)
    try:
        thread = threading.Thread(target=work)
        thread.start()
        while True:  # open the write end once the loading thread has opened the pipe
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as exc:
                if exc.errno != errno.ENXIO:
                    raise
                assert thread.is_alive(), outcome
                time.sleep(0.01)
        os.set_blocking(fd, True)
        try:
            for i in range(0, len(data), 4096):
                os.write(fd, data[i : i + 4096])
        except BrokenPipeError:  # the loader stopped reading at an error
            pass
        finally:
            os.close(fd)
        thread.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    return outcome


@pytest.mark.parametrize("target", [_MatrixCore.open_tables, lambda path, names: _engine.load(path, names, threads=3)])
@pytest.mark.parametrize("data, names", [
    (PIPE_DATA[:-3], ["b"]), (standard_header(65535, [("", "D")] * 255) + row_record(1, 1, ZERO_ROW), [""])],
    ids=["cut-short", "hostile-dimensions"])
def test_pipe_ending_early(tmp_path, target, data, names):
    outcome = load_through_pipe(tmp_path, target, data, names)
    check_core_error(outcome.get("error"), OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE)
