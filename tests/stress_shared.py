"""Caller threads race mutator threads on shared inputs; run as a child process.

main(CASE, SECONDS): CALLERS threads call one function over and over on inputs
that MUTATORS threads change meanwhile, each change making fresh objects and
dropping those it replaces. The mutators keep an invariant that any answer can
be checked against, whatever moment each item was read at: item p of a list is
always Tok(p) (or None, or Tok(p) wrapped), so an answer must be right for some
state of the input, or be one of the errors documented for an input changed
during the call. Prints "ok CASE N" after N checked calls.
"""

import random
import threading
import time

CALLERS, MUTATORS = 3, 3
INDEX = (IndexError, "list index out of range")
MODIFIED = (ValueError, "list modified during sort")
CHANGED = {
    (RuntimeError, "dictionary changed size during iteration"),
    (RuntimeError, "dictionary keys changed during iteration"),
}


class Tok:
    __slots__ = ("i",)

    def __init__(self, i):
        self.i = i


class Bad(AssertionError):
    pass


def check(ok, *what):
    if not ok:
        raise Bad(" ".join(map(repr, what))[:3000])


def list_changes(shared, make, limit):
    """The changes of a list whose item p is always some make(p, rng)."""

    def fill(rng):
        return [make(p, rng) for p in range(rng.randrange(limit))]

    return [
        lambda rng: len(shared) < limit and shared.append(make(len(shared), rng)),
        lambda rng: shared and shared.pop(),
        lambda rng: (shared.clear(), shared.extend(fill(rng))),
        lambda rng: shared.sort(key=lambda item: 0),  # the list is empty meanwhile
        lambda rng: shared and shared.__setitem__(p := rng.randrange(len(shared)), make(p, rng)),
        lambda rng: shared.__setitem__(slice(None), fill(rng)),
    ]


def tok_or_none(p, rng):
    return None if rng.random() < 0.3 else Tok(p)


def backfill_case(vesk, rng):
    shared = [tok_or_none(p, rng) for p in range(200)]

    def check_answer(out):
        if out is not shared:  # (all None)
            check(all(type(x) is Tok for x in out), out)
            numbers = [x.i for x in out]  # filled from at or before their place
            check(numbers == sorted(numbers), numbers)
            check(all(i <= max(j, numbers[0]) for j, i in enumerate(numbers)), numbers)

    changes = list_changes(shared, tok_or_none, 400)
    return lambda: vesk.backfill(shared), check_answer, {INDEX}, changes


def collapse_case(vesk, rng):
    def nested(k, p, rng):  # item p of inner list k, bare, in a tuple or a list
        leaf = Tok(k * 1000 + p)
        return [leaf, (leaf,), [leaf], ([leaf],)][rng.randrange(4)]

    inner = [[nested(k, p, rng) for p in range(50)] for k in range(9)]
    outer, last = inner[:8], (inner[8],)
    changes = []
    for k in range(9):
        changes += list_changes(inner[k], lambda p, rng, k=k: nested(k, p, rng), 200)

    def swap(rng):  # the list replaced may die during a walk of it
        k = rng.randrange(8)
        outer[k] = [nested(k, p, rng) for p in range(rng.randrange(100))]

    def check_answer(out):
        numbers = [x.i for x in out]
        check(all(a < b for a, b in zip(numbers, numbers[1:])), numbers)

    return lambda: vesk.collapse(outer, last), check_answer, set(), changes + [swap]


def backfill_iterdict_case(vesk, rng):
    def row(p, rng):
        keys = [k for k in "abcd" if rng.random() < 0.8]
        return {k: None if rng.random() < 0.4 else (k, Tok(p)) for k in keys}

    shared = [row(p, rng) for p in range(300)]

    def change_row(rng):  # a key inserted, deleted, its value replaced, or none left
        if shared:
            target = shared[rng.randrange(len(shared))]
            key, action = rng.choice("abcd"), rng.random()
            if action < 0.25:
                target.pop(key, None)
            elif action < 0.5:
                target.clear()
            else:
                target[key] = None if action < 0.75 else (key, Tok(0))

    def check_answer(out):
        for out_row in out:
            check(all(type(v) is tuple and v[0] == k for k, v in out_row.items()), out_row)

    changes = list_changes(shared, row, 600) * 2 + [change_row] * 6
    return lambda: vesk.backfill_iterdict(shared), check_answer, {INDEX} | CHANGED, changes


class Word(str):
    """Compared by Python's equality: the general path."""


def same_order_case(vesk, rng):
    def text(p, rng):
        word = "xaybzc"[p % 6]
        return word if rng.random() < 0.5 else Word(word)

    ref, comp = [text(p, rng) for p in range(6)], [text(p, rng) for p in range(30)]
    numbers = [p * 10 for p in range(40)]
    changes = list_changes(ref, text, 12) + list_changes(comp, text, 60)
    changes += list_changes(numbers, lambda p, rng: p * 10, 80)
    pairs = [(ref, comp), (numbers[:5], numbers), (comp, numbers)]
    turn = iter(range(1 << 62))

    def call():
        return vesk.same_order(*pairs[next(turn) % 3])

    return call, lambda out: check(type(out) is bool, out), {INDEX}, changes


def multikeysort_case(vesk, rng):
    def row(p, rng):
        return {"k": rng.randrange(50), "t": rng.choice("xyz"), "id": Tok(p)}

    shared = [row(p, rng) for p in range(300)]
    turn = iter(range(1 << 62))

    def revalue(rng):
        if shared:
            shared[rng.randrange(len(shared))]["k"] = rng.choice([rng.randrange(50), None, "s"])

    def call():  # a new list, or the shared one sorted in place (None)
        return vesk.multikeysort(shared, ["k", "-t"], next(turn) % 2 == 1)

    def check_answer(out):
        check(out is None or all(type(x) is dict and "id" in x for x in out), out)

    changes = list_changes(shared, row, 600) + [revalue] * 3
    return call, check_answer, {INDEX, MODIFIED}, changes


def text_case(vesk, rng):
    # Long texts are worked on with the lock released; parse gives the fresh
    # non-ASCII ones their kept UTF-8 form in one thread while others read them.
    lines = ["getHTTPCode_value ½ 1,234.50 ", "ÉtéÀİstanbulΣ_ü ⅓ (1,200) ", "short_Text ¼"]
    texts = [line * 2000 for line in lines[:2]] + lines[2:]
    functions = [vesk.parse, vesk.normalize_numeric_str, vesk.sanitize_vulgar_string]
    functions += [vesk.uncamel, vesk.underscore_to_camelcase]
    shared = [list(texts)]
    expected = {(fn, t): fn(t) for fn in functions for t in texts}
    turn = iter(range(1 << 62))

    def call():
        n = next(turn)
        fn, text = functions[n % 5], shared[0][n // 5 % 3]
        return fn, text, fn(text)

    def fresh(rng):
        shared[0] = ["".join(list(t)) for t in texts]
        for t in shared[0]:
            vesk.parse(t)

    return call, lambda out: check(out[2] == expected[out[:2]], out[0]), set(), [fresh]


def columns_list_case(vesk, rng):
    from vesk import columns

    def cell(p, rng):
        return None if rng.random() < 0.2 else f"${p},000"

    shared = [cell(p, rng) for p in range(300)]
    turn = iter(range(1 << 62))

    def check_answer(out):
        check(all(x is None or x == j * 1000 for j, x in enumerate(out)), out)

    call = lambda: columns.parse(shared, threads=1 + next(turn) % 2)  # noqa: E731
    return call, check_answer, set(), list_changes(shared, cell, 600)


def columns_arrow_case(vesk, rng):
    import pyarrow as pa
    from vesk import columns

    cells = [f"get{i}HttpCode" if i % 7 else None for i in range(50_000)]
    arrays = [pa.array(cells), pa.chunked_array([cells[:100], cells[100:]])]
    expected = [None if c is None else vesk.uncamel(c) for c in cells]
    turn = iter(range(1 << 62))
    call = lambda: columns.uncamel(arrays[next(turn) % 2], threads=2)  # noqa: E731
    return call, lambda out: check(out.to_pylist() == expected, "arrow"), set(), []


def capsule_case(vesk, rng):
    """One stream capsule for six threads at once, one round at a time: one
    thread takes it, the others are told that it was taken."""
    import pyarrow as pa
    from vesk import _columns

    chunked = pa.chunked_array([pa.array(["1,200", None, "(3)"] * 1000)])
    taken = (ValueError, "the Arrow stream in the capsule was already released")
    one_round = threading.Lock()

    def call():
        capsule, barrier, outcomes = chunked.__arrow_c_stream__(), threading.Barrier(6), []

        def take():
            barrier.wait()
            try:
                _columns.parse(capsule)
                outcomes.append("taken")
            except Exception as error:
                outcomes.append((type(error), str(error)))

        with one_round:
            threads = [threading.Thread(target=take) for _ in range(6)]
            [t.start() for t in threads]
            [t.join() for t in threads]
        return outcomes

    def check_answer(outcomes):
        check(outcomes.count("taken") == 1 and outcomes.count(taken) == 5, outcomes)

    return call, check_answer, set(), []


def main(case, seconds, vesk_path=()):
    import _vesk
    import vesk

    vesk.__path__[:] = vesk_path or vesk.__path__  # where this run finds vesk._columns
    call, check_answer, allowed, changes = globals()[case + "_case"](_vesk, random.Random(case))
    deadline, stop, lock = time.monotonic() + seconds, threading.Event(), threading.Lock()
    failures, counts = [], [0] * CALLERS

    def caller(n):
        try:
            while time.monotonic() < deadline and not failures:
                try:
                    out = call()
                except Exception as error:
                    check((type(error), str(error)) in allowed, type(error), str(error))
                else:
                    check_answer(out)
                counts[n] += 1
        except BaseException as error:
            failures.append(error)

    def mutator(seed):  # one change at a time, so the invariant holds between any two
        rng = random.Random(seed)
        try:
            while changes and not stop.is_set():
                with lock:
                    rng.choice(changes)(rng)
        except BaseException as error:
            failures.append(error)

    mutators = [threading.Thread(target=mutator, args=(s,)) for s in range(MUTATORS)]
    callers = [threading.Thread(target=caller, args=(n,)) for n in range(CALLERS)]
    for t in mutators + callers:
        t.start()
    for t in callers:
        t.join()
    stop.set()
    for t in mutators:
        t.join()
    if failures:
        raise failures[0]
    print("ok", case, sum(counts))
