"""Threads: the first use of each process-wide value (the PanicException
type, the `Sequence` type, the interned names, the fraction table and
pattern) is raced from several threads in a fresh interpreter, or re-entered
from a hook while it is being made: every thread gets the right answer,
nothing crashes and nothing deadlocks.
"""

import json
import os
import subprocess
import sys
import textwrap

import _vesk
import pytest
from notes import arg_notes
from support import FREE_THREADED

THREADS = 8

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
    import gc, importlib.machinery, sys
    sys.path[:0] = sys.argv[1].split("\\n")
    hooks_file, scenario = sys.argv[2], sys.argv[3]
    # Not importlib.util: on 3.9 it imports collections.abc; nor json, which
    # imports it on 3.14, before the uses.
    loader = importlib.machinery.ExtensionFileLoader("_vesk_testhooks", hooks_file)
    found = importlib.machinery.ModuleSpec("_vesk_testhooks", loader, origin=hooks_file)
    hooks = loader.create_module(found)
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
    import json
    print(json.dumps([outer, inner]))
    """
)


@pytest.mark.parametrize("scenario", ["audit", "gc"])
def test_first_use_reentered_from_a_hook(hooks, scenario):
    done = subprocess.run(
        [sys.executable, "-c", REENTRANT, "\n".join(sys.path), hooks.__file__, scenario],
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
    # which allocates nothing a collection looks at. A free-threaded
    # interpreter starts its collections by a count of its own, not at the
    # threshold's object, so there only the sort is sure to see one.)
    sure = {"rows"} if scenario == "audit" or FREE_THREADED else {"panic", "rows"}
    assert sure <= set(inner)
    assert all(inner[name] == outer[name] for name in inner)
