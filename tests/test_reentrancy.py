"""No call may crash, hang or swallow an interrupt.

Python code can run inside almost any call: a garbage collection triggered by
an allocation runs finalizers and gc.callbacks, which can mutate the inputs,
re-enter the module, or look at every tracked container. Everything that may
crash or hang runs in a child interpreter, so that one fault is reported as a
failure of its own test instead of taking the whole run down.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from _vesk import multikeysort

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SCALE = 0.2 if SANITIZED else 1.0  # iteration counts and sizes under ASan
# Children put the test run's path first, so they import the same _vesk.
PRELUDE = f"import sys\nsys.path[:0] = {sys.path!r}\n"
MEMORY_CAP = "" if SANITIZED else (
    "import resource\n"
    "resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))\n"  # 1.5 GiB
)


def run_child(code, *argv, timeout=20):
    """Runs `code` in a fresh isolated interpreter; a hang is a failure."""
    # Not -I: that would drop PYTHONMALLOC=malloc, which lets ASan see freed objects.
    command = [sys.executable, "-s", "-S", "-X", "faulthandler",
               "-c", PRELUDE + MEMORY_CAP + textwrap.dedent(code), *map(str, argv)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as hung:
        err = hung.stderr.decode(errors="replace") if isinstance(hung.stderr, bytes) else hung.stderr
        pytest.fail(f"hung: no end within {timeout} s\n{(err or '')[-3000:]}")
    if proc.returncode != 0:
        how = f"signal {-proc.returncode}" if proc.returncode < 0 else f"exit {proc.returncode}"
        lines = proc.stderr.splitlines()
        progress = [line for line in lines if line.startswith("case ")][-1:]
        report = "\n".join(progress + [line for line in lines if not line.startswith("case ")][-60:])
        pytest.fail(f"child ended with {how}\n{proc.stdout[-2000:]}\n{report}")
    return proc.stdout


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
}

HOOKS_DIR = os.environ.get("VESK_TESTHOOKS_DIR")

PANIC_TYPE_FIRST_USE = """
    import gc, glob, importlib.util, os
    found = glob.glob(os.path.join(HOOKS_DIR, '_vesk_testhooks*.so'))
    spec = importlib.util.spec_from_file_location('_vesk_testhooks', found[0])
    hooks = importlib.util.module_from_spec(spec); spec.loader.exec_module(hooks)
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
    run_child(f"HOOKS_DIR = {os.path.abspath(HOOKS_DIR)!r}\n" + textwrap.dedent(PANIC_TYPE_FIRST_USE))


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


# ------------------------------------------------------------------ Ctrl-C

INTERRUPT_CHILD = """
    import faulthandler, json, signal, time
    from _vesk import *
    DELAY, WATCHDOG = float(sys.argv[1]), float(sys.argv[2])
    {build}
    snapshot = [list(a) if isinstance(a, list) else a for a in args]
    def counts():
        return [sys.getrefcount(a) for a in args] + [
            sys.getrefcount(a[0]) for a in args if isinstance(a, list) and a]
    refs = counts()
    # The alarm is delivered like Ctrl-C: a C-level handler trips a flag that
    # only PyErr_CheckSignals (or the eval loop) turns into KeyboardInterrupt.
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    faulthandler.dump_traceback_later(WATCHDOG, exit=True)
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, DELAY)
    outcome = 'ended'
    try:
        try:
            result = {fn}(*args)
        except MemoryError:
            outcome = 'out of memory'
        end = time.monotonic()
        for _ in range(100): pass  # an interrupt pending at the return fires here
    except KeyboardInterrupt:
        end = time.monotonic()
        outcome += ', interrupted'
    signal.setitimer(signal.ITIMER_REAL, 0)
    faulthandler.cancel_dump_traceback_later()
    result = None
    unchanged = all(
        (list(a) == s and all(x is y for x, y in zip(a, s))) if isinstance(a, list) else a is s
        for a, s in zip(args, snapshot))
    print(json.dumps(dict(outcome=outcome, early=end < start + DELAY,
                          late=end - start - DELAY, unchanged=unchanged,
                          leaked=counts() != refs)))
"""

TEXT = "wordAnd moreWords_here \u00bd 1\u00bc x "
INTERRUPTIBLE = {
    # 2**60 leaves: without signal checks it runs until memory is gone.
    "collapse_dag": ("collapse", "x = [0]\nfor _ in range(60): x = [x, x]\nargs = (x,)", 1),
    # Unhashable elements keep the quadratic search whatever shortcut builtins get.
    "same_order_lists": ("same_order", "ref = [[i] for i in range(3000)]\n"
                         "args = (ref, [[-1]] * {n} + ref)", 200_000),
    # Built-in elements may take a linear path and end before the interrupt;
    # ints beyond the small-int cache keep the reference counts exact.
    "same_order_ints": ("same_order", "ref = list(range(10**6, 10**6 + 20000))\n"
                        "args = (ref, [-1] * {n} + ref)", 200_000),
    # A Python-level comparison sees the interrupt first.
    "multikeysort_python_lt": ("multikeysort", """
        class V:
            def __init__(self, v): self.v = v
            def __lt__(self, o): return self.v < o.v
        args = ([{{'a': V((i * 7919) % {n})}} for i in range({n})], ['a'])""", 60_000),
    "sanitize_vulgar_string": ("sanitize_vulgar_string", f"args = ({TEXT!r} * {{n}},)", 2_000_000),
}
INTERRUPTIBLE_SLOW = {
    "multikeysort_native": ("multikeysort", "args = ([{{'a': (i * 7919) % {n}}} for i in range({n})], 'a')",
                            1_000_000),
    "backfill": ("backfill", "args = ([1] + [None] * {n},)", 30_000_000),
    "backfill_iterdict": ("backfill_iterdict", "d = {{('k%d' % i) * 999: None for i in range(100)}}\n"
                          "args = ([d] * {n},)", 100_000),
    "uncamel": ("uncamel", f"args = ({TEXT!r} * {{n}},)", 4_000_000),
    "underscore_to_camelcase": ("underscore_to_camelcase", f"args = ({TEXT!r} * {{n}},)", 4_000_000),
    "parse": ("parse", "args = ('1' * {n},)", 100_000_000),
    "normalize_numeric_str": ("normalize_numeric_str", "args = ('(1' + ',000' * {n} + ')',)", 25_000_000),
}


def interrupt(case, table, scale=1.0):
    fn, build, n = table[case]
    code = INTERRUPT_CHILD.format(build=textwrap.indent(textwrap.dedent(build).format(
        n=max(1, int(n * scale))), " " * 4).strip(), fn=fn)
    delay = 0.1
    out = json.loads(run_child(code, delay, delay + 3.0, timeout=60).splitlines()[-1])
    assert out["outcome"].startswith("ended"), out
    if not out["early"]:
        assert out["outcome"] == "ended, interrupted", f"the interrupt was swallowed: {out}"
        assert out["late"] < 0.5, f"KeyboardInterrupt {out['late']:.2f} s after Ctrl-C"
    assert out["unchanged"] and not out["leaked"], out


@pytest.mark.parametrize("case", sorted(INTERRUPTIBLE))
def test_ctrl_c_ends_long_calls(case):
    interrupt(case, INTERRUPTIBLE, SCALE)


@pytest.mark.slow
@pytest.mark.parametrize("case", sorted(INTERRUPTIBLE_SLOW))
def test_ctrl_c_ends_long_calls_on_big_inputs(case):
    interrupt(case, INTERRUPTIBLE_SLOW)


# ---------------------------------------------------------- collapse cycles

def test_collapse_wide_cycle_is_found_without_blowing_up():
    out = run_child("""
        import resource
        from _vesk import collapse
        a = list(range(10**6)); a.append(a)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try: collapse(a)
        except ValueError as e: print(e)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
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


# ------------------------------------------------------------ GC torture

# One child per function. Each case runs first with no torture (the expected
# outcome), then under torture: a collection at every tracked allocation, a
# gc callback that reads every young list and dict (a half-built container
# crashes it) and re-enters the module, and a supply of cyclic garbage whose
# finalizer mutates the inputs once, after a chosen number of collections.
# With no mutation the outcome must be exactly the expected one; with one,
# any result or a clean ordinary exception will do.
TORTURE_CHILD = r"""
import gc, random
import _vesk
FN, FUSES = sys.argv[1], int(sys.argv[2])
fn = getattr(_vesk, FN)

KEEP = []  # what Python code called by a function allocates stays alive,
            # so every such call is followed by a collection

class Obj:
    def __init__(self, v): self.v = v
    def __lt__(self, o): KEEP.append(Obj(0)); return self.v < getattr(o, 'v', 0)
    def __eq__(self, o): KEEP.append(Obj(0)); return isinstance(o, Obj) and self.v == o.v
    def __repr__(self): return f'O({self.v})'
    __hash__ = None

class Num(Obj):
    def __index__(self): KEEP.append(Obj(0)); return self.v

class Flt(Obj):
    def __float__(self): KEEP.append(Obj(0)); return self.v / 2

class Lookup(dict):
    def __missing__(self, key): KEEP.append(Obj(0)); return key

class Seq:
    def __init__(self, *names): self.names = names
    def __len__(self): return len(self.names)
    def __getitem__(self, i): KEEP.append(Obj(0)); return self.names[i]
    def __repr__(self): return f'Seq{self.names}'

def mixed(i):
    return [i, 2.5 * i, str(i), None, Obj(i), [i], '\ud800', Num(i), Flt(i), -i][i % 10]

def rows(n, make=dict):
    return [make(id=i, a=mixed(i), **({'b': i % 3} if i % 3 else {})) for i in range(n)]

TEXTS = ['1,200m', '(1)', '  -3.5e2 ', 'x', '\u00bd and 1\u00bc', 'someCamelCase_and_more', '\ud800', '']
CASES = {
    'parse': [lambda t=t: (t,) for t in TEXTS],
    'normalize_numeric_str': [lambda t=t: (t,) for t in TEXTS],
    'sanitize_vulgar_string': [lambda t=t: (t,) for t in TEXTS],
    'uncamel': [lambda t=t: (t,) for t in TEXTS],
    'underscore_to_camelcase': [lambda t=t: (t,) for t in TEXTS],
    'collapse': [
        lambda: ([1, [2, (3, [4, {'a': 1}])]], (5, [6])),
        lambda: ([[Obj(i), (i, [i])] for i in range(30)],),
        lambda: (rows(5), [[], ()], ()),
    ],
    'backfill': [
        lambda: ([None, None, 1, Obj(2), None, 'x', None] * 5,),
        lambda: ([None] * 10,),
        lambda: ([[i] if i % 3 else None for i in range(40)],),
    ],
    'backfill_iterdict': [
        lambda: ([{'a': 1, 'b': None}, {'a': 4, 'b': 2}, {'a': None, 'b': None}] * 4,),
        lambda: ([{'k%d' % (i % 5): (None if i % 2 else [i]), 'z': None} for i in range(30)],),
        lambda: ([{'a': 1}, Lookup(a=None), {'a': None, 'b': Obj(1)}, 5],),
        lambda: ([{'a': None}, {'\ud800': 1}],),
    ],
    'same_order': [
        lambda: (['x', 'y', 'z'], ['x', 'a', 'b', 'y', 'd', 'z']),
        lambda: ([Obj(i) for i in range(0, 20, 2)], [Obj(i) for i in range(20)]),
        lambda: ([[i] for i in range(5)], [[i] for i in range(8)][::-1]),
    ],
    'multikeysort': [
        lambda: (rows(30), ['a', '-id'], False),
        lambda: (rows(30), ('-b', 'a'), True),
        lambda: (rows(8), Seq('b', '-a'), True),
        lambda: (rows(25, Lookup), ['zz', 'a', 'b'], False),
        lambda: ([{'\ud800': 0, **{'k%d' % i: i for i in range(40)}}], 'zz', False),
        lambda: ([{'\ud800': 0, **{'k%d' % i: i for i in range(40)}}] * 3 + rows(3), 'zz', False),
        lambda: ([Obj(i) for i in range(5)] + rows(22), 'b', True),
    ],
}

REENTRY = [
    (lambda: _vesk.collapse([1, [2]]), [1, 2]),
    (lambda: _vesk.parse('1'), 1),
    (lambda: _vesk.multikeysort([{'a': 2}, {'a': 1}], 'a'), [{'a': 1}, {'a': 2}]),
    (lambda: _vesk.backfill([None, 1]), [1, 1]),
    (lambda: _vesk.backfill_iterdict([{'a': None}, {'a': 1}]), [{'a': 1}, {'a': 1}]),
    (lambda: _vesk.same_order([1], [0, 1]), True),
    (lambda: _vesk.uncamel('aB'), 'a_b'),
    (lambda: _vesk.underscore_to_camelcase('a_b'), 'aB'),
    (lambda: _vesk.sanitize_vulgar_string('\u00bd'), '0.5'),
    (lambda: _vesk.normalize_numeric_str('(1)'), '-1'),
]

state = dict(fuse=0, fired=False, targets=[], collections=0, choice=(0, 0), on=False, args=None)
problems = []

def containers(obj, path, found, seen):
    # Paths, not the containers: holding them would keep freed items alive.
    if id(obj) in seen: return
    seen.add(id(obj))
    if isinstance(obj, (list, dict)): found.append(path)
    if isinstance(obj, (list, tuple)):
        for i, x in enumerate(obj): containers(x, path + (i,), found, seen)
    elif isinstance(obj, dict):
        for k, x in obj.items(): containers(x, path + (k,), found, seen)

def mutate():
    state['fired'] = True
    paths, (which, op) = state['targets'], state['choice']
    if not paths: return
    t = state['args']
    try:
        for step in paths[which % len(paths)]: t = t[step]
    except (IndexError, KeyError, TypeError):
        return
    if isinstance(t, list):
        if op == 0: t.clear()
        elif op == 1 and t: t.pop()
        elif op == 2: t.append({'a': None, 'id': Obj(-1)})
        elif op == 3: t.reverse()
        elif op == 4 and t: t[which % len(t)] = {'z': Obj(-2)}
        elif t: del t[0]
    elif isinstance(t, dict):
        if op < 2: t.clear()
        elif op == 2: t['a'] = Obj(7)
        elif op == 3: t['new'] = None
        elif t: t[list(t)[which % len(t)]] = Obj(9) if op == 4 else None

class Fin:
    def __del__(self):
        if state['fuse'] > 0:
            state['fuse'] -= 1
            if state['fuse'] == 0: mutate()

def read(o):
    if isinstance(o, list):
        for x in o: sys.getsizeof(x)
        if len(o) < 4: repr(o)
    elif isinstance(o, dict):
        for k, v in o.items(): sys.getsizeof(k); sys.getsizeof(v)

def callback(phase, info):
    if phase == 'stop':
        f = Fin(); f.me = f  # the next tracked allocation collects again
    if not state['on']: return
    if phase == 'start':
        state['collections'] += 1
        for g in range(info['generation'] + 1):
            for o in gc.get_objects(g): read(o)
        return
    if state['collections'] % 7 == 0:
        call, expected = REENTRY[state['collections'] // 7 % len(REENTRY)]
        if call() != expected: problems.append(('re-entered call', expected))

def outcome(args):
    try: result = fn(*args)
    except Exception as e: return ('raise', type(e).__name__, str(e))
    return ('ok', repr(result), repr(args))

def tortured(args, fuse, choice=(0, 0)):
    found = []
    containers(args, (), found, set())
    # Empty the dict and list free lists, whose reuse counts as no allocation,
    # and leave garbage behind: the call's first tracked allocation collects.
    KEEP.clear()
    drain = [{} for _ in range(100)], [[] for _ in range(100)]
    f = Fin(); f.me = f; del f
    state.update(fuse=fuse, fired=False, targets=found, choice=choice, collections=0, args=args)
    state['on'] = True
    try: got = outcome(args)
    finally: state.update(on=False, args=None)
    del drain
    return got, state['fired'], state['collections']

ALLOWED = {'IndexError', 'ValueError', 'TypeError', 'RuntimeError', 'KeyError', 'UnicodeEncodeError'}
old = gc.get_threshold()
gc.callbacks.append(callback)
gc.set_threshold(1)
try:
    for c, build in enumerate(CASES[FN]):
        gc.set_threshold(*old)
        expected = outcome(build())
        gc.set_threshold(1)
        print('case', c, 'read-only', file=sys.stderr, flush=True)
        got, _, count = tortured(build(), 0)
        if got != expected: problems.append((c, 'read-only torture', expected, got))
        found = []
        containers(build(), (), found, set())
        # Every (collection, container, mutation) triple, or a sample of them.
        plan = [(k, (p, op)) for k in range(1, count + 3)
                for p in range(max(1, len(found))) for op in range(6)]
        if len(plan) > FUSES: plan = random.Random(c).sample(plan, FUSES)
        for k, choice in plan:
            print('case', c, 'fuse', k, 'mutation', choice, file=sys.stderr, flush=True)
            got, fired, _ = tortured(build(), k, choice)
            if not fired:
                if got != expected: problems.append((c, k, 'untouched', expected, got))
            elif got[0] == 'raise' and got[1] not in ALLOWED:
                problems.append((c, k, 'mutated', got))
finally:
    gc.callbacks.remove(callback)
    gc.set_threshold(*old)
print(json.dumps([repr(p) for p in problems]))
"""


@pytest.mark.parametrize("name", [
    "parse", "normalize_numeric_str", "multikeysort", "sanitize_vulgar_string", "uncamel",
    "underscore_to_camelcase", "collapse", "backfill", "backfill_iterdict", "same_order"])
def test_gc_torture(name):
    fuses = max(20, int(300 * SCALE))
    out = run_child("import json\n" + TORTURE_CHILD, name, fuses, timeout=120)
    problems = json.loads(out.splitlines()[-1])
    assert problems == [], "\n".join(problems[:20])
