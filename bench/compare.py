"""Every _vesk function against what people use for the same job today.

Each function runs on fixed, seeded workloads beside three kinds of reference,
all timed in the same run:

  idiom   the pure-Python code a user would write for the same job
          (bench/idioms.py, shared with the bench_*.py scripts);
  peer    the libraries people install for it (the `bench` extra of
          pyproject.toml: more-itertools, inflection, pyhumps, pandas,
          price-parser), conversions to and from plain records included;
  anchor  a native single pass over the same data (list(x), str.lower, float,
          ...): the floor that any per-item work has to pay.

A figure is a speed-up, reference time / _vesk time (above 1: _vesk is faster),
from medians of rounds after a warm-up; the subjects of one workload are timed
in turn within each round and the collector is off while timing, as in timeit.
Where a reference computes something else than _vesk on that workload (acronyms,
None, NaN), the row says so and gives the share of inputs on which it agrees.

    ./dev bench            # the full run (5 to 10 minutes): docs/benchmarks.{csv,md,png}
    ./dev bench --quick    # small workloads, for a smoke test
    PYTHONPATH=<build dir> python bench/compare.py [--quick] [--only TEXT] [--out DIR]
"""

from __future__ import annotations

import argparse
import csv
import gc
import importlib
import itertools
import math
import operator
import os
import platform
import random
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, Sequence

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import interleaved_medians  # noqa: E402
from idioms import (  # noqa: E402
    greedy_same_order,
    py_backfill,
    py_backfill_iterdict,
    py_flatten,
    py_normalize,
    py_parse,
    py_same_order,
    py_sanitize,
    py_sort_none_nan,
    recipe_line,
    regex_uncamel,
    split_camelcase,
)

import _vesk  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
COMMAND = "./dev bench"

# Functions whose idiom already runs in C (list.index, list.sort, str methods):
# no 5x target against it.
IDIOM_IN_C = {"same_order", "multikeysort", "normalize_numeric_str"}
IDIOM_TARGET = 5.0
PEER_TARGET = 1.0
ANCHOR_TARGET = 1 / 3


def optional_import(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


more_itertools = optional_import("more_itertools")
inflection = optional_import("inflection")
humps = optional_import("humps")
pd = optional_import("pandas")
price_parser = optional_import("price_parser")


# --------------------------------------------------------------------------------------
# Cases


@dataclass
class Ref:
    kind: str  # "idiom", "peer" or "anchor"
    name: str
    fn: Callable[[], object] | None  # None: the peer library is not installed
    differs: str = ""  # why its result differs, shown when it does on this workload
    target: float | None = None  # minimal speed-up over this reference
    # Maps a result to the comparable items (None: not the same job, no check).
    view: Callable[[object], Sequence[object]] | None = None
    note: str = ""  # shown whatever the result


@dataclass
class Case:
    function: str
    workload: str
    size: str
    ours: Callable[[], object]
    refs: list[Ref]
    view: Callable[[object], Sequence[object]] = field(default=lambda r: r)  # type: ignore[assignment]


def idiom(function: str, name: str, fn, differs: str = "", view=None, note: str = "") -> Ref:
    target = None if function in IDIOM_IN_C else IDIOM_TARGET
    return Ref("idiom", name, fn, differs, target, view or (lambda r: r), note)


def peer(module, name: str, make, differs: str = "", view=None, note: str = "") -> Ref:
    fn = make() if module is not None else None
    return Ref("peer", name, fn, differs, PEER_TARGET, view or (lambda r: r), note)


def anchor(name: str, fn, note: str = "", same_job: bool = True) -> Ref:
    return Ref("anchor", name, fn, "", ANCHOR_TARGET if same_job else None, None, note)


def mapped(fn, data):
    return lambda: list(map(fn, data))


def whole(result) -> list:
    return [result]


# --------------------------------------------------------------------------------------
# Number strings: parse and normalize_numeric_str

def price_amount(s: str) -> float | None:
    return price_parser.Price.fromstring(s).amount_float


JUNK = ["", " ", "n/a", "N/A", "abc", "-", "TBD", "\u2014", "none", "#REF!", "see note", "()"]


def number_cases(rng: random.Random, n: int) -> Iterator[Case]:
    workloads = [
        ("plain ints", [str(rng.randrange(10**9)) for _ in range(n)]),
        ("'1,234,567.89'", [f"{rng.randrange(10**11) / 100:,.2f}" for _ in range(n)]),
        ("accounting '(1,200)'", [f"({rng.randrange(1, 10**7):,})" for _ in range(n)]),
        ("suffixed '1,200m'", [f"{rng.randrange(1, 10**6):,}{rng.choice('kmb')}" for _ in range(n)]),
        ("junk and empty", [rng.choice(JUNK) for _ in range(n)]),
    ]
    price_differs = {
        "accounting '(1,200)'": "no accounting negatives: (1,200) gives 1200.0",
    }
    for label, data in workloads:
        plain = [str(v) for v in map(py_parse, data) if v is not None]
        float_anchor = (
            anchor("float() on the plain numbers", mapped(float, plain), "same numbers written plainly")
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
        yield Case("parse", label, f"{n:,} strings", mapped(_vesk.parse, data), refs + [float_anchor] * bool(plain))
        refs = [idiom("normalize_numeric_str", "strip/replace", mapped(py_normalize, data))]
        yield Case(
            "normalize_numeric_str",
            label,
            f"{n:,} strings",
            mapped(_vesk.normalize_numeric_str, data),
            refs + [float_anchor] * bool(plain),
        )


# --------------------------------------------------------------------------------------
# Identifiers: uncamel and underscore_to_camelcase

WORDS = (
    "user id name created at updated order total count item price value key type status "
    "date time index list map file path node parent child first last max min source target "
    "request response handler config session token cache buffer stream event level"
).split()
ACRONYMS = ["HTTP", "XML", "URL", "API", "ID", "JSON", "IO", "SQL", "UTF8", "B2B", "OAuth2", "HTML5"]
UNICODE_WORDS = [
    "école", "normale", "straße", "größe", "über", "maß", "ñandú", "çağ", "αθήνα", "πόλη",
    "москва", "сити", "ærø", "łódź", "île", "été", "fußball", "weiß", "österreich", "ångström",
]  # fmt: skip

def camel(words: Sequence[str]) -> str:
    return words[0].lower() + "".join(w[:1].upper() + w[1:] for w in words[1:])


def snake_variant(rng: random.Random, words: Sequence[str]) -> str:
    """snake_case as found in the wild: mostly lower, some CONSTANT_CASE, some _private."""
    roll = rng.random()
    if roll < 0.15:
        return "_".join(w.upper() for w in words)
    if roll < 0.25:
        return "_" + "_".join(w.lower() for w in words)
    return "_".join(w.lower() for w in words)


UNCAMEL_DIFFERS = {
    "idiom": "[A-Z] only: no break before non-ASCII capitals (É, Ü, М)",
    "inflection": "[A-Z] only: no break before non-ASCII capitals (É, Ü, М)",
    "humps": "leaves all-capital keys as they are (ABC); [A-Z] only for non-ASCII capitals",
}
CAMEL_DIFFERS = {
    "idiom": "a leading '_' gives a capital first letter; capitalize() maps ß to 'Ss'",
    "inflection": "keeps capitals inside words (FOO_BAR gives fOOBAR) and a leading '_'",
    "humps": "leaves CONSTANT_CASE and _private keys as they are",
}


def identifier_cases(rng: random.Random, n: int) -> Iterator[Case]:
    short = [[rng.choice(WORDS) for _ in range(rng.randint(2, 4))] for _ in range(n)]
    long_words: list[str] = []
    while sum(len(w) for w in long_words) < 2_200:
        long_words.append(rng.choice(WORDS))
    acronym_keys = ["HTTPServer", "B2BThing", "getHTTPResponseCode", "XMLHttpRequest2"]
    acronym_snake = ["http_server", "b2b_thing", "get_http_response_code", "xml_http_request2"]
    while len(acronym_keys) < n // 2:
        words = [rng.choice(WORDS) for _ in range(rng.randint(0, 3))]
        acr = rng.choice(ACRONYMS)
        at = rng.randrange(len(words) + 1)
        mixed = words[:at] + [acr] + words[at:]
        key = "".join(w if w is acr else w.capitalize() for w in mixed)
        if at and rng.random() < 0.5:
            key = key[0].lower() + key[1:]
        acronym_keys.append(key)
        acronym_snake.append(snake_variant(rng, mixed))
    uni = [[rng.choice(UNICODE_WORDS) for _ in range(rng.randint(2, 3))] for _ in range(n // 2)]
    uni_camel = ["ÉcoleNormale", "straßeName"] + [
        camel(w) if rng.random() < 0.5 else camel(w).capitalize() for w in uni
    ]
    uni_snake = ["école_normale", "straße_name"] + [snake_variant(rng, w) for w in uni]
    short_snake = ["_".join(w) for w in short]

    workloads = [
        ("short keys", f"{n:,} keys", [camel(w) for w in short], short_snake),
        ("acronym/digit keys", f"{len(acronym_keys):,} keys", acronym_keys, acronym_snake),
        ("Unicode keys (É, ß, Greek, Cyrillic)", f"{len(uni_camel):,} keys", uni_camel, uni_snake),
    ]
    for label, size, camel_keys, snake_keys in workloads:
        yield Case(
            "uncamel",
            label,
            size,
            mapped(_vesk.uncamel, camel_keys),
            [
                idiom("uncamel", "two re.sub + lower()", mapped(regex_uncamel, camel_keys), UNCAMEL_DIFFERS["idiom"]),
                peer(
                    inflection,
                    "inflection.underscore",
                    lambda k=camel_keys: mapped(inflection.underscore, k),
                    UNCAMEL_DIFFERS["inflection"],
                ),
                peer(
                    humps,
                    "humps.decamelize",
                    lambda k=camel_keys: mapped(humps.decamelize, k),
                    UNCAMEL_DIFFERS["humps"],
                ),
                anchor("str.lower", mapped(str.lower, camel_keys)),
            ],
        )
        yield Case(
            "underscore_to_camelcase",
            label,
            size,
            mapped(_vesk.underscore_to_camelcase, snake_keys),
            [
                idiom(
                    "underscore_to_camelcase",
                    "split('_') + capitalize()",
                    mapped(split_camelcase, snake_keys),
                    CAMEL_DIFFERS["idiom"],
                ),
                peer(
                    inflection,
                    "inflection.camelize(s, False)",
                    lambda k=snake_keys: mapped(lambda s: inflection.camelize(s, False), k),
                    CAMEL_DIFFERS["inflection"],
                ),
                peer(humps, "humps.camelize", lambda k=snake_keys: mapped(humps.camelize, k), CAMEL_DIFFERS["humps"]),
                anchor("str.lower", mapped(str.lower, snake_keys)),
            ],
        )
    long_camel = camel(long_words)[:2_200]
    long_snake = "_".join(long_words)[:2_199] + "x"  # never ends on '_'
    yield Case(
        "uncamel",
        "one 2,200-char camelCase string",
        "1 string",
        lambda: _vesk.uncamel(long_camel),
        [
            idiom("uncamel", "two re.sub + lower()", lambda: regex_uncamel(long_camel), view=whole),
            peer(inflection, "inflection.underscore", lambda: lambda: inflection.underscore(long_camel), view=whole),
            peer(humps, "humps.decamelize", lambda: lambda: humps.decamelize(long_camel), view=whole),
            anchor("str.lower", long_camel.lower),
        ],
        view=whole,
    )
    yield Case(
        "underscore_to_camelcase",
        "one 2,200-char snake_case string",
        "1 string",
        lambda: _vesk.underscore_to_camelcase(long_snake),
        [
            idiom(
                "underscore_to_camelcase", "split('_') + capitalize()", lambda: split_camelcase(long_snake), view=whole
            ),
            peer(
                inflection,
                "inflection.camelize(s, False)",
                lambda: lambda: inflection.camelize(long_snake, False),
                view=whole,
            ),
            peer(humps, "humps.camelize", lambda: lambda: humps.camelize(long_snake), view=whole),
            anchor("str.lower", long_snake.lower),
        ],
        view=whole,
    )


# --------------------------------------------------------------------------------------
# Recipe lines: sanitize_vulgar_string

def recipe_lines(rng: random.Random, count: int, with_fractions: bool) -> list[str]:
    return [recipe_line(rng, with_fractions) for _ in range(count)]


def recipe_cases(rng: random.Random, n: int) -> Iterator[Case]:
    for label, flag in (("recipe lines with fractions", True), ("recipe lines without fractions", False)):
        lines = recipe_lines(rng, n, flag)
        yield Case(
            "sanitize_vulgar_string",
            label,
            f"{n:,} lines",
            mapped(_vesk.sanitize_vulgar_string, lines),
            [
                idiom("sanitize_vulgar_string", "re.sub(pattern, callback)", mapped(py_sanitize, lines)),
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
            idiom("sanitize_vulgar_string", "re.sub(pattern, callback)", lambda: py_sanitize(text), view=whole),
            anchor("str.lower", text.lower),
        ],
        view=whole,
    )


# --------------------------------------------------------------------------------------
# Nesting: collapse


def random_nest(rng: random.Random, depth: int, leaves: Iterator[int]) -> object:
    if depth == 0:
        return next(leaves)
    kids = [random_nest(rng, depth - 1, leaves)] + [next(leaves) for _ in range(rng.randrange(3))]
    rng.shuffle(kids)
    return kids if rng.random() < 0.7 else tuple(kids)


MI_DIFFERS = "flattens every iterable but str/bytes (dicts, sets, ranges too)"


def collapse_case(workload: str, nested: list, leaves: int, floor: Ref, idiom_note: str = "") -> Case:
    return Case(
        "collapse",
        workload,
        f"{leaves:,} leaves",
        lambda: _vesk.collapse(nested),
        [
            idiom("collapse", "iterative flatten", lambda: py_flatten(nested), note=idiom_note),
            peer(
                more_itertools,
                "list(more_itertools.collapse)",
                lambda: lambda: list(more_itertools.collapse(nested)),
                MI_DIFFERS,
            ),
            floor,
        ],
    )


FLOOR_NOTE = "floor only: one copy of the flat result"


def grid_case(side: int) -> Case:
    grid = [list(range(i * side, (i + 1) * side)) for i in range(side)]
    return collapse_case(
        f"{side:,}x{side:,} ints",
        grid,
        side * side,
        anchor("list(chain.from_iterable(x))", lambda: list(itertools.chain.from_iterable(grid))),
    )


def random_depth_case(rng: random.Random, items: int) -> Case:
    counter = itertools.count()
    forest = [random_nest(rng, rng.randint(1, 8), counter) for _ in range(items)]
    flat = py_flatten(forest)
    floor = anchor("list(leaves)", flat.copy, FLOOR_NOTE, same_job=False)
    return collapse_case("random depth 1-8", forest, len(flat), floor)


def chain_case(depth: int) -> Case:
    chain: list = [depth]
    for i in range(depth - 1, -1, -1):
        chain = [i, chain]
    floor = anchor("list(leaves)", list(range(depth + 1)).copy, FLOOR_NOTE, same_job=False)
    return collapse_case(
        f"one chain {depth:,} deep", chain, depth + 1, floor, "a recursive flatten raises RecursionError"
    )


def nesting_cases(rng: random.Random, side: int, items: int, depth: int) -> Iterator[Case]:
    # Built one at a time, so that each workload is freed before the next.
    yield grid_case(side)
    yield random_depth_case(rng, items)
    yield chain_case(depth)


# --------------------------------------------------------------------------------------
# Back-filling: backfill and backfill_iterdict


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
                idiom("backfill", "for loop with last value", lambda values=values: py_backfill(values)),
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
        table = [{k: (None if rng.random() < share else rng.randrange(1000)) for k in keys} for _ in range(rows)]
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
                    lambda table=table: lambda: pd.DataFrame(table).ffill().bfill().to_dict("records"),
                    PANDAS_FILL_DIFFERS,
                ),
                anchor("[dict(r) for r in rows]", lambda table=table: [dict(r) for r in table]),
            ],
        )


# --------------------------------------------------------------------------------------
# Subsequence checks: same_order


def same_order_cases(rng: random.Random, m: int, n: int) -> Iterator[Case]:
    comp = [f"item-{i:07d}" for i in range(m)]
    rng.shuffle(comp)
    picked = sorted(rng.sample(range(m), n))
    # Equal but not identical objects, as when the two lists come from two sources.
    in_order = ["".join(comp[p]) for p in picked]
    early = in_order[:1] + ["absent"] + in_order[2:]
    late = in_order[:-2] + [in_order[-1], in_order[-2]]
    for label, ref in (
        ("in order", in_order),
        ("early mismatch (2nd absent)", early),
        ("late mismatch (last two swapped)", late),
    ):
        yield Case(
            "same_order",
            label,
            f"{n:,} in {m:,}",
            lambda ref=ref: _vesk.same_order(ref, comp),
            [
                idiom(
                    "same_order",
                    "[comp.index(x) for x in ref] + order check",
                    lambda ref=ref: py_same_order(ref, comp),
                    view=whole,
                ),
                Ref(
                    "idiom",
                    "greedy walk: all(x in it for x in ref)",
                    lambda ref=ref: greedy_same_order(ref, comp),
                    "",
                    None,
                    whole,
                    "one pass over comp, not first occurrences: same answer only when ref has no repeats",
                ),
            ],
            view=whole,
        )


# --------------------------------------------------------------------------------------
# Multi-key sorts: multikeysort


def ids(rows: list[dict]) -> list:
    return [r["id"] for r in rows]


def make_rows(rng: random.Random, n: int) -> list[dict]:
    letters = "abcdefghijklmnopqrstuvwxyz"
    rows = []
    for i in range(n):
        roll = rng.random()
        score = None if roll < 0.1 else math.nan if roll < 0.15 else round(rng.uniform(0, 100), 2)
        rows.append(
            {
                "id": i,
                "a": rng.randrange(1000),
                "b": rng.randrange(10**6),
                "name": "".join(rng.choices(letters, k=rng.randint(4, 10))),
                "grp": rng.randrange(20),
                "score": score,
                "t1": rng.randrange(3),
                "t2": rng.randrange(3),
            }
        )
    return rows


def pandas_sort(rows: list[dict], by: list[str], ascending: list[bool]):
    return lambda: pd.DataFrame(rows).sort_values(by=by, ascending=ascending).to_dict("records")


def pandas_peer(rows: list[dict], by: list[str], ascending: list[bool], differs: str = "") -> Ref:
    return peer(
        pd,
        "pandas sort_values, records in/out",
        lambda: pandas_sort(rows, by, ascending),
        differs,
        ids,
        "returns new dicts, None values as NaN",
    )


def two_int_keys_case(rows: list[dict], label: str) -> Case:
    ab = operator.itemgetter("a", "b")
    return Case(
        "multikeysort",
        label,
        f"{len(rows):,} dicts",
        lambda: _vesk.multikeysort(rows, ["a", "b"]),
        [
            idiom("multikeysort", "sorted(key=itemgetter('a', 'b'))", lambda: sorted(rows, key=ab), view=ids),
            pandas_peer(rows, ["a", "b"], [True, True]),
        ],
        view=ids,
    )


def sort_cases(rng: random.Random, big: int, n: int) -> Iterator[Case]:
    yield two_int_keys_case(make_rows(rng, big), "two int keys ascending")
    rows = make_rows(rng, n)
    ab = operator.itemgetter("a", "b")
    yield Case(
        "multikeysort",
        "int descending + str ascending",
        f"{n:,} dicts",
        lambda: _vesk.multikeysort(rows, ["-a", "name"]),
        [
            idiom(
                "multikeysort",
                "sorted(key=lambda r: (-r['a'], r['name']))",
                lambda: sorted(rows, key=lambda r: (-r["a"], r["name"])),
                view=ids,
            ),
            pandas_peer(rows, ["a", "name"], [False, True]),
        ],
        view=ids,
    )
    yield Case(
        "multikeysort",
        "three keys, score with None/NaN",
        f"{n:,} dicts",
        lambda: _vesk.multikeysort(rows, ["grp", "-score", "name"]),
        [
            idiom(
                "multikeysort",
                "three stable passes, None guarded",
                lambda: py_sort_none_nan(rows),
                "NaN scores make the tuple order inconsistent; _vesk counts NaN equal to every number",
                ids,
            ),
            pandas_peer(
                rows,
                ["grp", "score", "name"],
                [True, False, True],
                "NaN sorts last (na_position); _vesk counts NaN equal to every number",
            ),
        ],
        view=ids,
    )
    # Fresh dicts in list order, as data that arrives sorted: visiting them in
    # order then walks memory in order, as for the random rows above.
    presorted = [dict(r) for r in sorted(rows, key=ab)]
    backwards = [dict(r) for r in reversed(presorted)]
    yield two_int_keys_case(presorted, "already sorted input, two int keys")
    yield two_int_keys_case(backwards, "reversed input, two int keys")
    ties = operator.itemgetter("t1", "t2")
    yield Case(
        "multikeysort",
        "many ties (9 distinct keys)",
        f"{n:,} dicts",
        lambda: _vesk.multikeysort(rows, ["t1", "t2"]),
        [
            idiom("multikeysort", "sorted(key=itemgetter('t1', 't2'))", lambda: sorted(rows, key=ties), view=ids),
            pandas_peer(rows, ["t1", "t2"], [True, True]),
        ],
        view=ids,
    )


# --------------------------------------------------------------------------------------
# Running


@dataclass
class Row:
    function: str
    workload: str
    size: str
    kind: str
    reference: str
    ours_s: float
    ref_s: float
    speedup: float
    target: float | None
    agreement: float | None
    note: str

    @property
    def met(self) -> str:
        if self.target is None or math.isnan(self.speedup):
            return ""
        return "yes" if self.speedup >= self.target else "NO"


def same(a: object, b: object) -> bool:
    """Equal and of the same types all the way down (1 and 1.0 differ; NaN is NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))  # type: ignore[arg-type]
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(v, b[k]) for k, v in a.items())  # type: ignore[attr-defined,index]
    return bool(a == b)


def agreement(ours: Sequence[object], theirs: Sequence[object]) -> float:
    """Share of items on which a reference gives exactly what _vesk gives."""
    if len(ours) != len(theirs):
        return 0.0
    if not ours:
        return 1.0
    return sum(map(same, ours, theirs)) / len(ours)


def target_text(target: float | None) -> str:
    if target is None:
        return ""
    return f">= {target:.2f}x" if target < 1 else f">= {target:g}x" if target > 1 else "> 1x"


def run_case(case: Case, repeat: int, min_rounds: int, budget: float) -> list[Row]:
    subjects = [case.ours] + [r.fn for r in case.refs if r.fn is not None]
    refs = [r for r in case.refs if r.fn is not None]
    # Warm-up call of each subject; it also yields the result to check and a
    # first estimate of the time per call.
    gc.collect()
    results, once = [], []
    for fn in subjects:
        start = time.perf_counter()
        results.append(fn())
        once.append(max(time.perf_counter() - start, 1e-7))
    ours_view = case.view(results[0])
    agreements = [agreement(ours_view, r.view(res)) if r.view else None for r, res in zip(refs, results[1:])]
    del results
    numbers = [max(1, int(0.05 / t)) for t in once]
    per_round = sum(n * t for n, t in zip(numbers, once))
    rounds = max(min_rounds, min(repeat, int(budget / per_round)))
    times = interleaved_medians(subjects, numbers, rounds)

    def row_for(ref, t_ref, speedup, agree, note):
        return Row(case.function, case.workload, case.size, ref.kind, ref.name, times[0],
                   t_ref, speedup, ref.target, agree, note)

    rows = []
    for ref, t_ref, agree in zip(refs, times[1:], agreements):
        notes = []
        if agree is not None and agree < 1.0:
            notes.append(f"same result on {agree:.0%} of inputs" + (f": {ref.differs}" if ref.differs else ""))
        if ref.note:
            notes.append(ref.note)
        rows.append(row_for(ref, t_ref, t_ref / times[0], agree, "; ".join(notes)))
    for ref in case.refs:
        if ref.fn is None:
            rows.append(row_for(ref, math.nan, math.nan, None, "not installed (pip install '.[bench]')"))
    return rows


def all_cases(quick: bool) -> Iterator[Case]:
    rng = random.Random(20250917)
    if quick:
        yield from number_cases(rng, 5_000)
        yield from identifier_cases(rng, 10_000)
        yield from recipe_cases(rng, 2_000)
        yield from nesting_cases(rng, 300, 5_000, 100_000)
        yield from backfill_cases(rng, 100_000, 10_000)
        yield from same_order_cases(rng, 2_000, 200)
        yield from sort_cases(rng, 50_000, 20_000)
    else:
        yield from number_cases(rng, 50_000)
        yield from identifier_cases(rng, 100_000)
        yield from recipe_cases(rng, 20_000)
        yield from nesting_cases(rng, 1_000, 50_000, 100_000)
        yield from backfill_cases(rng, 1_000_000, 100_000)
        yield from same_order_cases(rng, 10_000, 1_000)
        yield from sort_cases(rng, 1_000_000, 200_000)


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        info = {
            key.strip(): value.strip()
            for key, _, value in (line.partition(":") for line in Path("/proc/cpuinfo").read_text().splitlines())
            if value
        }
        model = info.get("model name", model)
        if "cpu family" in info:
            model += f" (family {info['cpu family']}, model {info.get('model', '?')})"
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return f"{model}, {cores} cores, Python {platform.python_version()} ({platform.python_implementation()})"


def versions() -> str:
    from importlib.metadata import PackageNotFoundError, version

    out = []
    for dist in ("more-itertools", "inflection", "pyhumps", "pandas", "price-parser"):
        try:
            out.append(f"{dist} {version(dist)}")
        except PackageNotFoundError:
            out.append(f"{dist} (not installed)")
    return ", ".join(out)


def fmt_time(seconds: float) -> str:
    if math.isnan(seconds):
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def fmt_speedup(x: float) -> str:
    if math.isnan(x):
        return "-"
    return f"{x:.3g}x" if x < 100 else f"{x:.0f}x"


COLUMNS = [
    "function",
    "workload",
    "size",
    "kind",
    "reference",
    "_vesk",
    "reference time",
    "speed-up",
    "target",
    "met",
    "note",
]


def cells(row: Row) -> list[str]:
    return [
        row.function,
        row.workload,
        row.size,
        row.kind,
        row.reference,
        fmt_time(row.ours_s),
        fmt_time(row.ref_s),
        fmt_speedup(row.speedup),
        target_text(row.target),
        row.met,
        row.note,
    ]


def print_table(rows: list[Row]) -> None:
    table = [COLUMNS] + [cells(r) for r in rows]
    widths = [min(max(len(line[i]) for line in table), 44) for i in range(len(COLUMNS) - 1)]
    print()
    for line in table:
        print("  ".join(c[:44].ljust(w) for c, w in zip(line, widths)) + "  " + line[-1])


def write_csv(rows: list[Row], path: Path) -> None:
    with path.open("w", newline="") as f:
        w = csv.writer(f)
        w.writerow(
            [
                "function",
                "workload",
                "size",
                "kind",
                "reference",
                "vesk_s",
                "reference_s",
                "speedup",
                "target",
                "met",
                "agreement",
                "note",
            ]
        )
        for r in rows:
            w.writerow(
                [
                    r.function,
                    r.workload,
                    r.size,
                    r.kind,
                    r.reference,
                    f"{r.ours_s:.6g}",
                    "" if math.isnan(r.ref_s) else f"{r.ref_s:.6g}",
                    "" if math.isnan(r.speedup) else f"{r.speedup:.4g}",
                    "" if r.target is None else f"{r.target:.4g}",
                    r.met,
                    "" if r.agreement is None else f"{r.agreement:.4f}",
                    r.note,
                ]
            )


def write_markdown(rows: list[Row], path: Path, header: str, png: str | None) -> None:
    lines = [
        "# Benchmarks",
        "",
        header,
        "",
        "Each figure is a speed-up: the reference's time divided by _vesk's on the same workload, "
        "measured in the same run (medians of rounds after a warm-up, subjects timed in turn, collector off). "
        "Above 1, _vesk is faster. References: **idiom**, the pure-Python code a user would write; "
        "**peer**, the library people install for the job (records converted in and out where that is what "
        "a user pays); **anchor**, a native single pass over the same data. Targets: faster than every peer, "
        f"at least {IDIOM_TARGET:g}x the idiom (except {', '.join(sorted(IDIOM_IN_C))}, whose idioms run in C), "
        "and within 3x of the anchor (speed-up >= 0.33) where it does the same job. "
        "The note says where a reference computes something else than _vesk on that workload.",
        "",
    ]
    if png:
        lines += [f"![speed-ups]({png})", ""]
    lines.append("| " + " | ".join(COLUMNS) + " |")
    lines.append("|" + "---|" * len(COLUMNS))
    for r in rows:
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells(r)) + " |")
    missed = [r for r in rows if r.met == "NO"]
    lines += ["", f"Targets missed: {len(missed)} of {sum(1 for r in rows if r.met)}."]
    lines += [f"- {r.function}, {r.workload}: {fmt_speedup(r.speedup)} against {r.reference}" for r in missed]
    lines += [
        "",
        "Absolute times move with the load of the machine; the ratios move much less, since the subjects "
        "of a workload share every round, but a ratio close to its target can land on either side of it "
        "from one run to the next.",
    ]
    path.write_text("\n".join(lines) + "\n")


KIND_COLOURS = {"idiom": "#4c72b0", "peer": "#dd8452", "anchor": "#55a868"}


def write_plot(rows: list[Row], path: Path, title: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return False
    shown = [r for r in rows if not math.isnan(r.speedup)]
    groups: list[tuple[str, list[Row]]] = []
    for r in shown:
        label = f"{r.function}: {r.workload}"
        if not groups or groups[-1][0] != label:
            groups.append((label, []))
        groups[-1][1].append(r)
    bar_h, gap = 0.8, 0.7
    y, ticks, labels = 0.0, [], []
    positions: list[tuple[float, Row]] = []
    for label, members in groups:
        start = y
        for r in members:
            positions.append((y, r))
            y += bar_h
        ticks.append((start + y - bar_h) / 2)
        labels.append(label)
        y += gap
    fig, ax = plt.subplots(figsize=(15, 1.2 + 0.2 * y))
    ys = [p for p, _ in positions]
    values = [r.speedup for _, r in positions]
    colours = [KIND_COLOURS[r.kind] for _, r in positions]
    edges = ["#c00000" if r.met == "NO" else "none" for _, r in positions]
    ax.barh(ys, values, height=bar_h * 0.9, color=colours, edgecolor=edges, linewidth=1.5)
    ax.set_xscale("log")
    lo = min(min(values), 0.2) / 3
    hi = max(max(values), 10) * 40
    ax.set_xlim(lo, hi)
    for p, r in positions:
        ax.text(r.speedup * 1.08, p, f"{fmt_speedup(r.speedup)}  {r.reference}", va="center", fontsize=6.5)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.axvline(IDIOM_TARGET, color=KIND_COLOURS["idiom"], linewidth=0.6, linestyle=":")
    ax.axvline(ANCHOR_TARGET, color=KIND_COLOURS["anchor"], linewidth=0.6, linestyle=":")
    ax.set_yticks(ticks)
    ax.set_yticklabels(labels, fontsize=7.5)
    ax.invert_yaxis()
    ax.set_ylim(y, -gap)
    ax.set_xlabel("speed-up of _vesk = reference time / _vesk time (log scale; right of the black line: _vesk faster)")
    ax.grid(axis="x", which="major", linewidth=0.3)
    handles: list = [Patch(color=c, label=k) for k, c in KIND_COLOURS.items()]
    handles.append(Patch(facecolor="white", edgecolor="#c00000", label="target missed"))
    handles.append(Line2D([], [], color=KIND_COLOURS["idiom"], linestyle=":", label=f"idiom target {IDIOM_TARGET:g}x"))
    handles.append(Line2D([], [], color=KIND_COLOURS["anchor"], linestyle=":", label="anchor target 1/3x"))
    ax.legend(handles=handles, loc="lower right", fontsize=8)
    ax.set_title(title, fontsize=9.5)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small workloads, fewer rounds")
    parser.add_argument(
        "--only", default="", help="run only the workloads whose 'function: workload' contains this text"
    )
    parser.add_argument("--out", type=Path, default=REPO / "docs", help="where the csv, md and png go (default: docs/)")
    args = parser.parse_args(argv)

    repeat, min_rounds, budget = (3, 3, 2.0) if args.quick else (9, 5, 25.0)
    load = f"{os.getloadavg()[0]:.1f}" if hasattr(os, "getloadavg") else "?"
    header = (
        f"Machine: {machine()}, load average {load} at the start. Peers: {versions()}. "
        f"Reproduce with `{COMMAND}{' --quick' if args.quick else ''}`."
    )
    print(header, flush=True)
    rows: list[Row] = []
    started = time.perf_counter()
    index = 0
    for case in all_cases(args.quick):
        if args.only and args.only not in f"{case.function}: {case.workload}":
            continue
        index += 1
        print(
            f"[{index:2d} {time.perf_counter() - started:6.1f}s] {case.function}: {case.workload} ({case.size}) ...",
            end="",
            flush=True,
        )
        t0 = time.perf_counter()
        new = run_case(case, repeat, min_rounds, budget)
        rows.extend(new)
        summary = ", ".join(f"{r.kind} {fmt_speedup(r.speedup)}" for r in new)
        print(f" {time.perf_counter() - t0:5.1f}s  {summary}", flush=True)
    print_table(rows)
    print(f"\nTotal time {time.perf_counter() - started:.0f} s.")
    if not rows:
        return 1
    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(rows, args.out / "benchmarks.csv")
    title = (
        f"_vesk speed-up against the pure-Python idiom, the peer libraries and a native anchor\n"
        f"{machine()}; reproduce with {COMMAND}" + (" --quick" if args.quick else "")
    )
    plotted = write_plot(rows, args.out / "benchmarks.png", title)
    write_markdown(rows, args.out / "benchmarks.md", header, "benchmarks.png" if plotted else None)
    print(
        f"Wrote {args.out / 'benchmarks.csv'}, {args.out / 'benchmarks.md'}"
        + (f", {args.out / 'benchmarks.png'}" if plotted else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
