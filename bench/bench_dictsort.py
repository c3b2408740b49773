"""multikeysort against the sorts a Python user writes by hand.

Run: PYTHONPATH=<build dir> python bench/bench_dictsort.py
"""

from __future__ import annotations

import operator
import os
import random
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Table, auto_number, median_time  # noqa: E402
from idioms import two_pass  # noqa: E402

import _vesk  # noqa: E402

ROWS = 50_000


def make_rows(seed: int) -> list[dict]:
    rng = random.Random(seed)
    return [
        {"a": rng.randrange(1000), "b": "".join(rng.choices("abcdefghij", k=rng.randrange(4, 12))), "id": i}
        for i in range(ROWS)
    ]


def compare(table: Table, workload: str, ours, baseline, target: str = "", rounds: int = 5) -> None:
    """Like Table.compare, but alternates the two over several rounds and keeps
    the median ratio, so that load from other processes hits both alike."""
    number = auto_number(baseline[1])
    times_ours, times_base, ratios = [], [], []
    for _ in range(rounds):
        t_ours = median_time(ours[1], repeat=3, number=number)
        t_base = median_time(baseline[1], repeat=3, number=number)
        times_ours.append(t_ours)
        times_base.append(t_base)
        ratios.append(t_ours / t_base)
    table.rows.append(
        (workload, ours[0], statistics.median(times_ours), baseline[0], statistics.median(ratios), target)
    )


def main() -> None:
    rows = make_rows(1)
    assert _vesk.multikeysort(rows, ["a", "-b"]) == two_pass(rows)
    assert _vesk.multikeysort(rows, ["a"]) == sorted(rows, key=operator.itemgetter("a"))
    by_a = operator.itemgetter("a")
    by_b = operator.itemgetter("b")
    presorted = sorted(rows, key=by_a)

    table = Table(f"multikeysort, {ROWS:,} rows (ratio = median over alternating rounds)")
    for workload, ours, baseline, target in [
        (
            "['a', '-b'] (int, str)",
            ("multikeysort", lambda: _vesk.multikeysort(rows, ["a", "-b"])),
            ("two-pass list.sort(key=itemgetter)", lambda: two_pass(rows)),
            "<= 0.5",
        ),
        (
            "['a'] (int)",
            ("multikeysort", lambda: _vesk.multikeysort(rows, ["a"])),
            ("sorted(key=itemgetter('a'))", lambda: sorted(rows, key=by_a)),
            "<= 1.3",
        ),
        (
            "['a'] (int), presorted",
            ("multikeysort", lambda: _vesk.multikeysort(presorted, ["a"])),
            ("sorted(key=itemgetter('a'))", lambda: sorted(presorted, key=by_a)),
            "",
        ),
        (
            "['-b'] (str)",
            ("multikeysort", lambda: _vesk.multikeysort(rows, ["-b"])),
            ("sorted(key=itemgetter, reverse)", lambda: sorted(rows, key=by_b, reverse=True)),
            "",
        ),
        (
            "['a', '-b'], inplace",
            ("multikeysort(inplace=True)", lambda: _vesk.multikeysort(list(rows), ["a", "-b"], True)),
            ("two-pass list.sort(key=itemgetter)", lambda: two_pass(rows)),
            "",
        ),
    ]:
        compare(table, workload, ours, baseline, target)
    table.print()


if __name__ == "__main__":
    main()
