"""Threads sharing matrix objects: nothing crashes or hangs; a call is refused (with the
hold error of its kind) only while another thread's conflicting call holds the object;
every value read back is one some call wrote. ORVANEL_STRESS_OPERATIONS (per thread) and
ORVANEL_STRESS_THREADS scale the run."""

import bisect
import collections
import faulthandler
import itertools
import os
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from orvanel._orvanel import _MatrixCore

OPERATIONS = int(os.environ.get("ORVANEL_STRESS_OPERATIONS", "250"))
THREADS = int(os.environ.get("ORVANEL_STRESS_THREADS", "4"))

Z = 5
TABLES = [("d", "D"), ("f", "0")]
T = len(TABLES)
STEP = 2**20  # values are cell number * STEP + a write number below STEP
SHARED_MESSAGE = "Already mutably borrowed"
EXCLUSIVE_MESSAGE = "Already borrowed"
CELLS = np.arange(1, T * Z * Z + 1).reshape(T, Z, Z)  # cell numbers by table, origin, destination


class Ledger:
    """The writes each object may hold (those not refused), and each call on a shared clock."""

    def __init__(self, count):
        self.lock = threading.Lock()
        self.clock = itertools.count()
        self.writes = itertools.count(1)
        self.stored = [set() for _ in range(count)]
        self.calls = []  # (object, exclusive, start, end, refused)

    def tick(self):
        with self.lock:
            return next(self.clock)

    def new_write(self, obj):
        with self.lock:
            k = next(self.writes)
            assert k < STEP
            self.stored[obj].add(k)
            return k

    def check(self, obj, values, where):
        """Each value is 0 or the value a write kept by `obj` gave its cell."""
        with self.lock:
            stored = self.stored[obj]
            for c, v in zip(np.ravel(where).tolist(), np.ravel(values).tolist()):
                cell, k = divmod(int(v), STEP)
                assert v == 0 or (v == int(v) and cell == c and k in stored), (obj, c, v)


class Yielding:
    """A value whose conversion lets other threads run while the hold is taken."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value

    __index__ = __float__


class Worker:
    def __init__(self, number, objects, ledger, directory):
        self.number, self.objects, self.ledger, self.directory = number, objects, ledger, directory
        self.rng = random.Random(1000 + number)

    # Each operation returns (exclusive, call, check) or, for a change, (True, call, write number).

    def op_read(self, i, m):
        t, o, d = self.rng.randrange(T), self.rng.randrange(Z), self.rng.randrange(Z)
        origin = Yielding(o + 1) if self.rng.random() < 0.3 else o + 1
        name = TABLES[t][0] if self.rng.random() < 0.5 else t + 1
        call, where = self.rng.choices([
            (lambda: m.get(t + 1, origin, d + 1), CELLS[t, o, d]),
            (lambda: m.row(name, o + 1), CELLS[t, o]),
            (lambda: m.table_array(t + 1), CELLS[t]),
            (m.stack_array, CELLS),
        ], [6, 3, 3, 2])[0]
        return False, call, lambda result: self.ledger.check(i, result, where)

    def op_to_bytes(self, i, m):
        call = m.to_bytes if self.rng.random() < 0.5 else lambda: bytes(m)
        return False, call, lambda data: self.ledger.check(i, _MatrixCore.from_bytes(data).stack_array(), CELLS)

    def op_write(self, i, m):
        path = os.path.join(self.directory, f"w{self.number}-{self.rng.randrange(3)}.mat")
        return False, lambda: m.write(path), lambda _: self.ledger.check(i, _MatrixCore.open(path).stack_array(), CELLS)

    def op_change(self, i, m):
        t, o, d = self.rng.randrange(T), self.rng.randrange(Z), self.rng.randrange(Z)
        k = self.ledger.new_write(i)
        value = float(CELLS[t, o, d] * STEP + k)
        arg = Yielding(value) if self.rng.random() < 0.4 else value
        table = np.array(CELLS[t] * STEP + k, dtype=np.float64, order=self.rng.choice("CF"))
        stack = (CELLS * STEP + k).astype(np.float64)
        call = self.rng.choices([lambda: m.set(t + 1, o + 1, d + 1, arg),
                                 lambda: m.set_table_array(TABLES[t][0], table),
                                 lambda: m.set_stack_array(stack)], [6, 2, 1])[0]
        return True, call, k

    OPERATIONS = [(op_read, 16), (op_to_bytes, 2), (op_write, 1), (op_change, 9)]

    def run(self, barrier, count):
        functions, weights = zip(*self.OPERATIONS)
        barrier.wait()
        for _ in range(count):
            i = self.rng.randrange(len(self.objects))
            exclusive, call, extra = self.rng.choices(functions, weights)[0](self, i, self.objects[i])
            start = self.ledger.tick()
            try:
                result = call()
            except RuntimeError as exc:
                end = self.ledger.tick()
                expected = EXCLUSIVE_MESSAGE if exclusive else SHARED_MESSAGE
                assert type(exc) is RuntimeError and exc.args == (expected,), (exclusive, exc)
                if exclusive:
                    with self.ledger.lock:
                        self.ledger.stored[i].discard(extra)  # a refused change stored nothing
                refused = True
            else:
                end = self.ledger.tick()
                if not exclusive:
                    extra(result)
                refused = False
            with self.ledger.lock:
                self.ledger.calls.append((i, exclusive, start, end, refused))


def check_refusals_had_a_cause(calls):
    """Each refused call overlaps a completed call holding the same object in a conflicting
    way: any hold for a refused exclusive call, an exclusive one for a refused shared call.
    (Calls of one thread never overlap, so that call is another thread's.)"""
    held = {}  # (object, exclusive holders only) -> sorted starts, running maximum of ends
    for obj, only_exclusive in itertools.product({c[0] for c in calls}, (False, True)):
        spans = sorted((s, e) for o, x, s, e, refused in calls
                       if o == obj and not refused and (x or not only_exclusive))
        held[obj, only_exclusive] = [s for s, _ in spans], list(itertools.accumulate((e for _, e in spans), max))
    for obj, exclusive, start, end, refused in calls:
        if refused:
            starts, reach = held[obj, not exclusive]
            k = bisect.bisect_left(starts, end)  # calls that began before this one ended
            assert k > 0 and reach[k - 1] > start, (obj, exclusive, start, end)


@pytest.fixture
def watchdog():
    faulthandler.dump_traceback_later(1800, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def test_threads_on_shared_objects(tmp_path, watchdog):
    objects = [_MatrixCore.create(Z, TABLES) for _ in range(2)]
    ledger = Ledger(len(objects))
    barrier = threading.Barrier(THREADS)
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns as often as the interpreter allows
    try:
        with ThreadPoolExecutor(THREADS) as pool:
            runs = [pool.submit(Worker(n, objects, ledger, str(tmp_path)).run, barrier, OPERATIONS)
                    for n in range(THREADS)]
    finally:
        sys.setswitchinterval(previous)
    for run in runs:
        run.result()
    check_refusals_had_a_cause(ledger.calls)
    assert {exclusive for _, exclusive, _, _, refused in ledger.calls if not refused} == {False, True}
    for i, m in enumerate(objects):
        final = m.stack_array()
        ledger.check(i, final, CELLS)
        assert np.array_equal(_MatrixCore.from_bytes(m.to_bytes()).stack_array(), final)
    refusals = collections.Counter(exclusive for _, exclusive, _, _, refused in ledger.calls if refused)
    print(f"\n{THREADS} threads x {OPERATIONS} operations: {len(ledger.calls)} calls on shared objects, "
          f"refused: {refusals[True]} exclusive, {refusals[False]} shared")
