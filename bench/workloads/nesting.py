"""Nesting: collapse."""

from __future__ import annotations

import itertools
import random
from collections.abc import Iterator

import _vesk
from idioms import py_flatten
from runner import Case, Ref, anchor, idiom, optional_import, peer

more_itertools = optional_import("more_itertools")


def random_nest(rng: random.Random, depth: int, leaves: Iterator[int]) -> object:
    if depth == 0:
        return next(leaves)
    kids = [random_nest(rng, depth - 1, leaves)] + [next(leaves) for _ in range(rng.randrange(3))]
    rng.shuffle(kids)
    return kids if rng.random() < 0.7 else tuple(kids)


MI_DIFFERS = "flattens every iterable but str/bytes (dicts, sets, ranges too)"


def collapse_case(
    workload: str, nested: list, leaves: int, floor: Ref, idiom_note: str = ""
) -> Case:
    return Case(
        "collapse",
        workload,
        f"{leaves:,} leaves",
        lambda: _vesk.collapse(nested),
        [
            idiom("collapse", "iterative flatten", lambda: py_flatten(nested), note=idiom_note),
            peer(
                more_itertools,
                "list(more_itertools.collapse)",
                lambda: lambda: list(more_itertools.collapse(nested)),
                MI_DIFFERS,
            ),
            floor,
        ],
    )


FLOOR_NOTE = "floor only: one copy of the flat result"


def grid_case(side: int) -> Case:
    grid = [list(range(i * side, (i + 1) * side)) for i in range(side)]
    return collapse_case(
        f"{side:,}x{side:,} ints",
        grid,
        side * side,
        anchor("list(chain.from_iterable(x))", lambda: list(itertools.chain.from_iterable(grid))),
    )


def random_depth_case(rng: random.Random, items: int) -> Case:
    counter = itertools.count()
    forest = [random_nest(rng, rng.randint(1, 8), counter) for _ in range(items)]
    flat = py_flatten(forest)
    floor = anchor("list(leaves)", flat.copy, FLOOR_NOTE, same_job=False)
    return collapse_case("random depth 1-8", forest, len(flat), floor)


def chain_case(depth: int) -> Case:
    chain: list = [depth]
    for i in range(depth - 1, -1, -1):
        chain = [i, chain]
    floor = anchor("list(leaves)", list(range(depth + 1)).copy, FLOOR_NOTE, same_job=False)
    return collapse_case(
        f"one chain {depth:,} deep",
        chain,
        depth + 1,
        floor,
        "a recursive flatten raises RecursionError",
    )


def nesting_cases(rng: random.Random, side: int, items: int, depth: int) -> Iterator[Case]:
    # Built one at a time, so that each workload is freed before the next.
    yield grid_case(side)
    yield random_depth_case(rng, items)
    yield chain_case(depth)
