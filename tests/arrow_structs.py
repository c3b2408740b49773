"""Arrow C Data Interface structs built by hand with ctypes (no Arrow library), for the
malformed-input tests of vesk._columns: they run under the sanitizers and on every interpreter,
and a child interpreter can import them."""

import array
import ctypes
import struct


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

    def encoded(self, index_fmt, indices, values, value_fmt="u", validity=None, null_count=0):
        """A dictionary-encoded (schema, array) pair: `indices` in the width of `index_fmt`, over
        the plain array `values` (a child: released by its parent, never on its own)."""
        schema = self.schema(index_fmt)
        schema.dictionary = ctypes.addressof(self.schema(value_fmt, "value schema"))
        packed = struct.pack(f"<{len(indices)}{INDEX_CODES[index_fmt]}", *indices)
        array = self.array(len(indices), [validity, packed], null_count=null_count)
        array.dictionary = ctypes.addressof(values)
        return self.pair(schema, array)

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


INDEX_CODES = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "l": "q", "L": "Q"}


def offsets32(*values):
    return array.array("i", values).tobytes()  # (the machine's byte order, like Arrow's)


def offsets64(*values):
    return array.array("q", values).tobytes()


def view(length, data=b"", buffer_index=0, offset=0):
    if length <= 12:
        return struct.pack("<i12s", length, data)
    return struct.pack("<i4sii", length, data[:4], buffer_index, offset)


def utf8(p, texts, fmt="u", **kw):
    ends = [0]
    for t in texts:
        ends.append(ends[-1] + len(t))
    offsets = offsets64(*ends) if fmt == "U" else offsets32(*ends)
    return p.pair(p.schema(fmt), p.array(len(texts), [None, offsets, b"".join(texts)], **kw))


# ------------------------------------------------------------------ malformed layouts

K = 16384  # the rows of one task of the engine


def pair(p, fmt, length, buffers, **kw):
    return p.pair(p.schema(fmt), p.array(length, buffers, **kw))


def offsets(fmt, values):
    return offsets64(*values) if fmt == "U" else offsets32(*values)


def rise_then_fall(p, fmt, data_bytes):
    # The offsets rise through the first task's rows, then fall back to `data_bytes`, the last
    # offset: the first task's rows alone look in order.
    n = 2 * K
    ends = list(range(K + 1)) + [data_bytes] * (n - K)
    return pair(p, fmt, n, [None, offsets(fmt, ends), b"x" * data_bytes or None])


def drop_of_2_31(p, fmt, recovered):
    # Offsets that drop by 2**31 at row 21 * K, two tasks before the end; `recovered`: the last
    # offset back within the data, so that only the rows' own offsets tell.
    n, drop = 23 * K, 21 * K
    ends = [i if i < drop else i - 2**31 for i in range(n + 1)]
    if recovered:
        ends[n] = drop
    return pair(p, fmt, n, [None, offsets(fmt, ends), b"1" * drop])


def bad_text_before_a_decrease(p):
    # Row K + 7 (second task) is not UTF-8; row 2 * K + 5 (third task) has offsets that decrease.
    texts = [b"a"] * (3 * K)
    texts[K + 7] = b"\xff"
    ends = [0]
    for t in texts:
        ends.append(ends[-1] + len(t))
    ends[2 * K + 6] -= 2
    return pair(p, "u", len(texts), [None, offsets32(*ends), b"".join(texts)])


def encoded(p, indices, texts, index_fmt="i", ends=None, validity=None, null_count=0):
    ends = ends or [sum(map(len, texts[:k])) for k in range(len(texts) + 1)]
    values = p.array(len(texts), [None, offsets32(*ends), b"".join(texts)], key="values")
    return p.encoded(index_fmt, indices, values, validity=validity, null_count=null_count)


def list_schema(p):
    item = p.schema("l", "item")
    item.name = b"item"
    pointers = (ctypes.POINTER(ArrowSchema) * 1)(ctypes.pointer(item))
    p.keep.append(pointers)
    s = p.schema("+l")
    s.n_children, s.children = 1, ctypes.cast(pointers, ctypes.c_void_p)
    return s


def released_pair(p):
    array = p.array(1, [None, offsets32(0, 1), b"a"])
    array.release = ARRAY_RELEASE()
    return p.pair(p.schema("u"), array)


def stream_error(p):
    return p.stream("u", [p.array(1, [None, offsets32(0, 1), b"a"])], fail_at=1)


def bad_second_chunk(p):
    first = p.array(1, [None, offsets32(0, 1), b"a"])
    return p.stream("u", [first, p.array(2, [None, offsets32(0, 1, 2), b"a\xff"], key="second")])


def many_tasks(p):
    # The lowest bad row is reported, also when a later task fails first.
    texts = [b"a"] * 100_000
    texts[40_000], texts[90_000] = b"\xff", b"\xfe"
    return utf8(p, texts)


def dictionary_schema(p):
    schema = p.schema("i")
    schema.dictionary = ctypes.addressof(p.schema("u", "value schema"))  # released by its parent
    return schema
