"""Ratios for collapse, backfill, backfill_iterdict and same_order against the
pure-Python idioms and native anchors, all measured in one run."""

from __future__ import annotations

import itertools
import random

from harness import Table
from idioms import py_flatten

import _vesk


def main() -> None:
    rng = random.Random(7)
    table = Table("sequence utilities (ratio < 1: _vesk faster)")

    records = [[i, ("name", [i * 2, (i, "x")]), [[i], ["y", None]]] for i in range(50_000)]
    table.compare("collapse 50k nested records", ("collapse", lambda: _vesk.collapse(records)),
                  ("python iterative flatten", lambda: py_flatten(records)), "<= 0.1")
    one_level = [list(range(10)) for _ in range(20_000)]
    table.compare("collapse 20k lists of 10", ("collapse", lambda: _vesk.collapse(one_level)),
                  ("list(chain.from_iterable)", lambda: list(itertools.chain.from_iterable(one_level))),
                  "<= 2.5")

    values = [None if rng.random() < 0.3 else rng.random() for _ in range(500_000)]
    table.compare("backfill 500k, 30% None", ("backfill", lambda: _vesk.backfill(values)),
                  ("list(values)", lambda: list(values)), "<= 3")

    keys = [f"col{i}" for i in range(8)]
    rows = [{k: (None if rng.random() < 0.3 else rng.randrange(100)) for k in keys}
            for _ in range(30_000)]
    table.compare("backfill_iterdict 30k x 8", ("backfill_iterdict", lambda: _vesk.backfill_iterdict(rows)),
                  ("[dict(r) for r in rows]", lambda: [dict(r) for r in rows]), "<= 3")

    comp = [f"s{i}" for i in range(20_000)]
    ref = sorted(rng.sample(comp, 200), key=comp.index)
    table.compare("same_order 200 in 20k", ("same_order", lambda: _vesk.same_order(ref, comp)),
                  ("[comp.index(x) for x in ref]", lambda: [comp.index(x) for x in ref]), "<= 1")
    table.print()


if __name__ == "__main__":
    main()
