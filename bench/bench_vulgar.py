"""sanitize_vulgar_string against what Python code would write instead.

    PYTHONPATH=<build dir> python bench/bench_vulgar.py

1. A 1.4 MB recipe text with fractions, against re.sub with a callback that
   computes the same replacements (target: at least 5x faster, ratio <= 0.2).
2. The same text without fractions, against str.lower() as the cost of one
   plain pass that builds a new string (target: within 2x, ratio <= 2).
"""

from __future__ import annotations

import random
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Table  # noqa: E402

from _vesk import sanitize_vulgar_string  # noqa: E402

FRACTIONS = {
    "¼": 0.25, "½": 0.5, "¾": 0.75, "⅓": 1 / 3, "⅔": 2 / 3, "⅕": 0.2, "⅖": 0.4,
    "⅗": 0.6, "⅘": 0.8, "⅙": 1 / 6, "⅚": 5 / 6, "⅛": 0.125, "⅜": 0.375, "⅝": 0.625,
    "⅞": 0.875,
}  # fmt: skip
PATTERN = re.compile(r"(\d*)\s*([" + "".join(FRACTIONS) + "])")


def six_places(value: float) -> str:
    return f"{round(value, 6):.6f}".rstrip("0").rstrip(".")


def python_sanitize(text: str) -> str:
    def replace(m: re.Match[str]) -> str:
        fraction = FRACTIONS[m.group(2)]
        if m.group(1):
            return six_places(float(m.group(1)) + fraction)
        return (" " if m.start() else "") + six_places(fraction)

    return PATTERN.sub(replace, text)


def recipe_text(size: int, with_fractions: bool, seed: int = 1) -> str:
    rng = random.Random(seed)
    units = ["cup", "cups", "tsp", "tbsp", "oz", "lb", "g", "pinch", "can", "clove"]
    foods = ["flour", "sugar", "butter", "salt", "milk", "eggs", "garlic", "onion", "rice", "stock"]
    verbs = ["Add", "Stir in", "Whisk", "Fold in", "Season with", "Sprinkle", "Melt", "Chop"]
    fractions = list(FRACTIONS)
    lines, total = [], 0
    while total < size:
        amount = str(rng.randint(1, 12))
        if with_fractions:
            fraction = rng.choice(fractions)
            amount = rng.choice([amount + fraction, amount + " " + fraction, fraction, amount])
        line = (
            f"{rng.choice(verbs)} {amount} {rng.choice(units)} {rng.choice(foods)}, then cook for "
            f"{rng.randint(2, 45)} minutes at {rng.randint(150, 230)} degrees until done.\n"
        )
        lines.append(line)
        total += len(line.encode())
    return "".join(lines)


def main() -> None:
    with_fractions = recipe_text(1_400_000, True)
    plain = recipe_text(1_400_000, False)
    assert sanitize_vulgar_string(with_fractions) == python_sanitize(with_fractions)
    count = sum(with_fractions.count(c) for c in FRACTIONS)

    table = Table("sanitize_vulgar_string")
    table.compare(
        f"1.4 MB, {count} fractions",
        ("sanitize_vulgar_string", lambda: sanitize_vulgar_string(with_fractions)),
        ("re.sub(pattern, callback)", lambda: python_sanitize(with_fractions)),
        target="<= 0.2 (5x)",
    )
    table.compare(
        "1.4 MB, no fractions",
        ("sanitize_vulgar_string", lambda: sanitize_vulgar_string(plain)),
        ("str.lower()", plain.lower),
        target="<= 2",
    )
    table.print()


if __name__ == "__main__":
    main()
