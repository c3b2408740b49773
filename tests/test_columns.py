"""vesk.columns against the scalar functions, cell by cell.

One differential harness: hypothesis draws the cells, every kind of column is
made from them (sequences, numpy, pandas, pyarrow in its three string types,
sliced and chunked, polars, a bare Arrow stream), every function runs over it
with the options drawn, and the result, read back as Python values, must be
the scalar function applied to each cell, in the caller's kind of column. The
libraries are optional: the kinds whose library is missing are skipped.
"""

from __future__ import annotations

import doctest
import importlib.util
import math
import random
from decimal import Decimal, InvalidOperation

import _vesk
import pytest
import vesk
from hypothesis import given, settings
from hypothesis import strategies as st
from support import FREE_THREADED, run_child
from vesk import columns

FUNCTIONS = ["parse", "normalize_numeric_str", "uncamel", "underscore_to_camelcase"]
FUNCTIONS.append("sanitize_vulgar_string")
INT64 = (-(2**63), 2**63)


def library(name):
    if name == "polars" and FREE_THREADED and importlib.util.find_spec(name) is None:
        pytest.skip("polars publishes no wheels for free-threaded CPython")
    return pytest.importorskip(name)


# ------------------------------------------------------------------ the model


def is_missing(cell, na):
    return cell is None or cell is na or (isinstance(cell, float) and math.isnan(cell))


def whole_number(cell):
    """The int64 of a cell whose number is whole and within range, from its digits."""
    kept = "".join(c for c in cell if c in "0123456789().-")
    if len(kept) > 2 and kept[0] == "(" and kept[-1] == ")":
        kept = "-" + kept[1:-1]
    try:
        number = Decimal(kept)
    except InvalidOperation:
        return None
    whole = number.is_finite() and number == number.to_integral_value()
    return int(number) if whole and INT64[0] <= number < INT64[1] else None


def swapped(cell):
    """decimal=",": the cell with its commas and points exchanged."""
    return cell.translate(str.maketrans(",.", ".,"))


def expected(name, cells, dtype, errors, na=None, decimal="."):
    """What the column must hold: the scalar per cell, or the error it must raise."""
    if decimal == ",":
        cells = [swapped(c) if isinstance(c, str) else c for c in cells]
    out = []
    for row, cell in enumerate(cells):
        if is_missing(cell, na):
            out.append(None)
        elif not isinstance(cell, str):
            if errors == "raise":
                kind = type(cell).__name__
                return TypeError(f"row {row}: '{kind}' object is not an instance of 'str'")
            out.append(None)
        else:
            try:
                value = getattr(_vesk, name)(cell)
            except UnicodeEncodeError as error:  # lone surrogates: the scalar's error, and the row
                if errors == "null":
                    out.append(None)
                    continue
                error.reason += f" (row {row})"
                return error
            if value is not None and dtype == "float64":
                value = float(value)
            elif value is not None and dtype == "int64":
                value = whole_number(cell)  # decided from the digits, not a rounded double
            out.append(value)
    return out


# ------------------------------------------------------------------ kinds of column
# Each kind: (make(cells) -> column, read(result, column, name, dtype) -> list,
# which cells it holds: "any" objects, "text" (str or None) or "str" only).


def read_list(result, column, name, dtype):
    assert type(result) is list
    return result


def make_numpy(cells):
    np = library("numpy")
    array = np.empty(len(cells), dtype=object)
    array[:] = cells
    return array


def read_numpy(result, column, name, dtype):
    np = library("numpy")
    if name != "parse":
        assert result.dtype == object and result.shape == column.shape
        return result.tolist()
    if dtype == "int64":
        assert isinstance(result, np.ma.MaskedArray) and result.dtype == np.int64
        return [None if m else int(v) for v, m in zip(result.data, np.ma.getmaskarray(result))]
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.flags.writeable
    return [None if math.isnan(v) else v for v in result.tolist()]


def make_pandas(dtype):
    def make(cells):
        pd = library("pandas")
        if dtype == "arrow":
            kind = pd.ArrowDtype(library("pyarrow").string())
        elif dtype == "arrow dictionary":
            pa = library("pyarrow")
            kind = pd.ArrowDtype(pa.dictionary(pa.int32(), pa.string()))
        elif dtype == "string[pyarrow]":  # pandas 2's Arrow-backed strings, 3's "str" alike
            library("pyarrow")
            kind = pd.StringDtype("pyarrow")
        else:
            kind = dtype
        index = list(range(len(cells)))
        random.Random(len(cells)).shuffle(index)
        return pd.Series(cells, dtype=kind, index=index, name="cells")

    return make


def read_pandas(result, column, name, dtype):
    pd = library("pandas")
    assert type(result) is pd.Series and result.name == column.name
    assert result.index.equals(column.index)
    if name == "parse":
        assert str(result.dtype) == ("Int64" if dtype == "int64" else "float64")
    elif isinstance(column.dtype, pd.StringDtype) or (
        isinstance(column.dtype, pd.ArrowDtype) and "dictionary" not in str(column.dtype)
    ):
        assert result.dtype == column.dtype  # a dictionary gives its values' type
    else:
        assert result.dtype == pd.Series([""], dtype="str").dtype
    values = result.astype(object).tolist()
    return [None if v is pd.NA or (isinstance(v, float) and math.isnan(v)) else v for v in values]


def make_arrow(kind, shape="whole", encoded=False):
    def make(cells):
        pa = library("pyarrow")
        of = {"utf8": pa.string(), "large": pa.large_string(), "view": pa.string_view()}[kind]

        def array(texts):
            data = pa.array(texts, of)
            return data.dictionary_encode() if encoded else data  # each chunk its dictionary

        if shape == "sliced":
            return array(["pad", *cells, "pad"]).slice(1, len(cells))
        if shape == "chunked":
            cuts = sorted(random.Random(len(cells)).choices(range(len(cells) + 1), k=3))
            bounds = [0, *cuts, len(cells)]
            chunks = [cells[a:b] for a, b in zip(bounds, bounds[1:])]
            return pa.chunked_array([array(c) for c in [[], *chunks, []]])
        return array(cells)

    return make


def read_arrow(result, column, name, dtype):
    pa = library("pyarrow")
    chunked = isinstance(column, (pa.ChunkedArray, Stream))
    assert isinstance(result, pa.ChunkedArray if chunked else pa.Array)
    texts = column.type.value_type if pa.types.is_dictionary(column.type) else column.type
    want = texts if name != "parse" else pa.int64() if dtype == "int64" else pa.float64()
    assert result.type == want
    if isinstance(column, pa.ChunkedArray):  # one chunk per non-empty chunk
        assert result.num_chunks == sum(len(chunk) > 0 for chunk in column.chunks)
    return result.to_pylist()


class Stream:
    """Only the Arrow stream interface, as DuckDB, nanoarrow or arro3 objects have."""

    def __init__(self, cells):
        self.data = library("pyarrow").chunked_array([cells], "large_string")
        self.type = self.data.type

    def __arrow_c_stream__(self, requested_schema=None):
        return self.data.__arrow_c_stream__(requested_schema)


def make_nanoarrow(cells, encoded=False):
    if encoded:
        return library("nanoarrow").Array(library("pyarrow").array(cells).dictionary_encode())
    return library("nanoarrow").Array(cells, library("nanoarrow").string())


def make_arro3(cells):
    pa = library("pyarrow")
    return library("arro3.core").ChunkedArray.from_arrow(pa.chunked_array([cells], pa.string()))


def read_other(result, column, name, dtype):
    assert type(result) is type(column)
    return library("pyarrow").chunked_array(result).to_pylist()


def make_polars(kind):
    def make(cells):
        pl = library("polars")
        of = {"String": pl.String, "Categorical": pl.Categorical}.get(kind)
        if of is None:  # an Enum of the cells' own texts
            of = pl.Enum(sorted({c for c in cells if c is not None}))
        return pl.Series("cells", cells, dtype=of)

    return make


def read_polars(result, column, name, dtype):
    pl = library("polars")
    assert type(result) is pl.Series and result.name == column.name
    want = pl.String if name != "parse" else pl.Int64 if dtype == "int64" else pl.Float64
    assert result.dtype == want
    return result.to_list()


def make_frame(kind):
    def make(cells):
        if kind == "pandas":
            return library("pandas").DataFrame({"cells": make_pandas(object)(cells)})
        if kind == "polars":
            return make_polars("String")(cells).to_frame()
        pa = library("pyarrow")
        return pa.table({"cells": pa.array(cells, pa.string())})

    return make


def read_frame(result, column, name, dtype):
    """A frame of one column: the same kind of frame, the column's name, its cells."""
    names = result.column_names if hasattr(result, "column_names") else list(result.columns)
    assert type(result) is type(column) and names == ["cells"]
    library = type(column).__module__.partition(".")[0]
    read = {"pyarrow": read_arrow, "polars": read_polars, "pandas": read_pandas}[library]
    return read(result["cells"], column["cells"], name, dtype)


def read_index(result, column, name, dtype):
    pd = library("pandas")
    assert type(result) is pd.Index and result.name == column.name
    series = pd.Series(column, index=range(len(column)), name=column.name)
    return read_pandas(pd.Series(result, name=result.name), series, name, dtype)


def through_namespace(name, column, options):
    """The vesk namespace of a polars Series or a pandas Series or Index."""
    importlib.import_module(f"vesk.{type(column).__module__.partition('.')[0]}")
    return getattr(column.vesk, name)(**options)


def through_query(engine):
    """pl.col(...).vesk in a lazy query, collected by the given engine."""

    def call(name, column, options):
        pl = library("polars")
        import vesk.polars  # noqa: F401

        query = column.to_frame().lazy().select(getattr(pl.col("cells").vesk, name)(**options))
        if engine == "in-memory":
            return query.collect()["cells"]
        try:
            return query.collect(engine="streaming")["cells"]
        except TypeError:  # polars before the engine keyword
            return query.collect(streaming=True)["cells"]

    return call


KINDS = {
    "list": (list, read_list, "any"),
    "tuple": (tuple, read_list, "any"),
    "numpy object": (make_numpy, read_numpy, "any"),
    "numpy object reversed": (lambda c: make_numpy(c[::-1])[::-1], read_numpy, "any"),
    "numpy str": (lambda c: library("numpy").array(c, dtype=str), read_numpy, "str"),
    "pandas object": (make_pandas(object), read_pandas, "any"),
    "pandas str": (make_pandas("str"), read_pandas, "text"),
    "pandas arrow": (make_pandas("arrow"), read_pandas, "text"),
    "pandas string[pyarrow]": (make_pandas("string[pyarrow]"), read_pandas, "text"),
    "pandas arrow dictionary": (make_pandas("arrow dictionary"), read_pandas, "text"),
    "pandas category": (make_pandas("category"), read_pandas, "text"),
    "arrow utf8": (make_arrow("utf8"), read_arrow, "text"),
    "arrow large_utf8": (make_arrow("large"), read_arrow, "text"),
    "arrow utf8_view": (make_arrow("view"), read_arrow, "text"),
    "arrow sliced": (make_arrow("utf8", "sliced"), read_arrow, "text"),
    "arrow chunked view": (make_arrow("view", "chunked"), read_arrow, "text"),
    "arrow chunked large": (make_arrow("large", "chunked"), read_arrow, "text"),
    "arrow dictionary": (make_arrow("utf8", encoded=True), read_arrow, "text"),
    "arrow dictionary sliced": (make_arrow("large", "sliced", True), read_arrow, "text"),
    "arrow chunked view dictionary": (make_arrow("view", "chunked", True), read_arrow, "text"),
    "arrow stream": (Stream, read_arrow, "text"),
    "nanoarrow": (make_nanoarrow, read_other, "text"),
    "nanoarrow dictionary": (lambda c: make_nanoarrow(c, True), read_other, "text"),
    "arro3": (make_arro3, read_other, "text"),
    "polars": (make_polars("String"), read_polars, "text"),
    "polars categorical": (make_polars("Categorical"), read_polars, "text"),
    "polars enum": (make_polars("Enum"), read_polars, "text"),
    # The namespaces, the frames of one column and pandas' Index: the same results.
    "polars namespace": (make_polars("String"), read_polars, "text", through_namespace),
    "polars lazy": (make_polars("Categorical"), read_polars, "text", through_query("in-memory")),
    "polars streaming": (make_polars("String"), read_polars, "text", through_query("streaming")),
    "pandas accessor": (make_pandas(object), read_pandas, "any", through_namespace),
    "pandas index accessor": (
        lambda c: library("pandas").Index(c, dtype=object, name="cells"),
        read_index,
        "any",
        through_namespace,
    ),
    "pandas str index": (
        lambda c: library("pandas").Index(c, dtype="str", name="cells"),
        read_index,
        "text",
    ),
    "pandas frame": (make_frame("pandas"), read_frame, "any"),
    "polars frame": (make_frame("polars"), read_frame, "text"),
    "arrow table": (make_frame("pyarrow"), read_frame, "text"),
}

# ------------------------------------------------------------------ the cells

TEXTS = st.one_of(
    st.sampled_from(["$1,200", "(12.50)", "n/a", "12.500", "3½", "1,200m", "", " ", "-0"]),
    st.sampled_from(["getHTTPResponseCode", "ÉtéÀ", "__foo_bar", "a_ß", "2½ cups, ⅓ tsp"]),
    st.sampled_from(["9" * 19, "9" * 25, str(2**53 + 1), "1e400", "٣٤", "0.1", "(1,000)"]),
    st.sampled_from(["9007199254740993.5", "12345678901234567.00", "9223372036854775807.0"]),
    st.sampled_from(["9223372036854775808", "-9223372036854775808.00", "(7.000)", "-.0", "5."]),
    st.text(st.characters(blacklist_categories=["Cs"]), max_size=12),
    st.text("0123456789.,$()-%½⅓ kmbKMB_aAzZ", max_size=16),
)
MISSING = st.sampled_from([None, math.nan])
OTHERS = st.sampled_from([7, 1.5, b"x", ["x"]])


# Fewer examples where the loaded profile asks for fewer (sanitizer, other Pythons): there
# the kinds are many (27) and each path is shown to work; the main run draws 60 per kind.
@settings(max_examples=min(60, settings.default.max_examples * 3 // 5), deadline=None)
@given(data=st.data())
@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_column_is_the_scalar_per_cell(name, kind, data):
    make, read, holds = KINDS[kind][:3]
    cell = TEXTS | st.none() if holds == "text" else TEXTS if holds == "str" else TEXTS | MISSING
    if holds == "any" and data.draw(st.booleans()):
        cell = cell | OTHERS
    cells = data.draw(st.lists(cell, max_size=40))
    if holds == "any" and data.draw(st.integers(0, 9)) == 0 and importlib.util.find_spec("pandas"):
        cells.append(library("pandas").NA)
    options = dict(
        errors=data.draw(st.sampled_from(["raise", "null"])),
        threads=data.draw(st.sampled_from([None, 1, 4])),
    )
    if name == "parse":
        options["dtype"] = data.draw(st.sampled_from([None, "float64", "int64"]))
    if name in ("parse", "normalize_numeric_str"):
        options["decimal"] = data.draw(st.sampled_from([".", ","]))
    dtype = options.get("dtype")
    if dtype is None and name == "parse" and kind not in ("list", "tuple"):
        dtype = "float64"  # a column of numbers is float64 unless asked otherwise
    check(name, kind, cells, options, dtype)


def check(name, kind, cells, options, dtype):
    make, read, holds, call = (*KINDS[kind], None)[:4]
    call = call or (lambda name, column, options: getattr(columns, name)(column, **options))
    column = make(list(cells))
    if holds == "str":  # numpy keeps no trailing NULs: the cells as it holds them
        cells = column.tolist()
    pandas = importlib.util.find_spec("pandas") and library("pandas")
    na = pandas.NA if pandas else None
    want = expected(name, cells, dtype, options["errors"], na, options.get("decimal", "."))
    before = list(column) if kind in ("list", "tuple") else None
    if isinstance(want, BaseException):
        with pytest.raises(type(want)) as raised:
            call(name, column, options)
        assert str(raised.value) == str(want)
    else:
        got = read(call(name, column, options), column, name, dtype)
        assert len(got) == len(want)
        for row, (value, wanted) in enumerate(zip(got, want)):
            assert type(value) is type(wanted) and value == wanted, (row, cells[row], value)
    if before is not None:  # the input is left as it was, the very same objects
        assert all(a is b for a, b in zip(column, before)) and len(column) == len(before)


LONG = ["getHTTPResponse 1½ $1,200_x " * 2800, None, "aB"]  # 75 KiB cells


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize(
    "kind", ["list", "arrow chunked view", "pandas str", "polars", "arrow dictionary"]
)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_long_texts_and_surrogates(name, kind, threads):
    options = dict(errors="raise", threads=threads) | ({"dtype": None} if name == "parse" else {})
    dtype = "float64" if name == "parse" and kind != "list" else None
    check(name, kind, LONG * 3, options, dtype)
    if kind == "list":  # a lone surrogate cannot be UTF-8: the scalar's error
        check(name, kind, ["ok", "a\ud800b"], options, dtype)


# ------------------------------------------------------------------ what is not a column


def _table():
    stream = Stream([])
    stream.data = library("pyarrow").table({"a": ["x"], "b": ["y"]})
    return stream


NOT_COLUMNS = [
    ("text", lambda: "abc", TypeError, "expected a column, got a single 'str' (wrap it in a list,"),
    ("set", lambda: {"a"}, TypeError, "expected a column, got a 'set', which has no order"),
    ("2-d", lambda: make_numpy(["a"] * 4).reshape(2, 2), ValueError, "expected a one-dimensional"),
    (
        "arrow ints",
        lambda: library("pyarrow").array([1, 2]),
        TypeError,
        "unsupported Arrow type 'int64' (expected string, large_string or string_view, plain or "
        "dictionary-encoded)",
    ),
    ("table", lambda: _table(), TypeError, "expected one column, got a table of 2: ['a', 'b']"),
]


@pytest.mark.parametrize("case", NOT_COLUMNS, ids=[c[0] for c in NOT_COLUMNS])
def test_what_is_not_a_column(case):
    _, make, error, message = case
    with pytest.raises(error) as raised:
        columns.uncamel(make())
    assert str(raised.value).startswith(message)


@pytest.mark.thread_unsafe(reason="doctest patches linecache for the whole process")
def test_package_and_docstrings():
    assert vesk.columns is columns and columns.__all__ == FUNCTIONS
    assert "columns" not in vesk.__all__
    failed, attempted = doctest.testmod(columns, optionflags=doctest.ELLIPSIS, report=False)
    assert attempted >= 10 and failed == 0
    # Neither `import vesk` nor a call on a list loads a data-frame library.
    loaded = run_child(
        f"""
        import vesk
        vesk.__path__[:] = {list(vesk.__path__)!r}
        assert vesk.columns.uncamel(["aB"]) == ["a_b"]
        print(sorted({{"pandas", "polars", "pyarrow", "numpy"}} & set(sys.modules)))
        """
    )
    assert loaded.strip() == "[]"
