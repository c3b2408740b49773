"""Caller threads race mutator threads on shared inputs (run in a child process).

`python stress_shared.py CASE SECONDS` runs one case: CALLERS threads call one
function of the module over and over on inputs that MUTATORS threads change at
the same time (append, pop, clear, sort, slice assignment, item replacement,
dict insertion, deletion and value replacement; each change makes fresh
objects and drops the ones it replaces). The mutators keep an invariant that
every answer can be checked against, whatever moment each item was read at: an
answer must be right for some state of the input, or be one of the errors the
function documents for an input changed during the call. Prints "ok CASE N"
(N calls checked); anything else ends the process with a message, and a crash
ends it with a signal.

Run on a free-threaded interpreter with PYTHON_GIL=0 this is the test that the
modules are safe without the interpreter lock; with the lock it still checks
the answers, as thread switches inside a call (a collection's finalizers run
Python code) change the inputs there too.
"""

from __future__ import annotations

import random
import sys
import threading
import time

CALLERS = 3
MUTATORS = 3
INDEX_ERROR = (IndexError, "list index out of range")
MODIFIED = (ValueError, "list modified during sort")
DICT_CHANGED = {
    (RuntimeError, "dictionary changed size during iteration"),
    (RuntimeError, "dictionary keys changed during iteration"),
}


class Tok:
    """A leaf with a number; every change makes new ones, so the old ones die."""

    __slots__ = ("i",)

    def __init__(self, i):
        self.i = i

    def __repr__(self):
        return f"Tok({self.i})"


class Bad(AssertionError):
    pass


def check(condition, *what):
    if not condition:
        raise Bad(" ".join(map(repr, what)))


# ---------------------------------------------------------------- the cases
# Each case gives (call, check_answer, allowed_errors, mutations); a mutation
# is a function of a random.Random, run under the mutators' own lock so that
# the invariant holds between any two of them.


def positional_list(size, none_share=0.3):
    """Item p is None or Tok(p)."""
    return [None if random.random() < none_share else Tok(p) for p in range(size)]


def list_mutations(shared, make, limit):
    """Changes of a list whose item p must be make(p, rng) (or equivalent)."""

    def append(rng):
        if len(shared) < limit:
            shared.append(make(len(shared), rng))

    def pop(rng):
        if shared:
            shared.pop()

    def clear(rng):
        shared.clear()
        shared.extend(make(p, rng) for p in range(rng.randrange(limit)))

    def sort(rng):
        shared.sort(key=lambda item: 0)  # keeps the order, empties the list meanwhile

    def replace(rng):
        if shared:
            p = rng.randrange(len(shared))
            shared[p] = make(p, rng)

    def assign(rng):
        shared[:] = [make(p, rng) for p in range(rng.randrange(limit))]

    return [append, pop, clear, sort, replace, assign]


def backfill_case(vesk):
    shared = positional_list(200)

    def make(p, rng):
        return None if rng.random() < 0.3 else Tok(p)

    def check_answer(out):
        if out is shared:
            return
        check(type(out) is list and all(type(x) is Tok for x in out), out)
        # Read at index j: None or Tok(j). So each answer is a Tok from at or
        # before its place, but for the leading ones, which take the first.
        numbers = [x.i for x in out]
        check(numbers == sorted(numbers), numbers)
        check(all(i <= max(j, numbers[0]) for j, i in enumerate(numbers)), numbers)

    return (
        (lambda: vesk.backfill(shared)),
        check_answer,
        {INDEX_ERROR},
        list_mutations(shared, make, 400),
    )


def nested(k, p, rng):
    """Item p of inner list k: Tok(k * 1000 + p), bare, in a tuple or in a list."""
    leaf = Tok(k * 1000 + p)
    return [leaf, (leaf,), [leaf], ([leaf],)][rng.randrange(4)]


def collapse_case(vesk):
    rng = random.Random(1)
    inner = [[nested(k, p, rng) for p in range(50)] for k in range(9)]
    outer = inner[:8]
    last = (inner[8],)  # a tuple argument, read after the list
    mutations = []
    for k in range(9):
        mutations += list_mutations(inner[k], lambda p, rng, k=k: nested(k, p, rng), 200)

    def swap_inner(rng):
        k = rng.randrange(8)
        fresh = [nested(k, p, rng) for p in range(rng.randrange(100))]
        inner[k] = fresh
        outer[k] = fresh  # the list it replaces may die during a walk of it

    mutations.append(swap_inner)

    def check_answer(out):
        check(type(out) is list and all(type(x) is Tok for x in out), out)
        numbers = [x.i for x in out]
        check(all(a < b for a, b in zip(numbers, numbers[1:])), numbers)

    return (lambda: vesk.collapse(outer, last)), check_answer, set(), mutations


def backfill_iterdict_case(vesk):
    keys = "abcd"

    def row(p, rng):
        present = [k for k in keys if rng.random() < 0.8]
        return {k: (None if rng.random() < 0.4 else (k, Tok(p))) for k in present}

    rng = random.Random(2)
    shared = [row(p, rng) for p in range(300)]
    mutations = list_mutations(shared, row, 600) * 2

    def change_row(rng):
        if not shared:
            return
        target = shared[rng.randrange(len(shared))]
        key = rng.choice(keys)
        action = rng.randrange(4)
        if action == 0:
            target.pop(key, None)
        elif action == 1:
            target[key] = None
        elif action == 2:
            target[key] = (key, Tok(0))
        else:
            target.clear()

    mutations += [change_row] * 6

    def check_answer(out):
        check(type(out) is list, out)
        for out_row in out:
            check(type(out_row) is dict, out_row)
            for key, value in out_row.items():
                check(key in keys and type(value) is tuple and value[0] == key, out_row)

    return (
        (lambda: vesk.backfill_iterdict(shared)),
        check_answer,
        {INDEX_ERROR} | DICT_CHANGED,
        mutations,
    )


class Word(str):
    """A str subclass: compared by Python's own equality (the general path)."""


def same_order_case(vesk):
    words = ["x", "a", "y", "b", "z", "c"]

    def make_text(p, rng):
        return words[p % 6] + "" if rng.random() < 0.5 else Word(words[p % 6])

    rng = random.Random(3)
    ref = [make_text(p, rng) for p in range(6)]
    comp = [make_text(p, rng) for p in range(30)]
    numbers = [p * 10 for p in range(40)]
    mutations = list_mutations(ref, make_text, 12) + list_mutations(comp, make_text, 60)
    mutations += list_mutations(numbers, lambda p, rng: p * 10, 80)
    calls = [
        lambda: vesk.same_order(ref, comp),
        lambda: vesk.same_order(numbers[:5], numbers),
        lambda: vesk.same_order(comp, numbers),
    ]
    turn = iter(range(1 << 62))

    def call():
        return calls[next(turn) % 3]()

    def check_answer(out):
        check(out is True or out is False, out)

    return call, check_answer, {INDEX_ERROR}, mutations


def multikeysort_case(vesk, inplace):
    def row(p, rng):
        return {"k": rng.randrange(50), "t": rng.choice("xyz"), "id": Tok(p)}

    rng = random.Random(4)
    shared = [row(p, rng) for p in range(300)]
    mutations = list_mutations(shared, row, 600)

    def revalue(rng):
        if shared:
            target = shared[rng.randrange(len(shared))]
            target["k"] = rng.choice([rng.randrange(50), None, "s", 1.5])

    mutations += [revalue] * 3
    columns = ["k", "-t"]

    def call():
        return vesk.multikeysort(shared, columns, inplace)

    def check_answer(out):
        if inplace:
            check(out is None, out)
            return
        check(type(out) is list and all(type(x) is dict and "id" in x for x in out), out)

    return call, check_answer, {INDEX_ERROR, MODIFIED}, mutations


def text_case(vesk):
    # Long texts are worked on with the lock released; the non-ASCII ones get
    # their kept UTF-8 form from parse, in another thread, while others read them.
    texts = [
        "getHTTPResponseCode_value ½ 1,234.50 " * 2000,
        "ÉtéÀİstanbulΣ_ünïcode ⅓ (1,200) " * 2000,
        "short_Text ¼",
    ]
    functions = [
        vesk.uncamel,
        vesk.underscore_to_camelcase,
        vesk.sanitize_vulgar_string,
        vesk.normalize_numeric_str,
        vesk.parse,
    ]
    shared = [[t + "" for t in texts]]
    expected = {(fn, t): fn(t) for fn in functions for t in texts}
    turn = iter(range(1 << 62))

    def call():
        n = next(turn)
        fn = functions[n % len(functions)]
        text = shared[0][(n // len(functions)) % len(texts)]
        return fn, text, fn(text)

    def check_answer(out):
        fn, text, got = out
        check(got == expected[fn, text], fn.__name__)

    def fresh_texts(rng):
        # New str objects without a kept UTF-8 form, which parse then makes.
        shared[0] = ["".join(list(t)) for t in texts]
        for t in shared[0]:
            vesk.parse(t)

    return call, check_answer, set(), [fresh_texts]


def column_list_case(vesk):
    from vesk import columns

    def make(p, rng):
        return None if rng.random() < 0.2 else f"${p},000"

    rng = random.Random(5)
    shared = [make(p, rng) for p in range(300)]
    turn = iter(range(1 << 62))

    def call():
        threads = 1 + next(turn) % 2
        return columns.parse(shared, threads=threads)

    def check_answer(out):
        check(type(out) is list, out)
        check(all(x is None or x == j * 1000 for j, x in enumerate(out)), out)

    return call, check_answer, set(), list_mutations(shared, make, 600)


def column_arrow_case(vesk):
    import pyarrow as pa
    from vesk import columns

    source = [f"get{i}HttpCode" if i % 7 else None for i in range(50_000)]
    arrays = [pa.array(source), pa.chunked_array([source[:100], source[100:]])]
    expected = [vesk.uncamel(s) if s is not None else None for s in source]
    turn = iter(range(1 << 62))

    def call():
        return columns.uncamel(arrays[next(turn) % 2], threads=2)

    def check_answer(out):
        check(out.to_pylist() == expected, "arrow result")

    return call, check_answer, set(), []


# ---------------------------------------------------------------- the runs


def run_case(make_case, seconds):
    call, check_answer, allowed, mutations = make_case()
    deadline = time.monotonic() + seconds
    stop = threading.Event()
    failures = []
    counts = [0] * CALLERS
    lock = threading.Lock()

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

    def mutator(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set() and mutations:
                with lock:
                    rng.choice(mutations)(rng)
        except BaseException as error:
            failures.append(error)

    threads = [threading.Thread(target=mutator, args=(s,)) for s in range(MUTATORS)]
    threads += [threading.Thread(target=caller, args=(n,)) for n in range(CALLERS)]
    for t in threads:
        t.start()
    for t in threads[MUTATORS:]:
        t.join()
    stop.set()
    for t in threads[:MUTATORS]:
        t.join()
    if failures:
        raise failures[0]
    return sum(counts)


def capsule_race(vesk, seconds):
    """One Arrow stream capsule, called on by every thread at once: one of
    them takes it, the others are told that it was already taken."""
    import pyarrow as pa
    from vesk import _columns

    array = pa.array(["1,200", None, "(3)"] * 1000)
    taken = (ValueError, "the Arrow stream in the capsule was already released")
    deadline = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < deadline:
        capsule = pa.chunked_array([array]).__arrow_c_stream__()
        barrier = threading.Barrier(CALLERS + MUTATORS)
        outcomes = []

        def take(capsule=capsule, barrier=barrier, outcomes=outcomes):
            barrier.wait()
            try:
                _columns.parse(capsule)
            except Exception as error:
                outcomes.append((type(error), str(error)))
            else:
                outcomes.append("taken")

        threads = [threading.Thread(target=take) for _ in range(CALLERS + MUTATORS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        check(outcomes.count("taken") == 1, outcomes)
        check(all(o == "taken" or o == taken for o in outcomes), outcomes)
        rounds += 1
    return rounds


CASES = {
    "backfill": backfill_case,
    "collapse": collapse_case,
    "backfill_iterdict": backfill_iterdict_case,
    "same_order": same_order_case,
    "multikeysort": lambda vesk: multikeysort_case(vesk, False),
    "multikeysort_inplace": lambda vesk: multikeysort_case(vesk, True),
    "text": text_case,
    "columns_list": column_list_case,
    "columns_arrow": column_arrow_case,
}


def main(case, seconds, vesk_path=()):
    import _vesk
    import vesk

    vesk.__path__[:] = vesk_path or vesk.__path__  # where this run finds vesk._columns

    random.seed(case)
    if case == "capsule":
        count = capsule_race(_vesk, seconds)
    else:
        count = run_case(lambda: CASES[case](_vesk), seconds)
    print("ok", case, count)


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]))
