"""Small timing harness shared by the benchmark scripts.

Every figure is a ratio of two timings taken in the same run, on the same
workload, so machine speed and noise cancel out as far as they can. Timings are
medians over repeats after a warm-up call.
"""

from __future__ import annotations

import gc
import statistics
import time
from typing import Callable, Sequence


def median_time(fn: Callable[[], object], repeat: int = 7, number: int = 1) -> float:
    """Median seconds per call of `fn` over `repeat` rounds of `number` calls."""
    fn()  # warm-up: first-use caches, page faults, branch predictors
    rounds = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        rounds.append((time.perf_counter() - start) / number)
    return statistics.median(rounds)


def auto_number(fn: Callable[[], object], budget: float = 0.05) -> int:
    """Calls per round so that one round takes about `budget` seconds."""
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    return max(1, int(budget / once))


def interleaved_medians(
    fns: Sequence[Callable[[], object]], numbers: Sequence[int], repeat: int = 7
) -> list[float]:
    """Median seconds per call of each of `fns`, timed in turn within every round.

    Taking one round of every subject before the next round of any lets slow
    drift (frequency scaling, a busy neighbour) hit all subjects alike, so their
    ratios stay fair. The collector is off while timing, as in timeit; the
    caller warms the subjects up first.
    """
    rounds: list[list[float]] = [[] for _ in fns]
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            for fn, number, times in zip(fns, numbers, rounds):
                start = time.perf_counter()
                for _ in range(number):
                    fn()
                times.append((time.perf_counter() - start) / number)
    finally:
        if was_enabled:
            gc.enable()
    return [statistics.median(times) for times in rounds]


class Table:
    """Collects rows of (workload, subject, seconds, baseline, ratio) and prints them."""

    def __init__(self, title: str) -> None:
        self.title = title
        self.rows: list[tuple[str, str, float, str, float, str]] = []

    def compare(
        self,
        workload: str,
        ours: tuple[str, Callable[[], object]],
        baseline: tuple[str, Callable[[], object]],
        target: str = "",
        repeat: int = 7,
    ) -> float:
        """Times both, records ours/baseline and returns that ratio (<1: we are faster)."""
        number = auto_number(baseline[1])
        t_ours = median_time(ours[1], repeat, number)
        t_base = median_time(baseline[1], repeat, number)
        ratio = t_ours / t_base
        self.rows.append((workload, ours[0], t_ours, baseline[0], ratio, target))
        return ratio

    def print(self, columns: Sequence[str] = ("workload", "ours", "time", "baseline", "ours/base", "target")) -> None:
        print(f"\n== {self.title} ==")
        widths = [28, 26, 12, 34, 10, 14]
        print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
        for workload, ours, t_ours, base, ratio, target in self.rows:
            cells = [workload, ours, f"{t_ours * 1e3:.3f} ms", base, f"{ratio:.3f}", target]
            print("  ".join(c.ljust(w) for c, w in zip(cells, widths)))
