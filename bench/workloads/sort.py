"""Multi-key sorts: multikeysort."""

from __future__ import annotations

import math
import operator
import random
from collections.abc import Iterator

import _vesk
from idioms import py_sort_none_nan, two_pass
from runner import Case, idiom, optional_import, peer

pd = optional_import("pandas")


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


def pandas_peer(rows: list[dict], by: list[str], ascending: list[bool], differs: str = ""):
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
            idiom(
                "multikeysort",
                "sorted(key=itemgetter('a', 'b'))",
                lambda: sorted(rows, key=ab),
                view=ids,
            ),
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
                "NaN scores make the tuple order inconsistent; "
                "_vesk counts NaN equal to every number",
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
            idiom(
                "multikeysort",
                "sorted(key=itemgetter('t1', 't2'))",
                lambda: sorted(rows, key=ties),
                view=ids,
            ),
            pandas_peer(rows, ["t1", "t2"], [True, True]),
        ],
        view=ids,
    )


# --------------------------------------------------------------------------------------
# One- and two-column sorts of many rows, and the memory order of the rows


def word(rng: random.Random) -> str:
    return "".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randrange(4, 14)))


def column_rows(seed: int, n: int) -> list[dict]:
    rng = random.Random(seed)
    # 'a' unique, so that reversed input is strictly descending; 'g' a small
    # group number with many ties; 'b' a short word.
    keys = rng.sample(range(10 * n), n)
    return [{"a": keys[i], "g": rng.randrange(1000), "b": word(rng), "id": i} for i in range(n)]


def column_case(label: str, rows: list[dict], key: str) -> Case:
    by_key = operator.itemgetter(key)
    return Case(
        "multikeysort",
        label,
        f"{len(rows):,} dicts",
        lambda: _vesk.multikeysort(rows, [key]),
        [
            idiom(
                "multikeysort",
                f"sorted(key=itemgetter('{key}'))",
                lambda: sorted(rows, key=by_key),
                view=ids,
            )
        ],
        view=ids,
    )


def group_word_case(label: str, rows: list[dict]) -> Case:
    return Case(
        "multikeysort",
        label,
        f"{len(rows):,} dicts",
        lambda: _vesk.multikeysort(rows, ["g", "-b"]),
        [
            idiom(
                "multikeysort",
                "two stable passes of sorted(key=itemgetter)",
                lambda: two_pass(rows, "g", "b"),
                view=ids,
            )
        ],
        view=ids,
    )


def column_sort_cases(n: int) -> Iterator[Case]:
    """'Permuted memory order': the rows were built, shuffled and then sorted by the
    key, so that list order differs from allocation order, the usual state of a list
    that some earlier code sorted. Seeded apart from the other workloads."""
    built = column_rows(1, n)  # list order == allocation order
    shuffled = list(built)
    random.Random(2).shuffle(shuffled)
    presorted = sorted(shuffled, key=operator.itemgetter("a"))
    reversed_rows = presorted[::-1]
    presorted_b = sorted(shuffled, key=operator.itemgetter("b"))
    yield column_case("one int key, random", built, "a")
    yield column_case("one str key, random", built, "b")
    yield column_case("one int key, presorted, permuted memory order", presorted, "a")
    yield column_case("one int key, reversed, permuted memory order", reversed_rows, "a")
    yield column_case("one str key, presorted, permuted memory order", presorted_b, "b")
    yield group_word_case("['g', '-b'] int + str, random", built)
    yield group_word_case("['g', '-b'] int + str, shuffled memory order", shuffled)
