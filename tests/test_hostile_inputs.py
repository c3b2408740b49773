"""Hostile inputs.

Subclasses whose overridden methods must never be called, nesting a million
levels deep, 50 MB texts through every text function, and calls from a
finalizer in the middle of a collection. None of it may crash, and where an
exception is documented it is that one.
"""

import gc

import _vesk
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
from notes import arg_notes, notes_of
from support import SANITIZED, Trap, TrapDict, TrapTuple

# ---------------------------------------- subclasses whose methods are bypassed


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
DEPTH = 200_000 if SANITIZED else 1_000_000


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
    assert notes_of(info.value) == arg_notes(param)


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
