"""Threads.

Eight threads call all ten functions at once on shared inputs and must get
exactly the single-threaded results. Then the first use of each process-wide
value (the PanicException type, the `Sequence` type, the interned names, the
fraction table and pattern) is raced from several threads in a fresh
interpreter: every thread gets the right answer, nothing crashes and nothing
deadlocks.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import _vesk
from _vesk import multikeysort
from notes import arg_notes

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


# ---------------------------------------------- first use in a fresh process

RACE = textwrap.dedent(
    """
    import importlib.util, json, sys, threading
    sys.path[:0] = json.loads(sys.argv[1])
    hooks_file, scenario, threads = sys.argv[2], sys.argv[3], int(sys.argv[4])
    hooks = None
    if hooks_file:
        location = importlib.util.spec_from_file_location("_vesk_testhooks", hooks_file)
        hooks = importlib.util.module_from_spec(location)
        location.loader.exec_module(hooks)
    import _vesk

    def panic(i):
        try:
            hooks.raise_internal(f"thread {i}")
        except BaseException as error:
            kind = type(error)
            return [id(kind), kind.__module__, kind.__name__, kind.__bases__ == (BaseException,),
                    list(error.args)]

    def sequence(i):
        rows = [{"a": 2}, {"a": 1}]
        out = _vesk.multikeysort(rows, 5)
        return [out == rows, out is not rows]

    def names(i):
        got = []
        for fn, arg in ((_vesk.parse, None), (_vesk.uncamel, 5), (_vesk.backfill, ())):
            try:
                fn(arg)
            except TypeError as error:
                got.append([str(error), getattr(error, "__notes__", None)])
        return got

    def fractions(i):
        return _vesk.sanitize_vulgar_string(f"{i}½ cups, ⅓ tsp")

    def mixed(i):
        return [panic, sequence, names, fractions][i % 4](i)

    work = {"panic": panic, "sequence": sequence, "names": names, "fractions": fractions,
            "mixed": mixed}[scenario]
    sys.setswitchinterval(1e-6)
    barrier = threading.Barrier(threads)
    results = [None] * threads

    def run(i):
        barrier.wait()
        results[i] = [work(i) for _ in range(3)]

    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    print(json.dumps(results))
    """
)


def race(scenario, hooks_file="", threads=THREADS, repeats=3):
    runs = []
    for _ in range(repeats):
        done = subprocess.run(
            [sys.executable, "-c", RACE, json.dumps(sys.path), hooks_file, scenario, str(threads)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr[-3000:]
        runs.append(json.loads(done.stdout))
    return runs


def expected_panic(i):
    return ["pyo3_runtime", "PanicException", True, [f"thread {i}"]]


def check_panics(results, threads):
    type_ids = set()
    for i in threads:
        for record in results[i]:
            type_ids.add(record[0])
            assert record[1:] == expected_panic(i)
    assert len(type_ids) == 1  # one type per process, whoever created it


NAMES = [
    ["'None' is not an instance of 'str'", arg_notes("s")],
    ["'int' object is not an instance of 'str'", arg_notes("camel")],
    ["'tuple' object is not an instance of 'list'", arg_notes("values")],
]


def test_first_panic_exception_raced(hooks):
    for results in race("panic", hooks.__file__):
        check_panics(results, range(THREADS))


def test_first_sequence_type_raced():
    for results in race("sequence"):
        assert results == [[[True, True]] * 3] * THREADS


def test_first_interned_names_raced():
    for results in race("names"):
        assert results == [[NAMES] * 3] * THREADS


def test_first_fraction_table_and_pattern_raced():
    for results in race("fractions"):
        assert results == [[f"{i}.5 cups, 0.333333 tsp"] * 3 for i in range(THREADS)]


def test_all_first_uses_raced_together(hooks):
    for results in race("mixed", hooks.__file__):
        check_panics(results, range(0, THREADS, 4))
        for i in range(1, THREADS, 4):
            assert results[i] == [[True, True]] * 3
        for i in range(2, THREADS, 4):
            assert results[i] == [NAMES] * 3
        for i in range(3, THREADS, 4):
            assert results[i] == [f"{i}.5 cups, 0.333333 tsp"] * 3


def test_race_helper_sees_a_fresh_interpreter():
    # The subprocess must load this very build, not some other _vesk.
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            "import json,sys; sys.path[:0]=json.loads(sys.argv[1]); "
            "import _vesk; print(_vesk.__file__)",
            json.dumps(sys.path),
        ],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    ).stdout.strip()
    assert os.path.samefile(out, _vesk.__file__)


# ------------------------------------- first use re-entered from a hook

# Filling a process-wide value runs Python code (the import of
# collections.abc, object creation that starts a collection), and a hook can
# come back into the module from there and need the same value: it must get
# it, with no deadlock, and everyone must end up with the one stored value.
REENTRANT = textwrap.dedent(
    """
    import gc, importlib.machinery, json, sys
    sys.path[:0] = json.loads(sys.argv[1])
    hooks_file, scenario = sys.argv[2], sys.argv[3]
    # Not importlib.util: on 3.9 it imports collections.abc.
    loader = importlib.machinery.ExtensionFileLoader("_vesk_testhooks", hooks_file)
    spec = importlib.machinery.ModuleSpec("_vesk_testhooks", loader, origin=hooks_file)
    hooks = loader.create_module(spec)
    loader.exec_module(hooks)
    assert "collections.abc" not in sys.modules
    import _vesk

    def names():
        try:
            _vesk.parse(None)
        except TypeError as error:
            return [str(error), getattr(error, "__notes__", None)]

    def panic():
        try:
            hooks.raise_internal("re-entered")
        except BaseException as error:
            return [id(type(error)), type(error).__name__, list(error.args)]

    items, columns = [{"a": 2}, {"a": 1}], {"a"}  # made before any collection is due

    def rows():
        return _vesk.multikeysort(items, columns)

    uses = {"panic": panic, "rows": rows, "names": names}
    inner, current = {}, [None]

    def reenter():
        # Once per value, from inside the outer first use of that value.
        name = current[0]
        if name is not None and name not in inner:
            inner[name] = None
            inner[name] = uses[name]()

    if scenario == "audit":
        sys.addaudithook(lambda event, args: event == "import"
                         and args[0] == "collections.abc" and reenter())
    else:
        gc.callbacks.append(lambda phase, info: phase == "start" and reenter())
    outer = {}
    for name, use in uses.items():
        if scenario == "gc":
            # The next collection starts at the second object allocated,
            # inside the creation of the value.
            gc.collect()
            gc.set_threshold(1)
        current[0] = name
        outer[name] = use()
        current[0] = None
        gc.set_threshold(700)
    print(json.dumps([outer, inner]))
    """
)


@pytest.mark.parametrize("scenario", ["audit", "gc"])
def test_first_use_reentered_from_a_hook(hooks, scenario):
    done = subprocess.run(
        [sys.executable, "-c", REENTRANT, json.dumps(sys.path), hooks.__file__, scenario],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    outer, inner = json.loads(done.stdout)
    assert outer["panic"][1:] == ["PanicException", ["re-entered"]]
    assert outer["rows"] == [{"a": 2}, {"a": 1}]
    assert outer["names"] == NAMES[0]
    # (A collection may also come before the first interned name is made,
    # which allocates nothing a collection looks at.)
    assert ({"rows"} if scenario == "audit" else {"panic", "rows"}) <= set(inner)
    assert all(inner[name] == outer[name] for name in inner)


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
