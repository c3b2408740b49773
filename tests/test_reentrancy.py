"""No call may crash, hang or swallow an interrupt.

Python code can run inside almost any call: a garbage collection triggered by
an allocation runs finalizers and gc.callbacks, which can mutate the inputs,
re-enter the module, or look at every tracked container. Everything that may
crash or hang runs in a child interpreter, so that one fault is reported as a
failure of its own test instead of taking the whole run down. Ctrl-C during
long calls is in test_interrupts.py, the garbage-collection torture in
test_gc_torture.py.
"""

import os
import sys
import textwrap

import pytest
from _vesk import multikeysort
from support import FREE_THREADED, SANITIZED, run_child

# ----------------------------------------------------------------- reproducers

FAULTS = {
    # A finalizer frees the dict whose keys are being collected.
    "finalizer_frees_row_during_key_collection": """
        import gc; from _vesk import multikeysort
        class Fin:
            def __del__(self): items.clear()
        for attempt in range(20):
            items = [{'\\ud800': 0, **{'k%d' % i: i for i in range(40)}}]
            gc.collect(); g = Fin(); g.me = g; del g
            keep = []
            while gc.get_count()[0] < gc.get_threshold()[0]: keep.append([])
            assert type(multikeysort(items, 'zz')) is list
    """,
    # A gc callback iterates a result list before all its slots are filled.
    "half_built_result_list": """
        import gc; from _vesk import backfill_iterdict
        gc.callbacks.append(lambda ph, i: ph == 'stop' and [
            sum(map(sys.getsizeof, o)) for o in gc.get_objects() if type(o) is list])
        rows = [{'a': i, 'b': None} for i in range(5000)]
        assert backfill_iterdict(rows) == [{'a': i} for i in range(5000)]
    """,
    # The first use of the Sequence type re-enters itself from the import.
    "reentrant_first_import_of_sequence_type": """
        assert 'collections.abc' not in sys.modules
        from _vesk import multikeysort
        inner, entered = [], []
        def hook(event, args):
            if event == 'import' and args[0] == 'collections.abc' and not entered:
                entered.append(True)
                inner.append(multikeysort([{'a': 1}], {'a'}))
        sys.addaudithook(hook)
        rows = [{'a': 2}, {'a': 1}]
        result = multikeysort(rows, {'a'})  # a set is no sequence: no columns
        assert result == [{'a': 2}, {'a': 1}] and result is not rows
        assert inner == [[{'a': 1}]]
    """,
    # First use of every process-wide value with a collection at every
    # allocation and a gc callback that re-enters the same function.
    "reentrant_first_use_under_collections": """
        import gc, _vesk
        calls = [
            lambda: _vesk.parse(None),                           # type names
            lambda: _vesk.collapse(x=1),                         # binding message
            lambda: _vesk.uncamel('\\ud800'),                    # argument note
            lambda: _vesk.sanitize_vulgar_string('1\\u00bd'),    # table, pattern
            lambda: _vesk.multikeysort([{'a': 1}], iter('a')),   # Sequence type
        ]
        def call(fn):
            try: return repr(fn())
            except Exception as e: return f'{type(e).__name__}: {e}'
        current = []
        def reenter(phase, info):
            if current and len(current) < 5:
                current.append(call(current[0]))
        gc.set_threshold(1); gc.callbacks.append(reenter)
        for fn in calls:
            current[:] = [fn]
            first = call(fn)
            assert all(r == first for r in current[1:]), (first, current)
    """,
    # A signal handler grows the row being read: the interpreter's own error
    # for a dict changed under an iteration, not an internal failure. (A
    # free-threaded build reads each row as a copy taken at one moment, since
    # other threads may change it, and so gives the answer for the rows as
    # they were when read.)
    "handler_grows_row_during_backfill_iterdict": """
        import signal, sysconfig; from _vesk import backfill_iterdict
        big = {f'k{i}': None if i % 3 else i for i in range(100_000)}
        rows = [big] * 40
        def grow(signum, frame): big[f'new{len(big)}'] = 1
        signal.signal(signal.SIGALRM, grow)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            out = backfill_iterdict(rows)
        except RuntimeError as e:
            assert type(e) is RuntimeError and str(e) == 'dictionary changed size during iteration'
            assert not sysconfig.get_config_var('Py_GIL_DISABLED')
        else:
            assert sysconfig.get_config_var('Py_GIL_DISABLED'), 'no error'
            assert len(out) == 40 and all(None not in row.values() for row in out)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert len(rows) == 40 and all(r is big for r in rows)
    """,
    # The look-ahead of the row extraction meets a key whose hash equals the
    # column name's, and its __eq__ drops the dict being read.
    "look_ahead_lookup_of_a_dropped_row": """
        from _vesk import multikeysort
        class Evil:
            calls = 0
            armed = False
            def __hash__(self): return hash('k')
            def __eq__(self, other):
                Evil.calls += 1
                if Evil.armed and Evil.calls == 1:
                    items[8] = None
                    Evil.spray = [b'\\xff' * n for n in range(1, 400) for _ in range(20)]
                return False
        items = [{'k': i} for i in range(20)]; items[8] = {Evil(): 1, 'k': 99}
        junk = [{} for _ in range(200)]; del junk
        Evil.calls, Evil.armed = 0, True  # the sort's first comparison drops the row
        assert multikeysort(items, ['k'])[-1] is None  # dropped during its own lookup
        Evil.armed = False
        rows = [{'k': i} for i in range(20)]; rows[8] = {Evil(): 1, 'k': 99}
        Evil.calls = 0; rows[8]['k']; lookup = Evil.calls; Evil.calls = 0  # one per row
        assert multikeysort(rows, ['k'])[-1] is rows[8] and Evil.calls == lookup, Evil.calls
    """,
}

# A handler's ordinary exception ends the call even where the errors of the Python
# code it interrupts are discarded. The method opens a gate for a thread that
# sends the signal while the main thread waits for the lock; the rest of the
# method has no point where handlers run, so the next one is before the next call.
SIGNAL_IN_DISCARDING_CODE = """
    import _thread, signal, sys, threading
    from _vesk import multikeysort
    class Alarm(Exception): pass
    def handler(signum, frame): raise Alarm('from the handler')
    signal.signal(signal.SIGALRM, handler)
    sys.setswitchinterval(1e-4)
    gate = _thread.allocate_lock(); gate.acquire(); opened = [gate]
    main = threading.get_ident()
    def send():
        with gate: signal.pthread_kill(main, signal.SIGALRM)
    helper = threading.Thread(target=send); helper.start()
    class Value:
        def __init__(self, v): self.v = v
        def __lt__(self, other):
            if opened: opened.pop().release()
            return self.v < other.v
    class Row(dict):
        def __getitem__(self, key):
            if opened: opened.pop().release()
            return 0
    n = 50_000
    rows = [{'a': Value((7 * i) % n)} if SOURCE == 'lt' else Row(a=i) for i in range(n)]
    before = list(rows)
    try: multikeysort(rows, ['a'], INPLACE); raise SystemExit('handler exception discarded')
    except Alarm: helper.join()
    assert all(a is b for a, b in zip(rows, before)) and len(rows) == n
"""


@pytest.mark.skipif(sys.version_info < (3, 11), reason="handlers run at every instruction")
@pytest.mark.skipif(
    FREE_THREADED, reason="the moment it arranges for the signal needs the interpreter lock"
)
@pytest.mark.parametrize("inplace", [False, True])
@pytest.mark.parametrize("source", ["lt", "getitem"])
def test_signal_handler_exception_in_discarding_code_propagates(source, inplace):
    code = f"SOURCE, INPLACE = {source!r}, {inplace}\n" + textwrap.dedent(SIGNAL_IN_DISCARDING_CODE)
    run_child(code, timeout=60)


HOOKS_DIR = os.environ.get("VESK_TESTHOOKS_DIR")

PANIC_TYPE_FIRST_USE = """
    import gc, glob, importlib.util, os
    found = glob.glob(os.path.join(HOOKS_DIR, '_vesk_testhooks*.so'))
    location = importlib.util.spec_from_file_location('_vesk_testhooks', found[0])
    hooks = importlib.util.module_from_spec(location); location.loader.exec_module(hooks)
    inner = []
    def reenter(phase, info):
        if not inner:
            inner.append(None)
            try: hooks.raise_internal('inner')
            except BaseException as e: inner.append(type(e).__name__)
    gc.set_threshold(1); gc.callbacks.append(reenter)
    try: hooks.raise_internal('outer')
    except BaseException as e: outer = type(e).__name__
    gc.callbacks.clear()
    assert outer == 'PanicException' and inner[1:] in ([], ['PanicException']), (outer, inner)
"""


@pytest.mark.parametrize("name", sorted(FAULTS))
def test_fault_reproducers(name):
    run_child(FAULTS[name])


def test_reentrant_first_use_of_the_panic_type():
    if not HOOKS_DIR:
        pytest.skip("test hooks not built (set VESK_TESTHOOKS_DIR)")
    run_child(
        f"HOOKS_DIR = {os.path.abspath(HOOKS_DIR)!r}\n" + textwrap.dedent(PANIC_TYPE_FIRST_USE)
    )


@pytest.mark.parametrize("base", ["object", "collections.abc.Sequence"])
@pytest.mark.parametrize("claimed", [10**18, 10**9, sys.maxsize, 2**40, 0])
def test_claimed_length_is_not_trusted(base, claimed):
    # In a child: trusting the length asks the allocator for terabytes, which
    # the sanitizer build answers by aborting.
    out = run_child(f"""
        import collections.abc
        from _vesk import multikeysort
        class Lying({base}):
            def __len__(self): return {claimed}
            def __getitem__(self, i): return ['a', '-b'][i]
        rows = [{{'a': 1, 'b': 2}}, {{'a': 1, 'b': 1}}, {{'a': 0, 'b': 9}}]
        result = multikeysort(rows, Lying())
        print([rows.index(r) for r in result])
    """)
    assert out.strip() == "[2, 0, 1]"


# ------------------------------------------------- interrupts from Python code


class Raiser:
    """Raises `exc` from the `after`-th call of `hit()`; keeps the instance."""

    def __init__(self, exc_type, after):
        self.exc, self.calls, self.after = exc_type("from Python code"), 0, after

    def hit(self):
        self.calls += 1
        if self.calls == self.after:
            raise self.exc


def hostile_rows(source, trap, count):
    class Value:
        def __init__(self, v):
            self.v = v

        def __lt__(self, other):
            if source == "lt":
                trap.hit()
            return self.v < other.v

        def __index__(self):
            trap.hit()
            return self.v

        def __float__(self):
            trap.hit()
            return float(self.v)

    class Row(dict):
        def __missing__(self, key):
            trap.hit()
            return None

        def __getitem__(self, key):
            if source == "getitem":
                trap.hit()
            return dict.__getitem__(self, key)

    if source == "float":
        del Value.__index__
    order = [(7 * i) % count for i in range(count)]
    if source == "missing":  # every other row lacks the column
        return [Row(id=v, **({"a": v} if i % 2 else {})) for i, v in enumerate(order)]
    wrap = Value if source in ("lt", "index", "float") else int
    return [Row(id=v, a=wrap(v)) for v in order]


class Columns:
    """A general sequence of column names whose iteration runs Python code."""

    def __init__(self, trap):
        self.trap = trap

    def __len__(self):
        return 1

    def __getitem__(self, i):
        self.trap.hit()
        if i:
            raise IndexError
        return "a"


SOURCES = ["lt", "getitem", "missing", "index", "float", "columns"]


@pytest.mark.parametrize("inplace", [False, True])
@pytest.mark.parametrize("count", [5, 40])  # insertion sort, merge sort
@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, ValueError])
def test_base_exceptions_from_python_code_propagate(exc_type, source, count, inplace):
    trap = Raiser(exc_type, 3 if source == "lt" else 1)
    rows = hostile_rows(source, trap, count)
    before = list(rows)
    columns = Columns(trap) if source == "columns" else ["a"]
    if issubclass(exc_type, Exception):
        # Ordinary exceptions keep their documented fallback.
        result = multikeysort(rows, columns, inplace)
        assert trap.calls >= 1
        got = rows if inplace else result
        assert sorted(map(id, got)) == sorted(map(id, before))
        return
    with pytest.raises(exc_type) as info:
        multikeysort(rows, columns, inplace)
    assert info.value is trap.exc
    assert len(rows) == len(before) and all(a is b for a, b in zip(rows, before))


# ---------------------------------------------------------- collapse cycles


def test_collapse_wide_cycle_is_found_without_blowing_up():
    out = run_child("""
        import resource
        from _vesk import collapse
        unit = 1 if sys.platform == "darwin" else 1024  # ru_maxrss: bytes there, KiB here
        a = list(range(10**6)); a.append(a)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try: collapse(a)
        except ValueError as e: print(e)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * unit // 2**20)
    """)
    message, grown_mb = out.splitlines()
    assert message == "collapse() argument contains a reference cycle"
    if not SANITIZED:
        assert int(grown_mb) < 100, f"{grown_mb} MB to find the cycle"


def test_collapse_many_empty_lists_at_a_checked_depth():
    # Empty lists pushed around a power-of-two depth must not each cost a
    # scan of the whole path.
    out = run_child("""
        from _vesk import collapse
        K, N = 2**20, 100_000
        node = [[]] * N + [1]  # at depth K + 3, counting the argument tuple
        for w in range(1, K + 2):  # list w at depth K + 3 - w
            node = [[]] * N + [node] if w <= 5 else [node]
        print(collapse(node))
    """)
    assert out.strip() == "[1]"


@pytest.mark.parametrize("depth", [1, 63, 64, 65, 1000, 1023, 1025, 4095, 4097])
def test_collapse_cycles_entered_at_any_depth(depth):
    out = run_child(f"""
        from _vesk import collapse
        for period in (1, 2, 3, 63, 64, 65, 1000):
            for width in (0, 1000):
                loop = [list(range(width)) for _ in range(period)]
                for a, b in zip(loop, loop[1:] + loop[:1]):
                    a.append(b)
                top = loop[0]
                for _ in range({depth}):
                    top = [top, (1,)]
                try: collapse(top)
                except ValueError as e: print(period, width, e)
                else: print(period, width, 'no error')
    """)
    for line in out.splitlines():
        assert line.endswith(" collapse() argument contains a reference cycle"), line
    assert len(out.splitlines()) == 14
