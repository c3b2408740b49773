"""multikeysort: columns, extraction, comparison and the stable sort, against
a slow twin of the native ordering."""

import collections.abc
import math

import pytest
from _vesk import multikeysort
from dictsort_model import model_sort
from hypothesis import given, settings
from hypothesis import strategies as st
from support import examples, same_objects

# ------------------------------------------------------------------ differential

plain_values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 3),
    st.sampled_from([2**53, 2**53 + 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**400]),
    st.floats(-3, 3),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 9007199254740992.0, 9.3e18]),
    st.text(st.sampled_from("aAbé\x00\ud800"), max_size=9),
    st.sampled_from([(), (1,), []]),
)
items_strategy = st.lists(
    st.one_of(
        st.dictionaries(st.sampled_from(["a", "b", "c", "", "-a"]), plain_values, max_size=4),
        st.sampled_from([None, 7, "ab", [1], ("a",)]),
    ),
    max_size=70,
)
columns_strategy = st.one_of(
    st.none(),
    st.sampled_from(["a", "-b", "", "-"]),
    st.lists(
        st.sampled_from(["a", "-a", "b", "-b", "c", "-c", "", "-", "--a", "zz", 1, None]),
        max_size=5,
    ),
)


@settings(max_examples=examples(600), deadline=None)
@given(items=items_strategy, columns=columns_strategy, inplace=st.booleans())
def test_matches_model(items, columns, inplace):
    original = list(items)
    expected = [original[p] for p in model_sort(original, columns)]
    if inplace:
        assert multikeysort(items, columns, inplace=True) is None
        assert same_objects(items, expected)
    else:
        result = multikeysort(items, columns)
        assert type(result) is list and result is not items
        assert same_objects(result, expected)
        assert same_objects(items, original)


# Long lists of values that contradict each other (NaN ties with every number,
# an int ties with every str, 2**63 - 1 and 2**63 - 2 both tie with 2.0**63),
# so that the runs and merges of the sort decide the outcome.
clashing_values = st.one_of(
    st.sampled_from([math.nan, 1, 2, 2.5, "x", "y", 2**63 - 1, 2**63 - 2, 2.0**63, None, (1,), ()]),
    st.integers(-5, 5),
)


@settings(max_examples=examples(300), deadline=None)
@given(
    columns=st.sampled_from([["a"], ["-a"], ["a", "-b"], ["-b", "a", "c"], ["c", "b", "a", "-c"]]),
    rows=st.lists(
        st.fixed_dictionaries({"a": clashing_values, "b": clashing_values, "c": st.integers(0, 1)}),
        min_size=15,
        max_size=90,
    ),
)
def test_matches_model_when_answers_clash(columns, rows):
    expected = [rows[p] for p in model_sort(rows, columns)]
    assert same_objects(multikeysort(rows, columns), expected)


# ------------------------------------------------------------------ key sort
# Columns whose values are all of one plain kind (ints; floats without NaN;
# ints and floats within 2**53; texts; None and missing keys among any of
# them) are sorted by keys instead of by row comparisons. The result must be
# exactly the general sort's (the model's), including on presorted and
# reversed input, ties, descending columns and several columns; the values
# that break the plain order (NaN, a large int beside floats, the lowest int
# beside None, anything mixed) must fall back unnoticed.

text_prefixes = st.sampled_from(["", "aaaaaaa", "aaaaaaaa", "aaaaaa\x00", "\U0001f600\U0001f600"])
plain_kinds = {
    "int": st.one_of(st.integers(-3, 3), st.integers(-(2**63), 2**63 - 1), st.just(2**63 - 1)),
    "float": st.one_of(st.floats(-3, 3), st.floats(allow_nan=False), st.sampled_from([-0.0, 0.0])),
    "number": st.one_of(
        st.integers(-(2**53), 2**53), st.floats(-3, 3), st.sampled_from([-0.0, 2.0**53])
    ),
    "text": st.builds(str.__add__, text_prefixes, st.text(st.sampled_from("aAb\x00é"), max_size=3)),
}
breaking_values = st.sampled_from([math.nan, 2**53 + 1, -(2**63), "x", 1, 1.5, (1,), 2**70])


def column_strategy(kind):
    values = plain_kinds[kind]
    # Mostly plain; absent keys and None are Missing; now and then a value
    # that sends the whole sort down the general path.
    return st.one_of(values, values, values, values, st.none(), st.just(KeyError), breaking_values)


@st.composite
def plain_table(draw):
    names = draw(st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=3, unique=True))
    kinds = {name: draw(st.sampled_from(sorted(plain_kinds))) for name in names}
    breaking = draw(st.booleans())
    rows = []
    for _ in range(draw(st.integers(21, 150))):
        row = {}
        for name in names:
            strategy = column_strategy(kinds[name]) if breaking else plain_kinds[kinds[name]]
            value = draw(
                st.one_of(strategy, st.none(), st.just(KeyError)) if not breaking else strategy
            )
            if value is not KeyError:
                row[name] = value
        rows.append(row)
    columns = [("-" if draw(st.booleans()) else "") + name for name in names]
    return rows, columns


@settings(max_examples=examples(400), deadline=None)
@given(
    table=plain_table(), arrangement=st.sampled_from(["drawn", "presorted", "reversed", "doubled"])
)
def test_key_sort_matches_model(table, arrangement):
    rows, columns = table
    if arrangement != "drawn":
        rows = [rows[p] for p in model_sort(rows, columns)]
    if arrangement == "reversed":
        rows.reverse()
    elif arrangement == "doubled":  # two sorted runs, each full of ties with the other
        rows = rows + [dict(r) for r in rows]
    expected = [rows[p] for p in model_sort(rows, columns)]
    assert same_objects(multikeysort(rows, columns), expected)
    before = list(rows)
    assert multikeysort(rows, columns, inplace=True) is None
    assert same_objects(rows, expected)
    assert sorted(map(id, rows)) == sorted(map(id, before))


# ------------------------------------------------------------------ edge cases


class BrokenSequence(collections.abc.Sequence):
    """A sequence of texts whose iteration fails half-way."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return "-a"
        raise RuntimeError("broken")


def rows_of(key, values):
    return [{key: v} for v in values]


def column_values(rows, key="a"):
    return [r.get(key, "<missing>") if isinstance(r, dict) else r for r in rows]


@pytest.mark.parametrize(
    "values, columns, expected",
    [
        ([2, 1.5, True, 1], "a", [True, 1, 1.5, 2]),
        ([2, 1.5, True, 1], ["a"], [True, 1, 1.5, 2]),
        ([2, 1.5, True, 1], ("a",), [True, 1, 1.5, 2]),
        (["é", "a", "B"], ["a"], ["B", "a", "é"]),
        (["ab", "a", "", "a\x00"], ["a"], ["", "a", "a\x00", "ab"]),
        ([3, math.inf, -math.inf, -0.0, 0.0], ["-a"], [math.inf, 3, -0.0, 0.0, -math.inf]),
        ([2, 1, 3], ["a", 1, None], [1, 2, 3]),
        ([2, 1, 3], ("a", 1), [2, 1, 3]),
        ([2, 1, 3], 5, [2, 1, 3]),
        ([2, 1, 3], {"a": 1}, [2, 1, 3]),
        ([2, 1, 3], None, [2, 1, 3]),
        ([2, 1, 3], iter(["a"]), [2, 1, 3]),
        ([2, 1, 3], ("b", "-a"), [3, 2, 1]),
        ([2, 1, 3], BrokenSequence(), [2, 1, 3]),
        ([2, 1, 3], ["b", "a"], [1, 2, 3]),
        ([2, 1, 3], "\ud800", [2, 1, 3]),
        ([2, 1, 3], ["\ud800", "-a"], [3, 2, 1]),
        (["x", 2, "y", 1], ["a"], ["x", 2, "y", 1]),  # str against int: equal
        ([2, math.nan, 1], ["a"], [2, math.nan, 1]),  # NaN ties with both
        ([{1}, {0}], ["a"], [{1}, {0}]),  # sets: {0} < {1} is False both ways
        ([[2], [1]], ["a"], [[1], [2]]),  # lists: Python orders them
        ([2**70, 2**65, 2], ["a"], [2, 2**65, 2**70]),
    ],
)
def test_orders(values, columns, expected):
    rows = rows_of("a", values)
    got = column_values(multikeysort(rows, columns))
    assert repr(got) == repr(expected)


def test_conversions_are_tried_in_order():
    class IndexStr(str):  # the integer conversion comes before the text
        def __index__(self):
            return 5

    class FloatStr(str):
        def __float__(self):
            return 0.5

    class BadIndex:  # a failing integer conversion falls through to float
        def __index__(self):
            raise ValueError("no")

        def __float__(self):
            return 1.5

    class HugeIndex:  # too large for 64 bits, converted again as a float
        def __index__(self):
            return 2**70

    numbers = [IndexStr("zzz"), FloatStr("zzz"), 3, BadIndex(), HugeIndex()]
    got = multikeysort(rows_of("a", numbers), "a")
    assert same_objects([r["a"] for r in got], [numbers[i] for i in (1, 3, 2, 0, 4)])

    class Plain(str):
        pass

    huge = "b" * 10**6
    texts = [Plain("b"), "a", huge + "a", huge, "\ud800", "b\x00"]
    got = multikeysort(rows_of("a", texts), "-a")
    # The lone surrogate has no UTF-8 form: an Object, compared by Python.
    assert same_objects([r["a"] for r in got], [texts[i] for i in (4, 2, 3, 5, 0, 1)])


def test_missing_and_none_come_first_and_keep_their_order():
    rows = [{"a": 2}, {"b": 1}, {"a": None}, {"a": 1}]
    assert multikeysort(rows, ["a"]) == [{"b": 1}, {"a": None}, {"a": 1}, {"a": 2}]
    assert multikeysort(rows, ["-a"]) == [{"a": 2}, {"a": 1}, {"b": 1}, {"a": None}]


def test_leading_dash_is_removed_once():
    rows = [{"-a": 1, "": 1}, {"-a": 2, "": 2}]
    assert multikeysort(rows, ["--a"]) == rows[::-1]
    assert multikeysort(rows, ["-"]) == rows[::-1]
    assert multikeysort(rows, [" -a", "+a"]) == rows


def test_non_dict_items_and_non_str_keys():
    class Row:
        def __init__(self, value):
            self.value = value

        def __getitem__(self, key):
            return self.value

    rows = [{"a": 1}, [5], None, {1: "x", "a": -1}, Row(0), "ab"]
    got = multikeysort(rows, ["a"])
    assert same_objects(got, [rows[1], rows[2], rows[5], rows[3], rows[4], rows[0]])
    assert multikeysort([{1: "x"}, {1: "y"}], [1, "1"]) == [{1: "x"}, {1: "y"}]
    # Mappings that are not dicts contribute no key, so no column survives.
    rows = [Row(2), Row(1)]
    assert same_objects(multikeysort(rows, ["a"]), rows)


def test_several_columns():
    rows = [{"a": 1, "b": 2}, {"a": 1, "b": 1}, {"a": 0, "b": 9}]
    assert [r["b"] for r in multikeysort(rows, ["a", "-b"])] == [9, 2, 1]


@pytest.mark.parametrize("count", [3, 20, 21, 300])
@pytest.mark.parametrize("column", ["k", "-k"])
def test_stable_in_both_directions(count, column):
    rows = [{"k": i % 3, "id": i} for i in range(count)]
    got = multikeysort(rows, [column])
    keys = [r["k"] for r in got]
    assert keys == sorted(keys, reverse=column.startswith("-"))
    for k in range(3):
        ids = [r["id"] for r in got if r["k"] == k]
        assert ids == sorted(ids)


def test_spec_stability_example():
    rows = [{"k": 1, "id": 1}, {"k": 2, "id": 2}, {"k": 1, "id": 3}]
    assert [r["id"] for r in multikeysort(rows, ["-k"])] == [2, 1, 3]
    assert [r["id"] for r in multikeysort(rows, ["k"])] == [1, 3, 2]
