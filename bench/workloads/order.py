"""Subsequence checks: same_order."""

from __future__ import annotations

import random
from collections.abc import Iterator

import _vesk
from idioms import first_positions_same_order, greedy_same_order, py_same_order
from runner import Case, Ref, idiom, whole


def same_order_cases(rng: random.Random, m: int, n: int) -> Iterator[Case]:
    comp = [f"item-{i:07d}" for i in range(m)]
    rng.shuffle(comp)
    picked = sorted(rng.sample(range(m), n))
    # Equal but not identical objects, as when the two lists come from two sources.
    in_order = ["".join(comp[p]) for p in picked]
    early = in_order[:1] + ["absent"] + in_order[2:]
    late = in_order[:-2] + [in_order[-1], in_order[-2]]
    for label, ref in (
        ("in order", in_order),
        ("early mismatch (2nd absent)", early),
        ("late mismatch (last two swapped)", late),
    ):
        yield Case(
            "same_order",
            label,
            f"{n:,} in {m:,}",
            lambda ref=ref: _vesk.same_order(ref, comp),
            [
                idiom(
                    "same_order",
                    "[comp.index(x) for x in ref] + order check",
                    lambda ref=ref: py_same_order(ref, comp),
                    view=whole,
                ),
                Ref(
                    "idiom",
                    "greedy walk: all(x in it for x in ref)",
                    lambda ref=ref: greedy_same_order(ref, comp),
                    "",
                    None,
                    whole,
                    "one pass over comp, not first occurrences: "
                    "same answer only when ref has no repeats",
                ),
            ],
            view=whole,
        )


def large_same_order_case(m: int, n: int) -> Case:
    """Every (m // n)-th string of a sorted comp, comp's own objects: the size at which
    the list.index idiom is out of reach and the linear one is what a user writes."""
    comp = [f"item-{i:07d}" for i in range(m)]
    ref = comp[:: m // n][:n]
    return Case(
        "same_order",
        "in order, ref items taken from comp",
        f"{n:,} in {m:,}",
        lambda: _vesk.same_order(ref, comp),
        [
            idiom(
                "same_order",
                "dict of first positions + order check",
                lambda: first_positions_same_order(ref, comp),
                view=whole,
            ),
        ],
        view=whole,
    )
