"""Scaling figures for collapse, same_order and backfill_iterdict.

Standalone: `python bench/scaling_iter.py` with `_vesk` importable (PYTHONPATH
pointing at a build directory). Every figure is a median of several runs;
memory figures come from a fresh subprocess per case (peak RSS increase over
the state just before the call, read with resource.getrusage).
"""

from __future__ import annotations

import gc
import os
import statistics
import subprocess
import sys
import textwrap
import time

import _vesk

REPEAT = 5


def median_time(fn, repeat=REPEAT, warm=True):
    if warm:
        fn()
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def in_subprocess(code: str) -> str:
    """Runs `code` in a fresh interpreter with the same import path; its stdout."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=dict(os.environ), check=True,
    )
    return done.stdout.strip()


def first_positions_idiom(ref, comp):
    pos = {}
    for i, x in enumerate(comp):
        pos.setdefault(x, i)
    last = -1
    for x in ref:
        p = pos.get(x)
        if p is None or p < last:
            return False
        last = p
    return True


def bench_same_order():
    print("(a) same_order on strings, ref in order inside comp")
    results = {}
    for n, m in [(1_600, 16_000), (4_000, 40_000), (16_000, 160_000)]:
        comp = [f"item-{i:07d}" for i in range(m)]
        ref = comp[:: m // n][:n]
        assert _vesk.same_order(ref, comp) is first_positions_idiom(ref, comp) is True
        native = median_time(lambda: _vesk.same_order(ref, comp), repeat=3 if n * m > 10**9 else REPEAT,
                             warm=n * m < 10**9)
        idiom = median_time(lambda: first_positions_idiom(ref, comp))
        results[n] = native
        print(f"  {n:>6} of {m:>7}: same_order {native * 1e3:9.3f} ms   idiom {idiom * 1e3:8.3f} ms"
              f"   idiom/same_order {idiom / native:7.2f}x")
    print(f"  4x input (16,000/160,000 vs 4,000/40,000): {results[16_000] / results[4_000]:.2f}x time")


def bench_backfill_iterdict():
    print("(b) backfill_iterdict, 100k rows x 10 keys, 10% None")
    import random

    rng = random.Random(5)
    keys = [f"column_{i}" for i in range(10)]
    rows = [{k: (None if rng.random() < 0.1 else rng.randrange(1000)) for k in keys}
            for _ in range(100_000)]
    native = median_time(lambda: _vesk.backfill_iterdict(rows))
    copy = median_time(lambda: [dict(r) for r in rows])
    print(f"  backfill_iterdict {native * 1e3:8.2f} ms   [dict(r) for r in rows] {copy * 1e3:8.2f} ms"
          f"   ratio {native / copy:.2f}x")


def bench_collapse():
    print("(c) collapse")

    def at_depth(depth, count):
        leaves = [[] for _ in range(count)]
        for _ in range(depth - 1):
            leaves = [leaves]
        return leaves

    for count in (4_000, 20_000):
        # Counting the argument tuple as the first level of the path, the
        # empty lists sit at depth 2**20 exactly, or one level deeper.
        exact = at_depth(2**20 - 2, count)
        off = at_depth(2**20 - 1, count)
        t_exact = median_time(lambda: _vesk.collapse(exact), repeat=3, warm=False)
        t_off = median_time(lambda: _vesk.collapse(off), repeat=3, warm=False)
        print(f"  {count:>6} empty lists at depth 2^20: {t_exact:8.3f} s   one level off: {t_off:8.3f} s")
        del exact, off
    deep = [7]
    for _ in range(100_000):
        deep = [deep, 1]
    print(f"  100,000-deep chain: {median_time(lambda: _vesk.collapse(deep)) * 1e3:8.2f} ms")
    del deep
    out = in_subprocess(
        """
        import resource, time, _vesk
        a = list(range(10**6)); a.append(a)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        start = time.perf_counter()
        try:
            _vesk.collapse(a)
        except ValueError as e:
            msg = str(e)
        took = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(f"{(after - before) / 1024:.1f} MB, {took:.3f} s, {msg}")
        """
    )
    print(f"  self-containing list of 10^6 items: peak RSS +{out}")


def bench_iterdict_memory():
    print("(d) backfill_iterdict 10^6 rows x 10 keys: shared vs per-row key objects")
    for case in ("shared", "per-row"):
        out = in_subprocess(
            f"""
            import resource, time, gc, _vesk
            names = [f"column_{{i}}" for i in range(10)]
            if "{case}" == "shared":
                rows = [{{k: (None if (r + i) % 10 == 0 else r) for i, k in enumerate(names)}}
                        for r in range(10**6)]
            else:  # every row has its own key strings, as decoded rows do
                rows = [{{"".join(k): (None if (r + i) % 10 == 0 else r)
                          for i, k in enumerate(names)}} for r in range(10**6)]
            gc.collect()
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            start = time.perf_counter()
            out = _vesk.backfill_iterdict(rows)
            took = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            print(f"{{took:.3f}} s, peak RSS +{{(after - before) / 1024:.0f}} MB")
            """
        )
        print(f"  {case:>8} keys: {out}")


def main():
    which = sys.argv[1:] or ["a", "b", "c", "d"]
    if "a" in which:
        bench_same_order()
    if "b" in which:
        bench_backfill_iterdict()
    if "c" in which:
        bench_collapse()
    if "d" in which:
        bench_iterdict_memory()


if __name__ == "__main__":
    main()
