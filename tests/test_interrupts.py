"""Ctrl-C ends every long call promptly, with its inputs unchanged and no
reference leaked; each call runs in a child interpreter, so that a hang or a
crash is a failure of its own test.

"Promptly" never means a wall-clock limit that a busy machine can break: an
interrupted call must end well before the same call, run uninterrupted just
before in the same process, does; a call that would run for minutes (or until
memory runs out) must end within whole seconds of the interrupt."""

import json
import textwrap

import pytest
from support import SCALE, run_child

# ------------------------------------------------------------------ Ctrl-C

INTERRUPT_CHILD = """
    import faulthandler, json, signal, time
    from _vesk import *
    DELAY, WATCHDOG, REFERENCE = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3] == '1'
    {build}
    full = None
    if REFERENCE:  # the same call, uninterrupted, for comparison
        start = time.monotonic()
        result = {fn}(*args)
        full = time.monotonic() - start
        result = None
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
    print(json.dumps(dict(outcome=outcome, early=end < start + DELAY, full=full,
                          elapsed=end - start, late=end - start - DELAY,
                          unchanged=unchanged, leaked=counts() != refs)))
"""

TEXT = "wordAnd moreWords_here \u00bd 1\u00bc x "
# Calls that would run for minutes, or until memory is gone: no reference run;
# the interrupt must end them within this many seconds.
ENDLESS = {"collapse_dag", "same_order_lists"}
WHOLE_SECONDS = 5
INTERRUPTIBLE = {
    # 2**60 leaves: without signal checks it runs until memory is gone.
    "collapse_dag": ("collapse", "x = [0]\nfor _ in range(60): x = [x, x]\nargs = (x,)", 1),
    # Unhashable elements keep the quadratic search whatever shortcut builtins get.
    "same_order_lists": (
        "same_order",
        "ref = [[i] for i in range(3000)]\nargs = (ref, [[-1]] * {n} + ref)",
        200_000,
    ),
    # Built-in elements may take a linear path and end before the interrupt;
    # ints beyond the small-int cache keep the reference counts exact.
    "same_order_ints": (
        "same_order",
        "ref = list(range(10**6, 10**6 + 20000))\nargs = (ref, [-1] * {n} + ref)",
        200_000,
    ),
    # A Python-level comparison sees the interrupt first.
    "multikeysort_python_lt": (
        "multikeysort",
        """
        class V:
            def __init__(self, v): self.v = v
            def __lt__(self, o): return self.v < o.v
        args = ([{{'a': V((i * 7919) % {n})}} for i in range({n})], ['a'])""",
        300_000,
    ),
    "sanitize_vulgar_string": ("sanitize_vulgar_string", f"args = ({TEXT!r} * {{n}},)", 2_000_000),
}
INTERRUPTIBLE_SLOW = {
    "multikeysort_native": (
        "multikeysort",
        "args = ([{{'a': (i * 7919) % {n}}} for i in range({n})], 'a')",
        1_000_000,
    ),
    "backfill": ("backfill", "args = ([1] + [None] * {n},)", 30_000_000),
    "backfill_iterdict": (
        "backfill_iterdict",
        "d = {{('k%d' % i) * 999: None for i in range(100)}}\nargs = ([d] * {n},)",
        100_000,
    ),
    "uncamel": ("uncamel", f"args = ({TEXT!r} * {{n}},)", 4_000_000),
    "underscore_to_camelcase": (
        "underscore_to_camelcase",
        f"args = ({TEXT!r} * {{n}},)",
        4_000_000,
    ),
    # The number scans: one long digit run, then one long formatted number.
    "parse": ("parse", "args = ('1' * {n},)", 400_000_000),
    "parse_formatted": ("parse", "args = ('1,0' * {n},)", 130_000_000),
    "normalize_numeric_str": (
        "normalize_numeric_str",
        "args = ('(1' + ',000' * {n} + ')',)",
        50_000_000,
    ),
}


def interrupt(case, table, scale=1.0):
    fn, build, n = table[case]
    code = INTERRUPT_CHILD.format(
        build=textwrap.indent(
            textwrap.dedent(build).format(n=max(1, int(n * scale))), " " * 4
        ).strip(),
        fn=fn,
    )
    delay = 0.1
    endless = case in ENDLESS
    out = run_child(code, delay, delay + 30.0, int(not endless), timeout=120)
    out = json.loads(out.splitlines()[-1])
    assert out["outcome"].startswith("ended"), out
    if not out["early"]:
        assert out["outcome"] == "ended, interrupted", f"the interrupt was swallowed: {out}"
        if endless:
            assert out["late"] < WHOLE_SECONDS, f"KeyboardInterrupt {out['late']:.2f} s late"
        else:
            # Well before the uninterrupted call's end: at least a quarter of
            # what it had left to do at the interrupt is cut off. (Not half of
            # the whole call: what a call does before its first look, like
            # encoding a long argument to UTF-8, stretches with the machine's
            # load, and a loaded machine can make it most of the call.) A call
            # that short is over before an interrupt can be told from its
            # end: not judged.
            left = out["full"] - delay
            assert out["full"] < 4 * delay or out["late"] < 0.75 * left, (
                f"interrupted after {out['elapsed']:.2f} s, uninterrupted {out['full']:.2f} s"
            )
    assert out["unchanged"] and not out["leaked"], out


@pytest.mark.parametrize("case", sorted(INTERRUPTIBLE))
def test_ctrl_c_ends_long_calls(case):
    interrupt(case, INTERRUPTIBLE, SCALE)


@pytest.mark.slow
@pytest.mark.parametrize("case", sorted(INTERRUPTIBLE_SLOW))
def test_ctrl_c_ends_long_calls_on_big_inputs(case):
    interrupt(case, INTERRUPTIBLE_SLOW)
