"""Scaling figures that are not one workload against one reference.

    ./dev bench                    # after compare.py; writes docs/scaling.md
    PYTHONPATH=<build dir> python bench/scaling.py [--quick] [--only TEXT] [--out DIR]

1. same_order on strings at three sizes, against a dict of first positions, and
   the time taken by 4x the input (linear: about 4x).
2. collapse: empty lists at the depth where the cycle check changes gear, and
   one level off; a 100,000-deep chain; the peak-memory rise and time of a
   self-containing list of 10^6 items.
3. backfill_iterdict on 10^6 rows x 10 keys: time and peak-memory rise with
   key objects shared by all rows, and with every row's own key strings.
4. Two threads converting two 17 MB texts, against the same two conversions
   one after the other (threads / sequential; 1.0 means no overlap, 0.5 is
   perfect overlap on two cores).
5. A pure-Python loop in one thread while another thread converts 17 MB texts
   back to back, against the loop alone (its speed / solo speed).
6. Short calls (1M-call medians, ns per call) of the five text functions.
7. The peak-memory rise of sanitize_vulgar_string on 20M x "½", next to the
   result's size, with re.sub + a callback as the reference.
8. vesk.columns with two threads against one, on 10^6 cells (target >= 1.7x).
9. vesk.columns on 10^7 cells against 10^6 (target <= 11x the time).
10. The peak-memory rise of vesk.columns on an Arrow column of 10^7 cells,
   against the output's size plus 16 MB per thread.

Times are medians of several runs. A peak-memory rise is measured in a fresh
interpreter: the high-water mark of its own memory (VmHWM) after the call, less
the same before it. --quick divides the sizes by about ten, for a smoke test.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import subprocess
import sys
import textwrap
import threading
import time
import timeit
from functools import partial
from pathlib import Path
from typing import Callable

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import _vesk  # noqa: E402
from idioms import first_positions_same_order  # noqa: E402

REPEAT = 5
QUICK = False  # set by main(): the sizes below shrink by about ten
OUT: list[str] = []  # every line printed, for the Markdown page


def say(line: str = "") -> None:
    print(line, flush=True)
    OUT.append(line)


def scaled(full: int, quick: int) -> int:
    return quick if QUICK else full


# --------------------------------------------------------------------------------------
# Measuring


def median_time(fn: Callable[[], object], repeat: int = REPEAT, warm: bool = True) -> float:
    """Median seconds of one call, the collector run before each."""
    if warm:
        fn()
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


# Prefixed to the code run by in_subprocess: peak() reads the high-water mark
# of this interpreter's own memory. (ru_maxrss would not do: a child starts
# with the peak of the parent it was forked from.)
PREAMBLE = """
import resource, sys
sys.path.insert(0, BENCH)

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
"""


def in_subprocess(code: str, **names: object) -> str:
    """Runs `code` in a fresh interpreter with the same import path, with `names`
    (and BENCH, the directory of this script) defined first; its stdout."""
    assigns = "".join(f"{k} = {v!r}\n" for k, v in {"BENCH": str(BENCH), **names}.items())
    done = subprocess.run(
        [sys.executable, "-c", assigns + PREAMBLE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        check=True,
    )
    return done.stdout.strip()


# --------------------------------------------------------------------------------------
# Sequences: same_order, collapse, backfill_iterdict


def same_order_scaling() -> None:
    say("(1) same_order on strings, ref in order inside comp")
    sizes = [(1_600, 16_000), (4_000, 40_000), (16_000, 160_000)]
    if QUICK:
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
    for count in (400,) if QUICK else (4_000, 20_000):
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


# --------------------------------------------------------------------------------------
# Whole columns (vesk.columns), on Arrow data


def column_data(n: int, kind: str):
    """One pyarrow string column of n cells: loose prices or camelCase keys."""
    import random

    import pyarrow as pa
    from workloads.columns import prices
    from workloads.identifiers import WORDS, camel

    rng = random.Random(n)
    if kind == "prices":
        cells = prices(rng, n)
    else:
        cells = [camel([rng.choice(WORDS) for _ in range(rng.randint(2, 4))]) for _ in range(n)]
    return pa.array(cells, pa.large_string())


def column_work():
    from vesk import columns

    return [("parse", "prices", columns.parse), ("uncamel", "keys", columns.uncamel)]


def paired(first: Callable[[], object], second: Callable[[], object], rounds: int):
    """Median times of two calls timed in turn within each round, and the median
    of the per-round ratios second / first: a busy neighbour hits both alike."""
    first(), second()
    a, b = [], []
    for _ in range(rounds):
        for fn, times in ((first, a), (second, b)):
            gc.collect()
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    return (
        statistics.median(a),
        statistics.median(b),
        statistics.median(y / x for x, y in zip(a, b)),
    )


def column_threads() -> None:
    n = scaled(10**6, 10**5)
    say(
        f"(8) vesk.columns, {n:,} cells: threads=1 time / threads=2 time "
        "(median of 15 paired rounds; target >= 1.7)"
    )
    for name, kind, fn in column_work():
        data = column_data(n, kind)
        two, one, ratio = paired(partial(fn, data, threads=2), partial(fn, data, threads=1), 15)
        say(
            f"   {name:10s} threads=1 {one * 1e3:8.1f} ms   threads=2 {two * 1e3:8.1f} ms"
            f"   {ratio:5.2f}x"
        )


def column_scaling() -> None:
    small, big = scaled(10**6, 10**5), scaled(10**7, 10**6)
    say(
        f"(9) vesk.columns, {big:,} cells against {small:,} "
        "(median of 7 paired rounds; target <= 11x the time)"
    )
    for name, kind, fn in column_work():
        few, many = column_data(small, kind), column_data(big, kind)
        t_few, t_many, ratio = paired(partial(fn, few), partial(fn, many), 7)
        say(
            f"   {name:10s} {small:>10,} {t_few * 1e3:8.1f} ms   {big:>10,} {t_many * 1e3:8.1f} ms"
            f"   {ratio:5.2f}x"
        )
        del few, many


def column_memory() -> None:
    n = scaled(10**7, 10**6)
    say(
        f"(10) peak-memory rise of vesk.columns on {n:,} Arrow cells "
        "(high-water RSS delta, MB; target <= output + 16 MB per thread)"
    )
    for name, kind, _fn in column_work():
        for threads in (1, 2):
            out = in_subprocess(
                """
                import gc
                from vesk import columns
                from scaling import column_data
                fn = getattr(columns, NAME)
                fn(column_data(10, KIND), threads=THREADS)  # first-use costs apart
                data = column_data(N, KIND)
                size = data.nbytes
                gc.collect()
                # The high-water mark starts again from the memory in use now
                # (making the input's Python strings took more than that).
                with open("/proc/self/clear_refs", "w") as clear:
                    clear.write("5")
                before = peak()
                result = fn(data, threads=THREADS)
                after = peak()
                print(size, result.nbytes, after - before)
                """,
                N=n,
                KIND=kind,
                NAME=name,
                THREADS=threads,
            )
            size, output, rise = map(int, out.split())
            budget = output + threads * 16 * 2**20
            say(
                f"   {name:10s} threads={threads}  input {size / 2**20:7.1f} MB"
                f"  output {output / 2**20:7.1f} MB  rise {rise / 2**20:7.1f} MB"
                f"  (output + {16 * threads} MB = {budget / 2**20:7.1f} MB:"
                f" {'met' if rise <= budget else 'MISSED'})"
            )


# --------------------------------------------------------------------------------------
# Running

SECTIONS = [
    ("same_order scaling", same_order_scaling),
    ("collapse costs", collapse_costs),
    ("backfill_iterdict memory", iterdict_memory),
    ("text threads", text_threads),
    ("short calls", short_calls),
    ("sanitize_vulgar_string memory", vulgar_memory),
    ("columns threads", column_threads),
    ("columns scaling", column_scaling),
    ("columns memory", column_memory),
]


def merge_sections(previous: str) -> None:
    """Puts the sections of the previous page that this run did not measure
    into OUT, each in its place by number, after this run's header."""
    block = previous.split("```text\n", 1)[1].rsplit("```", 1)[0]
    old = block.strip("\n").split("\n\n")

    def number(section: str) -> int:
        tag = section.split(")", 1)[0].lstrip("(")
        return int(tag) if tag.isdigit() else 0

    new = "\n".join(OUT).split("\n\n")
    measured = {number(section) for section in new[1:]}
    old[0] = old[0].rpartition("The others: ")[2]  # the run the other sections come from
    header = f"Sections {', '.join(map(str, sorted(measured)))}: {new[0]}\nThe others: {old[0]}"
    sections = [s for s in old[1:] if number(s) not in measured] + new[1:]
    sections.sort(key=number)
    OUT[:] = "\n\n".join([header, *sections]).split("\n")


def main() -> int:
    global QUICK
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="sizes about ten times smaller")
    parser.add_argument(
        "--only", default="", help="run only the sections whose name contains this text"
    )
    parser.add_argument(
        "--out", type=Path, default=BENCH.parent / "docs", help="where scaling.md goes"
    )
    parser.add_argument(
        "--merge",
        action="store_true",
        help="keep the sections of the existing scaling.md that this run does not measure",
    )
    args = parser.parse_args()
    QUICK = args.quick
    command = "./dev bench" + (" --quick" if QUICK else "")
    say(
        f"Python {platform.python_version()}, {os.cpu_count()} cores, "
        f"load average {os.getloadavg()[0]:.1f} at the start. Reproduce with `{command}`."
    )
    ran = []
    for name, section in SECTIONS:
        if args.only and args.only not in name:
            continue
        say()
        section()
        gc.collect()
        ran.append(name)
    if not ran:
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    page = args.out / "scaling.md"
    if args.merge and page.exists():
        merge_sections(page.read_text())
    page.write_text(
        "# Scaling\n\n"
        "Figures that are not one workload against one reference (bench/scaling.py): "
        "how time grows with the input, what threads overlap, what short calls and peak "
        "memory cost. Times are medians; a peak-memory rise is measured in a fresh "
        "interpreter (its high-water RSS after the call less the same before it).\n\n"
        "```text\n" + "\n".join(OUT) + "\n```\n"
    )
    print(f"Wrote {page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
