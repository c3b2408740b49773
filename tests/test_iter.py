"""collapse, backfill, backfill_iterdict and same_order."""

import collections
import gc
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _vesk import backfill, backfill_iterdict, collapse, same_order


def model_collapse(*args):
    out = []
    for arg in args:
        if isinstance(arg, (list, tuple)):
            out.extend(model_collapse(*arg))
        else:
            out.append(arg)
    return out


# --------------------------------------------------------------- collapse

Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize(
    "args, expected",
    [
        ((), []),
        (([],), []),
        (((),), []),
        (([[], ()],), []),
        (("abc",), ["abc"]),
        ((1, [2, (3, [4])], 5), [1, 2, 3, 4, 5]),
        (([["a", ["b", ("c", "d")]], -2, -1, [0, 1]],), ["a", "b", "c", "d", -2, -1, 0, 1]),
        ((Point(1, [2]),), [1, 2]),
        (({"a": 1}, {1}, b"x", range(2)), [{"a": 1}, {1}, b"x", range(2)]),
    ],
)
def test_collapse_cases(args, expected):
    assert collapse(*args) == expected


def test_collapse_keeps_identity_and_inputs():
    leaf, gen = object(), (i for i in range(3))
    nested = [leaf, (gen, [leaf])]
    snapshot = repr(nested)
    result = collapse(nested)
    assert result[0] is leaf and result[1] is gen and result[2] is leaf
    assert repr(nested) == snapshot
    flat = [1, 2]
    assert collapse(flat) == flat and collapse(flat) is not flat


def test_collapse_ignores_overridden_protocols():
    class Sneaky(list):
        def __iter__(self):
            raise AssertionError("iterated")

        def __len__(self):
            raise AssertionError("len")

        def __getitem__(self, i):
            raise AssertionError("getitem")

    assert collapse(Sneaky([1, [2]])) == [1, 2]


def test_collapse_deep_nesting():
    depth = 100_000
    deep = [7]
    for _ in range(depth):
        deep = [deep, 1]
    assert collapse(deep) == [7] + [1] * depth
    chain = (1,)
    for _ in range(depth):
        chain = (chain,)
    assert collapse(chain) == [1]


def test_collapse_shared_subcontainers_are_not_cycles():
    x = [1, [2]]
    assert collapse([x, x, (x,)]) == [1, 2] * 3


@pytest.mark.parametrize("shape", ["self", "through_tuple", "deep", "late", "side_branches", "period3"])
def test_collapse_detects_cycles(shape):
    a = [1]
    if shape == "self":
        a.append(a)
    elif shape == "through_tuple":
        a.append((2, [3, a]))
    elif shape == "deep":
        inner = a
        for _ in range(500):
            inner.append([])
            inner = inner[-1]
        inner.append(a)
    elif shape == "side_branches":  # deep finite branches before every cyclic step
        side = [0]
        for _ in range(200):
            side = [side]
        a.extend([side, (side, a)])
    elif shape == "period3":
        b, c = [2], [3]
        a.append(b)
        b.append(c)
        c.append(a)
    else:  # a cycle found only after a long acyclic stretch
        tail = [9]
        tail.append(tail)
        a.extend([list(range(5))] * 100 + [tail])
    probe = weakref.ref(sys.modules[__name__])  # keep something weakref-able alive
    with pytest.raises(ValueError) as info:
        collapse(0, a)
    assert str(info.value) == "collapse() argument contains a reference cycle"
    assert probe() is not None


def test_collapse_cycle_releases_references():
    class Leaf:
        pass

    leaf = Leaf()
    ref = weakref.ref(leaf)
    a = [leaf]
    a.append(a)
    with pytest.raises(ValueError):
        collapse(a)
    a.clear()
    del a, leaf
    gc.collect()
    assert ref() is None


@settings(max_examples=200, deadline=None)
@given(
    st.recursive(
        st.integers() | st.text(max_size=3) | st.none(),
        lambda children: st.lists(children, max_size=4) | st.tuples(children, children),
        max_leaves=40,
    )
)
def test_collapse_matches_model(tree):
    assert collapse(tree, [tree]) == model_collapse(tree, [tree])


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

    class Sub(list):
        def __getitem__(self, i):
            raise AssertionError("getitem")

    sub = Sub([None, 2])
    result = backfill(sub)
    assert result == [2, 2] and type(result) is list
    all_none = Sub([None])
    assert backfill(all_none) is all_none


def test_backfill_nan_is_a_value():
    nan = float("nan")
    result = backfill([nan, None])
    assert result[1] is nan


@settings(max_examples=200, deadline=None)
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


@settings(max_examples=300, deadline=None)
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


# --------------------------------------------------------------- same_order


@pytest.mark.parametrize(
    "ref, comp, expected",
    [
        (["x", "y", "z"], ["x", "a", "b", "y", "d", "z"], True),
        (["x", "y", "z"], ["x", "z", "y"], False),
        ([], [], True),
        ([], [1], True),
        (["a"], [], False),
        (["x", "y"], ["y"], False),
        (["x", "q"], ["x", "y"], False),
        (["y", "x"], ["x", "y", "x"], False),
        (["x", "x"], ["x", "a"], True),
        (["x", "x", "x"], ["x", "a"], False),
        ([1], [1.0], True),
        ([1], [True], True),
        (["é"], ["e", "é"], True),
        (["a\U0001f600"], ["a\U0001f600"], True),
    ],
)
def test_same_order_cases(ref, comp, expected):
    assert same_order(ref, comp) is expected


def test_same_order_nan_has_no_identity_shortcut():
    nan = float("nan")
    assert same_order([nan], [nan]) is False


def test_same_order_exception_passes_through():
    class Boom(Exception):
        pass

    err = Boom()

    class Bad:
        def __eq__(self, other):
            raise err

    with pytest.raises(Boom) as info:
        same_order([Bad()], [1])
    assert info.value is err

    class BadBool:
        def __bool__(self):
            raise err

    class Weird:
        def __eq__(self, other):
            return BadBool()

    with pytest.raises(Boom) as info:
        same_order([Weird()], [1])
    assert info.value is err


def test_same_order_mutation_during_comparison():
    comp = [1, 2, 3]

    class Shrinker:
        def __eq__(self, other):
            comp.clear()
            return False

    with pytest.raises(IndexError):
        same_order([Shrinker()], comp)

    ref = []

    class RefShrinker:
        def __eq__(self, other):
            ref.clear()
            return True

    ref.extend([RefShrinker(), 1])
    with pytest.raises(IndexError):
        same_order(ref, [1, 1])

    grown = [0, 1]

    class Grower:
        def __eq__(self, other):
            grown.append(self)
            return False

    assert same_order([Grower()], grown) is False
    assert len(grown) == 4


def test_same_order_freeing_during_comparison():
    comp = []

    class Freer:
        def __eq__(self, other):
            comp[:] = [object() for _ in range(3)]
            gc.collect()
            return False

    comp.extend([object(), object(), object()])
    assert same_order([Freer()], comp) is False


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(0, 4), max_size=5), st.lists(st.integers(0, 4), max_size=8))
def test_same_order_matches_model(ref, comp):
    if len(comp) < len(ref):
        expected = False
    elif all(x in comp for x in ref):
        positions = [comp.index(x) for x in ref]
        expected = positions == sorted(positions)
    else:
        expected = False
    assert same_order(ref, comp) is expected


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
            victims[:] = [{"a": None, "b": i} for i in range(300)] if fn is backfill_iterdict else [
                None if i % 3 else i for i in range(300)
            ]
            make_garbage()
            try:
                result = fn(victims)
            except IndexError:
                continue
            assert isinstance(result, list)
    finally:
        gc.set_threshold(*old)
        gc.collect()


# --------------------------------------------------------------- native fast paths


def model_same_order(ref, comp):
    if len(comp) < len(ref):
        return False
    positions = []
    for x in ref:
        for j, y in enumerate(comp):
            if x == y:
                positions.append(j)
                break
        else:
            return False
    return positions == sorted(positions)


NAN = float("nan")
builtin_values = st.sampled_from(
    [0, 1, -1, True, False, 1.0, -0.0, 0.0, 2.5, NAN, float("inf"), None, "", "a", "é", "a\U0001f600",
     2**53, 2**53 + 1, float(2**53), 2**61 - 1, 2**61, -(2**61 - 1), 10**30, float(10**30), -2, -1.0]
) | st.integers() | st.text(max_size=2)


@settings(max_examples=500, deadline=None)
@given(st.lists(builtin_values, max_size=6), st.lists(builtin_values, max_size=10), st.data())
def test_same_order_builtin_elements_match_model(ref, comp, data):
    # Taking some reference elements from comp puts repeats and in-order runs in play.
    if comp:
        ref = ref + [comp[i] for i in data.draw(st.lists(st.integers(0, len(comp) - 1), max_size=4))]
    assert same_order(ref, comp) is model_same_order(ref, comp)
    assert same_order(ref, comp + [object()]) is model_same_order(ref, comp + [object()])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.binary(max_size=2) | st.none(), max_size=5), st.lists(st.binary(max_size=2) | st.none(), max_size=8))
def test_same_order_bytes_match_model(ref, comp):
    assert same_order(ref, comp) is model_same_order(ref, comp)


def test_same_order_reads_comp_only_as_far_as_needed():
    calls = []

    class Spy:
        def __eq__(self, other):
            calls.append(other)
            return False

    # Every reference value is found before the spy: no Python call, either way.
    assert same_order(["a", 1], ["a", 1.0, Spy()]) is True
    assert calls == []
    # A missing value makes the general check compare it with the whole list.
    assert same_order(["a", "q"], ["a", Spy(), "b"]) is False
    assert calls == ["q"]
    calls.clear()
    assert same_order([NAN], [1, Spy()]) is False
    assert calls == [NAN]


@pytest.mark.parametrize("flag", ["-b", "-bb"])
def test_same_order_bytes_beside_text_keeps_the_warning(flag):
    import subprocess

    import os

    import _vesk

    code = "from _vesk import same_order; print(same_order([b'a'], ['a', b'a']))"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_vesk.__file__))
    done = subprocess.run([sys.executable, flag, "-c", code], capture_output=True, text=True, env=env)
    assert "BytesWarning" in done.stderr
    if flag == "-b":
        assert done.stdout.strip() == "True"


def nest(inner, depth):
    for _ in range(depth):
        inner = [inner]
    return inner


@pytest.mark.parametrize("depth", [0, 1, 7, 8, 9, 14, 15, 16, 17, 18, 40, 1000])
def test_collapse_cycle_at_any_depth_is_reported_at_once(depth):
    a = [1, 2]
    a.append(a)
    with pytest.raises(ValueError) as info:
        collapse(nest(a, depth))
    assert str(info.value) == "collapse() argument contains a reference cycle"
    # A cycle entered deep down is also seen at its first repeat.
    b = [0]
    loop = nest(b, depth)
    b.append(loop)
    with pytest.raises(ValueError):
        collapse(loop)


@pytest.mark.parametrize("depth", [5, 15, 16, 17, 30])
def test_collapse_shared_and_hovering_paths_are_not_cycles(depth):
    shared = nest([1, (2,)], 20)
    # Walks that go up and down around every depth, with shared containers.
    tree = [nest([shared, shared], d) for d in range(depth - 3, depth + 3)] * 3
    expected = model_collapse(tree)
    assert collapse(tree) == expected and len(expected) == 72


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.dictionaries(st.sampled_from(["ka", "kb", "kc", "kd"]), st.none() | st.integers(0, 5), max_size=4),
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
