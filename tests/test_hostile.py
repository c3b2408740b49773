"""Hostile callers.

Lookups, comparisons and equality methods that clear, extend or reorder the
list being processed, free the objects being compared, raise, or call back
into the module. None of it may crash, and where an exception is documented
it is that one. (Bypassed subclasses, deep nesting and huge texts are in
test_hostile_inputs.py.)
"""

import gc
import weakref

import pytest
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
from support import EqGivesBoolRaises, Hook, Lookup, once

INDEX_ERROR = "list index out of range"
MODIFIED = "list modified during sort"


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
    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        same_order([EqGivesBoolRaises()], [1])


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
