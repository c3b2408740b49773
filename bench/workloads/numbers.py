"""Number strings: parse and normalize_numeric_str."""

from __future__ import annotations

import random
from collections.abc import Iterator

import _vesk
from idioms import py_normalize, py_parse
from runner import Case, anchor, idiom, mapped, optional_import, peer

price_parser = optional_import("price_parser")


def price_amount(s: str) -> float | None:
    return price_parser.Price.fromstring(s).amount_float


JUNK = ["", " ", "n/a", "N/A", "abc", "-", "TBD", "\u2014", "none", "#REF!", "see note", "()"]


def number_cases(rng: random.Random, n: int) -> Iterator[Case]:
    workloads = [
        ("plain ints", [str(rng.randrange(10**9)) for _ in range(n)]),
        ("'1,234,567.89'", [f"{rng.randrange(10**11) / 100:,.2f}" for _ in range(n)]),
        ("accounting '(1,200)'", [f"({rng.randrange(1, 10**7):,})" for _ in range(n)]),
        (
            "suffixed '1,200m'",
            [f"{rng.randrange(1, 10**6):,}{rng.choice('kmb')}" for _ in range(n)],
        ),
        ("junk and empty", [rng.choice(JUNK) for _ in range(n)]),
    ]
    price_differs = {
        "accounting '(1,200)'": "no accounting negatives: (1,200) gives 1200.0",
    }
    for label, data in workloads:
        plain = [str(v) for v in map(py_parse, data) if v is not None]
        float_anchor = (
            anchor(
                "float() on the plain numbers", mapped(float, plain), "same numbers written plainly"
            )
            if plain
            else None
        )
        refs = [
            idiom("parse", "regex filter + int()/float()", mapped(py_parse, data)),
            peer(
                price_parser,
                "price-parser Price.fromstring",
                lambda data=data: mapped(price_amount, data),
                price_differs.get(label, "always a float, never an int"),
            ),
        ]
        yield Case(
            "parse",
            label,
            f"{n:,} strings",
            mapped(_vesk.parse, data),
            refs + [float_anchor] * bool(plain),
        )
        refs = [idiom("normalize_numeric_str", "strip/replace", mapped(py_normalize, data))]
        yield Case(
            "normalize_numeric_str",
            label,
            f"{n:,} strings",
            mapped(_vesk.normalize_numeric_str, data),
            refs + [float_anchor] * bool(plain),
        )
