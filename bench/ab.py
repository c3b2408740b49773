"""Two builds of _vesk against each other, on the workloads of compare.py.

Both shared objects are loaded into one process (each keeps its own
process-wide values) and timed in alternation, round by round, so that the
load of a busy machine falls on both alike. Prints, per workload, the median
over the rounds of each build's best of three calls, and their ratio.

    python bench/ab.py OLD_SO NEW_SO FUNCTION[,FUNCTION...] [ROUNDS]
    python bench/ab.py /tmp/main/_vesk*.so build/dev/_vesk*.so collapse,backfill 15
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import statistics
import sys
import time
from pathlib import Path


def load(path: str):
    loader = importlib.machinery.ExtensionFileLoader("_vesk", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("_vesk", loader))
    loader.exec_module(module)
    return module


def main(old_path: str, new_path: str, functions: str, rounds: str = "11") -> None:
    builds = {"old": load(old_path), "new": load(new_path)}
    sys.modules["_vesk"] = builds["new"]
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from workloads import all_cases

    modules = [m for name, m in sys.modules.items() if name.startswith("workloads.")]

    def use(build):  # the workloads call _vesk through their module's global
        for module in modules:
            if hasattr(module, "_vesk"):
                module._vesk = builds[build]

    def best_of_three(fn) -> float:
        times = []
        for _ in range(3):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times)

    for case in all_cases(False):
        if case.function not in functions.split(","):
            continue
        times: dict[str, list[float]] = {"old": [], "new": []}
        for build in times:
            use(build)
            case.ours()  # warm-up
        gc.disable()
        for r in range(int(rounds)):
            for build in ("old", "new") if r % 2 == 0 else ("new", "old"):
                use(build)
                times[build].append(best_of_three(case.ours))
        gc.enable()
        gc.collect()
        old, new = (statistics.median(times[b]) for b in ("old", "new"))
        print(
            f"{case.function:18} {case.workload[:40]:40} old {old * 1e3:9.3f} ms"
            f"  new {new * 1e3:9.3f} ms  new/old {new / old:6.3f}",
            flush=True,
        )


if __name__ == "__main__":
    main(*sys.argv[1:])
