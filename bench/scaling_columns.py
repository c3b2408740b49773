"""Scaling figures of vesk.columns on Arrow data (sections 8-12)."""

from __future__ import annotations

import os
import statistics
from functools import partial

from scaling_base import BENCH, in_subprocess, median_time, paired, say, scaled

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
                from scaling_columns import column_data
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


def column_chunks() -> None:
    counts = [scaled(40_000, 4_000), scaled(80_000, 8_000), scaled(160_000, 16_000)]
    say(
        "(11) vesk.columns on chunked columns of one cell per chunk "
        "(median of 3; linear: twice the chunks, about twice the time)"
    )
    import pyarrow as pa
    import pyarrow.compute as pc
    from vesk import columns

    for count in counts:
        data = pa.chunked_array([[f"chunkCell{i}"] for i in range(count)], pa.string())
        ours = median_time(partial(columns.uncamel, data), repeat=3)
        theirs = median_time(partial(pc.utf8_lower, data), repeat=3)
        say(
            f"   {count:>8,} chunks: uncamel {ours:7.3f} s   pyarrow utf8_lower {theirs:7.3f} s"
            f"   ({ours / theirs:5.2f}x)"
        )


def testhooks():
    """The test-only module (./dev build makes it in build/dev), or None."""
    import glob
    import importlib.util

    folder = os.environ.get("VESK_TESTHOOKS_DIR") or str(BENCH.parent / "build" / "dev")
    found = glob.glob(os.path.join(folder, "_vesk_testhooks*.so"))
    if not found:
        return None
    location = importlib.util.spec_from_file_location("_vesk_testhooks", found[0])
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def column_checks() -> None:
    n = scaled(10**6, 10**5)
    say(
        f"(12) the checks' share of a call on {n:,} Arrow cells: offsets in order and within "
        "the data, UTF-8 (one thread, median of 7)"
    )
    hooks = testhooks()
    if hooks is None or not hasattr(hooks, "time_column_checks"):
        say("   not measured: the test hooks are not built (./dev build makes them)")
        return
    import pyarrow as pa

    for name, kind, fn in column_work():
        for of in (pa.string(), pa.large_string()):
            data = column_data(n, kind).cast(of)
            checks = statistics.median(
                hooks.time_column_checks(data.__arrow_c_array__()) for _ in range(7)
            )
            call = median_time(partial(fn, data, threads=1), repeat=7)
            say(
                f"   {name:10s} {str(of):13s} checks {checks * 1e3:6.2f} ms of a "
                f"{call * 1e3:7.1f} ms call ({checks / call:5.1%})"
            )


def column_small() -> None:
    sizes = [1, 3, 9, 30, 100, 300, 1000, 10_000]
    rounds = scaled(31, 7)
    say(
        "(13) small pandas columns: s.map(vesk.parse) time / vesk.columns.parse(s) time "
        f"(median of {rounds} paired rounds, each a loop of calls; above 1: columns is faster)"
    )
    import random

    import pandas as pd
    import vesk
    from vesk import columns
    from workloads.columns import prices

    for kind in ("object", "str"):
        crossover = None
        line = []
        for n in sizes:
            s = pd.Series(prices(random.Random(n), n), dtype=kind)
            loops = max(1, 2000 // n)

            def ours(s=s, loops=loops):
                for _ in range(loops):
                    columns.parse(s)

            def theirs(s=s, loops=loops):
                for _ in range(loops):
                    s.map(vesk.parse, na_action="ignore")

            mine, other, ratio = paired(ours, theirs, rounds)
            line.append(
                f"{n:,}: {mine / loops * 1e6:.0f} µs vs {other / loops * 1e6:.0f} µs ({ratio:.2f}x)"
            )
            if ratio < 1:
                crossover = None
            elif crossover is None:
                crossover = n
        say(f"   {kind:6s} " + "; ".join(line))
        cells = "cell" if crossover == 1 else "cells"
        where = f"from {crossover:,} {cells} up" if crossover else "at none of these sizes"
        say(f"   {kind:6s} vesk.columns.parse no slower than s.map(vesk.parse): {where}")


def column_decimal() -> None:
    n = scaled(10**6, 10**5)
    say(
        f'(14) decimal="," against decimal="." on {n:,} Arrow prices, one thread '
        "(median of 9 paired rounds: the cost of exchanging the marks in every cell)"
    )
    from vesk import columns

    data = column_data(n, "prices")
    for name in ("parse", "normalize_numeric_str"):
        fn = getattr(columns, name)
        point, comma, ratio = paired(
            partial(fn, data, threads=1), partial(fn, data, threads=1, decimal=","), 9
        )
        say(
            f"   {name:22s} decimal='.' {point * 1e3:7.1f} ms   decimal=',' {comma * 1e3:7.1f} ms"
            f"   {ratio:5.2f}x"
        )
