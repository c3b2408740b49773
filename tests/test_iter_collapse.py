"""collapse: nested lists and tuples flattened, cycles refused."""

import collections
import gc
import sys
import weakref

import pytest
from _vesk import collapse
from hypothesis import given, settings
from hypothesis import strategies as st
from support import Trap, examples, run_child


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
    assert collapse(Trap([1, [2]])) == [1, 2]


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


@pytest.mark.parametrize(
    "shape", ["self", "through_tuple", "deep", "late", "side_branches", "period3"]
)
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


# A timer's handler runs many times during the walk; were the result among the
# live objects, it would be found half-built and fed back into the walk.
HANDLER_FEEDS_THE_RESULT_BACK = """
    import gc, signal
    from _vesk import collapse
    first = object()
    data = [first] + [list(range(1000)) for _ in range(3000)]
    ran, found, busy = [], [], []
    def handler(signum, frame):
        if busy:  # a slow scan (a sanitizer build) outlasts the timer's interval
            return
        busy.append(1)
        ran.append(1)
        for o in gc.get_objects():  # (once complete, the result may be found)
            if type(o) is list and 0 < len(o) < 3_000_001 and o[0] is first and o is not data:
                found.append(len(o))
                data.append(o)
        busy.clear()
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    result = collapse(data)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert ran and not found and len(result) == 3_000_001 and len(data) == 3001, found[:3]
"""


def test_collapse_result_is_unreachable_from_signal_handlers():
    run_child(HANDLER_FEEDS_THE_RESULT_BACK, timeout=60)


@settings(max_examples=examples(200), deadline=None)
@given(
    st.recursive(
        st.integers() | st.text(max_size=3) | st.none(),
        lambda children: st.lists(children, max_size=4) | st.tuples(children, children),
        max_leaves=40,
    )
)
def test_collapse_matches_model(tree):
    assert collapse(tree, [tree]) == model_collapse(tree, [tree])


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
