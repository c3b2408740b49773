"""Benchmark of parse and normalize_numeric_str against plain-Python equivalents.

Run: PYTHONPATH=<build dir> python bench/bench_numparse.py
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Table  # noqa: E402
from idioms import py_normalize, py_parse  # noqa: E402

from _vesk import normalize_numeric_str, parse  # noqa: E402


def money_strings(count: int, seed: int = 20240501) -> list[str]:
    rng = random.Random(seed)
    shapes = [
        lambda: f"${rng.randrange(10**7):,}",
        lambda: f"({rng.randrange(10**5)}.{rng.randrange(100):02d})",
        lambda: f"{rng.randrange(100)}%",
        lambda: f"{rng.randrange(1, 10**4):,}m",
        lambda: f"USD {rng.randrange(1000)}.{rng.randrange(10)}",
    ]
    return [rng.choice(shapes)() for _ in range(count)]


def main() -> None:
    data = money_strings(100_000)
    assert [parse(s) for s in data] == [py_parse(s) for s in data]
    assert [normalize_numeric_str(s) for s in data] == [py_normalize(s) for s in data]
    same = ["1234.5"] * 100_000

    table = Table("numparse (100,000 calls per round, medians of 11)")
    for workload, ours, baseline, target in [
        (
            "parse, money strings",
            ("parse", lambda: list(map(parse, data))),
            ("regex filter + int/float", lambda: list(map(py_parse, data))),
            "<= 0.125 (8x)",
        ),
        (
            "parse('1234.5')",
            ("parse", lambda: list(map(parse, same))),
            ("float", lambda: list(map(float, same))),
            "<= 2.0",
        ),
        (
            "normalize, money strings",
            ("normalize_numeric_str", lambda: list(map(normalize_numeric_str, data))),
            ("strip/replace", lambda: list(map(py_normalize, data))),
            "<= 0.5 (2x)",
        ),
    ]:
        table.compare(workload, ours, baseline, target=target, repeat=11)
    table.print()


if __name__ == "__main__":
    main()
