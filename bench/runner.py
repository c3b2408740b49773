"""Cases, references and the runner that times them.

A Case is one workload of one _vesk function with its references (Refs): the
pure-Python idiom, the peer libraries and a native anchor. run_case checks what
each reference computes against _vesk's result, times all subjects in turn
within every round and gives one Row per reference.
"""

from __future__ import annotations

import gc
import importlib
import math
import statistics
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Callable

# Functions whose idiom already runs in C (list.index, list.sort, str methods):
# no 5x target against it.
IDIOM_IN_C = {"same_order", "multikeysort", "normalize_numeric_str"}
IDIOM_TARGET = 5.0
PEER_TARGET = 1.0
ANCHOR_TARGET = 1 / 3

# The peer libraries of the `bench` extra, as their distributions are named.
PEER_DISTRIBUTIONS = (
    "more-itertools",
    "inflection",
    "pyhumps",
    "pandas",
    "price-parser",
    "polars",
    "pyarrow",
    "fastnumbers",
)


def optional_import(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


@dataclass
class Ref:
    kind: str  # "idiom", "peer" or "anchor"
    name: str
    fn: Callable[[], object] | None  # None: the peer library is not installed
    differs: str = ""  # why its result differs, shown when it does on this workload
    target: float | None = None  # minimal speed-up over this reference
    # Maps a result to the comparable items (None: not the same job, no check).
    view: Callable[[object], Sequence[object]] | None = None
    note: str = ""  # shown whatever the result


@dataclass
class Case:
    function: str
    workload: str
    size: str
    ours: Callable[[], object]
    refs: list[Ref]
    view: Callable[[object], Sequence[object]] = field(
        default=lambda r: r  # type: ignore[assignment]
    )


def idiom(function: str, name: str, fn, differs: str = "", view=None, note: str = "") -> Ref:
    target = None if function in IDIOM_IN_C else IDIOM_TARGET
    return Ref("idiom", name, fn, differs, target, view or (lambda r: r), note)


def peer(module, name: str, make, differs: str = "", view=None, note: str = "") -> Ref:
    fn = make() if module is not None else None
    return Ref("peer", name, fn, differs, PEER_TARGET, view or (lambda r: r), note)


def anchor(name: str, fn, note: str = "", same_job: bool = True) -> Ref:
    return Ref("anchor", name, fn, "", ANCHOR_TARGET if same_job else None, None, note)


def mapped(fn, data):
    return lambda: list(map(fn, data))


def whole(result) -> list:
    return [result]


@dataclass
class Row:
    function: str
    workload: str
    size: str
    kind: str
    reference: str
    ours_s: float
    ref_s: float
    speedup: float
    target: float | None
    agreement: float | None
    note: str

    @property
    def met(self) -> str:
        if self.target is None or math.isnan(self.speedup):
            return ""
        return "yes" if self.speedup >= self.target else "NO"


def same(a: object, b: object) -> bool:
    """Equal and of the same types all the way down (1 and 1.0 differ; NaN is NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))  # type: ignore[arg-type]
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(
            same(v, b[k])
            for k, v in a.items()  # type: ignore[attr-defined,index]
        )
    return bool(a == b)


def agreement(ours: Sequence[object], theirs: Sequence[object]) -> float:
    """Share of items on which a reference gives exactly what _vesk gives."""
    if len(ours) != len(theirs):
        return 0.0
    if not ours:
        return 1.0
    return sum(map(same, ours, theirs)) / len(ours)


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


def run_case(case: Case, repeat: int, min_rounds: int, budget: float) -> list[Row]:
    subjects = [case.ours] + [r.fn for r in case.refs if r.fn is not None]
    refs = [r for r in case.refs if r.fn is not None]
    # Warm-up call of each subject; it also yields the result to check and a
    # first estimate of the time per call.
    gc.collect()
    results, once = [], []
    for fn in subjects:
        start = time.perf_counter()
        results.append(fn())
        once.append(max(time.perf_counter() - start, 1e-7))
    ours_view = case.view(results[0])
    agreements = [
        agreement(ours_view, r.view(res)) if r.view else None for r, res in zip(refs, results[1:])
    ]
    del results
    numbers = [max(1, int(0.05 / t)) for t in once]
    per_round = sum(n * t for n, t in zip(numbers, once))
    rounds = max(min_rounds, min(repeat, int(budget / per_round)))
    times = interleaved_medians(subjects, numbers, rounds)

    def row_for(ref, t_ref, speedup, agree, note):
        return Row(
            case.function,
            case.workload,
            case.size,
            ref.kind,
            ref.name,
            times[0],
            t_ref,
            speedup,
            ref.target,
            agree,
            note,
        )

    rows = []
    for ref, t_ref, agree in zip(refs, times[1:], agreements):
        notes = []
        if agree is not None and agree < 1.0:
            differs = f": {ref.differs}" if ref.differs else ""
            notes.append(f"same result on {agree:.0%} of inputs" + differs)
        if ref.note:
            notes.append(ref.note)
        rows.append(row_for(ref, t_ref, t_ref / times[0], agree, "; ".join(notes)))
    for ref in case.refs:
        if ref.fn is None:
            rows.append(
                row_for(ref, math.nan, math.nan, None, "not installed (pip install '.[bench]')")
            )
    return rows
