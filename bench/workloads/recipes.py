"""Recipe lines: sanitize_vulgar_string."""

from __future__ import annotations

import random
from collections.abc import Iterator

import _vesk
from idioms import py_sanitize, recipe_line
from runner import Case, anchor, idiom, mapped, whole


def recipe_lines(rng: random.Random, count: int, with_fractions: bool) -> list[str]:
    return [recipe_line(rng, with_fractions) for _ in range(count)]


def recipe_cases(rng: random.Random, n: int) -> Iterator[Case]:
    for label, flag in (
        ("recipe lines with fractions", True),
        ("recipe lines without fractions", False),
    ):
        lines = recipe_lines(rng, n, flag)
        yield Case(
            "sanitize_vulgar_string",
            label,
            f"{n:,} lines",
            mapped(_vesk.sanitize_vulgar_string, lines),
            [
                idiom(
                    "sanitize_vulgar_string",
                    "re.sub(pattern, callback)",
                    mapped(py_sanitize, lines),
                ),
                anchor("str.lower", mapped(str.lower, lines)),
            ],
        )
    text = "\n".join(recipe_lines(rng, n, True))
    yield Case(
        "sanitize_vulgar_string",
        "one recipe text with fractions",
        f"{len(text.encode()) / 1e6:.1f} MB",
        lambda: _vesk.sanitize_vulgar_string(text),
        [
            idiom(
                "sanitize_vulgar_string",
                "re.sub(pattern, callback)",
                lambda: py_sanitize(text),
                view=whole,
            ),
            anchor("str.lower", text.lower),
        ],
        view=whole,
    )
