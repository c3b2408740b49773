"""The pure-Python code a user would write for each job that _vesk does.

Every benchmark times _vesk against these, so they live in one place: the
comparison (compare.py, its workloads in workloads/) and the scaling figures
(scaling.py) measure against the same idioms. Each is the plain, idiomatic
version of the job, not a tuned one, and gives _vesk's result wherever its
docstring does not say otherwise. The recipe-line builder at the end is a
workload piece that the benchmarks share, so that their recipe texts are drawn
alike.
"""

from __future__ import annotations

import operator
import random
import re

# --------------------------------------------------------------------------------------
# Number strings: parse and normalize_numeric_str

_NOT_KEPT = re.compile(r"[^0-9().\-]")


def py_parse(s: str) -> int | float | None:
    """Regex filter, accounting parentheses, then int() or float()."""
    kept = _NOT_KEPT.sub("", s)
    if not kept:
        return None
    if kept[0] == "(" and kept[-1] == ")":
        kept = "-" + kept[1:-1]
    try:
        return float(kept) if "." in kept else int(kept)
    except ValueError:
        return None


def py_normalize(s: str) -> str | None:
    """strip / replace version of the formatting rules."""
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


# --------------------------------------------------------------------------------------
# Identifiers: uncamel and underscore_to_camelcase

_FIRST_CAP = re.compile(r"(.)([A-Z][a-z]+)")
_ALL_CAP = re.compile(r"([a-z0-9])([A-Z])")


def regex_uncamel(s: str) -> str:
    """Two re.sub passes and lower(); [A-Z] only, so no break before É, Ü or М."""
    return _ALL_CAP.sub(r"\1_\2", _FIRST_CAP.sub(r"\1_\2", s)).lower()


def split_camelcase(s: str) -> str:
    """split('_') and capitalize(); a leading '_' gives a capital first letter."""
    words = s.split("_")
    return words[0].lower() + "".join(w.capitalize() for w in words[1:])


# --------------------------------------------------------------------------------------
# Recipe text: sanitize_vulgar_string

FRACTIONS = {
    "¼": 0.25, "½": 0.5, "¾": 0.75, "⅓": 1 / 3, "⅔": 2 / 3, "⅕": 0.2, "⅖": 0.4,
    "⅗": 0.6, "⅘": 0.8, "⅙": 1 / 6, "⅚": 5 / 6, "⅛": 0.125, "⅜": 0.375, "⅝": 0.625,
    "⅞": 0.875,
}  # fmt: skip
_FRACTION = re.compile(r"(\d*)\s*([" + "".join(FRACTIONS) + "])")


def six_places(value: float) -> str:
    return f"{round(value, 6):.6f}".rstrip("0").rstrip(".")


def _fraction_replacement(m: re.Match[str]) -> str:
    fraction = FRACTIONS[m.group(2)]
    if m.group(1):
        return six_places(float(m.group(1)) + fraction)
    return (" " if m.start() else "") + six_places(fraction)


def py_sanitize(text: str) -> str:
    """re.sub with a callback that computes each replacement."""
    return _FRACTION.sub(_fraction_replacement, text)


# --------------------------------------------------------------------------------------
# Nesting: collapse


def py_flatten(*args: object) -> list:
    """Iterative flatten with a stack of iterators (a recursive one dies at depth 1,000)."""
    out: list = []
    stack = [iter(args)]
    while stack:
        for item in stack[-1]:
            if isinstance(item, (list, tuple)):
                stack.append(iter(item))
                break
            out.append(item)
        else:
            stack.pop()
    return out


# --------------------------------------------------------------------------------------
# Back-filling: backfill and backfill_iterdict


def py_backfill(values: list) -> list:
    """A for loop carrying the last value seen, after the first one for the head."""
    fill = next((v for v in values if v is not None), None)
    if fill is None:
        return values
    out = []
    for v in values:
        if v is None:
            out.append(fill)
        else:
            fill = v
            out.append(v)
    return out


def py_backfill_iterdict(rows: list[dict]) -> list[dict]:
    """For loops with the latest value of each key and the rows still waiting for one."""
    latest: dict = {}
    pending: dict = {}
    out: list[dict] = []
    for row in rows:
        new = {}
        for key, value in row.items():
            if value is not None:
                latest[key] = value
                for earlier in out[: pending.pop(key, 0)]:
                    earlier[key] = value
                new[key] = value
            elif key in latest:
                new[key] = latest[key]
            else:
                pending[key] = pending.get(key, 0) + 1
        out.append(new)
    return out


# --------------------------------------------------------------------------------------
# Subsequence checks: same_order


def py_same_order(ref: list, comp: list) -> bool:
    """First occurrences through list.index, then a check that they ascend."""
    if len(comp) < len(ref):
        return False
    try:
        positions = [comp.index(x) for x in ref]
    except ValueError:
        return False
    return all(a <= b for a, b in zip(positions, positions[1:]))


def first_positions_same_order(ref: list, comp: list) -> bool:
    """A dict of first positions built in one pass over comp, then one walk over ref:
    linear, where the list.index version is quadratic."""
    pos: dict = {}
    for i, x in enumerate(comp):
        pos.setdefault(x, i)
    last = -1
    for x in ref:
        p = pos.get(x)
        if p is None or p < last:
            return False
        last = p
    return True


def greedy_same_order(ref: list, comp: list) -> bool:
    """One pass over comp; the same answer only when ref has no repeats."""
    it = iter(comp)
    return all(x in it for x in ref)


# --------------------------------------------------------------------------------------
# Multi-key sorts: multikeysort


def two_pass(rows: list[dict], major: str, minor: str) -> list[dict]:
    """[major, '-' + minor] in plain Python: the minor key first, then the major one;
    list.sort is stable, so the minor order survives."""
    result = sorted(rows, key=operator.itemgetter(minor), reverse=True)
    result.sort(key=operator.itemgetter(major))
    return result


def py_sort_none_nan(rows: list[dict]) -> list[dict]:
    """['grp', '-score', 'name'] in three stable passes, None scores guarded."""
    out = sorted(rows, key=operator.itemgetter("name"))
    out.sort(
        key=lambda r: (r["score"] is not None, 0.0 if r["score"] is None else r["score"]),
        reverse=True,
    )
    out.sort(key=operator.itemgetter("grp"))
    return out


# --------------------------------------------------------------------------------------
# Workload pieces shared by the benchmarks

_UNITS = ["cup", "cups", "tsp", "tbsp", "oz", "lb", "g", "pinch", "can", "clove"]
_FOODS = ["flour", "sugar", "butter", "salt", "milk", "eggs", "garlic", "onion", "rice", "stock"]
_VERBS = ["Add", "Stir in", "Whisk", "Fold in", "Season with", "Sprinkle", "Melt", "Chop"]
_FRACTION_CHARS = list(FRACTIONS)


def recipe_line(rng: random.Random, with_fractions: bool, end: str = ".") -> str:
    """One recipe instruction with an amount ('3', '3½', '3 ½' or '½' with fractions)."""
    amount = str(rng.randint(1, 12))
    if with_fractions:
        fraction = rng.choice(_FRACTION_CHARS)
        amount = rng.choice([amount + fraction, amount + " " + fraction, fraction, amount])
    return (
        f"{rng.choice(_VERBS)} {amount} {rng.choice(_UNITS)} {rng.choice(_FOODS)}, then cook for "
        f"{rng.randint(2, 45)} minutes at {rng.randint(150, 230)} degrees{end}"
    )
