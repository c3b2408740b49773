"""multikeysort: what it hands back (a new list or the same one, every
reference released), and values and rows that fight back: inconsistent or
raising comparisons, lookups and comparisons that change the list, and a
PanicException raised by Python code."""

import gc
import math
import random
import sys
import tracemalloc

import pytest
from _vesk import multikeysort
from dictsort_model import model_sort
from support import BoolRaises, Missing, Trap, same_objects

# ------------------------------------------------------------------ delivery


@pytest.mark.parametrize("columns", [["a"], [], None, ["zz"]])
@pytest.mark.parametrize("count", [0, 1, 2, 25])
def test_new_list_or_in_place(columns, count):
    rows = [{"a": (i * 7) % 5} for i in range(count)]
    original = list(rows)
    expected = [original[p] for p in model_sort(original, columns)]
    result = multikeysort(rows, columns)
    assert type(result) is list and result is not rows
    assert same_objects(result, expected) and same_objects(rows, original)
    assert multikeysort(rows, columns, True) is None
    assert same_objects(rows, expected)


def test_list_subclass_is_read_in_place():
    rows = Trap([{"a": 2}, {"a": 1}])
    assert multikeysort(rows, "a") == [{"a": 1}, {"a": 2}]
    assert multikeysort(rows, "-a", inplace=True) is None
    assert list.__getitem__(rows, 0) == {"a": 2} and type(rows) is Trap


def test_references_are_released():
    value, text = object(), "some text"
    rows = [{"a": value, "b": text}, {"a": 1000.5, "b": 7000}, {"b": "x" * 50}, {"a": 10**30}] * 8
    watched = (value, text, rows[0], rows[1])
    before = [sys.getrefcount(x) for x in watched]
    for columns in (["a", "-b"], ["b", "a", "-a", "b"], "b", None):
        result = multikeysort(rows, columns)
        del result
        assert multikeysort(list(rows), columns, True) is None
    for action, error in ((lambda r: r.append(1), ValueError), (lambda r: r.clear(), IndexError)):
        victims = list(rows)
        victims.insert(1, shrinking(victims, action))
        with pytest.raises(error):
            multikeysort(victims, ["a"])
        del victims
    gc.collect()  # each shrinking row and its list refer to each other
    assert [sys.getrefcount(x) for x in watched] == before


def test_python_comparisons_leak_no_temporaries():
    # Int, Float and Text values against Objects and each other go through
    # Python with temporary objects, which must all be released.
    rows = [{"a": v} for v in (10**6, 2.5e9, "text", [1], 3 * 10**6, "more", (2,), 4.5e9)] * 6
    multikeysort(rows, ["a"])
    tracemalloc.start()
    try:
        first = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            multikeysort(rows, ["a"])
        growth = tracemalloc.get_traced_memory()[0] - first
    finally:
        tracemalloc.stop()
    assert growth < 20_000


# ------------------------------------------------------------------ hostile input


class Chaos:
    """Orders itself by coin flips, or by a fixed answer."""

    def __init__(self, rng, answer=None):
        self.rng, self.answer = rng, answer

    def __lt__(self, other):
        return self.rng.random() < 0.5 if self.answer is None else self.answer

    __gt__ = __lt__


@pytest.mark.parametrize("count", [2, 20, 21, 64, 500])
@pytest.mark.parametrize("answer", [None, True, False])
def test_inconsistent_comparisons_give_a_permutation(count, answer):
    rng = random.Random(count)
    rows = [{"a": Chaos(rng, answer), "b": rng.choice([1, "x", math.nan])} for _ in range(count)]
    for columns in (["a"], ["b", "-a"]):
        result = multikeysort(rows, columns)
        assert sorted(map(id, result)) == sorted(map(id, rows))
        copy = list(rows)
        assert multikeysort(copy, columns, inplace=True) is None
        assert sorted(map(id, copy)) == sorted(map(id, rows))


def test_comparison_that_raises_counts_as_equal():
    class Grumpy:
        def __lt__(self, other):
            raise RuntimeError("no")

    class Lying:
        def __lt__(self, other):
            return BoolRaises(lambda: RuntimeError("no"))

        __gt__ = __lt__

    for cls in (Grumpy, Lying):
        rows = [{"a": cls()} for _ in range(30)]
        assert same_objects(multikeysort(rows, ["a"]), rows)


def shrinking(rows, action):
    """A row without the column whose lookup runs `action(rows)`, then fails."""

    def lookup(key):
        action(rows)
        raise KeyError(key)

    return Missing(lookup)


@pytest.mark.parametrize("inplace", [False, True])
def test_lookup_that_grows_the_list(inplace):
    rows = [{"a": 3}, {"a": 1}]
    rows.insert(1, shrinking(rows, lambda r: r.append({"a": 0})))
    before = list(rows)
    with pytest.raises(ValueError) as info:
        multikeysort(rows, ["a"], inplace)
    assert info.value.args == ("list modified during sort",)
    assert same_objects(rows[:3], before) and len(rows) == 4


@pytest.mark.parametrize("action", [lambda r: r.pop(), lambda r: r.clear()])
@pytest.mark.parametrize("inplace", [False, True])
def test_lookup_that_shrinks_the_list(action, inplace):
    rows = [{"a": 3}, {"a": 1}, {"a": 2}]
    rows.insert(0, shrinking(rows, action))
    before = list(rows)
    with pytest.raises(IndexError):
        multikeysort(rows, ["a"], inplace)
    assert same_objects(rows, before[: len(rows)])


def test_comparison_that_grows_or_replaces():
    rows = [{"a": i} for i in range(25)]

    class Growing:
        def __lt__(self, other):
            rows.append({"a": 0})
            return False

        __gt__ = __lt__

    rows[3] = {"a": Growing()}
    before = list(rows)
    with pytest.raises(ValueError, match="^list modified during sort$"):
        multikeysort(rows, ["-a"], inplace=True)
    assert same_objects(rows[:25], before)

    # A change that keeps the length goes unnoticed: each place then holds the
    # object found after the sort at the position of the row sorted there.
    rows = [{"a": i} for i in range(5)]
    stranger = {"a": "stranger"}

    class Swapping:
        def __lt__(self, other):
            rows[4] = stranger
            return False

        __gt__ = __lt__

    rows[0] = {"a": Swapping()}
    first = rows[0]
    result = multikeysort(rows, ["-a"])
    assert rows[4] is stranger
    assert same_objects(result, [first, stranger, rows[3], rows[2], rows[1]])


def vesk_panic_type():
    """_vesk's own PanicException type (a test-hooks module makes its own)."""
    multikeysort([{"a": {1}}, {"a": {2}}], "a")  # a discarded comparison creates the type
    found = [
        t
        for t in gc.get_objects()
        if isinstance(t, type) and t.__module__ == "pyo3_runtime" and t.__name__ == "PanicException"
    ]
    for candidate in found:
        raised = candidate("probe")

        class Probe:
            def __lt__(self, other, raised=raised):
                raise raised

        try:
            multikeysort([{"a": Probe()}, {"a": Probe()}], "a")
        except BaseException as error:
            # Another module's type propagates as it is; _vesk's own is
            # resumed as a new instance.
            if type(error) is candidate and error is not raised:
                return candidate
    pytest.fail("no PanicException type is resumed by multikeysort")


def test_panic_from_python_code_is_resumed(capfd):
    panic_type = vesk_panic_type()

    class Panicky:
        def __lt__(self, other):
            raise panic_type("inside a comparison")

    class PanickyRow(dict):
        def __missing__(self, key):
            raise panic_type("inside a lookup")

    rows = [{"a": 2}] + [{"a": Panicky()} for _ in range(30)]
    for items, message in (
        (rows, "inside a comparison"),
        ([PanickyRow(), {"a": 1}], "inside a lookup"),
    ):
        before = list(items)
        with pytest.raises(BaseException) as info:
            multikeysort(items, ["a"], inplace=True)
        assert type(info.value) is panic_type and info.value.args == (message,)
        assert same_objects(items, before)
    assert "Python stack trace below:" in capfd.readouterr().err
