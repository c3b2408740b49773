"""sanitize_vulgar_string against what Python code would write instead.

    PYTHONPATH=<build dir> python bench/bench_vulgar.py

1. A 1.4 MB recipe text with fractions, against re.sub with a callback that
   computes the same replacements (target: at least 5x faster, ratio <= 0.2).
2. The same text without fractions, against str.lower() as the cost of one
   plain pass that builds a new string (target: within 2x, ratio <= 2).
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Table  # noqa: E402
from idioms import FRACTIONS, py_sanitize, recipe_line  # noqa: E402

from _vesk import sanitize_vulgar_string  # noqa: E402


def recipe_text(size: int, with_fractions: bool, seed: int = 1) -> str:
    rng = random.Random(seed)
    lines, total = [], 0
    while total < size:
        line = recipe_line(rng, with_fractions, " until done.\n")
        lines.append(line)
        total += len(line.encode())
    return "".join(lines)


def main() -> None:
    with_fractions = recipe_text(1_400_000, True)
    plain = recipe_text(1_400_000, False)
    assert sanitize_vulgar_string(with_fractions) == py_sanitize(with_fractions)
    count = sum(with_fractions.count(c) for c in FRACTIONS)

    table = Table("sanitize_vulgar_string")
    for workload, ours, baseline, target in [
        (
            f"1.4 MB, {count} fractions",
            ("sanitize_vulgar_string", lambda: sanitize_vulgar_string(with_fractions)),
            ("re.sub(pattern, callback)", lambda: py_sanitize(with_fractions)),
            "<= 0.2 (5x)",
        ),
        (
            "1.4 MB, no fractions",
            ("sanitize_vulgar_string", lambda: sanitize_vulgar_string(plain)),
            ("str.lower()", plain.lower),
            "<= 2",
        ),
    ]:
        table.compare(workload, ours, baseline, target=target)
    table.print()


if __name__ == "__main__":
    main()
