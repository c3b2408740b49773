"""Back-filling: backfill and backfill_iterdict."""

from __future__ import annotations

import random
from collections.abc import Iterator

import _vesk
from idioms import py_backfill, py_backfill_iterdict
from runner import Case, anchor, idiom, optional_import, peer

pd = optional_import("pandas")

PANDAS_FILL_DIFFERS = "ints come back as floats (None makes the column float64)"


def backfill_cases(rng: random.Random, n: int, rows: int) -> Iterator[Case]:
    for share in (0.1, 0.9):
        values = [None if rng.random() < share else rng.randrange(10**6) for _ in range(n)]
        yield Case(
            "backfill",
            f"{share:.0%} None",
            f"{n:,} values",
            lambda values=values: _vesk.backfill(values),
            [
                idiom(
                    "backfill",
                    "for loop with last value",
                    lambda values=values: py_backfill(values),
                ),
                peer(
                    pd,
                    "pandas Series.ffill().bfill().tolist()",
                    lambda values=values: lambda: pd.Series(values).ffill().bfill().tolist(),
                    PANDAS_FILL_DIFFERS,
                ),
                anchor("list(x)", lambda values=values: list(values)),
            ],
        )
    keys = [f"k{i}" for i in range(10)]
    for share in (0.1, 0.9):
        table = [
            {k: (None if rng.random() < share else rng.randrange(1000)) for k in keys}
            for _ in range(rows)
        ]
        yield Case(
            "backfill_iterdict",
            f"dicts x 10 keys, {share:.0%} None",
            f"{rows:,} rows",
            lambda table=table: _vesk.backfill_iterdict(table),
            [
                idiom(
                    "backfill_iterdict",
                    "for loops with latest/pending dicts",
                    lambda table=table: py_backfill_iterdict(table),
                ),
                peer(
                    pd,
                    "pandas DataFrame(rows).ffill().bfill().to_dict('records')",
                    lambda table=table: (
                        lambda: pd.DataFrame(table).ffill().bfill().to_dict("records")
                    ),
                    PANDAS_FILL_DIFFERS,
                ),
                anchor("[dict(r) for r in rows]", lambda table=table: [dict(r) for r in table]),
            ],
        )
