"""Whole columns: vesk.columns on data-frame columns of 10^6 cells.

The idiom is what users write today, the scalar function mapped over the
column by the library (s.map, map_elements); the peers are the libraries' own
vectorised string kernels (regex replace + cast for prices, which gets
accounting negatives, suffixes and fractions wrong) and fastnumbers; the
anchor is polars' str.to_lowercase, one native pass that does less. Each
library is optional: its rows say "not installed" without it.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator, Sequence

import _vesk
from idioms import recipe_line
from runner import Case, Ref, optional_import

from .identifiers import WORDS, camel

np = optional_import("numpy")
pd = optional_import("pandas")
pl = optional_import("polars")
pa = optional_import("pyarrow")
pc = optional_import("pyarrow.compute")
fastnumbers = optional_import("fastnumbers")
try:
    from vesk import columns
except ImportError:  # the native column module is not built: no column rows
    columns = None

# Anything but digits, the point and the minus sign goes; then a cast.
PRICE_JUNK = r"[^0-9.\-]"
INEXACT = "inexact: (12) gives 12, 1,200m gives 1200, 3½ gives 3 or null"


def prices(rng: random.Random, n: int) -> list[str]:
    """Loose prices as they come from spreadsheets and scraped pages."""
    makers = [
        lambda: f"${rng.randrange(10**6) / 100:,.2f}",
        lambda: f"({rng.randrange(1, 10**4)})",
        lambda: f"{rng.randrange(10**5) / 1000:.3f}",
        lambda: f"USD {rng.randrange(10**5) / 100:.2f}",
        lambda: f"{rng.randrange(1, 10**4):,}{rng.choice('km')}",
        lambda: f"£{rng.randrange(1, 999)}",
        lambda: f"{rng.randrange(1, 99)}½",
        lambda: rng.choice(["n/a", "", "-", "TBD"]),
    ]
    return [rng.choice(makers)() for _ in range(n)]


def floats(values: Sequence[object]) -> list[float | None]:
    """Numbers as float or None (NaN is missing), the way a column holds them."""
    out: list[float | None] = []
    for v in values:
        if v is None or (isinstance(v, float) and math.isnan(v)):
            out.append(None)
        else:
            out.append(float(v))  # type: ignore[arg-type]
    return out


def ref(kind: str, name: str, fn, target: float | None, view=None, differs="", note="") -> Ref:
    return Ref(kind, name, fn, differs, target, view, note)


def need(*modules: object) -> bool:
    return columns is not None and all(m is not None for m in modules)


def pandas_cases(data: list[str]) -> Iterator[Case]:
    if not need(pd):
        return
    n = f"{len(data):,} cells"
    text = pd.Series(data, dtype="str")
    objects = pd.Series(data, dtype=object)

    def mapped(series):
        return lambda: series.map(_vesk.parse)

    def view(series):
        return floats(series.tolist())

    yield Case(
        "columns.parse",
        f"pandas '{text.dtype}' column of mixed prices",
        n,
        lambda: columns.parse(text),
        [ref("idiom", "s.map(vesk.parse)", mapped(text), 10.0, view)],
        view=view,
    )
    yield Case(
        "columns.parse",
        "pandas object column of mixed prices",
        n,
        lambda: columns.parse(objects),
        [ref("idiom", "s.map(vesk.parse)", mapped(objects), 3.0, view)],
        view=view,
    )


def vectorised_cases(data: list[str]) -> Iterator[Case]:
    n = f"{len(data):,} cells"
    if need(pl):
        series = pl.Series("price", data)
        yield Case(
            "columns.parse",
            "polars Series of mixed prices",
            n,
            lambda: columns.parse(series),
            [
                ref(
                    "peer",
                    "str.replace_all + cast(Float64)",
                    lambda: series.str.replace_all(PRICE_JUNK, "").cast(pl.Float64, strict=False),
                    5.0,
                    lambda s: s.to_list(),
                    note=INEXACT,
                ),
            ],
            view=lambda s: s.to_list(),
        )
    if need(pa, pc):
        chunked = pa.chunked_array([data], pa.string())

        def regex_cast():
            cleaned = pc.replace_substring_regex(chunked, PRICE_JUNK, "")
            # cast() refuses "" and "-": those become null first.
            numeric = pc.if_else(pc.match_substring_regex(cleaned, r"^-?[0-9.]+$"), cleaned, None)
            return pc.cast(numeric, pa.float64(), safe=False)

        yield Case(
            "columns.parse",
            "pyarrow ChunkedArray of mixed prices",
            n,
            lambda: columns.parse(chunked),
            [
                ref(
                    "peer",
                    "replace_substring_regex + cast",
                    regex_cast,
                    5.0,
                    lambda a: a.to_pylist(),
                    note=INEXACT,
                )
            ],
            view=lambda a: a.to_pylist(),
        )


def plain_decimal_case(rng: random.Random, n: int) -> Iterator[Case]:
    if not need(np):
        return
    data = np.empty(n, dtype=object)
    data[:] = [f"{rng.randrange(10**9) / 1000:.3f}" for _ in range(n)]

    def view(a):
        return floats(a.tolist())

    refs = []
    if fastnumbers is not None:
        refs.append(
            ref(
                "peer",
                "fastnumbers.try_array",
                lambda: fastnumbers.try_array(data, dtype=np.float64),
                1.0,
                view,
                note="reads plain numbers only",
            )
        )
    else:
        refs.append(ref("peer", "fastnumbers.try_array", None, 1.0))
    yield Case(
        "columns.parse",
        "numpy object array of plain decimals",
        f"{n:,} cells",
        lambda: columns.parse(data),
        refs,
        view=view,
    )


def text_cases(rng: random.Random, n: int) -> Iterator[Case]:
    if not need(pl):
        return
    keys = [camel([rng.choice(WORDS) for _ in range(rng.randint(2, 4))]) for _ in range(n)]
    snakes = ["_".join(rng.choice(WORDS) for _ in range(rng.randint(2, 4))) for _ in range(n)]
    lines = [recipe_line(rng, rng.random() < 0.5) for _ in range(n)]
    for name, label, cells in [
        ("uncamel", "camelCase keys", keys),
        ("underscore_to_camelcase", "snake_case keys", snakes),
        ("sanitize_vulgar_string", "recipe lines, half with fractions", lines),
    ]:
        series = pl.Series("text", cells)
        ours = getattr(columns, name)
        scalar = getattr(_vesk, name)
        yield Case(
            f"columns.{name}",
            f"polars Series of {label}",
            f"{n:,} cells",
            lambda s=series, f=ours: f(s),
            [
                ref(
                    "idiom",
                    f"map_elements(vesk.{name})",
                    lambda s=series, f=scalar: s.map_elements(f, return_dtype=pl.String),
                    10.0,
                    lambda s: s.to_list(),
                ),
                ref(
                    "anchor",
                    "str.to_lowercase()",
                    lambda s=series: s.str.to_lowercase(),
                    0.5,
                    note="does less; target: within 2x",
                ),
            ],
            view=lambda s: s.to_list(),
        )


def dictionary_cases(rng: random.Random, n: int) -> Iterator[Case]:
    """Low-cardinality text (categories, parquet dictionaries): each distinct value is
    transformed once, against decoding the column first (what 0.3.0 did)."""
    if not need(pa):
        return
    keys = [camel([rng.choice(WORDS) for _ in range(rng.randint(2, 4))]) for _ in range(1_000)]
    encoded = pa.chunked_array([pa.array([rng.choice(keys) for _ in range(n)]).dictionary_encode()])
    priced = pa.chunked_array([pa.array(prices(rng, 2_000) * (n // 2_000)).dictionary_encode()])

    def decoded(fn, column):
        return lambda: fn(column.cast(column.type.value_type))

    for name, label, column in [
        ("uncamel", "camelCase keys", encoded),
        ("parse", "mixed prices", priced),
    ]:
        ours = getattr(columns, name)
        yield Case(
            f"columns.{name}",
            f"pyarrow dictionary of {label}, {len(column.chunk(0).dictionary):,} distinct",
            f"{n:,} cells",
            lambda f=ours, c=column: f(c),
            [
                ref(
                    "idiom",
                    "decoded first: cast(string), then vesk.columns",
                    decoded(ours, column),
                    2.0,
                    lambda a: a.to_pylist(),
                )
            ],
            view=lambda a: a.to_pylist(),
        )


def column_cases(n: int) -> Iterator[Case]:
    if columns is None:
        print("vesk.columns is not built: no column workloads")
        return
    rng = random.Random(20261209)
    data = prices(rng, n)
    yield from pandas_cases(data)
    yield from vectorised_cases(data)
    yield from plain_decimal_case(rng, n)
    yield from text_cases(rng, n)
    yield from dictionary_cases(rng, n)
