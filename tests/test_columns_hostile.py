"""Malformed Arrow input for vesk._columns, built by hand (ctypes, no Arrow library), so that it
runs under the sanitizers and on every interpreter. Every row must end in a clean exception with
the release callback of every struct handed over called exactly once."""

import ctypes
import gc
import struct

import pytest
from vesk import _columns

FUNCTIONS = [
    _columns.parse,
    _columns.normalize_numeric_str,
    _columns.uncamel,
    _columns.underscore_to_camelcase,
    _columns.sanitize_vulgar_string,
]


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
GET_SCHEMA = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema)
)
GET_NEXT = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray)
)
LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
CAPSULE_DESTRUCTOR = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", SCHEMA_RELEASE),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", ARRAY_RELEASE),
    ("private_data", ctypes.c_void_p),
]
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA),
    ("get_next", GET_NEXT),
    ("get_last_error", LAST_ERROR),
    ("release", STREAM_RELEASE),
    ("private_data", ctypes.c_void_p),
]

capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.c_void_p]


class Producer:
    """Owns the structs and buffers of one case and counts the release calls per struct."""

    def __init__(self):
        self.keep = []  # buffers, callbacks and structs that must outlive the capsules
        self.released = {}

    def _counter(self, kind, key):
        self.released[key] = 0

        def release(raw):
            self.released[key] += 1
            raw.contents.release = kind()  # a released struct has a null release

        callback = kind(release)
        self.keep.append(callback)
        return callback

    def buffer(self, data):
        if data is None:
            return None
        block = ctypes.create_string_buffer(bytes(data), len(data) or 1)
        self.keep.append(block)
        return ctypes.cast(block, ctypes.c_void_p).value

    def schema(self, fmt, key="schema"):
        s = ArrowSchema(format=fmt.encode(), name=b"", release=self._counter(SCHEMA_RELEASE, key))
        self.keep.append(s)
        return s

    def array(self, length, buffers, null_count=0, offset=0, key="array"):
        pointers = (ctypes.c_void_p * len(buffers))(*[self.buffer(b) for b in buffers])
        self.keep.append(pointers)
        a = ArrowArray(
            length=length,
            null_count=null_count,
            offset=offset,
            n_buffers=len(buffers),
            buffers=ctypes.cast(pointers, ctypes.POINTER(ctypes.c_void_p)),
            release=self._counter(ARRAY_RELEASE, key),
        )
        self.keep.append(a)
        return a

    def capsule(self, struct_, name):
        name = name.encode()
        self.keep.append(name)
        kind = type(struct_)

        # Like a producer's: releases what the consumer did not move away.
        def destroy(capsule):
            raw = ctypes.cast(capsule_pointer(capsule, capsule_name(capsule)), ctypes.POINTER(kind))
            if raw.contents.release:
                raw.contents.release(raw)

        destructor = CAPSULE_DESTRUCTOR(destroy)
        self.keep.append(destructor)
        return capsule_new(
            ctypes.addressof(struct_), name, ctypes.cast(destructor, ctypes.c_void_p)
        )

    def pair(self, schema, array):
        return (self.capsule(schema, "arrow_schema"), self.capsule(array, "arrow_array"))

    def stream(self, fmt, arrays, fail_at=None, message=b"disk on fire"):
        """A stream of `arrays`; get_next fails with EIO at index `fail_at`."""
        position = [0]

        def get_schema(_stream, out):
            ctypes.memmove(out, ctypes.addressof(self.schema(fmt)), ctypes.sizeof(ArrowSchema))
            return 0

        def get_next(_stream, out):
            if position[0] == fail_at:
                return 5
            if position[0] == len(arrays):
                out.contents.release = ARRAY_RELEASE()
            else:
                source = arrays[position[0]]
                ctypes.memmove(out, ctypes.addressof(source), ctypes.sizeof(ArrowArray))
                source.release = ARRAY_RELEASE()  # moved
            position[0] += 1
            return 0

        text = self.buffer(message + b"\0")
        callbacks = [GET_SCHEMA(get_schema), GET_NEXT(get_next), LAST_ERROR(lambda _stream: text)]
        self.keep.extend(callbacks)
        s = ArrowArrayStream(*callbacks, self._counter(STREAM_RELEASE, "stream"))
        self.keep.append(s)
        return self.capsule(s, "arrow_array_stream")


def offsets32(*values):
    return struct.pack(f"<{len(values)}i", *values)


def offsets64(*values):
    return struct.pack(f"<{len(values)}q", *values)


def view(length, data=b"", buffer_index=0, offset=0):
    if length <= 12:
        return struct.pack("<i12s", length, data)
    return struct.pack("<i4sii", length, data[:4], buffer_index, offset)


def utf8(p, texts, fmt="u", **kw):
    ends = [0]
    for t in texts:
        ends.append(ends[-1] + len(t))
    return p.pair(
        p.schema(fmt), p.array(len(texts), [None, offsets32(*ends), b"".join(texts)], **kw)
    )


# Each row: builds the input from a Producer; the exception and the exact message; the release
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
        lambda p: released_pair(p),
        ValueError,
        "the Arrow array in the capsule was already released",
        {"schema": 1, "array": 0},
    ),
    "non-string type": (
        lambda p: p.pair(p.schema("i"), p.array(1, [None, b"\0" * 4])),
        TypeError,
        "unsupported Arrow type 'i' (expected utf8, large_utf8 or utf8_view)",
        {"schema": 1, "array": 1},
    ),
    "dictionary-encoded": (
        lambda p: p.pair(dictionary_schema(p), p.array(1, [None, b"\0" * 4])),
        TypeError,
        "unsupported Arrow type 'dictionary<values=u, indices=i>' "
        "(expected utf8, large_utf8 or utf8_view)",
        {"schema": 1, "values": 0, "array": 1},
    ),
    "too few buffers": (
        lambda p: p.pair(p.schema("u"), p.array(1, [None, offsets32(0, 1)])),
        ValueError,
        "Arrow array of type 'u' has 2 buffers, expected 3",
        {"schema": 1, "array": 1},
    ),
    "offsets not monotone": (
        lambda p: p.pair(p.schema("u"), p.array(3, [None, offsets32(0, 3, 2, 5), b"abcde"])),
        ValueError,
        "row 1: offsets decrease (3 to 2)",
        {"schema": 1, "array": 1},
    ),
    "offsets not monotone, sliced": (
        lambda p: p.pair(
            p.schema("u"), p.array(2, [None, offsets32(0, 1, 3, 2), b"abc"], offset=1)
        ),
        ValueError,
        "row 1: offsets decrease (3 to 2)",
        {"schema": 1, "array": 1},
    ),
    "negative offset": (
        lambda p: p.pair(p.schema("u"), p.array(1, [None, offsets32(-1, 2), b"ab"])),
        ValueError,
        "row 0: offset -1 is negative",
        {"schema": 1, "array": 1},
    ),
    "offsets past a missing data buffer": (
        lambda p: p.pair(p.schema("u"), p.array(2, [None, offsets32(0, 2, 5), None])),
        ValueError,
        "Arrow array: the data buffer is missing but the offsets span 5 bytes",
        {"schema": 1, "array": 1},
    ),
    "negative view length": (
        lambda p: p.pair(p.schema("vu"), p.array(1, [None, view(-3), b"", offsets64(0)])),
        ValueError,
        "row 0: string view length -3 is negative",
        {"schema": 1, "array": 1},
    ),
    "view buffer index out of range": (
        lambda p: p.pair(
            p.schema("vu"),
            p.array(2, [None, view(1, b"a") + view(20, b"abcd", 1), b"x" * 20, offsets64(20)]),
        ),
        ValueError,
        "row 1: string view refers to data buffer 1 of 1",
        {"schema": 1, "array": 1},
    ),
    "view past its buffer": (
        lambda p: p.pair(
            p.schema("vu"), p.array(1, [None, view(20, b"abcd", 0, 5), b"x" * 20, offsets64(20)])
        ),
        ValueError,
        "row 0: string view bytes 5..25 lie outside data buffer 0 of 20 bytes",
        {"schema": 1, "array": 1},
    ),
    "validity bitmap that disagrees with the null count": (
        lambda p: p.pair(
            p.schema("u"), p.array(3, [b"\x06", offsets32(0, 1, 2, 3), b"abc"], null_count=2)
        ),
        ValueError,
        "Arrow array: the validity bitmap holds 1 nulls but the null count is 2",
        {"schema": 1, "array": 1},
    ),
    "null count without a bitmap": (
        lambda p: p.pair(p.schema("u"), p.array(1, [None, offsets32(0, 1), b"a"], null_count=1)),
        ValueError,
        "Arrow array: no validity bitmap although the null count is 1",
        {"schema": 1, "array": 1},
    ),
    "invalid UTF-8": (
        lambda p: utf8(p, [b"ok", "é".encode(), b"a\xffb"]),
        ValueError,
        "row 2: invalid UTF-8 at byte 1",
        {"schema": 1, "array": 1},
    ),
    "a character split between two cells": (
        lambda p: utf8(p, [b"\xc3", b"\xa9"]),
        ValueError,
        "row 0: invalid UTF-8 at byte 0",
        {"schema": 1, "array": 1},
    ),
    "invalid UTF-8 in a view": (
        lambda p: p.pair(
            p.schema("vu"), p.array(2, [None, view(1, b"a") + view(2, b"\xed\xa0"), b""])
        ),
        ValueError,
        "row 1: invalid UTF-8 at byte 0",
        {"schema": 1, "array": 1},
    ),
    "stream whose get_next fails mid-way": (
        lambda p: p.stream("u", [p.array(1, [None, offsets32(0, 1), b"a"])], fail_at=1),
        RuntimeError,
        "Arrow stream: get_next of chunk 1 failed (error 5): disk on fire",
        {"stream": 1, "schema": 1, "array": 1},
    ),
    "stream with a bad second chunk": (
        lambda p: p.stream(
            "u",
            [
                p.array(1, [None, offsets32(0, 1), b"a"]),
                p.array(2, [None, offsets32(0, 1, 2), b"a\xff"], key="second"),
            ],
        ),
        ValueError,
        "row 2: invalid UTF-8 at byte 0",
        {"stream": 1, "schema": 1, "array": 1, "second": 1},
    ),
}


def dictionary_schema(p):
    schema = p.schema("i")
    schema.dictionary = ctypes.addressof(p.schema("u", "values"))  # released by its parent
    return schema


def released_pair(p):
    array = p.array(1, [None, offsets32(0, 1), b"a"])
    array.release = ARRAY_RELEASE()
    return p.pair(p.schema("u"), array)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("case", list(CASES))
def test_malformed_input_is_a_clean_error_and_released_once(case, function):
    build, error, message, released = CASES[case]
    for threads in (1, 4):
        producer = Producer()
        source = build(producer)
        with pytest.raises(error) as raised:
            function(source, threads=threads)
        assert str(raised.value) == message
        del source, raised
        gc.collect()
        assert producer.released == released


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_a_bad_row_is_found_whatever_the_thread_count(function):
    # Many tasks; the lowest bad row is reported, also when later tasks fail first.
    rows = 100_000
    texts = [b"a"] * rows
    texts[40_000] = b"\xff"
    texts[90_000] = b"\xfe"
    for threads in (1, 2, 4):
        producer = Producer()
        source = utf8(producer, texts)
        with pytest.raises(ValueError, match="^row 40000: invalid UTF-8 at byte 0$"):
            function(source, threads=threads)
        del source
        gc.collect()
        assert producer.released == {"schema": 1, "array": 1}


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
    assert producer.released == {"schema": 1, "array": 1}
    del producer
    gc.collect()
    assert result.to_pylist() == ["foo_bar", "x" * 30]
    assert (len(result), result.num_chunks, result.type) == (2, 1, "u")


BAD_ARGUMENTS = [
    ({"out": "pandas"}, ValueError, "out must be 'arrow', 'list' or 'numpy', not 'pandas'"),
    ({"dtype": "int32"}, ValueError, "dtype must be None, 'float64' or 'int64', not 'int32'"),
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'null', not 'ignore'"),
    ({"threads": 0}, ValueError, "threads must be >= 1, not 0"),
    ({"threads": True}, TypeError, "threads must be None or an int, not 'bool'"),
    ({"threads": 2.0}, TypeError, "threads must be None or an int, not 'float'"),
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
    assert producer.released in ({}, {"schema": 1, "array": 1})
