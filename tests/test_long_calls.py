"""Long calls: signal handlers that run during them (and may stop them or
call into the index), other threads that wait for them to end, and a program
that ends while a thread waits."""

import array
import os
import random
import signal
import subprocess
import sys
import threading

import pytest
import tamsel

# ---------------------------------------------------------------- signals during long calls


class Stop(Exception):
    pass


class Alarms:
    """SIGALRM every millisecond while in use; the handler counts, tries
    `probe` (a call into the index being worked on), recording the
    RuntimeError it raised, if any (ticks between two calls find the index
    free), and raises Stop once `stop_at` probes were refused (never when None)."""

    def __init__(self, stop_at=None, probe=None):
        self.ticks, self.stop_at, self.probe, self.probed, self.stopped = 0, stop_at, probe, [], False

    def handle(self, signum, frame):
        self.ticks += 1
        if self.probe is not None:
            try:
                self.probe()
            except RuntimeError as error:
                self.probed.append(str(error))
            except ValueError:
                pass
        if len(self.probed) == self.stop_at and not self.stopped:
            self.stopped = True
            raise Stop

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, self.handle)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


needs_alarms = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")


@needs_alarms
def test_interrupted_create_keeps_the_vectors_stored_before():
    rng = random.Random(14)
    n = 4000
    data = [[rng.random() for _ in range(8)] for _ in range(n)]
    metadata = [[("i", i)] for i in range(n)]
    index = tamsel.PyHNSW(8, metric="euclidean", ef_construction=100, schema=["i"])
    with Alarms(stop_at=2, probe=lambda: index.search(data[0])) as alarms:
        with pytest.raises(Stop):
            index.create(data, metadata)
    # A handler runs while create holds the index: calls into it are refused.
    assert alarms.probed and set(alarms.probed) == {"Already mutably borrowed"}
    stored = [i for i in range(n) if index.search(data[i], k=1, filter=("i", i))]
    assert 0 < len(stored) < n and stored == list(range(len(stored)))
    # Linked: the walk finds each of them.
    assert all(index.search(data[i], k=1) == [(0.0, data[i])] for i in stored)
    index.insert(data[-1], [("i", n - 1)])
    assert index.search(data[-1], k=1, filter=("i", n - 1)) == [(0.0, data[-1])]


@needs_alarms
def test_long_flat_search_runs_signal_handlers_and_stops_when_one_raises():
    rows, dim = 300_000, 16
    index = tamsel.PyFlat(dim)
    values = array.array("d", [0.5]) * (rows * dim)
    index.create(memoryview(values).cast("B").cast("d", [rows, dim]))
    query = [0.0] * dim
    with Alarms(probe=lambda: index.search(query, k=0)) as alarms:
        for _ in range(3):
            index.search(query)
    # The handlers ran during the scans, not once after each; a search from a
    # handler shares the index with the search it interrupts.
    assert alarms.ticks > 3 and not alarms.probed
    with Alarms(stop_at=2, probe=lambda: index.insert([0.0])) as alarms:
        with pytest.raises(Stop):
            for _ in range(100):
                index.search(query)
    assert alarms.probed and set(alarms.probed) == {"Already borrowed"}
    assert index.search(query, k=2) == [(0, 2.0), (1, 2.0)]


@needs_alarms
@pytest.mark.parametrize("row", [list, tuple])
def test_no_python_code_runs_while_a_batch_is_read(row):
    # A handler that ran inside the conversion would find the index in use.
    index = tamsel.PyFlat(64)
    batch = [row([float(i + j) for j in range(64)]) for i in range(20000)]
    with Alarms(probe=lambda: index.search([0.0] * 64, k=0)) as alarms:
        for _ in range(5):
            index.create(batch)
    assert not alarms.probed


# ---------------------------------------------------------------- other threads during long calls


def hnsw_create_case(meanwhile):
    rng = random.Random(10)
    data = [[rng.random() for _ in range(8)] for _ in range(2000)]
    index = tamsel.PyHNSW(8, metric="euclidean", ef_construction=100)
    index.insert(data[0])
    added = []

    def call_meanwhile(i):
        if meanwhile == "search":
            assert index.search(data[0], k=1) == [(0.0, data[0])]
        else:
            added.append([rng.random() for _ in range(8)])
            index.insert(added[-1])

    def check():
        assert all(index.search(vector, k=1) == [(0.0, vector)] for vector in data + added)

    probe = (lambda: index.search(data[0]), "Already mutably borrowed")
    return lambda: index.create(data[1:]), call_meanwhile, probe, check


def flat_search_case():
    rows, dim = 300_000, 16
    index = tamsel.PyFlat(dim)
    values = array.array("d", [0.5]) * (rows * dim)
    index.create(memoryview(values).cast("B").cast("d", [rows, dim]))
    added = []

    def searches():
        for _ in range(50):
            assert index.search([0.0] * dim, k=1) == [(0, 2.0)]

    def call_meanwhile(i):
        added.append([1.0 + i] * dim)
        index.insert(added[-1])

    def check():
        first_and_last = [index.search(added[i], k=1) for i in (0, -1)]
        assert first_and_last == [[(rows, 0.0)], [(rows + len(added) - 1, 0.0)]]

    return searches, call_meanwhile, (lambda: index.insert([0.0]), "Already borrowed"), check


LONG_CALLS = {
    "PyHNSW.create-search": lambda: hnsw_create_case("search"),
    "PyHNSW.create-insert": lambda: hnsw_create_case("insert"),
    "PyFlat.search-insert": flat_search_case,
}


@needs_alarms
@pytest.mark.parametrize("case", LONG_CALLS)
def test_another_thread_waits_for_a_long_call_to_end(case):
    # At a signal point of a long call a handler, and under PyPy the signal
    # point itself, may let another thread run: that thread's calls into the
    # index wait for the long call to end, while the handler's own calls are
    # refused as re-entries.
    long_call, call_meanwhile, (probe, refusal), check = LONG_CALLS[case]()
    done, calls, failures = threading.Event(), [0], []

    def meanwhile():
        while not done.is_set():
            calls[0] += 1
            try:
                call_meanwhile(calls[0])
            except Exception as error:
                failures.append(error)

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # the other thread runs at every chance
    thread = threading.Thread(target=meanwhile)
    try:
        with Alarms(probe=probe) as alarms:
            thread.start()
            long_call()
    finally:
        done.set()
        thread.join()
        sys.setswitchinterval(switch_interval)
    assert not failures, f"{len(failures)} of {calls[0]} calls failed meanwhile: {failures[0]!r}"
    assert alarms.probed and set(alarms.probed) == {refusal}
    check()


EXIT_WHILE_WAITING_SCRIPT = r"""
import random, signal, threading
import tamsel

rng = random.Random(1)
data = [[rng.random() for _ in range(8)] for _ in range(20000)]
index = tamsel.PyHNSW(8, metric="euclidean")
index.insert(data[0])
ticks = []

def stop(signum, frame):
    ticks.append(signum)
    if len(ticks) == 50:
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise SystemExit(3)

def search():
    while True:
        index.search(data[0], k=1)

signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
threading.Thread(target=search, daemon=True).start()
index.create(data)
"""


@needs_alarms
def test_program_ends_cleanly_while_a_daemon_thread_waits_for_an_index():
    # A handler stops the create and the program; the searching thread is
    # still waiting for the index, or for the lock, when the interpreter ends it.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(tamsel.__file__)] + sys.path))
    finished = subprocess.run(
        [sys.executable, "-c", EXIT_WHILE_WAITING_SCRIPT], env=environment, capture_output=True, text=True, check=False
    )
    assert (finished.returncode, finished.stderr) == (3, "")
