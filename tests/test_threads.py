"""Threads.

Eight threads call all ten functions at once on shared inputs and must get
exactly the single-threaded results; long texts are converted with the lock
released. (The first use of each process-wide value, raced in a fresh
interpreter, is in test_threads_first_use.py.)
"""

import concurrent.futures
import signal
import sys
import threading

import _vesk
import pytest
import vesk
from _vesk import multikeysort
from support import run_child

THREADS = 8
ROUNDS = 60


class Slow:
    """Ordered and compared in Python code, so threads switch mid-call."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        return isinstance(other, Slow) and self.v == other.v

    def __lt__(self, other):
        return self.v < other.v

    def __gt__(self, other):
        return self.v > other.v

    __hash__ = None

    def __repr__(self):
        return f"Slow({self.v})"


ROWS = [{"k": (i * 37) % 23, "t": f"n{i % 7}", "s": Slow(i % 5), "i": i} for i in range(120)]
ROW_IDS = {id(r) for r in ROWS}
REF = [Slow(3), Slow(7), Slow(11)]
COMP = [Slow(i) for i in range(15)]
TEXT = "getHTTPResponseCode_for_ÉtéÀ_İstanbul 4¾ cups, 1 ⅛ tsp; (1,234.50%) " * 40


def calls():
    """(label, thunk) for every function, on the shared inputs, errors included."""
    return [
        ("parse", lambda: _vesk.parse(TEXT)),
        ("parse-money", lambda: _vesk.parse("$ (1,234.50)")),
        ("normalize", lambda: _vesk.normalize_numeric_str(" (1,234.56%) ")),
        ("multikeysort", lambda: multikeysort(ROWS, ["-k", "t", "s"])),
        ("multikeysort-python", lambda: multikeysort(ROWS, ["s", "-i"])),
        ("vulgar", lambda: _vesk.sanitize_vulgar_string(TEXT)),
        ("uncamel", lambda: _vesk.uncamel(TEXT)),
        ("camelcase", lambda: _vesk.underscore_to_camelcase(TEXT)),
        ("collapse", lambda: _vesk.collapse(ROWS[:5], (REF, [COMP]), TEXT)),
        ("backfill", lambda: _vesk.backfill([None, REF[0], None, None, COMP[2], None])),
        ("backfill-iterdict", lambda: _vesk.backfill_iterdict([{"a": None}, *ROWS[:20]])),
        ("same-order", lambda: _vesk.same_order(REF, COMP)),
        ("same-order-false", lambda: _vesk.same_order(REF[::-1], COMP)),
        ("error-none", lambda: _vesk.parse(None)),
        ("error-binding", lambda: _vesk.multikeysort(ROWS)),
        ("error-cycle", lambda: _vesk.collapse(CYCLE)),
    ]


CYCLE = [[1]]
CYCLE[0].append(CYCLE)


def outcome(thunk):
    """A comparable record of a result or an exception."""
    try:
        result = thunk()
    except Exception as error:
        return ("raised", type(error), str(error), getattr(error, "__notes__", None))
    if isinstance(result, list):
        return ("list", [identity(x) for x in result])
    return ("value", type(result), result)


def identity(x):
    """Items by identity (the functions never copy them); new dicts by content."""
    if isinstance(x, (str, int, float)):
        return x
    if isinstance(x, dict) and id(x) not in ROW_IDS:
        return ("dict", [(k, identity(v)) for k, v in x.items()])
    return id(x)


def test_eight_threads_get_the_single_threaded_results():
    expected = {label: outcome(thunk) for label, thunk in calls()}
    barrier = threading.Barrier(THREADS)
    mismatches = []
    crashed = []

    def worker(seed):
        try:
            work = calls()
            barrier.wait(timeout=30)
            for r in range(ROUNDS):
                # Each thread walks the calls in its own rotation.
                for j in range(len(work)):
                    label, thunk = work[(j + seed + r) % len(work)]
                    got = outcome(thunk)
                    if got != expected[label]:
                        mismatches.append((label, got))
        except BaseException as error:  # pragma: no cover - reported below
            crashed.append(repr(error))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
        assert not any(t.is_alive() for t in threads), "a worker hangs"
    finally:
        sys.setswitchinterval(old)
    assert crashed == []
    assert mismatches == []


def test_inplace_sorts_of_one_list_from_many_threads_keep_a_permutation():
    # Python-level comparisons let the threads interleave inside the calls;
    # the length never changes, so no call fails, and whatever the
    # interleaving the list stays a permutation of its items.
    items = [{"s": Slow((i * 11) % 31), "n": i} for i in range(200)]
    before = sorted(map(id, items))
    barrier = threading.Barrier(THREADS)
    errors = []

    def worker(descending):
        try:
            barrier.wait(timeout=30)
            for _ in range(10):
                assert multikeysort(items, ["-s" if descending else "s"], inplace=True) is None
        except BaseException as error:
            errors.append(repr(error))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(i % 2,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert sorted(map(id, items)) == before
    # Once the threads are done, one more sort gives the plain stable order.
    multikeysort(items, ["s", "n"], inplace=True)
    assert [(r["s"].v, r["n"]) for r in items] == sorted((r["s"].v, r["n"]) for r in items)


# ------------------------------- long texts, converted with the lock released

# Each line is short (converted with the lock held); its repetitions are long
# (converted with it released) and give the line's result repeated.
LINES = [
    (_vesk.uncamel, "getHTTPResponseCode forValue2Update\n"),
    (_vesk.uncamel, "getÉtéÀ İstanbul xΣ ǅemal\n"),
    (_vesk.underscore_to_camelcase, "foo_bar__baz FOO_BAR\n"),
    (_vesk.underscore_to_camelcase, "a_ßx_ǆ İ_éÉ\n"),
    (_vesk.sanitize_vulgar_string, "Add 1½ cups, ⅓ tsp and 2 ¼ eggs.\n"),  # ASCII result
    (_vesk.sanitize_vulgar_string, "x½ über 3\u00a0¾ \u0663½ ⅚\n"),  # not ASCII
    (_vesk.sanitize_vulgar_string, "no fractions, but é\n"),
]
LONG = 20_000  # repetitions: about 0.5 MB


def long_cases():
    cases = [(f, line * LONG, f(line) * LONG) for f, line in LINES]
    for f, text in [
        (_vesk.parse, "(1,234" + "5" * 300_000 + ".5)"),
        (_vesk.parse, " 12" * 100_000),
        (_vesk.normalize_numeric_str, "(1,2" + ",345" * 100_000 + "%)"),
    ]:
        cases.append((f, text, f(text)))
    return cases


def test_long_texts_in_threads_give_the_single_threaded_results():
    cases = long_cases()
    assert all(type(want) is type(f(text)) for f, text, want in cases)
    mismatches, crashed = [], []

    def worker(seed):
        try:
            for r in range(3):
                for j in range(len(cases)):
                    f, text, want = cases[(j + seed + r) % len(cases)]
                    got = f(text)
                    if got != want or type(got) is not type(want):
                        mismatches.append((f.__name__, j))
        except BaseException as error:  # pragma: no cover - reported below
            crashed.append(repr(error))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a worker hangs"
    assert crashed == [] and mismatches == []


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timer (Windows)")
@pytest.mark.thread_unsafe(reason="signal handlers belong to the main thread")
def test_signal_during_a_long_released_call():
    # The handler runs while the call works without the lock (or, on a very
    # fast machine, right after it): either way the call ends in its exception.
    def handler(signum, frame):
        raise KeyboardInterrupt("from the timer")

    text = "½" * 8_000_000
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt, match="from the timer"):
            _vesk.sanitize_vulgar_string(text)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert _vesk.sanitize_vulgar_string(text[:3]) == "0.5 0.5 0.5"


# ------------------------------------------ interpreter exit with daemon threads

# Daemon threads loop over a lock-releasing call while the main thread exits:
# a thread that takes the lock back after shutdown has begun is ended by a
# forced unwind, which must pass through the module's frames (before 3.14;
# 3.14 and later leave it waiting until the process ends, and the exit must
# go through just the same). One child per
# run, the runs of each function spread over a few at a time.
EXIT_WHILE_RELEASED = """
    import threading, time, _vesk, vesk
    vesk.__path__[:] = {vesk_path}  # where this run finds vesk._columns
    from vesk import _columns
    fn, text = {fn}, {text}
    def loop():
        while True: fn(text)
    for _ in range(2): threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.05)
"""
EXIT_RUNS = 16
EXIT_CASES = {
    "_vesk.uncamel": "'aB' * 100_000",
    "_vesk.underscore_to_camelcase": "'a_b' * 100_000",
    "_vesk.sanitize_vulgar_string": "'x \\u00bd y ' * 200_000",
    "_vesk.parse": "'1' * 1_000_000",
    "_vesk.normalize_numeric_str": "'1,000' * 200_000",
    # whole columns: worker threads as well as the lock to take back
    "_columns.parse": "['$1,234.50'] * 200_000",
    "_columns.uncamel": "['getHTTPResponseCode'] * 200_000",
}


@pytest.mark.parametrize("fn", sorted(EXIT_CASES))
def test_exit_while_daemon_threads_work_without_the_lock(fn):
    code = EXIT_WHILE_RELEASED.format(fn=fn, text=EXIT_CASES[fn], vesk_path=list(vesk.__path__))
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        # run_child fails the test on any exit code but 0 (an abort is 134).
        list(pool.map(lambda _: run_child(code, timeout=60), range(EXIT_RUNS)))
