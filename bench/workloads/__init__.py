"""The workloads of the comparison, one module per family of functions.

Each module yields Cases (runner.py). The families draw from one seeded
generator in a fixed order, so every workload is the same from run to run; the
cases added later are seeded on their own and come after, leaving the draws of
the others as they were.
"""

from __future__ import annotations

import random
from collections.abc import Iterator

from runner import Case

from .backfill import backfill_cases
from .columns import column_cases
from .identifiers import identifier_cases
from .nesting import nesting_cases
from .numbers import number_cases
from .order import large_same_order_case, same_order_cases
from .recipes import recipe_cases
from .sort import column_sort_cases, sort_cases


def all_cases(quick: bool) -> Iterator[Case]:
    rng = random.Random(20250917)
    if quick:
        yield from number_cases(rng, 5_000)
        yield from identifier_cases(rng, 10_000)
        yield from recipe_cases(rng, 2_000)
        yield from nesting_cases(rng, 300, 5_000, 100_000)
        yield from backfill_cases(rng, 100_000, 10_000)
        yield from same_order_cases(rng, 2_000, 200)
        yield large_same_order_case(16_000, 1_600)
        yield from sort_cases(rng, 50_000, 20_000)
        yield from column_sort_cases(50_000)
        yield from column_cases(100_000)
    else:
        yield from number_cases(rng, 50_000)
        yield from identifier_cases(rng, 100_000)
        yield from recipe_cases(rng, 20_000)
        yield from nesting_cases(rng, 1_000, 50_000, 100_000)
        yield from backfill_cases(rng, 1_000_000, 100_000)
        yield from same_order_cases(rng, 10_000, 1_000)
        yield large_same_order_case(160_000, 16_000)
        yield from sort_cases(rng, 1_000_000, 200_000)
        yield from column_sort_cases(1_000_000)
        yield from column_cases(1_000_000)
