"""same_order: the reference items found in the same order in the compared list."""

import gc
import os
import subprocess
import sys

import _vesk
import pytest
from _vesk import same_order
from hypothesis import given, settings
from hypothesis import strategies as st
from support import EqGivesBoolRaises, EqRaises, examples

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
    with pytest.raises(Boom) as info:
        same_order([EqRaises(err)], [1])
    assert info.value is err

    with pytest.raises(Boom) as info:
        same_order([EqGivesBoolRaises(err)], [1])
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


@settings(max_examples=examples(300), deadline=None)
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
builtin_values = (
    st.sampled_from(
        [
            0,
            1,
            -1,
            True,
            False,
            1.0,
            -0.0,
            0.0,
            2.5,
            NAN,
            float("inf"),
            None,
            "",
            "a",
            "é",
            "a\U0001f600",
            2**53,
            2**53 + 1,
            float(2**53),
            2**61 - 1,
            2**61,
            -(2**61 - 1),
            10**30,
            float(10**30),
            -2,
            -1.0,
        ]
    )
    | st.integers()
    | st.text(max_size=2)
)


@settings(max_examples=examples(500), deadline=None)
@given(st.lists(builtin_values, max_size=6), st.lists(builtin_values, max_size=10), st.data())
def test_same_order_builtin_elements_match_model(ref, comp, data):
    # Taking some reference elements from comp puts repeats and in-order runs in play.
    if comp:
        ref = ref + [
            comp[i] for i in data.draw(st.lists(st.integers(0, len(comp) - 1), max_size=4))
        ]
    assert same_order(ref, comp) is model_same_order(ref, comp)
    assert same_order(ref, comp + [object()]) is model_same_order(ref, comp + [object()])


@settings(max_examples=examples(200), deadline=None)
@given(
    st.lists(st.binary(max_size=2) | st.none(), max_size=5),
    st.lists(st.binary(max_size=2) | st.none(), max_size=8),
)
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
    code = "from _vesk import same_order; print(same_order([b'a'], ['a', b'a']))"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_vesk.__file__))
    done = subprocess.run(
        [sys.executable, flag, "-c", code], capture_output=True, text=True, env=env
    )
    assert "BytesWarning" in done.stderr
    if flag == "-b":
        assert done.stdout.strip() == "True"
