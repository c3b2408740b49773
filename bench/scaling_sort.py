"""multikeysort on a million rows against sorted(key=itemgetter(...)).

Run: PYTHONPATH=<build dir> python bench/scaling_sort.py [rows] [rounds]

Each workload times both subjects in turn within every round (collector off,
as in timeit) and prints the median time of each and the speedup
(baseline median / multikeysort median). New-list mode throughout.

"Permuted memory order" means the rows were built, shuffled and then sorted by
the key, so that list order differs from allocation order: the usual state of a
list that some earlier code sorted.
"""

from __future__ import annotations

import gc
import operator
import random
import statistics
import sys
import time

import _vesk

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def word(rng: random.Random) -> str:
    return "".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randrange(4, 14)))


def make_rows(seed: int) -> list[dict]:
    rng = random.Random(seed)
    # 'a' unique, so that reversed input is strictly descending; 'g' a small
    # group number with many ties; 'b' a short word.
    keys = rng.sample(range(10 * ROWS), ROWS)
    return [{"a": keys[i], "g": rng.randrange(1000), "b": word(rng), "id": i} for i in range(ROWS)]


def permuted(rows: list[dict], seed: int) -> list[dict]:
    shuffled = list(rows)
    random.Random(seed).shuffle(shuffled)
    return shuffled


def two_pass(rows: list[dict]) -> list[dict]:
    """['g', '-b'] the way a Python user writes it: least significant first."""
    out = sorted(rows, key=operator.itemgetter("b"), reverse=True)
    out.sort(key=operator.itemgetter("g"))
    return out


def timed(fn) -> float:
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def compare(name: str, ours, baseline) -> None:
    # Same answer first (identity of every item), then the timing.
    mine, theirs = ours(), baseline()
    assert len(mine) == len(theirs) and all(x is y for x, y in zip(mine, theirs)), name
    del mine, theirs
    t_ours, t_base = [], []
    gc.disable()
    try:
        for _ in range(ROUNDS):
            t_ours.append(timed(ours))
            t_base.append(timed(baseline))
    finally:
        gc.enable()
    m_ours, m_base = statistics.median(t_ours), statistics.median(t_base)
    print(f"{name:<34} {m_ours * 1e3:9.1f} ms {m_base * 1e3:9.1f} ms {m_base / m_ours:8.2f}x", flush=True)


def main() -> None:
    by_a = operator.itemgetter("a")
    by_b = operator.itemgetter("b")
    built = make_rows(1)  # list order == allocation order
    shuffled = permuted(built, 2)
    presorted = sorted(shuffled, key=by_a)
    reversed_rows = presorted[::-1]
    presorted_b = sorted(shuffled, key=by_b)

    print(f"multikeysort vs sorted(key=itemgetter), {ROWS:,} rows, median of {ROUNDS} rounds")
    print(f"{'workload':<34} {'multikeysort':>12} {'sorted()':>12} {'speedup':>9}")
    compare("['a'] int, random", lambda: _vesk.multikeysort(built, ["a"]), lambda: sorted(built, key=by_a))
    compare("['b'] str, random", lambda: _vesk.multikeysort(built, ["b"]), lambda: sorted(built, key=by_b))
    compare(
        "['a'] int, presorted, permuted mem",
        lambda: _vesk.multikeysort(presorted, ["a"]),
        lambda: sorted(presorted, key=by_a),
    )
    compare(
        "['a'] int, reversed, permuted mem",
        lambda: _vesk.multikeysort(reversed_rows, ["a"]),
        lambda: sorted(reversed_rows, key=by_a),
    )
    compare(
        "['b'] str, presorted, permuted mem",
        lambda: _vesk.multikeysort(presorted_b, ["b"]),
        lambda: sorted(presorted_b, key=by_b),
    )
    compare("['g', '-b'] int+str, random", lambda: _vesk.multikeysort(built, ["g", "-b"]), lambda: two_pass(built))
    compare(
        "['g', '-b'] int+str, shuffled mem",
        lambda: _vesk.multikeysort(shuffled, ["g", "-b"]),
        lambda: two_pass(shuffled),
    )


if __name__ == "__main__":
    main()
