"""Reference and memory leaks.

Every function is called thousands of times on its success paths and on every
error path (binding, conversion, callbacks that raise, cycles, bad rows); the
interpreter's allocated-block count and the resident size must stay flat. The
texts are a few kilobytes long, so that a leaked native copy shows up in the
resident size even though the block count only sees small Python objects.
Reference counts and weak references then check, object by object, that
inputs, their items and the results are released exactly.
"""

import gc
import sys
import weakref

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
from support import (
    BLOCK_SLACK,
    RSS_SLACK,
    EqGivesBoolRaises,
    EqRaises,
    Lookup,
    LtRaises,
    Missing,
    NumberRaises,
    Token,
    expecting,
    growth,
    succeeding,
)

# ------------------------------------------------------------ hostile values


class BadSequence:
    """Passes the sequence check, then fails while being iterated."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise IndexError("no items") if index else ValueError("broken sequence")


def text(n=2000):
    return ("getHTTPResponse_Code 1,234.5 ½ " * (n // 30 + 1))[:n]


def rows(count=60):
    # Ints, floats, texts, None, missing keys and opaque objects, so every
    # kind of comparison runs (and the mixed column is inconsistent).
    out = []
    for i in range(count):
        row = {"k": (i * 7) % 11, "f": i / 3, "t": f"name{i % 13}"}
        if i % 5:
            row["mixed"] = [i, str(i), None, i / 2.0, Token(i)][i % 5]
        out.append(row)
    return out


def appender(items, **values):
    """A row whose lookup of a missing key grows the list being sorted."""
    return Missing(lambda key: items.append({}), **values)


def remover(items, **values):
    """A row whose every lookup drops the last item of the list."""

    def drop(key):
        del items[-1]

    return Lookup(drop, **values)


def getitem_raises(**values):
    def fail(key):
        raise LookupError("getitem failed")

    return Lookup(fail, **values)


def fresh_modified_list():
    items = [{"a": 1}, {"a": 2, "b": 1}]
    items.append(appender(items, a=0))
    return multikeysort(items, ["a", "b"])


def fresh_shrinking_list():
    items = [{"a": 3}, {"a": 2}, {"a": 1}]
    items[1] = remover(items, a=2)
    return multikeysort(items, ["a"])


CYCLE = [1, [2]]
CYCLE[1].append(CYCLE)
NOT_STR = "'int' object is not an instance of 'str'"
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"

SUCCESS = {
    "parse-int": lambda: succeeding(parse, "$1,200m " * 200),
    "parse-float": lambda: succeeding(parse, " (1,234.50) " + "9" * 2000 + ".5"),
    "parse-none": lambda: succeeding(parse, "n/a " * 500),
    "normalize": lambda: succeeding(normalize_numeric_str, " (" + "1,000" * 400 + "%) "),
    "normalize-none": lambda: succeeding(normalize_numeric_str, "\u3000( , % )\u3000"),
    "uncamel": lambda: succeeding(uncamel, text()),
    "uncamel-unicode": lambda: succeeding(uncamel, "ÉtéÀİstanbulΣ" * 200),
    "camelcase": lambda: succeeding(underscore_to_camelcase, text()),
    "camelcase-unicode": lambda: succeeding(underscore_to_camelcase, "a_ßx_ǆ_ﬁ_ΐ" * 200),
    "vulgar": lambda: succeeding(sanitize_vulgar_string, text()),
    "vulgar-none": lambda: succeeding(sanitize_vulgar_string, "no fractions here " * 100),
    "collapse": lambda: succeeding(collapse, [1, [2, (3, [Token()])]], (), "x", [[[[]]]]),
    "collapse-deep": lambda: succeeding(collapse, nested(200)),
    "backfill": lambda: succeeding(backfill, [None, 1, None, Token(), None] * 100),
    "backfill-all-none": lambda: succeeding(backfill, [None] * 50),
    "backfill-iterdict": lambda: succeeding(
        backfill_iterdict, [{"a": None, "b": i, "c": None} for i in range(50)] + [{"a": 1, "c": 2}]
    ),
    "same-order-true": lambda: succeeding(same_order, list("xyz"), list("xaybzc")),
    "same-order-objects": lambda: succeeding(same_order, [1.0, 2, Token()], [1, 2.0, 3]),
    "multikeysort": lambda: succeeding(multikeysort, rows(), ["-k", "t", "f", "mixed"]),
    "multikeysort-inplace": lambda: succeeding(multikeysort, rows(), "mixed", inplace=True),
    "multikeysort-no-columns": lambda: succeeding(multikeysort, rows(), ["nope", 1, None]),
    "multikeysort-tuple-columns": lambda: succeeding(multikeysort, rows(10), ("-f", "t")),
    "multikeysort-lt-raises": lambda: succeeding(
        multikeysort, [{"a": LtRaises(i)} for i in range(30)], ["a"]
    ),
    "multikeysort-number-raises": lambda: succeeding(
        multikeysort, [{"a": NumberRaises(i)} for i in range(30)], ["a"]
    ),
    "multikeysort-getitem-raises": lambda: succeeding(
        multikeysort, [getitem_raises(a=i) for i in range(30)], ["a"]
    ),
    "multikeysort-bad-sequence": lambda: succeeding(multikeysort, rows(5), BadSequence()),
    "multikeysort-not-a-sequence": lambda: succeeding(multikeysort, rows(5), 5),
    "multikeysort-surrogate-column": lambda: succeeding(multikeysort, rows(5), ["\ud800", "k"]),
}

ERRORS = {
    # binding
    "missing": lambda: expecting(
        TypeError, "parse() missing 1 required positional argument: 's'", parse
    ),
    "too-many": lambda: expecting(
        TypeError,
        "multikeysort() takes from 2 to 3 positional arguments but 4 were given",
        multikeysort,
        [],
        [],
        True,
        4,
    ),
    "unexpected-keyword": lambda: expecting(
        TypeError,
        "normalize_numeric_str() got an unexpected keyword argument 't'",
        normalize_numeric_str,
        "1",
        t=2,
    ),
    "surrogate-keyword": lambda: expecting(
        TypeError,
        "uncamel() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        uncamel,
        **{"\ud800": "x"},
    ),
    "multiple-values": lambda: expecting(
        TypeError,
        "multikeysort() got multiple values for argument 'items'",
        multikeysort,
        [],
        items=[],
        columns=[],
    ),
    "collapse-keyword": lambda: expecting(
        TypeError, "collapse() got an unexpected keyword argument 'args'", collapse, 1, args=2
    ),
    "missing-two": lambda: expecting(
        TypeError,
        "same_order() missing 2 required positional arguments: 'ref_list' and 'comp'",
        same_order,
    ),
    # conversion
    "parse-none": lambda: expecting(TypeError, "'None' is not an instance of 'str'", parse, None),
    "parse-surrogate": lambda: expecting(UnicodeEncodeError, SURROGATE, parse, "\ud800"),
    "normalize-int": lambda: expecting(TypeError, NOT_STR, normalize_numeric_str, 5),
    "uncamel-bytes": lambda: expecting(
        TypeError, "'bytes' object is not an instance of 'str'", uncamel, b"aB"
    ),
    "camelcase-surrogate": lambda: expecting(
        UnicodeEncodeError, SURROGATE, underscore_to_camelcase, "\ud800" + "a" * 3000
    ),
    "vulgar-list": lambda: expecting(
        TypeError, "'list' object is not an instance of 'str'", sanitize_vulgar_string, ["½"]
    ),
    "backfill-tuple": lambda: expecting(
        TypeError, "'tuple' object is not an instance of 'list'", backfill, (None, 1)
    ),
    "backfill-iterdict-none": lambda: expecting(
        TypeError, "'None' is not an instance of 'list'", backfill_iterdict, None
    ),
    "same-order-comp": lambda: expecting(
        TypeError, "'str' object is not an instance of 'list'", same_order, ["x"], "x"
    ),
    "multikeysort-items": lambda: expecting(
        TypeError, "'dict' object is not an instance of 'list'", multikeysort, {}, ["a"]
    ),
    "multikeysort-inplace": lambda: expecting(
        TypeError, "'int' object is not an instance of 'bool'", multikeysort, rows(5), ["k"], 1
    ),
    # callbacks that raise, and data the functions refuse
    "same-order-eq-raises": lambda: expecting(
        ArithmeticError, "eq failed", same_order, [EqRaises()], [Token(), Token()]
    ),
    "same-order-bool-raises": lambda: expecting(
        ZeroDivisionError, "no truth", same_order, [EqGivesBoolRaises()], [1]
    ),
    "collapse-cycle": lambda: expecting(
        ValueError, "collapse() argument contains a reference cycle", collapse, "a", CYCLE
    ),
    "backfill-iterdict-not-dict": lambda: expecting(
        TypeError,
        "'int' object is not an instance of 'dict'",
        backfill_iterdict,
        [{"a": None, "b": Token()}, {"a": 1}, 5],
    ),
    "backfill-iterdict-int-key": lambda: expecting(
        TypeError, NOT_STR, backfill_iterdict, [{"a": Token()}, {"a": None, 1: 2}]
    ),
    "backfill-iterdict-surrogate-key": lambda: expecting(
        UnicodeEncodeError, SURROGATE, backfill_iterdict, [{"\ud800": 1}]
    ),
    "multikeysort-grown": lambda: expecting(
        ValueError, "list modified during sort", fresh_modified_list
    ),
    "multikeysort-shrunk": lambda: expecting(
        IndexError, "list index out of range", fresh_shrinking_list
    ),
}


def nested(depth):
    chain = [Token()]
    for i in range(depth):
        chain = [i, chain] if i % 2 else (chain,)
    return chain


@pytest.mark.no_sanitizer
@pytest.mark.parametrize(
    "make",
    [pytest.param(SUCCESS[case], id=f"success-{case}") for case in sorted(SUCCESS)]
    + [pytest.param(ERRORS[case], id=f"error-{case}") for case in sorted(ERRORS)],
)
def test_success_and_error_paths_do_not_leak(make):
    blocks, rss = growth(make())
    assert blocks < BLOCK_SLACK, f"{blocks} blocks"
    assert rss < RSS_SLACK, f"{rss} bytes"


@pytest.mark.no_sanitizer
@pytest.mark.parametrize(
    "hook, exc_name, message",
    [
        ("raise_internal", "PanicException", "it broke"),
        ("null_object", "PanicException", "PyObject pointer is null"),
        ("bad_alloc", "MemoryError", ""),
        ("fetch_nothing", "SystemError", "attempted to fetch exception but none was set"),
    ],
)
def test_internal_failure_paths_do_not_leak(hooks, capfd, monkeypatch, hook, exc_name, message):
    # A failed creation reports the pending error as unraisable; pytest would
    # keep every report.
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    fn = getattr(hooks, hook)
    args = ("it broke",) if hook == "raise_internal" else ()

    def call():
        try:
            fn(*args)
        except BaseException as error:
            assert type(error).__name__ == exc_name and str(error) == message
        else:
            pytest.fail("no exception")

    blocks, rss = growth(call, rounds=1000)
    capfd.readouterr()  # each internal failure writes a diagnostic
    assert blocks < BLOCK_SLACK and rss < RSS_SLACK, (blocks, rss)


@pytest.mark.no_sanitizer
def test_resumed_panic_does_not_leak(hooks, capfd):
    # A PanicException raised inside Python code that the native code called
    # is resumed: its traceback is printed and a new one is raised.
    def inner():
        hooks.raise_internal("from inside")

    def call():
        try:
            hooks.call(inner)
        except BaseException as error:
            assert type(error).__name__ == "PanicException"
            assert error.args == ("from inside",)
        else:
            pytest.fail("no exception")

    blocks, rss = growth(call, rounds=1000)
    assert "Python stack trace below:" in capfd.readouterr().err
    assert blocks < BLOCK_SLACK and rss < RSS_SLACK, (blocks, rss)


# --------------------------------------------------- exact reference counts


def tokens(n):
    return [Token(i) for i in range(n)]


REFCOUNT_CASES = {
    "collapse": lambda t: (collapse, ([t[0], (t[1], [t[2]])], t[3]), {}),
    "backfill": lambda t: (backfill, ([None, t[0], None, t[1]],), {}),
    "backfill-iterdict": lambda t: (
        backfill_iterdict,
        ([{"a": None, "b": t[0]}, {"a": t[1], "b": None}],),
        {},
    ),
    "backfill-iterdict-fails": lambda t: (
        backfill_iterdict,
        ([{"a": None}, {"a": t[0], "b": t[1]}, [t[2]]],),
        {},
    ),
    "same-order": lambda t: (same_order, ([t[0], t[1]], [t[1], t[0], t[2]]), {}),
    "same-order-raises": lambda t: (same_order, ([EqRaises()], [t[0], t[1]]), {}),
    "multikeysort": lambda t: (
        multikeysort,
        ([{"a": t[i], "b": i % 3} for i in range(25)], ["b", "-a"]),
        {},
    ),
    "multikeysort-inplace": lambda t: (
        multikeysort,
        ([{"a": t[i], "b": -i} for i in range(25)], ["b", "a"]),
        {"inplace": True},
    ),
    "multikeysort-grown": lambda t: (multikeysort, (grown_rows(t),), {"columns": ["a", "z"]}),
}


def grown_rows(t):
    items = [{"a": t[0]}, {"a": t[1], "z": 1}]
    items.append(appender(items, a=t[2]))
    return items


def referents(obj):
    """The containers and Tokens reachable from `obj` (not the ints and strs)."""
    found = []
    stack = [obj]
    while stack:
        x = stack.pop()
        if isinstance(x, (list, tuple, dict, Token)):
            found.append(x)
        if isinstance(x, (list, tuple)):
            stack.extend(x)
        elif isinstance(x, dict):
            stack.extend(x.values())
    return found


@pytest.mark.parametrize("case", sorted(REFCOUNT_CASES), ids=str)
def test_reference_counts_are_restored(case):
    t = tokens(25)
    fn, args, kwargs = REFCOUNT_CASES[case](t)
    watched = referents(args) + t
    before = [sys.getrefcount(x) for x in watched]
    try:
        result = fn(*args, **kwargs)
    except Exception:
        result = None
    if isinstance(result, list):
        # A new list, owned only by `result`: counted like a list that surely
        # is (how many references a call of getrefcount adds depends on the
        # interpreter; 3.14 lends locals to it without one).
        assert result is not args[0]
        owned = list(watched[:0])
        assert sys.getrefcount(result) == sys.getrefcount(owned)
    del result
    assert [sys.getrefcount(x) for x in watched] == before


@pytest.mark.parametrize("case", sorted(REFCOUNT_CASES), ids=str)
def test_inputs_and_results_are_released(case):
    t = tokens(25)
    refs = [weakref.ref(x) for x in t]
    fn, args, kwargs = REFCOUNT_CASES[case](t)
    try:
        result = fn(*args, **kwargs)
    except Exception as error:
        result = error  # the exception and its traceback must not pin anything either
    del t, args, kwargs, fn, result
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_raised_exception_is_released_with_its_traceback():
    raised = []

    class Gone(KeyError):
        pass

    class Remembers(Token):
        __slots__ = ()
        __hash__ = Token.__hash__

        def __eq__(self, other):
            error = Gone("gone")
            raised.append(weakref.ref(error))
            raise error

    with pytest.raises(Gone) as info:
        same_order([Remembers()], [Token()])
    assert raised[0]() is info.value
    del info
    gc.collect()
    assert raised[0]() is None


@pytest.mark.no_sanitizer
def test_module_functions_hold_no_per_call_state():
    # The functions keep nothing between calls: the block count after a mixed
    # workload is where it was before it.
    def workload():
        for name in _vesk.__all__:
            fn = getattr(_vesk, name)
            try:
                fn(["a", None, "b"], ["a"])
            except TypeError:
                pass

    blocks, rss = growth(workload, rounds=1000)
    assert blocks < BLOCK_SLACK and rss < RSS_SLACK, (blocks, rss)
