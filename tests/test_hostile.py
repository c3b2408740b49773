"""Hostile callers.

Lookups, comparisons and equality methods that clear, extend or reorder the
list being processed, free the objects being compared, raise, or call back
into the module; subclasses whose overridden methods must never be called;
nesting a million levels deep; and 50 MB texts through every text function.
None of it may crash, and where an exception is documented it is that one.
"""

import gc
import os
import sys
import weakref

import pytest

import _vesk
from _vesk import (
    backfill,
    backfill_iterdict,
    collapse,
    multikeysort,
    normalize_numeric_str,
    parse,
    same_order,
    sanitize_vulgar_string,
    uncamel,
    underscore_to_camelcase,
)

INDEX_ERROR = "list index out of range"
MODIFIED = "list modified during sort"


class Hook:
    """An element whose comparisons run `action(self, other)` first."""

    __slots__ = ("v", "action", "__weakref__")

    def __init__(self, v, action=None):
        self.v = v
        self.action = action

    def _run(self, other):
        if self.action is not None:
            self.action(self, other)

    def __eq__(self, other):
        self._run(other)
        return isinstance(other, Hook) and self.v == other.v

    def __lt__(self, other):
        self._run(other)
        return self.v < other.v

    def __gt__(self, other):
        self._run(other)
        return self.v > other.v

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Hook({self.v})"


def once(action):
    """`action` on the first call only."""
    done = []

    def wrapped(*args):
        if not done:
            done.append(True)
            action(*args)

    return wrapped


# ------------------------------------------------------------- same_order


@pytest.mark.parametrize(
    "ref_values, mutate, expected",
    [
        # Lengths are read once: a vanished index is the interpreter's IndexError.
        ([1, 2], lambda ref, comp: comp.clear(), IndexError),
        ([1, 2], lambda ref, comp: ref.clear(), IndexError),
        ([1, 2], lambda ref, comp: comp.pop(), IndexError),
        # Growth is never looked at: 9 arrives in comp but is not searched.
        ([1, 9], lambda ref, comp: comp.extend([Hook(9), Hook(1)]), False),
        ([1, 2], lambda ref, comp: ref.append(Hook(5)), True),
        # Reordering during the search changes what is found, not safety:
        # 1 is found at 1 in [2, 1, 0], then 2 at 0.
        ([1, 2], lambda ref, comp: comp.reverse(), False),
        ([1, 2], lambda ref, comp: comp.__setitem__(slice(None), [Hook(7)] * 3), False),
    ],
    ids=[
        "clear-comp",
        "clear-ref",
        "shrink-comp",
        "extend-comp",
        "extend-ref",
        "reverse",
        "replace-all",
    ],
)
def test_same_order_with_mutating_equality(ref_values, mutate, expected):
    ref = [Hook(v) for v in ref_values]
    comp = [Hook(0), Hook(1), Hook(2)]
    ref[0].action = once(lambda self, other: mutate(ref, comp))
    if expected is IndexError:
        with pytest.raises(IndexError) as info:
            same_order(ref, comp)
        assert str(info.value) == INDEX_ERROR
    else:
        assert same_order(ref, comp) is expected


def test_same_order_keeps_compared_objects_alive_while_they_are_dropped():
    ref = [Hook(1)]
    comp = [Hook(1)]
    freed = []
    token_ref = weakref.ref(comp[0], lambda r: freed.append("comp"))

    def drop_everything(self, other):
        ref.clear()
        comp.clear()
        assert token_ref() is other  # still alive: the call holds it
        assert freed == []

    ref[0].action = drop_everything
    # Both lengths were read up front and nothing else is fetched: found at 0.
    assert same_order(ref, comp) is True
    gc.collect()
    assert token_ref() is None and freed == ["comp"]


def test_same_order_passes_on_the_raised_instance():
    raised = []

    def fail(self, other):
        raised.append(LookupError("from __eq__"))
        raise raised[-1]

    with pytest.raises(LookupError) as info:
        same_order([Hook(1, fail)], [Hook(1)])
    assert info.value is raised[0]
    assert info.value.__traceback__ is not None
    assert not hasattr(info.value, "__notes__")


def test_same_order_truth_of_the_answer_raises():
    class Answer:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    class Odd:
        def __eq__(self, other):
            return Answer()

        __hash__ = object.__hash__

    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        same_order([Odd()], [1])


def test_same_order_reentered_from_equality():
    seen = []

    def reenter(self, other):
        # Every function of the module, from inside a comparison.
        seen.append(
            (
                same_order([1, 2], [1, 3, 2]),
                multikeysort([{"a": 2}, {"a": 1}], "a"),
                collapse([1, (2,)]),
                parse("(1,5)"),
                uncamel("aB"),
            )
        )

    ref = [Hook(1, reenter), Hook(2, reenter)]
    comp = [Hook(0), Hook(1), Hook(2)]
    assert same_order(ref, comp) is True
    assert seen and all(s == (True, [{"a": 1}, {"a": 2}], [1, 2], -15, "a_b") for s in seen)


def test_same_order_recursing_into_itself_deeply():
    # Equality that calls same_order on its own lists: bounded by Python's
    # recursion limit, which surfaces as RecursionError, not a crash.
    ref, comp = [], []

    def recurse(self, other):
        same_order(ref, comp)

    ref.append(Hook(1, recurse))
    comp.append(Hook(1))
    with pytest.raises(RecursionError):
        same_order(ref, comp)


# ------------------------------------------------------------ multikeysort


class Lookup(dict):
    """A row whose lookups run `action(key)` first."""

    def __init__(self, action, **values):
        super().__init__(values)
        self.action = action

    def __getitem__(self, key):
        self.action(key)
        return super().__getitem__(key)


def sort_rows(n=30):
    return [{"a": (i * 7) % n, "id": i} for i in range(n)]


@pytest.mark.parametrize("inplace", [False, True])
@pytest.mark.parametrize(
    "mutate, error",
    [
        (lambda items: items.clear(), (IndexError, INDEX_ERROR)),
        (lambda items: items.pop(), (IndexError, INDEX_ERROR)),
        (lambda items: items.append({"a": -1}), (ValueError, MODIFIED)),
        (lambda items: items.insert(0, {}), (ValueError, MODIFIED)),
    ],
    ids=["clear", "pop", "append", "insert"],
)
def test_lookup_changing_the_length(mutate, error, inplace):
    items = sort_rows()
    items[3] = Lookup(once(lambda key: mutate(items)), a=100, id=3)
    before = list(items)
    with pytest.raises(error[0]) as info:
        multikeysort(items, ["a"], inplace=inplace)
    assert type(info.value) is error[0] and str(info.value) == error[1]
    # Whatever the lookup did, the sort itself wrote nothing.
    if error[0] is ValueError:
        assert any(
            all(x is y for x, y in zip(items[start:], before))
            for start in (0, len(items) - len(before))
        )
    else:
        assert all(x is y for x, y in zip(items, before))


@pytest.mark.parametrize("inplace", [False, True])
def test_lookup_reordering_the_list(inplace):
    items = sort_rows()
    items[5] = Lookup(once(lambda key: items.reverse()), a=100, id=5)
    ids = sorted(id(x) for x in items)
    result = multikeysort(items, ["a"], inplace=inplace)
    out = items if inplace else result
    # Undetected (the length is the same): still a permutation of the items.
    assert sorted(id(x) for x in out) == ids


@pytest.mark.parametrize("inplace", [False, True])
@pytest.mark.parametrize(
    "mutate, error",
    [
        (lambda items: items.clear(), (ValueError, MODIFIED)),
        (lambda items: items.append({}), (ValueError, MODIFIED)),
        (lambda items: items.pop(0), (ValueError, MODIFIED)),
        (lambda items: items.reverse(), None),
        (
            lambda items: items.__setitem__(slice(None), [{"new": i} for i in range(len(items))]),
            None,
        ),
    ],
    ids=["clear", "append", "pop", "reverse", "replace-all"],
)
@pytest.mark.parametrize("count", [5, 40])  # insertion sort, merge sort
def test_comparison_mutating_the_list(mutate, error, inplace, count):
    items = [{"h": Hook(-i)} for i in range(count)]
    action = once(lambda self, other: mutate(items))
    for row in items:
        row["h"].action = action
    before = list(items)
    snapshot = list(items)
    if error:
        with pytest.raises(error[0]) as info:
            multikeysort(items, "h", inplace=inplace)
        assert str(info.value) == error[1]
        return
    result = multikeysort(items, "h", inplace=inplace)
    now = items if inplace else result
    # The rows hold their own references to the values, so the objects that
    # the list dropped stay valid; the result is made of what the list holds
    # after the sort.
    assert len(now) == count
    assert all(isinstance(x, dict) for x in now)
    del before, snapshot


def test_comparison_dropping_the_values_being_compared():
    items = [{"h": Hook(i)} for i in range(30, 0, -1)]
    probes = [weakref.ref(row["h"]) for row in items]

    def drop(self, other):
        for row in items:
            row.clear()

    action = once(drop)
    for row in items:
        row["h"].action = action
    result = multikeysort(items, "h")
    # The dicts were emptied during the sort, but the values it compares were
    # kept alive by the sort itself and released afterwards.
    assert [r for r in result] == [{}] * 30
    gc.collect()
    assert all(p() is None for p in probes)


def test_raising_comparisons_count_as_equal():
    def fail(self, other):
        raise RuntimeError("no order")

    items = [{"h": Hook(i, fail), "id": i} for i in (3, 1, 2, 0)]
    assert multikeysort(items, ["h"]) == items  # every pair equal: stable
    assert [r["id"] for r in multikeysort(items, ["h", "-id"])] == [3, 2, 1, 0]


class IndexOnly:
    """An integer through __index__; ordering it in Python is an error."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __lt__(self, other):
        raise AssertionError("compared in Python")

    __gt__ = __lt__


class ConversionsRaise:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        raise OverflowError("index")

    def __float__(self):
        raise ValueError("float")

    def __lt__(self, other):
        return self.v < other.v

    def __gt__(self, other):
        return self.v > other.v


class FloatOnly:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


@pytest.mark.parametrize(
    "make, values, order",
    [
        (IndexOnly, [3, 1, 2], [1, 2, 3]),  # native integer comparisons only
        (ConversionsRaise, [3, 1, 2], [1, 2, 3]),  # falls through to __lt__
        (FloatOnly, [2.5, -1.0, 0.5], [-1.0, 0.5, 2.5]),
    ],
    ids=["index", "conversions-raise", "float"],
)
def test_values_with_hostile_conversions(make, values, order):
    items = [{"v": make(x)} for x in values]
    assert [row["v"].v for row in multikeysort(items, "v")] == order


def test_dict_key_equality_mutating_the_list():
    # A stored key that is a str subclass makes the dict lookup run its
    # __eq__, from inside the extraction of a plain dict.
    items = []

    class Key(str):
        def __eq__(self, other):
            items.clear()
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    items.extend([{"b": 1}, {Key("a"): 2}, {"a": 1}])
    with pytest.raises(IndexError) as info:
        multikeysort(items, ["a"])
    assert str(info.value) == INDEX_ERROR


def test_reentering_multikeysort_on_the_same_list():
    items = [{"h": Hook(i), "k": -i} for i in range(25)]
    calls = []

    def resort(self, other):
        # Same length afterwards, so the outer sort cannot tell.
        calls.append(multikeysort(items, ["k"], inplace=True))

    action = once(resort)
    for row in items:
        row["h"].action = action
    ids = sorted(map(id, items))
    assert multikeysort(items, "h", inplace=True) is None
    assert calls == [None]
    assert sorted(map(id, items)) == ids


def test_lookup_reentering_every_function():
    results = []

    def call_all(key):
        results.append(
            (
                backfill([None, 1]),
                backfill_iterdict([{"a": None}, {"a": 2}]),
                same_order(["a"], ["a"]),
                sanitize_vulgar_string("½"),
                underscore_to_camelcase("a_b"),
                normalize_numeric_str("(1)"),
            )
        )

    items = [Lookup(call_all, a=i) for i in (2, 1, 3)]
    result = multikeysort(items, "a")
    assert result == [items[1], items[0], items[2]]
    assert results == [([1, 1], [{"a": 2}, {"a": 2}], True, "0.5", "aB", "-1")] * 3


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, MemoryError])
def test_lookup_raising_a_base_exception(exc_type):
    def fail(key):
        raise exc_type("from a lookup")

    items = [Lookup(fail, a=1), {"a": 2}, {"a": 0}]
    before = list(items)
    if issubclass(exc_type, Exception):
        # A failed lookup makes the value missing; missing sorts first.
        assert multikeysort(items, "a") == [items[0], items[2], items[1]]
    else:
        # Ctrl-C and SystemExit end the call unchanged; the list is untouched.
        with pytest.raises(exc_type, match="from a lookup"):
            multikeysort(items, "a", inplace=True)
        assert all(x is y for x, y in zip(items, before))


def test_columns_sequence_mutating_items_while_iterated():
    items = [{"a": 2}, {"a": 1}]

    class Columns:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index:
                raise IndexError(index)
            items.append({"a": 0})
            return "a"

    # The columns are read before the length is taken, so the growth is seen
    # as part of the list and sorted with it.
    assert multikeysort(items, Columns()) == [{"a": 0}, {"a": 1}, {"a": 2}]


# ---------------------------------------- subclasses whose methods are bypassed


class SequenceTraps:
    """Mixed into a list or tuple subclass: its overridden access fails the test."""

    def __len__(self):
        raise AssertionError("__len__ called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class Trap(SequenceTraps, list):
    pass


class TrapTuple(SequenceTraps, tuple):
    pass


class TrapDict(dict):
    def keys(self):
        raise AssertionError("keys called")

    def items(self):
        raise AssertionError("items called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")


def test_subclass_methods_are_never_called():
    assert collapse(Trap([1, TrapTuple((2, Trap([3])))])) == [1, 2, 3]
    assert backfill(Trap([None, 1, None])) == [1, 1, 1]
    assert same_order(Trap([1]), Trap([0, 1])) is True
    assert backfill_iterdict(Trap([TrapDict(a=None), TrapDict(a=1)])) == [{"a": 1}, {"a": 1}]
    rows = Trap([{"a": 2}, {"a": 1}])
    assert multikeysort(rows, ["a"]) == [{"a": 1}, {"a": 2}]


# --------------------------------------------------------------- deep nesting

# Under ASan every level costs a traced allocation; a fifth of the depth
# still takes the walk far past any recursion limit.
DEPTH = 200_000 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1_000_000


@pytest.mark.parametrize("kind", ["list", "tuple", "alternating"])
def test_collapse_of_a_million_levels(kind):
    leaf = object()
    chain = [leaf, 1]
    for i in range(DEPTH):
        if kind == "list" or (kind == "alternating" and i % 2):
            chain = [chain]
        else:
            chain = (chain,)
    assert collapse(chain, 2) == [leaf, 1, 2]
    # Freed by the interpreter's own trashcan, not by recursion.
    del chain


def test_collapse_cycle_below_the_cycle_check_depth():
    top = [0]
    node = top
    for i in range(1, 10_000):
        child = [i]
        node.append(child)
        node = child
    node.append(top)  # back to the root, ten thousand levels down
    with pytest.raises(ValueError) as info:
        collapse(top)
    assert str(info.value) == "collapse() argument contains a reference cycle"
    node.pop()


@pytest.mark.parametrize("depth", [2, 63, 64, 65, 500])
def test_collapse_shared_containers_are_not_cycles(depth):
    shared = [1, (2,)]
    chain = []
    for _ in range(depth):
        chain = [shared, chain, shared]
    assert collapse(chain) == [1, 2] * (2 * depth)


@pytest.mark.parametrize("depth", [1, 2, 63, 64, 65, 200])
def test_collapse_self_reference_at_depth(depth):
    inner = []
    chain = inner
    for _ in range(depth):
        chain = [chain]
    inner.append(chain)
    with pytest.raises(ValueError, match="^collapse\\(\\) argument contains a reference cycle$"):
        collapse(chain)
    inner.clear()


# --------------------------------------------------------------- huge strings

MB50 = 50_000_000


@pytest.fixture(scope="module")
def sparse():
    # 50 MB of mixed ASCII with a fraction, a capital and a digit every KB.
    block = "word " * 199 + "aB1½"
    return block * (MB50 // len(block))


@pytest.mark.parametrize(
    "fn, make, check",
    [
        (uncamel, lambda: "aB" * (MB50 // 2), lambda r: r == "a_b" * (MB50 // 2)),
        (uncamel, lambda: "É" * (MB50 // 2), lambda r: r == "é" * (MB50 // 2)),
        (underscore_to_camelcase, lambda: "a_b" * (MB50 // 3), lambda r: r == "aB" * (MB50 // 3)),
        (
            underscore_to_camelcase,
            lambda: "ß_" * (MB50 // 3),
            lambda r: r == "ß" + "SS" * (MB50 // 3 - 1),
        ),
        (sanitize_vulgar_string, lambda: "1" * MB50 + "½", lambda r: r == "inf"),
        (sanitize_vulgar_string, lambda: " " * MB50 + "x½", lambda r: r == " " * MB50 + "x 0.5"),
        (
            sanitize_vulgar_string,
            lambda: "1½ " * (5_000_000 // 4),
            lambda r: r == "1.5 " * (5_000_000 // 4),
        ),
        (parse, lambda: "1" * MB50, lambda r: r is None),
        (parse, lambda: "5." + "0" * MB50, lambda r: r == 5.0 and type(r) is float),
        (parse, lambda: "x" * MB50 + "(5)", lambda r: r == -5),
        (normalize_numeric_str, lambda: "1," * (MB50 // 2), lambda r: r == "1" * (MB50 // 2)),
        (
            normalize_numeric_str,
            lambda: " " * (MB50 // 2) + "(5%)" + "\u3000" * (MB50 // 6),
            lambda r: r == "-5",
        ),
    ],
    ids=[
        "uncamel-ascii",
        "uncamel-2byte",
        "camel-ascii",
        "camel-expanding",
        "vulgar-digits",
        "vulgar-spaces",
        "vulgar-dense",
        "parse-int-overflow",
        "parse-long-float",
        "parse-filtered",
        "normalize-commas",
        "normalize-trim",
    ],
)
def test_huge_texts(fn, make, check):
    text = make()
    assert check(fn(text))


def test_huge_mixed_text_through_every_text_function(sparse):
    assert uncamel(sparse) == sparse.replace("aB", "a_b")
    assert underscore_to_camelcase(sparse) == sparse.replace("aB", "ab")
    assert sanitize_vulgar_string(sparse) == sparse.replace("aB1½", "aB1.5")
    assert normalize_numeric_str(sparse) == sparse.strip()
    # One digit per kilobyte: fifty thousand digits, too many for an int.
    assert parse(sparse) is None


@pytest.mark.parametrize(
    "fn, param",
    [
        (parse, "s"),
        (normalize_numeric_str, "s"),
        (uncamel, "camel"),
        (underscore_to_camelcase, "s"),
        (sanitize_vulgar_string, "s"),
    ],
)
def test_huge_text_ending_in_a_lone_surrogate(fn, param):
    with pytest.raises(UnicodeEncodeError) as info:
        fn("a" * MB50 + "\ud800")
    assert info.value.start == MB50 and info.value.reason == "surrogates not allowed"
    assert getattr(info.value, "__notes__", None) == (
        [f"while processing '{param}'"] if sys.version_info >= (3, 11) else None
    )


class Shouty(str):
    def __str__(self):
        raise AssertionError("__str__ called")

    def encode(self, *args):
        raise AssertionError("encode called")


@pytest.mark.parametrize(
    "fn, expected",
    [
        (uncamel, "a_b"),
        (underscore_to_camelcase, "ab"),
        (sanitize_vulgar_string, "aB"),
        (normalize_numeric_str, "aB"),
        (parse, None),
    ],
)
def test_str_subclass_is_read_as_its_text(fn, expected):
    assert fn(Shouty("aB")) == expected


def test_every_function_survives_being_called_from_a_finalizer():
    # Calls from __del__ during a collection run with a half-dismantled cycle
    # around them.
    outcomes = []

    class Finalized:
        def __init__(self):
            self.me = self

        def __del__(self):
            outcomes.append(
                [getattr(_vesk, name) is not None for name in _vesk.__all__]
                + [collapse([1, [2]]), multikeysort([{"a": 1}], "a"), parse("1")]
            )

    for _ in range(10):
        Finalized()
    gc.collect()
    assert outcomes == [[True] * 10 + [[1, 2], [{"a": 1}], 1]] * 10
