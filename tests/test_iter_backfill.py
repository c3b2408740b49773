"""backfill and backfill_iterdict: missing values filled from the next present one."""

import gc

import pytest
from _vesk import backfill, backfill_iterdict
from hypothesis import given, settings
from hypothesis import strategies as st
from support import Trap, examples

# --------------------------------------------------------------- backfill


@pytest.mark.parametrize(
    "values, expected",
    [
        ([None, None, 1, 2, 3, None, 4], [1, 1, 1, 2, 3, 3, 4]),
        ([1, None, None], [1, 1, 1]),
        ([None, "a", None, "b"], ["a", "a", "a", "b"]),
        ([0, None, "", None], [0, 0, "", ""]),
        ([float("inf"), None], [float("inf")] * 2),
    ],
)
def test_backfill_cases(values, expected):
    snapshot = list(values)
    result = backfill(values)
    assert result == expected and type(result) is list
    assert values == snapshot and result is not values


def test_backfill_identity_rules():
    empty = []
    assert backfill(empty) == [] and backfill(empty) is not empty
    nones = [None, None]
    assert backfill(nones) is nones
    x = []
    assert backfill([None, x])[0] is x

    sub = Trap([None, 2])
    result = backfill(sub)
    assert result == [2, 2] and type(result) is list
    all_none = Trap([None])
    assert backfill(all_none) is all_none


def test_backfill_nan_is_a_value():
    nan = float("nan")
    result = backfill([nan, None])
    assert result[1] is nan


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(st.none() | st.integers(0, 3)))
def test_backfill_matches_model(values):
    present = [v for v in values if v is not None]
    if not values:
        assert backfill(values) == [] and backfill(values) is not values
        return
    if not present:
        assert backfill(values) is values
        return
    fill, expected = present[0], []
    for v in values:
        fill = fill if v is None else v
        expected.append(fill)
    assert backfill(values) == expected


# --------------------------------------------------------------- backfill_iterdict


def model_backfill_iterdict(rows):
    latest, pending, result = {}, {}, []
    for r, row in enumerate(rows):
        out = {}
        for k, v in row.items():
            if v is not None:
                latest[k] = v
                for i in pending.pop(k, []):
                    result[i][k] = v
                out[k] = v
            elif k in latest:
                out[k] = latest[k]
            else:
                pending.setdefault(k, []).append(r)
        result.append(out)
    return result


@pytest.mark.parametrize(
    "rows, expected",
    [
        (
            [{"a": 1, "b": None}, {"a": 4, "b": 2}, {"a": None, "b": None}],
            [{"a": 1, "b": 2}, {"a": 4, "b": 2}, {"a": 4, "b": 2}],
        ),
        ([], []),
        ([{"a": None}, {"a": None}, {"a": 3}], [{"a": 3}, {"a": 3}, {"a": 3}]),
        ([{"a": 1}, {"a": None}, {"a": None}], [{"a": 1}, {"a": 1}, {"a": 1}]),
        ([{"a": None}], [{}]),
        ([{"a": 1, "b": None}], [{"a": 1}]),
        ([{"a": 1}, {}, {"a": None}], [{"a": 1}, {}, {"a": 1}]),
        ([{"a": 0}, {"a": None}], [{"a": 0}, {"a": 0}]),
        # Only the rows that held the key with None are filled.
        (
            [{"a": None}, {"x": 1}, {"a": None}, {"a": 2}],
            [{"a": 2}, {"x": 1}, {"a": 2}, {"a": 2}],
        ),
    ],
)
def test_backfill_iterdict_cases(rows, expected):
    snapshot = [dict(r) for r in rows]
    result = backfill_iterdict(rows)
    assert result == expected
    assert rows == snapshot


def test_backfill_iterdict_key_order_and_identity():
    rows = [{"b": None, "a": 1}, {"b": 2, "a": 3}]
    result = backfill_iterdict(rows)
    assert list(result[0]) == ["a", "b"] and list(result[1]) == ["b", "a"]
    assert result[0] is not rows[0] and rows[0]["b"] is None
    assert result[1]["b"] is rows[1]["b"]

    class Key(str):
        pass

    class Row(dict):
        pass

    key = Key("k")
    value = object()
    out = backfill_iterdict([Row({key: value})])
    (only,) = out
    assert type(only) is dict
    (out_key,) = only
    assert type(out_key) is str and out_key == "k" and out_key is not key
    assert only["k"] is value


@pytest.mark.parametrize(
    "rows, message",
    [
        ([{"a": 1}, 5], "'int' object is not an instance of 'dict'"),
        ([None], "'None' is not an instance of 'dict'"),
        ([{1: 2}], "'int' object is not an instance of 'str'"),
        ([{"a": 1}, {None: 2}], "'None' is not an instance of 'str'"),
    ],
)
def test_backfill_iterdict_bad_rows(rows, message):
    with pytest.raises(TypeError) as info:
        backfill_iterdict(rows)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_backfill_iterdict_surrogate_key():
    with pytest.raises(UnicodeEncodeError):
        backfill_iterdict([{"\ud800": 1}])


@settings(max_examples=examples(300), deadline=None)
@given(
    st.lists(
        st.dictionaries(st.sampled_from("abcd"), st.none() | st.integers(0, 5), max_size=4),
        max_size=8,
    )
)
def test_backfill_iterdict_matches_model(rows):
    result = backfill_iterdict(rows)
    expected = model_backfill_iterdict(rows)
    assert result == expected
    assert [list(r) for r in result] == [list(r) for r in expected]


class OddKey(str):
    """Equal only to itself, so a dict can hold it beside a plain str of the same text."""

    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([{"a": None, OddKey("a"): 1}], [{"a": 1}]),
        ([{"a": None}, {"a": None, OddKey("a"): 1}], [{"a": 1}, {"a": 1}]),
        ([{"a": 1, OddKey("a"): None}], [{"a": 1}]),
    ],
)
def test_backfill_iterdict_keys_sharing_a_text(rows, expected):
    assert backfill_iterdict(rows) == expected


@pytest.mark.thread_unsafe(reason="sets the collector's threshold for the whole process")
@pytest.mark.parametrize("fn", [backfill, backfill_iterdict])
def test_finalizers_mutating_the_input_during_a_call(fn):
    """Garbage collection inside the call runs __del__ methods that empty the list."""
    victims = []

    class Cleaner:
        def __del__(self):
            victims.clear()

    def make_garbage():
        for _ in range(50):
            c = Cleaner()
            c.cycle = c

    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        for _ in range(30):
            victims[:] = (
                [{"a": None, "b": i} for i in range(300)]
                if fn is backfill_iterdict
                else [None if i % 3 else i for i in range(300)]
            )
            make_garbage()
            try:
                result = fn(victims)
            except IndexError:
                continue
            assert isinstance(result, list)
    finally:
        gc.set_threshold(*old)
        gc.collect()


@settings(max_examples=examples(200), deadline=None)
@given(
    st.lists(
        st.dictionaries(
            st.sampled_from(["ka", "kb", "kc", "kd"]), st.none() | st.integers(0, 5), max_size=4
        ),
        max_size=8,
    ),
    st.lists(st.booleans(), max_size=8),
)
def test_backfill_iterdict_fresh_key_objects_match_model(rows, fresh):
    # Rows with their own key strings (as decoded rows have) mixed with rows
    # sharing them.
    fresh = fresh + [False] * len(rows)
    rows = [{(k[:1] + k[1:] if f else k): v for k, v in row.items()} for row, f in zip(rows, fresh)]
    result = backfill_iterdict(rows)
    expected = model_backfill_iterdict(rows)
    assert result == expected
    assert [list(r) for r in result] == [list(r) for r in expected]
    assert all(type(k) is str for r in result for k in r)
