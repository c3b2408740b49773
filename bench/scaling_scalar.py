"""Scaling figures of the scalar functions: sequences (sections 1-3) and text (4-7)."""

from __future__ import annotations

import statistics
import threading
import time
import timeit
from functools import partial

import _vesk
import scaling_base
from idioms import first_positions_same_order
from scaling_base import REPEAT, in_subprocess, median_time, say, scaled

# --------------------------------------------------------------------------------------
# Sequences: same_order, collapse, backfill_iterdict


def same_order_scaling() -> None:
    say("(1) same_order on strings, ref in order inside comp")
    sizes = [(1_600, 16_000), (4_000, 40_000), (16_000, 160_000)]
    if scaling_base.QUICK:
        sizes = [(160, 1_600), (400, 4_000), (1_600, 16_000)]
    results = {}
    for n, m in sizes:
        comp = [f"item-{i:07d}" for i in range(m)]
        ref = comp[:: m // n][:n]
        assert _vesk.same_order(ref, comp) is first_positions_same_order(ref, comp) is True
        native = median_time(
            partial(_vesk.same_order, ref, comp),
            repeat=3 if n * m > 10**9 else REPEAT,
            warm=n * m < 10**9,
        )
        idiom = median_time(partial(first_positions_same_order, ref, comp))
        results[n, m] = native
        say(
            f"  {n:>6} of {m:>7}: same_order {native * 1e3:9.3f} ms   idiom {idiom * 1e3:8.3f} ms"
            f"   idiom/same_order {idiom / native:7.2f}x"
        )
    (n0, m0), (n1, m1) = sizes[-2:]
    say(
        f"  4x input ({n1:,}/{m1:,} vs {n0:,}/{m0:,}): "
        f"{results[n1, m1] / results[n0, m0]:.2f}x time"
    )


def at_depth(depth: int, count: int) -> list:
    leaves: list = [[] for _ in range(count)]
    for _ in range(depth - 1):
        leaves = [leaves]
    return leaves


def collapse_costs() -> None:
    say("(2) collapse")
    for count in (400,) if scaling_base.QUICK else (4_000, 20_000):
        # Counting the argument tuple as the first level of the path, the
        # empty lists sit at depth 2**20 exactly, or one level deeper.
        exact = at_depth(2**20 - 2, count)
        off = at_depth(2**20 - 1, count)
        t_exact = median_time(partial(_vesk.collapse, exact), repeat=3, warm=False)
        t_off = median_time(partial(_vesk.collapse, off), repeat=3, warm=False)
        say(
            f"  {count:>6} empty lists at depth 2^20: {t_exact:8.3f} s"
            f"   one level off: {t_off:8.3f} s"
        )
        del exact, off
    depth = scaled(100_000, 10_000)
    deep: list = [7]
    for _ in range(depth):
        deep = [deep, 1]
    t_deep = median_time(partial(_vesk.collapse, deep))
    say(f"  {depth:,}-deep chain: {t_deep * 1e3:8.2f} ms")
    del deep
    items = scaled(10**6, 10**5)
    out = in_subprocess(
        """
        import time, _vesk
        a = list(range(ITEMS)); a.append(a)
        before = peak()
        start = time.perf_counter()
        try:
            _vesk.collapse(a)
        except ValueError as e:
            msg = str(e)
        took = time.perf_counter() - start
        after = peak()
        print(f"{(after - before) / 2**20:.1f} MB, {took:.3f} s, {msg}")
        """,
        ITEMS=items,
    )
    say(f"  self-containing list of {items:,} items: peak RSS +{out}")


def iterdict_memory() -> None:
    rows = scaled(10**6, 10**5)
    say(f"(3) backfill_iterdict {rows:,} rows x 10 keys: shared vs per-row key objects")
    for case in ("shared", "per-row"):
        out = in_subprocess(
            """
            import time, gc, _vesk
            names = [f"column_{i}" for i in range(10)]
            if CASE == "shared":
                rows = [{k: (None if (r + i) % 10 == 0 else r) for i, k in enumerate(names)}
                        for r in range(ROWS)]
            else:  # every row has its own key strings, as decoded rows do
                rows = [{"".join(k): (None if (r + i) % 10 == 0 else r)
                         for i, k in enumerate(names)} for r in range(ROWS)]
            gc.collect()
            before = peak()
            start = time.perf_counter()
            out = _vesk.backfill_iterdict(rows)
            took = time.perf_counter() - start
            after = peak()
            print(f"{took:.3f} s, peak RSS +{(after - before) / 2**20:.0f} MB")
            """,
            CASE=case,
            ROWS=rows,
        )
        say(f"  {case:>8} keys: {out}")


# --------------------------------------------------------------------------------------
# Text: threads, short calls, memory


def texts() -> dict[str, tuple]:
    """Two distinct 17 MB texts per transform, each made for its function."""
    size = scaled(17_000_000, 1_700_000)

    def pair(unit: str, fn):
        n = size // len(unit.encode())
        a, b = unit * n, (unit * n)[::-1][::-1]  # equal, but two objects
        assert a is not b
        fn(a), fn(b)  # warm-up: the UTF-8 forms are made once per str
        return fn, a, b

    return {
        "sanitize_vulgar_string": pair(
            "Mix 4¾ cups and 1 ⅛ tsp of salt, then some plain text here. ",
            _vesk.sanitize_vulgar_string,
        ),
        "uncamel": pair("getHTTPResponseCode forSomeValueNow ", _vesk.uncamel),
        "underscore_to_camelcase": pair(
            "foo_bar_baz_quux_some_more_text ", _vesk.underscore_to_camelcase
        ),
    }


def two_threads(fn, a, b) -> float:
    def sequential():
        fn(a)
        fn(b)

    def threaded():
        ts = [threading.Thread(target=fn, args=(t,)) for t in (a, b)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    seq = statistics.median(timeit.repeat(sequential, number=1, repeat=REPEAT))
    par = statistics.median(timeit.repeat(threaded, number=1, repeat=REPEAT))
    return par / seq


def loop_rate(seconds: float = 0.4) -> float:
    """Iterations per second of a plain Python loop."""
    count = 0
    end = time.perf_counter() + seconds
    while True:
        for _ in range(1000):
            count += 1
        if time.perf_counter() >= end:
            return count / seconds


def loop_while_converting(fn, a) -> float:
    solo = statistics.median(loop_rate() for _ in range(REPEAT))
    shared = []
    for _ in range(REPEAT):
        stop = threading.Event()

        def convert(stop=stop):
            while not stop.is_set():
                fn(a)

        worker = threading.Thread(target=convert)
        worker.start()
        time.sleep(0.05)
        shared.append(loop_rate())
        stop.set()
        worker.join()
    return statistics.median(shared) / solo


def text_threads() -> None:
    mb = scaled(17, 1.7)
    work = texts()
    say(f"(4) two threads on two {mb} MB texts / sequential (median of {REPEAT})")
    for name, (fn, a, b) in work.items():
        say(f"   {name:26s} {two_threads(fn, a, b):5.2f}")
    say()
    say(f"(5) Python loop speed while another thread converts {mb} MB / solo (median of {REPEAT})")
    for name, (fn, a, _b) in work.items():
        say(f"   {name:26s} {loop_while_converting(fn, a):5.2f}")


SHORT = {
    "parse": (_vesk.parse, "1,234.5"),
    "normalize_numeric_str": (_vesk.normalize_numeric_str, "(1,234.56%)"),
    "sanitize_vulgar_string": (_vesk.sanitize_vulgar_string, "4¾ cups"),
    "uncamel": (_vesk.uncamel, "getHTTPResponseCode"),
    "underscore_to_camelcase": (_vesk.underscore_to_camelcase, "foo_bar_baz"),
}


def short_calls() -> None:
    number = scaled(1_000_000, 100_000)
    say(f"(6) short calls, ns per call (median of {REPEAT} x {number:,} calls)")
    for name, (fn, arg) in SHORT.items():
        # A lambda, as a user's call site: one Python-level call around each.
        runs = timeit.repeat(lambda fn=fn, arg=arg: fn(arg), number=number, repeat=REPEAT)
        say(f"   {name:26s} {statistics.median(runs) / number * 1e9:6.1f}  ({arg!r})")


def vulgar_memory() -> None:
    count = scaled(20_000_000, 2_000_000)
    say(
        f'(7) peak-memory rise of {count / 1e6:g}M x "½" '
        "(high-water RSS delta, MB; result size in chars)"
    )
    for which in ("vesk", "re.sub"):
        out = in_subprocess(
            """
            import gc
            s = "\\u00bd" * COUNT
            if WHICH == "vesk":
                import _vesk  # the rise includes the str's UTF-8 form, made by the call
                fn = _vesk.sanitize_vulgar_string
            else:
                from idioms import py_sanitize as fn
            gc.collect()
            before = peak()
            out = fn(s)
            after = peak()
            print(after - before, len(out))
            """,
            COUNT=count,
            WHICH=which,
        )
        rise, size = map(int, out.split())
        say(f"   {which:8s} rise {rise / 1e6:8.1f} MB   result {size / 1e6:6.1f} M chars")
