"""Malformed Arrow input for vesk._columns, built by hand (ctypes, no Arrow library: see
arrow_structs.py), so that it runs under the sanitizers and on every interpreter. Every row must
end in a clean exception, the same on 1, 2 and 4 threads, with the release callback of every
struct handed over called exactly once. The table runs in child interpreters: a crash fails its
test instead of ending the run."""

import gc
import json
import threading

import pytest
import vesk
from arrow_structs import (
    K,
    Producer,
    bad_second_chunk,
    bad_text_before_a_decrease,
    dictionary_schema,
    drop_of_2_31,
    encoded,
    list_schema,
    many_tasks,
    offsets32,
    offsets64,
    pair,
    released_pair,
    rise_then_fall,
    stream_error,
    utf8,
    view,
)
from support import run_child
from vesk import _columns

FUNCTIONS = [
    _columns.parse,
    _columns.normalize_numeric_str,
    _columns.uncamel,
    _columns.underscore_to_camelcase,
    _columns.sanitize_vulgar_string,
]
TYPES = "(expected string, large_string or string_view, plain or dictionary-encoded)"
ONCE = {"schema": 1, "array": 1}
ENCODED = {"schema": 1, "array": 1, "value schema": 0, "values": 0}  # children: the parent's


# Each row: builds the input from a Producer; the exception and its exact message; the release
# calls expected per struct (every struct handed over: once; one already released: never).
CASES = {
    "capsule of the wrong name": (
        lambda p: p.capsule(p.schema("u"), "arrow_array"),
        TypeError,
        "expected a PyCapsule named 'arrow_array_stream', not one named 'arrow_array'",
        {"schema": 1},
    ),
    "pair with a wrong name": (
        lambda p: (p.capsule(p.schema("u"), "arrow_schema"), p.capsule(p.schema("u", "s2"), "x")),
        TypeError,
        "expected a PyCapsule named 'arrow_array', not one named 'x'",
        {"schema": 1, "s2": 1},
    ),
    "pair with a non-capsule": (
        lambda p: (p.capsule(p.schema("u"), "arrow_schema"), None),
        TypeError,
        "expected a PyCapsule named 'arrow_array', not 'NoneType'",
        {"schema": 1},
    ),
    "array already released": (
        released_pair,
        ValueError,
        "the Arrow array in the capsule was already released",
        {"schema": 1, "array": 0},
    ),
    "non-string type": (
        lambda p: pair(p, "i", 1, [None, b"\0" * 4]),
        TypeError,
        f"unsupported Arrow type 'int32' {TYPES}: the column holds numbers already",
        ONCE,
    ),
    "timestamp type": (
        lambda p: pair(p, "tsu:UTC", 1, [None, b"\0" * 8]),
        TypeError,
        f"unsupported Arrow type 'timestamp[us, tz=UTC]' {TYPES}",
        ONCE,
    ),
    "nested type": (
        lambda p: p.pair(list_schema(p), p.array(0, [None, None])),
        TypeError,
        f"unsupported Arrow type 'list<item: int64>' {TYPES}",
        {"schema": 1, "item": 0, "array": 1},
    ),
    "dictionary of numbers": (
        lambda p: p.encoded("i", [0], p.array(1, [None, b"\0" * 8], key="values"), "l"),
        TypeError,
        f"unsupported Arrow type 'dictionary<values=int64, indices=int32>' {TYPES}",
        ENCODED,
    ),
    "too few buffers": (
        lambda p: pair(p, "u", 1, [None, offsets32(0, 1)]),
        ValueError,
        "Arrow array of type 'string' has 2 buffers, expected 3",
        ONCE,
    ),
    "offsets not monotone": (
        lambda p: pair(p, "u", 3, [None, offsets32(0, 3, 2, 5), b"abcde"]),
        ValueError,
        "row 1: offsets decrease (3 to 2)",
        ONCE,
    ),
    "offsets not monotone, sliced": (
        lambda p: pair(p, "u", 3, [None, offsets32(0, 1, 2, 1, 3), b"abc"], offset=1),
        ValueError,
        "row 1: offsets decrease (2 to 1)",
        ONCE,
    ),
    "negative offset": (
        lambda p: pair(p, "u", 1, [None, offsets32(-1, 2), b"ab"]),
        ValueError,
        "row 0: offset -1 is negative",
        ONCE,
    ),
    "offsets past a missing data buffer": (
        lambda p: pair(p, "u", 2, [None, offsets32(0, 2, 5), None]),
        ValueError,
        "Arrow array: the data buffer is missing but the offsets span 5 bytes",
        ONCE,
    ),
    "offsets rise then fall to 0": (
        lambda p: rise_then_fall(p, "u", 0),
        ValueError,
        "row 0: offset 1 lies past the last offset 0",
        ONCE,
    ),
    "large offsets rise then fall to 100": (
        lambda p: rise_then_fall(p, "U", 100),
        ValueError,
        "row 100: offset 101 lies past the last offset 100",
        ONCE,
    ),
    "offsets drop by 2**31 for good": (
        lambda p: drop_of_2_31(p, "u", False),
        ValueError,
        "Arrow array: the offsets end at -2147106816, before they start at 0",
        ONCE,
    ),
    "large offsets drop by 2**31 and recover": (
        lambda p: drop_of_2_31(p, "U", True),
        ValueError,
        "row 344063: offsets decrease (344063 to -2147139584)",
        ONCE,
    ),
    "offsets drop by 2**31 and recover": (
        lambda p: drop_of_2_31(p, "u", True),
        ValueError,
        "row 344063: offsets decrease (344063 to -2147139584)",
        ONCE,
    ),
    "invalid UTF-8 below offsets that decrease": (
        lambda p: pair(p, "u", 4, [None, offsets32(0, 1, 3, 2, 4), b"a\xff\xfexy"]),
        ValueError,
        "row 1: invalid UTF-8 at byte 0",
        ONCE,
    ),
    "invalid UTF-8 a task below offsets that decrease": (
        bad_text_before_a_decrease,
        ValueError,
        f"row {K + 7}: invalid UTF-8 at byte 0",
        ONCE,
    ),
    "invalid UTF-8 in two tasks": (
        many_tasks,
        ValueError,
        "row 40000: invalid UTF-8 at byte 0",
        ONCE,
    ),
    "negative view length": (
        lambda p: pair(p, "vu", 1, [None, view(-3), b"", offsets64(0)]),
        ValueError,
        "row 0: string view length -3 is negative",
        ONCE,
    ),
    "view buffer index out of range": (
        lambda p: pair(
            p, "vu", 2, [None, view(1, b"a") + view(20, b"abcd", 1), b"x" * 20, offsets64(20)]
        ),
        ValueError,
        "row 1: string view refers to data buffer 1 of 1",
        ONCE,
    ),
    "view past its buffer": (
        lambda p: pair(p, "vu", 1, [None, view(20, b"abcd", 0, 5), b"x" * 20, offsets64(20)]),
        ValueError,
        "row 0: string view bytes 5..25 lie outside data buffer 0 of 20 bytes",
        ONCE,
    ),
    "validity bitmap that disagrees with the null count": (
        lambda p: pair(p, "u", 3, [b"\x06", offsets32(0, 1, 2, 3), b"abc"], null_count=2),
        ValueError,
        "Arrow array: the validity bitmap holds 1 nulls but the null count is 2",
        ONCE,
    ),
    "null count without a bitmap": (
        lambda p: pair(p, "u", 1, [None, offsets32(0, 1), b"a"], null_count=1),
        ValueError,
        "Arrow array: no validity bitmap although the null count is 1",
        ONCE,
    ),
    "invalid UTF-8": (
        lambda p: utf8(p, [b"ok", "é".encode(), b"a\xffb"]),
        ValueError,
        "row 2: invalid UTF-8 at byte 1",
        ONCE,
    ),
    "a character split between two cells": (
        lambda p: utf8(p, [b"\xc3", b"\xa9"]),
        ValueError,
        "row 0: invalid UTF-8 at byte 0",
        ONCE,
    ),
    "invalid UTF-8 in a view": (
        lambda p: pair(p, "vu", 2, [None, view(1, b"a") + view(2, b"\xed\xa0"), b""]),
        ValueError,
        "row 1: invalid UTF-8 at byte 0",
        ONCE,
    ),
    "dictionary index out of range": (
        lambda p: encoded(p, [0, 5, 1], [b"ab", b"c"]),
        ValueError,
        "row 1: dictionary index 5 lies outside the dictionary of 2 values",
        ENCODED,
    ),
    "negative dictionary index": (
        lambda p: encoded(p, [1, 0, -1], [b"ab", b"c"], "c"),
        ValueError,
        "row 2: dictionary index -1 lies outside the dictionary of 2 values",
        ENCODED,
    ),
    "uint64 dictionary index past 2**63": (
        lambda p: encoded(p, [2**63], [b"ab", b"c"], "L"),
        ValueError,
        "row 0: dictionary index 9223372036854775808 lies outside the dictionary of 2 values",
        ENCODED,
    ),
    "invalid UTF-8 in a dictionary": (
        lambda p: encoded(p, [0, 0], [b"ok", b"\xff"]),
        ValueError,
        "dictionary of chunk 0, value 1: invalid UTF-8 at byte 0",
        ENCODED,
    ),
    "dictionary offsets that decrease": (
        lambda p: encoded(p, [0], [b"ab", b"c"], ends=[0, 3, 2]),
        ValueError,
        "dictionary of chunk 0, value 0: offset 3 lies past the last offset 2",
        ENCODED,
    ),
    "dictionary type without a dictionary": (
        lambda p: p.pair(dictionary_schema(p), p.array(1, [None, b"\0" * 4])),
        ValueError,
        "Arrow array of a dictionary type has no dictionary",
        {"schema": 1, "value schema": 0, "array": 1},
    ),
    "stream whose get_next fails mid-way": (
        stream_error,
        RuntimeError,
        "Arrow stream: get_next of chunk 1 failed (error 5): disk on fire",
        {"stream": 1, "schema": 1, "array": 1},
    ),
    "stream with a bad second chunk": (
        bad_second_chunk,
        ValueError,
        "row 2: invalid UTF-8 at byte 0",
        {"stream": 1, "schema": 1, "array": 1, "second": 1},
    ),
}


CHILD = """
    import gc, json
    import vesk
    vesk.__path__[:] = PATH
    from vesk import _columns
    import test_columns_hostile as table
    out = []
    for name in table.CASES:
        build = table.CASES[name][0]
        for threads in (1, 2, 4):
            print("case", name, "threads", threads, file=sys.stderr, flush=True)
            producer = table.Producer()
            source = build(producer)
            try:
                getattr(_columns, FUNCTION)(source, threads=threads)
                got = ["no error", ""]
            except Exception as error:
                got = [type(error).__name__, str(error)]
            del source
            gc.collect()
            out.append([name, threads, *got, producer.released])
    print(json.dumps(out))
"""


@pytest.mark.parametrize("function", [f.__name__ for f in FUNCTIONS])
def test_malformed_input_is_a_clean_error_and_released_once(function):
    code = CHILD.replace("PATH", repr(list(vesk.__path__))).replace("FUNCTION", repr(function))
    wrong = []
    for name, threads, kind, message, released in json.loads(run_child(code, timeout=300)):
        _, error, want, want_released = CASES[name]
        if [kind, message, released] != [error.__name__, want, want_released]:
            wrong.append(f"{name} (threads={threads}): {kind}: {message} {released}")
    assert not wrong, "\n".join(wrong)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_a_present_cell_that_is_not_text(function):
    cells = ["a", None, float("nan"), 3, "b"]
    with pytest.raises(TypeError) as raised:
        function(cells, out="list")
    assert str(raised.value) == "row 3: 'int' object is not an instance of 'str'"
    assert cells[3] == 3 and len(cells) == 5
    assert function(cells, out="list", errors="null")[3] is None


def test_the_result_owns_its_buffers_after_the_input_is_gone():
    producer = Producer()
    source = utf8(producer, [b"fooBar", b"x" * 30])
    result = _columns.uncamel(source)
    del source
    gc.collect()
    assert producer.released == ONCE
    del producer
    gc.collect()
    assert result.to_pylist() == ["foo_bar", "x" * 30]
    assert (len(result), result.num_chunks, result.type) == (2, 1, "u")


def test_one_capsule_passed_by_two_threads_is_taken_once():
    # Exactly one taker; the other finds it released (no lock stops them on a free-threaded
    # build, where this race is real).
    producers = []
    for _ in range(200):
        producer = Producer()
        producers.append(producer)
        source = producer.stream("u", [producer.array(1, [None, offsets32(0, 2), b"aB"])])
        barrier, outcomes = threading.Barrier(2), []

        def take(barrier=barrier, outcomes=outcomes, source=source):
            barrier.wait()
            try:
                outcomes.append(_columns.uncamel(source, threads=1).to_pylist())
            except ValueError as error:
                outcomes.append(str(error))

        workers = [threading.Thread(target=take) for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        assert sorted(outcomes, key=str) == [
            ["a_b"],
            "the Arrow stream in the capsule was already released",
        ]
    del source
    gc.collect()  # once: a full collection per round would dwarf the race
    assert all(p.released == {"stream": 1, "schema": 1, "array": 1} for p in producers)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):  # a stable test id
        return f"Index({self.value})"


BAD_ARGUMENTS = [
    ({"out": "pandas"}, ValueError, "out must be 'arrow', 'list' or 'numpy', not 'pandas'"),
    ({"dtype": "int32"}, ValueError, "dtype must be None, 'float64' or 'int64', not 'int32'"),
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'null', not 'ignore'"),
    ({"threads": 0}, ValueError, "threads must be >= 1, not 0"),
    ({"threads": Index(-2)}, ValueError, "threads must be >= 1, not Index(-2)"),
    ({"threads": True}, TypeError, "threads must be None or an int, not 'bool'"),
    ({"threads": 2.0}, TypeError, "threads must be None or an int, not 'float'"),
    ({"threads": "2"}, TypeError, "threads must be None or an int, not 'str'"),
    ({"source": {"a"}}, TypeError, "source must be an Arrow stream capsule, a pair of Arrow "),
    ({"source": "abc"}, TypeError, "source must be an Arrow stream capsule, a pair of Arrow "),
]


@pytest.mark.parametrize("case", BAD_ARGUMENTS, ids=lambda c: str(c[0]))
def test_bad_arguments_leave_the_capsules_to_their_owner(case):
    options, error, message = case
    producer = Producer()
    source = options.pop("source", None) or utf8(producer, [b"fooBar"])
    with pytest.raises(error) as raised:
        _columns.parse(source, **options)
    assert str(raised.value).startswith(message)
    assert producer.released in ({}, {"schema": 0, "array": 0})
    del source
    gc.collect()
    assert producer.released in ({}, ONCE)


def test_any_integer_counts_threads():
    np = pytest.importorskip("numpy")
    for threads in (np.int64(2), np.uint8(3), Index(4), 2**80):
        assert _columns.uncamel(["aB"] * 40_000, threads=threads).to_pylist() == ["a_b"] * 40_000
