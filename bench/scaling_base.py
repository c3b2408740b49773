"""What the scaling figures share: the sizes (full or --quick), the lines said, and the timers."""

from __future__ import annotations

import gc
import os
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Callable

BENCH = Path(__file__).resolve().parent

REPEAT = 5
QUICK = False  # set by scaling.main(): the sizes shrink by about ten
OUT: list[str] = []  # every line said, for the Markdown page


def say(line: str = "") -> None:
    print(line, flush=True)
    OUT.append(line)


def scaled(full: int, quick: int) -> int:
    return quick if QUICK else full


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
