"""Threads sharing matrix objects.

Random reads, writes, array transfers, byte and file output and loads run on a few
shared `_MatrixCore` objects from several threads for a fixed number of operations.
Nothing may crash or hang; a refused call raises exactly the hold error of its kind, and
only while another thread's call that holds the object overlaps it; every value read
back, from the object, from its bytes or from a file, is one that some call wrote.

ORVANEL_STRESS_OPERATIONS (operations per thread) and ORVANEL_STRESS_THREADS scale the
run; `make stress` runs it large.
"""

import bisect
import faulthandler
import itertools
import os
import random
import sys
import threading
import time

import numpy as np
import pytest

from orvanel._orvanel import _MatrixCore

OPERATIONS = int(os.environ.get("ORVANEL_STRESS_OPERATIONS", "250"))
THREADS = int(os.environ.get("ORVANEL_STRESS_THREADS", "4"))
WATCHDOG_SECONDS = 1800

Z = 5
TABLES = [("d", "D"), ("f", "0")]
T = len(TABLES)
STEP = 2**20  # values are cell number * STEP + a write number below STEP

SHARED_MESSAGE = "Already mutably borrowed"
EXCLUSIVE_MESSAGE = "Already borrowed"


def cell_number(t, o, d):
    """0-based table, origin, destination -> cell number 1..T*Z*Z."""
    return (t * Z + o) * Z + d + 1


def cell_of(value):
    return int(value) // STEP


class Ledger:
    """What each thread did and when, on a shared clock, and every value written."""

    def __init__(self, objects):
        self.lock = threading.Lock()
        self.clock = itertools.count()
        self.writes = itertools.count(1)
        # object index -> cell number -> values that may be stored there
        self.values = {i: {c: {0.0} for c in range(1, T * Z * Z + 1)} for i in range(len(objects))}
        self.calls = []  # (object, exclusive, thread, start, end, outcome)

    def tick(self):
        with self.lock:
            return next(self.clock)

    def new_values(self, obj, cells):
        """Fresh values for `cells`, registered as possibly stored in `obj`."""
        with self.lock:
            k = next(self.writes)
            assert k < STEP
            out = [float(c * STEP + k) for c in cells]
            for c, v in zip(cells, out):
                self.values[obj][c].add(v)
            return out

    def withdraw(self, obj, cells, values):
        """A refused write stored nothing."""
        with self.lock:
            for c, v in zip(cells, values):
                self.values[obj][c].discard(v)

    def check(self, obj, values, cells):
        with self.lock:
            for c, v in zip(cells, np.asarray(values, dtype=float).ravel().tolist()):
                assert v in self.values[obj][c], (obj, c, v)

    def check_any_object(self, values, cells):
        """Values from a file or bytes that one of the objects produced."""
        with self.lock:
            for c, v in zip(cells, np.asarray(values, dtype=float).ravel().tolist()):
                assert any(v in self.values[obj][c] for obj in self.values), (c, v)


ALL_CELLS = list(range(1, T * Z * Z + 1))


def table_cells(t):
    return [cell_number(t, o, d) for o in range(Z) for d in range(Z)]


class YieldingFloat:
    """A value whose conversion lets other threads run while the hold is taken."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class Worker:
    def __init__(self, number, objects, ledger, directory, seed):
        self.number = number
        self.objects = objects
        self.ledger = ledger
        self.directory = directory
        self.rng = random.Random(seed)
        self.refusals = {EXCLUSIVE_MESSAGE: 0, SHARED_MESSAGE: 0}
        self.files = []

    # Each operation returns (exclusive?, call, after) where `call` does the work and
    # `after(result)` checks it; `refused()` undoes the ledger entry of a refused write.

    def op_get(self, i, m):
        t, o, d = self.rng.randrange(T), self.rng.randrange(Z), self.rng.randrange(Z)
        origin = YieldingIndex(o + 1) if self.rng.random() < 0.3 else o + 1
        call = lambda: m.get(t + 1, origin, d + 1)
        return False, call, lambda v: self.ledger.check(i, [v], [cell_number(t, o, d)]), None

    def op_row(self, i, m):
        t, o = self.rng.randrange(T), self.rng.randrange(Z)
        name = TABLES[t][0] if self.rng.random() < 0.5 else t + 1
        call = lambda: m.row(name, o + 1)
        return False, call, lambda r: self.ledger.check(i, r, [cell_number(t, o, d) for d in range(Z)]), None

    def op_table_array(self, i, m):
        t = self.rng.randrange(T)
        return False, lambda: m.table_array(t + 1), lambda a: self.ledger.check(i, a, table_cells(t)), None

    def op_stack_array(self, i, m):
        return False, m.stack_array, lambda a: self.ledger.check(i, a, ALL_CELLS), None

    def op_totals(self, i, m):
        t = self.rng.randrange(T) + 1

        def call():
            return m.table_total(t), m.table_diagonal_total(t), m.tables(), repr(m), m.zone_count

        def after(result):
            assert result[3] == f"_MatrixCore(zone_count={Z}, table_count={T})"
            assert [x.name for x in result[2]] == [n for n, _ in TABLES]

        return False, call, after, None

    def op_to_bytes(self, i, m):
        def after(data):
            loaded = _MatrixCore.from_bytes(data)
            self.ledger.check(i, loaded.stack_array(), ALL_CELLS)

        return False, (m.to_bytes if self.rng.random() < 0.5 else lambda: bytes(m)), after, None

    def op_write(self, i, m):
        path = os.path.join(self.directory, f"w{self.number}-{self.rng.randrange(3)}.mat")

        def after(_):
            self.files.append(path)
            self.ledger.check(i, _MatrixCore.open(path).stack_array(), ALL_CELLS)

        return False, lambda: m.write(path), after, None

    def op_set(self, i, m):
        t, o, d = self.rng.randrange(T), self.rng.randrange(Z), self.rng.randrange(Z)
        cells = [cell_number(t, o, d)]
        (value,) = self.ledger.new_values(i, cells)
        arg = YieldingFloat(value) if self.rng.random() < 0.4 else value
        call = lambda: m.set(t + 1, o + 1, d + 1, arg)
        return True, call, None, lambda: self.ledger.withdraw(i, cells, [value])

    def op_set_table_array(self, i, m):
        t = self.rng.randrange(T)
        cells = table_cells(t)
        values = self.ledger.new_values(i, cells)
        array = np.array(values).reshape(Z, Z)
        if self.rng.random() < 0.5:
            array = np.asfortranarray(array)
        call = lambda: m.set_table_array(TABLES[t][0], array)
        return True, call, None, lambda: self.ledger.withdraw(i, cells, values)

    def op_set_stack_array(self, i, m):
        values = self.ledger.new_values(i, ALL_CELLS)
        array = np.array(values).reshape(T, Z, Z)
        call = lambda: m.set_stack_array(array)
        return True, call, None, lambda: self.ledger.withdraw(i, ALL_CELLS, values)

    def op_load(self, i, m):
        """A load from another thread's file, whole or by table names (no object held)."""
        paths = [os.path.join(self.directory, f) for f in os.listdir(self.directory) if f.endswith(".mat")]
        if not paths:
            return None
        path = self.rng.choice(paths)
        names = self.rng.choice([None, ["f"], ["f", "d"]])

        def call():
            return _MatrixCore.open(path) if names is None else _MatrixCore.open_tables(path, names)

        def after(loaded):
            tables = [t for t, (n, _) in enumerate(TABLES) if names is None or n in names]
            cells = [c for t in tables for c in table_cells(t)]
            self.ledger.check_any_object(loaded.stack_array(), cells)

        return None, call, after, None

    OPERATIONS = [
        (op_get, 6), (op_row, 3), (op_table_array, 3), (op_stack_array, 2), (op_totals, 2),
        (op_to_bytes, 2), (op_write, 1), (op_set, 6), (op_set_table_array, 2),
        (op_set_stack_array, 1), (op_load, 1),
    ]

    def run(self, barrier, count):
        functions, weights = zip(*self.OPERATIONS)
        barrier.wait()
        done = 0
        while done < count:
            i = self.rng.randrange(len(self.objects))
            planned = self.rng.choices(functions, weights)[0](self, i, self.objects[i])
            if planned is None:
                continue
            exclusive, call, after, refused = planned
            start = self.ledger.tick()
            try:
                result = call()
            except RuntimeError as exc:
                end = self.ledger.tick()
                assert exclusive is not None, exc  # loads hold no object
                expected = EXCLUSIVE_MESSAGE if exclusive else SHARED_MESSAGE
                assert type(exc) is RuntimeError and exc.args == (expected,), (exclusive, exc)
                self.refusals[expected] += 1
                if refused:
                    refused()
                outcome = "refused"
            else:
                end = self.ledger.tick()
                if after:
                    after(result)
                outcome = "done"
            if exclusive is not None:
                with self.ledger.lock:
                    self.ledger.calls.append((i, exclusive, self.number, start, end, outcome))
            done += 1


def check_refusals_had_a_cause(calls):
    """Each refused call overlaps a call that held the object in a conflicting way: any
    hold for a refused exclusive call, an exclusive one for a refused shared call. (Calls
    of one thread never overlap, so such a call is another thread's.)"""
    held = {}  # (object, exclusive holders only?) -> sorted starts, running maximum of ends
    for only_exclusive in (False, True):
        for obj in {c[0] for c in calls}:
            spans = sorted(
                (c[3], c[4]) for c in calls
                if c[0] == obj and c[5] == "done" and (c[1] or not only_exclusive)
            )
            starts = [a for a, _ in spans]
            reach = list(itertools.accumulate((b for _, b in spans), max))
            held[obj, only_exclusive] = starts, reach
    for obj, exclusive, thread, start, end, outcome in calls:
        if outcome != "refused":
            continue
        starts, reach = held[obj, not exclusive]
        k = bisect.bisect_left(starts, end)  # calls that began before this one ended
        assert k > 0 and reach[k - 1] > start, (obj, exclusive, thread, start, end)


@pytest.fixture
def fast_switching():
    """Threads take turns as often as the interpreter allows."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(previous)


def test_threads_on_shared_objects(tmp_path, fast_switching):
    objects = [_MatrixCore.create(Z, TABLES) for _ in range(2)]
    ledger = Ledger(objects)
    barrier = threading.Barrier(THREADS)
    workers = [Worker(n, objects, ledger, str(tmp_path), seed=1000 + n) for n in range(THREADS)]
    failures = []

    def run(worker):
        try:
            worker.run(barrier, OPERATIONS)
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=run, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]

    check_refusals_had_a_cause(ledger.calls)
    done = {exclusive for _, exclusive, _, _, _, outcome in ledger.calls if outcome == "done"}
    assert done == {False, True}  # both reads and writes went through
    for i, m in enumerate(objects):
        final = m.stack_array()
        ledger.check(i, final, ALL_CELLS)
        assert np.array_equal(_MatrixCore.from_bytes(m.to_bytes()).stack_array(), final)
    refusals = {k: sum(w.refusals[k] for w in workers) for k in (EXCLUSIVE_MESSAGE, SHARED_MESSAGE)}
    print(f"\n{THREADS} threads x {OPERATIONS} operations: {len(ledger.calls)} calls on shared objects, "
          f"refusals {refusals}")


# --- the two refusals, made certain -------------------------------------------------

SHARED_CALLS = {
    "get": lambda m: m.get(1, 1, 1),
    "row": lambda m: m.row("d", 2),
    "table_array": lambda m: m.table_array(2),
    "stack_array": lambda m: m.stack_array(),
    "to_bytes": lambda m: m.to_bytes(),
    "tables": lambda m: m.tables(),
    "zone_count": lambda m: m.zone_count,
}
EXCLUSIVE_CALLS = {
    "set": lambda m: m.set(1, 1, 1, 2.0),
    "set_table_array": lambda m: m.set_table_array(1, np.zeros((Z, Z))),
    "set_stack_array": lambda m: m.set_stack_array(np.zeros((T, Z, Z))),
}


def wait_for(condition, thread):
    while not condition():
        assert thread.is_alive(), "the holding thread ended early"
        time.sleep(0.001)


def test_while_a_write_waits_on_a_pipe_exclusive_calls_are_refused(tmp_path):
    """`write` holds the object shared with the lock released; here it waits for a
    reader of the pipe it writes to, so the hold is certainly taken meanwhile."""
    m = _MatrixCore.create(Z, TABLES)
    m.set(1, 2, 3, 4.5)
    expected = m.to_bytes()
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    errors = []
    writer = threading.Thread(target=lambda: errors.extend([m.write(fifo)]))
    faulthandler.dump_traceback_later(300, exit=True)
    try:
        writer.start()

        def refused():
            try:
                m.set(1, 2, 3, 4.5)
            except RuntimeError as exc:
                assert exc.args == (EXCLUSIVE_MESSAGE,)
                return True
            return False

        wait_for(refused, writer)
        for name, call in EXCLUSIVE_CALLS.items():
            with pytest.raises(RuntimeError) as info:
                call(m)
            assert type(info.value) is RuntimeError and info.value.args == (EXCLUSIVE_MESSAGE,), name
        for call in SHARED_CALLS.values():
            call(m)
        with open(fifo, "rb") as pipe:
            written = pipe.read()
        writer.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert errors == [None]
    assert written == expected
    m.set(1, 2, 3, 5.0)  # free again
    assert m.get(1, 2, 3) == 5.0


def test_while_set_converts_its_value_other_threads_are_refused(tmp_path):
    """`set` holds the object exclusively while it converts `value`; a conversion that
    waits lets another thread meet the exclusive hold."""
    m = _MatrixCore.create(Z, TABLES)
    inside, release = threading.Event(), threading.Event()

    class Waiting:
        def __float__(self):
            inside.set()
            release.wait()
            return 7.25

    setter = threading.Thread(target=lambda: m.set(2, 3, 4, Waiting()))
    faulthandler.dump_traceback_later(300, exit=True)
    try:
        setter.start()
        inside.wait()
        for name, call in SHARED_CALLS.items():
            with pytest.raises(RuntimeError) as info:
                call(m)
            assert type(info.value) is RuntimeError and info.value.args == (SHARED_MESSAGE,), name
        for name, call in EXCLUSIVE_CALLS.items():
            with pytest.raises(RuntimeError) as info:
                call(m)
            assert type(info.value) is RuntimeError and info.value.args == (EXCLUSIVE_MESSAGE,), name
        path = tmp_path / "out.mat"
        with pytest.raises(RuntimeError) as info:
            m.write(path)
        assert info.value.args == (SHARED_MESSAGE,)
        assert not path.exists()
        release.set()
        setter.join()
    finally:
        release.set()
        faulthandler.cancel_dump_traceback_later()
    assert m.get(2, 3, 4) == 7.25
    assert m.table_total(1) == 0.0 and m.table_total(2) == 7.25
