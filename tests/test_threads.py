import errno
import faulthandler
import os
import threading
import time

import numpy as np
import pytest

from orvanel import _engine
from orvanel._orvanel import OrvanelParseError, _MatrixCore
from reference_codec import ZERO_ROW, matrix_file, row_record, standard_header
from support import EOF_MESSAGE, check_core_error

Z = 120
VALUES = np.random.default_rng(3).standard_normal((2, Z, Z))
DATA = matrix_file(Z, [("a", "D"), ("b", "D")], VALUES)  # several pipe buffers long


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


def engine_load(threads):
    return lambda path, *names: _engine.load(path, *names, threads=threads)[0]


@pytest.mark.parametrize("target, args, tables", [
    (_MatrixCore.open, (), [1, 2]), (_MatrixCore.open_tables, (["b"],), [2]),
    (engine_load(1), (), [1, 2]), (engine_load(3), (["b"],), [2])])
def test_other_threads_run_while_a_file_loads(tmp_path, target, args, tables):
    m = load_through_pipe(tmp_path, target, DATA, *args)["matrix"]
    values = m if isinstance(m, np.ndarray) else m.stack_array()
    assert np.array_equal(values, VALUES[[t - 1 for t in tables]])


@pytest.mark.parametrize("target", [_MatrixCore.open, engine_load(3)])
@pytest.mark.parametrize("data", [DATA[:-3], standard_header(65535, [("", "D")] * 255) + row_record(1, 1, ZERO_ROW)],
                         ids=["cut-short", "hostile-dimensions"])
def test_pipe_ending_early(tmp_path, target, data):
    outcome = load_through_pipe(tmp_path, target, data)
    check_core_error(outcome.get("error"), OrvanelParseError, "unexpected_eof", len(data), EOF_MESSAGE)
