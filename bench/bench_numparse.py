"""Benchmark of parse and normalize_numeric_str against plain-Python equivalents.

Run: PYTHONPATH=<build dir> python bench/bench_numparse.py
"""

from __future__ import annotations

import random
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Table  # noqa: E402

from _vesk import normalize_numeric_str, parse  # noqa: E402

_DROPPED = re.compile(r"[^0-9().\-]")


def py_parse(s: str) -> int | float | None:
    """The usual pure-Python way: regex filter, parentheses, then int/float."""
    kept = _DROPPED.sub("", s)
    if not kept:
        return None
    if kept[0] == "(" and kept[-1] == ")":
        if len(kept) == 2:
            return None
        kept = "-" + kept[1:-1]
    try:
        return float(kept) if "." in kept else int(kept)
    except ValueError:
        return None


def py_normalize(s: str) -> str | None:
    """strip/replace version of the formatting rules."""
    s = s.strip()
    if not s:
        return None
    negative = s[0] == "(" and s[-1] == ")"
    if negative:
        s = s[1:-1].strip()
        if not s:
            return None
    s = s.replace(",", "")
    if not s:
        return None
    if s[-1] == "%":
        s = s[:-1].strip()
        if not s:
            return None
    return "-" + s if negative else s


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
    table.compare(
        "parse, money strings",
        ("parse", lambda: list(map(parse, data))),
        ("regex filter + int/float", lambda: list(map(py_parse, data))),
        target="<= 0.125 (8x)",
        repeat=11,
    )
    table.compare(
        "parse('1234.5')",
        ("parse", lambda: list(map(parse, same))),
        ("float", lambda: list(map(float, same))),
        target="<= 2.0",
        repeat=11,
    )
    table.compare(
        "normalize, money strings",
        ("normalize_numeric_str", lambda: list(map(normalize_numeric_str, data))),
        ("strip/replace", lambda: list(map(py_normalize, data))),
        target="<= 0.5 (2x)",
        repeat=11,
    )
    table.print()


if __name__ == "__main__":
    main()
