import errno
import faulthandler
import os
import pathlib
import resource
import select
import signal
import stat
import threading

import numpy as np
import pytest

from expect import raises_core, raises_exact
from matrix_bytes import matrix_file, standard_header, zero_records
from reference_codec import encode_file
from write_support import bits, directory_listing, matrix_with_row, sized_raw_row
from orvanel._orvanel import OrvanelIoError, OrvanelValidationError, OrvanelWriterError, _MatrixCore

Z = 5
TABLES = [("a", "D"), ("b", "2"), ("c", "S"), ("d", "0")]
VALUES = np.random.default_rng(21).standard_normal((4, Z, Z)) * 100
VALUES[1, 0] = [0.125, 42949672.96, -0.5, 3.0, 0.0]  # one row of raw doubles
VALUES[2, 1, 1] = 1e39
VALUES[3, 2] = 0.0
BANNER, RUN_ID = "Write test ✓", "R-1"
EXPECTED = encode_file(Z, TABLES, VALUES, BANNER, RUN_ID)
OLD = b"previous content"


def sample():
    m = _MatrixCore.create(Z, TABLES, BANNER, RUN_ID)
    m.set_stack_array(VALUES)
    return m


def io_message(code):
    return f"I/O error: {os.strerror(code)} (os error {code})"


def test_every_writing_path_gives_the_same_bytes(tmp_path):
    m = sample()
    assert m.to_bytes() == EXPECTED
    assert bytes(m) == EXPECTED and m.__bytes__() == EXPECTED
    assert _MatrixCore.to_bytes_from_stack(Z, TABLES, VALUES, BANNER, RUN_ID) == EXPECTED
    assert _MatrixCore.to_bytes_from_stack(Z, TABLES, np.asfortranarray(VALUES), BANNER, RUN_ID) == EXPECTED
    assert _MatrixCore.to_bytes_from_stack(Z, TABLES[::-1], VALUES[::-1, :, ::-1]) == encode_file(
        Z, TABLES[::-1], VALUES[::-1, :, ::-1]
    )
    (tmp_path / "long.mat").write_bytes(OLD * 10000)  # replaced, not overwritten in part
    targets = {
        "str": lambda p: m.write(str(p)),
        "pathlib": lambda p: m.write(p),
        "keyword": lambda p: m.write(path=p),
        "long": lambda p: m.write(p),
        "stack": lambda p: _MatrixCore.write_from_stack(p, Z, TABLES, VALUES, BANNER, RUN_ID),
    }
    for name, write in targets.items():
        assert write(tmp_path / f"{name}.mat") is None
        assert (tmp_path / f"{name}.mat").read_bytes() == EXPECTED, name
    m.write(tmp_path / "str.mat")
    assert (tmp_path / "str.mat").read_bytes() == EXPECTED
    assert directory_listing(tmp_path) == sorted(f"{name}.mat" for name in targets)
    assert bits(m.stack_array()) == bits(VALUES)


def _loaded(tables):
    return _MatrixCore.from_bytes(matrix_file(2, tables, np.zeros((len(tables), 2, 2))))


FAILING_MATRICES = {
    "non-ascii-name-from-file": (
        lambda: _loaded([("a", "D"), ("Zürich", "S")]),
        OrvanelValidationError, "invalid_table_name",
        'invalid table name: table name "Zürich" contains non-ASCII characters',
    ),
    "empty-name-from-file": (
        lambda: _loaded([("", "D")]),
        OrvanelValidationError, "invalid_table_name", "invalid table name: table name must not be empty",
    ),
    "banner-too-large": (
        lambda: _MatrixCore.create(2, [("a", "D")], banner="x" * 2_000_000),
        OrvanelValidationError, "header_record_too_large",
        "header record 1 (banner) too large: 2000005 bytes (maximum 1048576)",
    ),
    "catalogue-too-large": (
        lambda: _MatrixCore.create(1, [("n" * 5000, "D")] * 255),
        OrvanelValidationError, "header_record_too_large",
        "header record 4 (table catalogue) too large: 1275777 bytes (maximum 1048576)",
    ),
    "payload-too-large": (
        lambda: matrix_with_row("D", sized_raw_row(65534), origin=2),
        OrvanelWriterError, "payload_too_large",
        "encoded row payload too large: maximum 65533 bytes, got 65534",
    ),
}


@pytest.mark.parametrize("existing", [True, False], ids=["replace", "new"])
@pytest.mark.parametrize("case", list(FAILING_MATRICES))
def test_failed_write_keeps_what_was_there(tmp_path, case, existing):
    make, cls, kind, message = FAILING_MATRICES[case]
    m = make()
    target = tmp_path / "target.mat"
    if existing:
        target.write_bytes(OLD)
        target.chmod(0o640)
    with raises_core(cls, kind, None, message):
        m.write(target)
    with raises_core(cls, kind, None, message):
        m.to_bytes()
    if existing:
        assert target.read_bytes() == OLD and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert directory_listing(tmp_path) == (["target.mat"] if existing else [])


STACK_FAILURES = {
    "nul-name": ((2, [("a\x00", "D")], np.zeros((1, 2, 2))), {}, OrvanelValidationError, "invalid_table_name",
                 'invalid table name: table name "a\\0" contains a NUL byte'),
    "zone-count": ((0, [("a", "D")], np.zeros((1, 0, 0))), {}, OrvanelValidationError, "invalid_zone_count",
                   "invalid zone count: expected 1..=32000"),
    "banner": ((2, [("a", "D")], np.zeros((1, 2, 2))), {"banner": "é" * 524_286}, OrvanelValidationError,
               "header_record_too_large", "header record 1 (banner) too large: 1048577 bytes (maximum 1048576)"),
    "shape": ((2, [("a", "D")], np.zeros((1, 2, 3))), {}, ValueError, None,
              "stack array must have shape (1, 2, 2) (got [1, 2, 3])"),
}


@pytest.mark.parametrize("case", list(STACK_FAILURES))
def test_failed_write_from_stack_keeps_what_was_there(tmp_path, case):
    args, kwargs, cls, kind, message = STACK_FAILURES[case]
    target = tmp_path / "target.mat"
    target.write_bytes(OLD)
    if kind is None:
        with raises_exact(cls, message):
            _MatrixCore.write_from_stack(target, *args, **kwargs)
    else:
        with raises_core(cls, kind, None, message):
            _MatrixCore.write_from_stack(target, *args, **kwargs)
        with raises_core(cls, kind, None, message):
            _MatrixCore.to_bytes_from_stack(*args, **kwargs)
    assert target.read_bytes() == OLD and directory_listing(tmp_path) == ["target.mat"]


def test_oversized_row_from_stack_keeps_what_was_there(tmp_path):
    row = sized_raw_row(65534)
    stack = np.zeros((1, len(row), len(row)))
    stack[0, -1] = row
    target = tmp_path / "target.mat"
    target.write_bytes(OLD)
    message = "encoded row payload too large: maximum 65533 bytes, got 65534"
    with raises_core(OrvanelWriterError, "payload_too_large", None, message):
        _MatrixCore.write_from_stack(target, len(row), [("t", "S")], stack)
    assert target.read_bytes() == OLD and directory_listing(tmp_path) == ["target.mat"]


def test_zone_count_above_the_limit_is_not_written(tmp_path):
    m = _MatrixCore.from_bytes(standard_header(32001, [("a", "D")]) + b"".join(zero_records(32001, 1)))
    assert m.zone_count == 32001
    target = tmp_path / "target.mat"
    target.write_bytes(OLD)
    for write in (m.to_bytes, lambda: m.write(target)):
        with raises_core(OrvanelValidationError, "invalid_zone_count", None, "invalid zone count: expected 1..=32000"):
            write()
    assert target.read_bytes() == OLD and directory_listing(tmp_path) == ["target.mat"]


SIZE_LIMITS = {
    "banner": (1, "banner", lambda n: ([("t", "D")], {"banner": "b" * n}), 1_048_571, 1_048_577),
    "banner-two-byte-characters": (
        1, "banner", lambda n: ([("t", "D")], {"banner": "b" + "é" * n}), 524_285, 1_048_578,
    ),
    "run-id": (2, "run identifier", lambda n: ([("t", "D")], {"run_id": "r" * n}), 1_048_568, 1_048_577),
    "table-name": (4, "table catalogue", lambda n: ([("n" * n, "D")], {}), 1_048_563, 1_048_577),
    "many-tables": (
        4, "table catalogue", lambda n: ([("n" * 4110, "D")] * 254 + [("n" * n, "D")], {}), 3859, 1_048_577,
    ),
}


@pytest.mark.parametrize("case", list(SIZE_LIMITS))
def test_header_record_size_limit(case):
    record, name, schema, size, too_long = SIZE_LIMITS[case]
    tables, kwargs = schema(size)
    data = _MatrixCore.create(1, tables, **kwargs).to_bytes()
    assert data == _MatrixCore.to_bytes_from_stack(1, tables, np.zeros((len(tables), 1, 1)), **kwargs)
    back = _MatrixCore.from_bytes(data)
    assert (back.banner, back.run_id) == (kwargs.get("banner", back.banner), kwargs.get("run_id", back.run_id))
    assert [t.name for t in back.tables()] == [n for n, _ in tables]
    tables, kwargs = schema(size + 1)
    message = f"header record {record} ({name}) too large: {too_long} bytes (maximum 1048576)"
    with raises_core(OrvanelValidationError, "header_record_too_large", None, message):
        _MatrixCore.create(1, tables, **kwargs).to_bytes()
    with raises_core(OrvanelValidationError, "header_record_too_large", None, message):
        _MatrixCore.to_bytes_from_stack(1, tables, np.zeros((len(tables), 1, 1)), **kwargs)


def test_banner_ending_in_nul_at_the_limit():
    banner = "b" * 1_048_571 + "\x00"
    data = _MatrixCore.create(1, [("t", "D")], banner).to_bytes()
    assert data[:4] == (1_048_576).to_bytes(4, "little")
    assert _MatrixCore.from_bytes(data).banner == banner[:-1]


@pytest.mark.parametrize(
    "where, code",
    [("missing-directory", errno.ENOENT), ("directory", errno.EISDIR), ("nul-in-path", None), ("device-full", errno.ENOSPC)],
)
@pytest.mark.parametrize("method", ["write", "write_from_stack"])
def test_io_errors(tmp_path, method, where, code):
    path = {
        "missing-directory": tmp_path / "missing" / "out.mat",
        "directory": tmp_path,
        "nul-in-path": str(tmp_path / "a\x00b"),
        "device-full": "/dev/full",
    }[where]
    message = "I/O error: file name contained an unexpected NUL byte" if code is None else io_message(code)
    with raises_core(OrvanelIoError, "io", None, message):
        if method == "write":
            sample().write(path)
        else:
            _MatrixCore.write_from_stack(path, Z, TABLES, VALUES)
    assert directory_listing(tmp_path) == []


def test_io_error_midway_keeps_what_was_there(tmp_path):
    m = _MatrixCore.create(150, [("t", "D")])
    m.set_stack_array(np.random.default_rng(2).standard_normal((1, 150, 150)))  # about 180 kB
    old = tmp_path / "old.mat"
    old.write_bytes(OLD)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, hard))
    try:
        for target in (old, tmp_path / "new.mat"):
            with raises_core(OrvanelIoError, "io", None, io_message(errno.EFBIG)):
                m.write(target)
            with raises_core(OrvanelIoError, "io", None, io_message(errno.EFBIG)):
                _MatrixCore.write_from_stack(target, 150, [("t", "D")], m.stack_array())
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous)
    assert old.read_bytes() == OLD and directory_listing(tmp_path) == ["old.mat"]


@pytest.mark.parametrize("case", ["non-ascii-name-from-file", "banner-too-large"])
@pytest.mark.parametrize("where", ["fifo-without-reader", "/dev/full"])
def test_checks_come_before_the_path_is_opened(tmp_path, case, where):
    """Opening a FIFO nobody reads would block, and /dev/full fails every write: the
    header error must come first."""
    make, cls, kind, message = FAILING_MATRICES[case]
    path = where
    if where == "fifo-without-reader":
        path = tmp_path / "pipe"
        os.mkfifo(path)
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        with raises_core(cls, kind, None, message):
            make().write(path)
        with raises_core(OrvanelValidationError, "invalid_table_name", None,
                         "invalid table name: table name must not be empty"):
            _MatrixCore.write_from_stack(path, 1, [("", "D")], np.zeros((1, 1, 1)))
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def umask():
    previous = os.umask(0o022)
    yield lambda mask: os.umask(mask)
    os.umask(previous)


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002, 0o000, 0o137])
def test_new_file_mode_follows_the_umask(tmp_path, umask, mask):
    umask(mask)
    sample().write(tmp_path / "w.mat")
    _MatrixCore.write_from_stack(tmp_path / "s.mat", Z, TABLES, VALUES)
    for name in ("w.mat", "s.mat"):
        assert stat.S_IMODE((tmp_path / name).stat().st_mode) == 0o666 & ~mask


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o751, 0o400])
def test_replaced_file_keeps_its_mode(tmp_path, umask, mode):
    umask(0o077)
    for name, write in [("w.mat", sample().write),
                        ("s.mat", lambda p: _MatrixCore.write_from_stack(p, Z, TABLES, VALUES, BANNER, RUN_ID))]:
        target = tmp_path / name
        target.write_bytes(OLD)
        target.chmod(mode)
        write(target)
        assert stat.S_IMODE(target.stat().st_mode) == mode
        assert target.read_bytes() == EXPECTED


@pytest.mark.parametrize("style", ["absolute", "relative", "chain"])
def test_writing_through_a_symbolic_link(tmp_path, style):
    (tmp_path / "data").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "data" / "target.mat"
    target.write_bytes(OLD)
    link = tmp_path / "links" / "link.mat"
    if style == "absolute":
        link.symlink_to(target)
    elif style == "relative":
        link.symlink_to(pathlib.Path("..") / "data" / "target.mat")
    else:
        (tmp_path / "links" / "hop.mat").symlink_to(target)
        link.symlink_to("hop.mat")
    pointed = os.readlink(link)
    links_before = directory_listing(tmp_path / "links")
    sample().write(link)
    assert link.is_symlink() and os.readlink(link) == pointed
    assert target.read_bytes() == EXPECTED
    _MatrixCore.write_from_stack(link, 1, [("t", "D")], np.ones((1, 1, 1)))
    assert link.is_symlink() and _MatrixCore.open(target).get(1, 1, 1) == 1.0
    assert directory_listing(tmp_path / "data") == ["target.mat"]
    assert directory_listing(tmp_path / "links") == links_before


def test_writing_to_dev_null():
    assert sample().write("/dev/null") is None
    assert _MatrixCore.write_from_stack("/dev/null", Z, TABLES, VALUES) is None
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def _read_exactly(fd, n, writer):
    """Reads n bytes from the pipe; stops early only when the writing thread has ended
    and nothing more is waiting."""
    out = bytearray()
    while len(out) < n:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            out += os.read(fd, n - len(out))
        elif not writer.is_alive():
            break
    return bytes(out)


@pytest.mark.parametrize("method", ["write", "write_from_stack"])
def test_writing_to_a_fifo_runs_without_the_interpreter_lock(tmp_path, method):
    """The file is several times a pipe's capacity, and only this thread reads the pipe.
    Were the interpreter lock held while writing, this thread could not read and the
    test would hang (the watchdog then ends the run)."""
    zones = 200
    values = np.random.default_rng(8).standard_normal((1, zones, zones))
    m = _MatrixCore.create(zones, [("t", "D")])
    m.set_stack_array(values)
    expected = m.to_bytes()
    stack = values.copy()
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    work = {
        "write": lambda: m.write(fifo),
        "write_from_stack": lambda: _MatrixCore.write_from_stack(fifo, zones, [("t", "D")], stack),
    }[method]
    outcome = {}

    def run():
        try:
            outcome["result"] = work()
        except Exception as exc:  # handed to the main thread
            outcome["error"] = exc

    faulthandler.dump_traceback_later(120, exit=True)
    fd = os.open(fifo, os.O_RDWR)  # a reader from the start, so the writer's open succeeds
    try:
        writer = threading.Thread(target=run)
        writer.start()
        head = _read_exactly(fd, 1, writer)
        assert head == expected[:1], outcome
        # The writer is now inside the write and cannot finish until the pipe is drained.
        if method == "write":
            for change in (lambda: m.set(1, 1, 1, 0.0),
                           lambda: m.set_table_array(1, np.zeros((zones, zones))),
                           lambda: m.set_stack_array(np.zeros((1, zones, zones)))):
                with raises_exact(RuntimeError, "Already borrowed"):
                    change()
            assert m.get(1, 2, 3) == values[0, 1, 2]
            assert bits(m.table_array(1)) == bits(values[0])
            assert m.to_bytes() == expected
        else:
            stack[:] = 0.0  # the write works from its own copy
        rest = _read_exactly(fd, len(expected) - 1, writer)
        writer.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
        os.close(fd)
    assert outcome == {"result": None}
    assert head + rest == expected
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and directory_listing(tmp_path) == ["pipe"]
    m.set(1, 1, 1, 4.0)
    assert m.get(1, 1, 1) == 4.0


def test_many_tables_in_file_order():
    tables = [(f"t{i}", "0123456789SD"[i % 12]) for i in range(255)]
    stack = np.random.default_rng(4).integers(-500, 500, (255, 2, 2)) / 8
    m = _MatrixCore.create(2, tables)
    m.set_stack_array(stack)
    assert m.to_bytes() == encode_file(2, tables, stack)


def test_file_and_bytes_agree_across_buffer_boundaries(tmp_path):
    """Rows of very different payload sizes, so that records end everywhere relative to
    the write buffer, some longer than it."""
    zones = 2000
    rng = np.random.default_rng(17)
    stack = np.zeros((2, zones, zones))
    widths = rng.integers(0, zones + 1, zones)
    widths[::97] = zones
    for o, width in enumerate(widths):
        stack[0, o, :width] = rng.standard_normal(width)
    stack[1] = np.round(stack[0], 2)
    m = _MatrixCore.create(zones, [("a", "D"), ("b", "2")])
    m.set_stack_array(stack)
    m.write(tmp_path / "m.mat")
    data = m.to_bytes()
    assert (tmp_path / "m.mat").read_bytes() == data
    back = _MatrixCore.open(tmp_path / "m.mat")
    assert bits(back.stack_array()[0]) == bits(stack[0] + 0.0)


class Hooked:
    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        self.hook()
        return 1.0


@pytest.mark.parametrize("use", ["to_bytes", "bytes", "write", "table_array", "stack_array"])
def test_writing_is_refused_while_a_set_is_in_progress(tmp_path, use):
    m = sample()
    hook = {
        "to_bytes": lambda: m.to_bytes(),
        "bytes": lambda: bytes(m),
        "write": lambda: m.write(tmp_path / "out.mat"),
        "table_array": lambda: m.table_array(1),
        "stack_array": lambda: m.stack_array(),
    }[use]
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        m.set(1, 1, 1, Hooked(hook))
    assert bits(m.stack_array()) == bits(VALUES)
    assert directory_listing(tmp_path) == []


@pytest.mark.parametrize(
    "path, message",
    [
        (b"/nonexistent-dir/out.mat", "argument 'path': 'bytes' object is not an instance of 'str'"),
        (7, "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (None, "argument 'path': expected str, bytes or os.PathLike object, not NoneType"),
    ],
)
def test_path_conversion(path, message):
    with raises_exact(TypeError, message):
        sample().write(path)
    with raises_exact(TypeError, message):  # the path is converted first
        _MatrixCore.write_from_stack(path, 70000, 7, None)
