"""vesk.columns as pandas and polars users call it: one table of wrong options and wrong
inputs with the exact messages, the other libraries' names for the two dtypes, decimal commas,
the recipe that lists the rejected cells, and what importing the namespaces adds.
(The namespaces, frames and pandas' Index are also in test_columns.py's differential harness.)
"""

import importlib.util
import math
import sysconfig

import pytest
from vesk import columns


def library(name):
    if name == "polars" and sysconfig.get_config_var("Py_GIL_DISABLED"):
        if importlib.util.find_spec("polars") is None:
            pytest.skip("polars has no wheel for the free-threaded build")
    return pytest.importorskip(name)


def pd():
    return library("pandas")


def pl():
    return library("polars")


def pa():
    return library("pyarrow")


def np():
    return library("numpy")


TYPES = "(expected string, large_string or string_view, plain or dictionary-encoded)"
NUMBERS = ": the column holds numbers already"
DTYPES = (
    "dtype must be None, 'float64' or 'int64' (or float, int, or another library's name or type "
    "of them), not "
)
THREADS = " (None or -1: all the cores this process may use)"

# (id, call, exception, exact message)
WRONG = [
    ("a str", lambda: columns.uncamel("abc"), TypeError,
     "expected a column, got a single 'str' (wrap it in a list, or use the scalar function)"),
    ("a set", lambda: columns.parse({"1"}), TypeError,
     "expected a column, got a 'set', which has no order (pass sorted(...) of it)"),
    ("a generator", lambda: columns.parse(c for c in "12"), TypeError,
     "expected a column, got a 'generator', an iterator that is read only once "
     "(pass list(...) of it)"),
    ("a map", lambda: columns.parse(map(str, [1])), TypeError,
     "expected a column, got a 'map', an iterator that is read only once (pass list(...) of it)"),
    ("a dict", lambda: columns.parse({"a": "1"}), TypeError,
     "expected a column, got a 'dict', which is not a sequence (pass list(...) of it)"),
    ("an int", lambda: columns.parse(5), TypeError,
     "expected a column (an Arrow array, a polars or pandas Series, a numpy array or a sequence "
     "of str), got 'int'"),
    ("pandas floats", lambda: columns.parse(pd().Series([1.5, None]), errors="null"), TypeError,
     f"unsupported dtype 'float64' (expected str, string, object or category){NUMBERS}"),
    ("pandas Int64", lambda: columns.uncamel(pd().Series([1, None], dtype="Int64")), TypeError,
     f"unsupported dtype 'Int64' (expected str, string, object or category){NUMBERS}"),
    ("pandas bools", lambda: columns.parse(pd().Series([True])), TypeError,
     "unsupported dtype 'bool' (expected str, string, object or category)"),
    ("numpy ints", lambda: columns.parse(np().arange(3)), TypeError,
     f"unsupported dtype 'int64' (expected str or object){NUMBERS}"),
    ("polars ints", lambda: columns.parse(pl().Series([1, 2]), errors="null"), TypeError,
     f"unsupported Arrow type 'int64' {TYPES}{NUMBERS}"),
    ("pyarrow doubles", lambda: columns.parse(pa().array([1.5])), TypeError,
     f"unsupported Arrow type 'double' {TYPES}{NUMBERS}"),
    ("pandas frame of 2", lambda: columns.parse(pd().DataFrame({"a": ["1"], "b": ["2"]})),
     TypeError, "expected one column, got a pandas DataFrame of 2: ['a', 'b'] (pass frame['a'])"),
    ("polars frame of 2", lambda: columns.parse(pl().DataFrame({"a": ["1"], "b": ["2"]})),
     TypeError, "expected one column, got a polars DataFrame of 2: ['a', 'b'] "
     "(pass frame['a'], or pl.col('a'))"),
    ("pyarrow table of 2", lambda: columns.parse(pa().table({"a": ["1"], "b": ["2"]})),
     TypeError, "expected one column, got a pyarrow Table of 2: ['a', 'b'] (pass table['a'])"),
    ("float32", lambda: columns.parse(["1"], dtype="float32"), ValueError,
     f"{DTYPES}'float32': the nearest is 'float64'"),
    ("polars Int32", lambda: columns.parse(["1"], dtype=pl().Int32), ValueError,
     f"{DTYPES}'Int32': the nearest is 'int64'"),
    ("pyarrow float32", lambda: columns.parse(["1"], dtype=pa().float32()), ValueError,
     f"{DTYPES}'float32': the nearest is 'float64'"),
    ("numpy uint8", lambda: columns.parse(["1"], dtype=np().uint8), ValueError,
     f"{DTYPES}'uint8': the nearest is 'int64'"),
    ("a text dtype", lambda: columns.parse(["1"], dtype="string"), ValueError,
     f"{DTYPES}'string'"),
    ("object", lambda: columns.parse(["1"], dtype=object), ValueError,
     f"{DTYPES}<class 'object'>"),
    ("coerce", lambda: columns.parse(["1"], errors="coerce"), ValueError,
     "errors must be 'raise' or 'null', not 'coerce' (pandas' 'coerce' is 'null' here: a cell "
     "that is not text becomes missing)"),
    ("ignore", lambda: columns.uncamel(["a"], errors="ignore"), ValueError,
     "errors must be 'raise' or 'null', not 'ignore' (pandas' 'ignore' gives the input back "
     "unchanged, which no function here does: 'null' makes a cell that is not text missing, "
     "'raise' refuses it)"),
    ("threads=0", lambda: columns.parse(["1"], threads=0), ValueError,
     f"threads must be >= 1, not 0{THREADS}"),
    ("threads=-2", lambda: columns.parse(["1"], threads=-2), ValueError,
     f"threads must be >= 1, not -2{THREADS}"),
    ("threads=1.5", lambda: columns.parse(["1"], threads=1.5), TypeError,
     "threads must be None or an int, not 'float'"),
    ("decimal=';'", lambda: columns.normalize_numeric_str(["1"], decimal=";"), ValueError,
     "decimal must be '.' or ',', not ';'"),
    ("decimal for uncamel", lambda: columns.uncamel(["a"], decimal=","), TypeError,
     "uncamel() got an unexpected keyword argument 'decimal'"),
    ("an expression's options, when it is made",
     lambda: columns.parse(pl().col("a"), errors="coerce"), ValueError,
     "errors must be 'raise' or 'null', not 'coerce' (pandas' 'coerce' is 'null' here: a cell "
     "that is not text becomes missing)"),
]  # fmt: skip


@pytest.mark.parametrize("case", WRONG, ids=[c[0] for c in WRONG])
def test_wrong_options_and_inputs(case):
    _, call, error, message = case
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


# (spelling, the pandas dtype of parse's result on a pandas column)
DTYPE_SPELLINGS = [
    (lambda: None, "float64"),
    (lambda: float, "float64"),
    (lambda: int, "Int64"),
    (lambda: "double", "float64"),
    (lambda: "Float64", "Float64"),
    (lambda: "Int64", "Int64"),
    (lambda: np().float64, "float64"),
    (lambda: np().dtype("int64"), "Int64"),
    (lambda: pd().Float64Dtype(), "Float64"),
    (lambda: pd().Int64Dtype(), "Int64"),
    (lambda: pl().Float64, "float64"),
    (lambda: pl().Int64(), "Int64"),
    (lambda: pa().float64(), "float64"),
    (lambda: pa().int64(), "Int64"),
    (lambda: "double[pyarrow]", "double[pyarrow]"),
]


@pytest.mark.parametrize("case", DTYPE_SPELLINGS, ids=range(len(DTYPE_SPELLINGS)))
def test_the_libraries_names_of_the_two_dtypes(case):
    spelling, pandas_dtype = case
    dtype = spelling()
    whole = pandas_dtype in ("Int64", "int64[pyarrow]")
    assert columns.parse(["7", "7.5", None], dtype=dtype) == ([7, None, None] if whole else
                                                               [7.0, 7.5, None])  # fmt: skip
    if pandas_dtype.endswith("[pyarrow]"):
        pa()
    result = columns.parse(pd().Series(["7", "7.5", None], name="n"), dtype=dtype)
    assert str(result.dtype) == pandas_dtype and result.name == "n"
    assert result.isna().tolist() == [False, whole, True]


def test_threads_minus_one_is_all_cores():
    assert columns.uncamel(["aB"] * 40_000, threads=-1) == ["a_b"] * 40_000


def test_decimal_commas():
    cells = ["€1.234,50", "1,5", "(2,25)", "1.000", "12,5 %", None, "n/a"]
    assert columns.parse(cells, decimal=",") == [1234.5, 1.5, -2.25, 1000, 12.5, None, None]
    assert columns.parse(cells, decimal=",", dtype="int64")[3] == 1000
    assert columns.normalize_numeric_str(cells[:3], decimal=",") == ["€1234.50", "1.5", "-2.25"]
    # The cells themselves are not changed, and the default reads the commas as thousands.
    assert cells[0] == "€1.234,50" and columns.parse(cells[:2]) == [1.2345, 15]


def test_columns_of_missing_values_only():
    # How pandas reads an empty column: float64 NaN, which gives missing cells.
    empty = pd().Series([math.nan, math.nan], index=[4, 2], name="e")
    result = columns.parse(empty)
    assert result.isna().all() and result.index.tolist() == [4, 2] and result.name == "e"
    assert columns.uncamel(pd().Series([], dtype=float)).tolist() == []
    assert np().isnan(columns.parse(np().array([math.nan]))).all()


PRICES = ["$1,200", None, "n/a", "12.50", "TBD"]


def test_rejected_cells_recipe_pandas():
    # The README's recipes, their very lines: the cells that held text but gave no number.
    frame = pd().DataFrame({"price": PRICES})
    import vesk.pandas  # noqa: F401

    rejected = frame[frame["price"].notna() & frame["price"].vesk.parse().isna()]  # pandas
    assert rejected["price"].tolist() == ["n/a", "TBD"] and rejected.index.tolist() == [2, 4]


def test_rejected_cells_recipe_polars():
    pl = library("polars")
    import vesk.polars  # noqa: F401

    frame = pl.DataFrame({"price": PRICES}).lazy()
    rejected = frame.filter(pl.col("price").is_not_null() & pl.col("price").vesk.parse().is_null())
    assert rejected.collect()["price"].to_list() == ["n/a", "TBD"]


def test_the_namespaces_are_registered_on_import():
    pandas = pd()
    import vesk.pandas

    series = pandas.Series(["orderId"], index=[7], name="k")
    assert isinstance(series.vesk, vesk.pandas.Namespace)
    assert series.vesk.uncamel().tolist() == ["order_id"]
    assert pandas.Index(["aB"], name="i").vesk.uncamel().name == "i"
    frame = pandas.DataFrame({"orderId": ["1"], "unitPrice": ["2"]})
    frame.columns = columns.uncamel(frame.columns)  # pandas' Index in, an Index out
    assert list(frame.columns) == ["order_id", "unit_price"]
    polars = pl()
    import vesk.polars

    expr = polars.col("price").vesk.parse(dtype="int64")
    assert isinstance(expr, polars.Expr) and "python_udf" in str(expr)
    query = polars.LazyFrame({"price": ["$7", "1,5"]}).with_columns(expr)
    assert query.collect_schema()["price"] == polars.Int64
    assert query.collect()["price"].to_list() == [7, 15]
    assert polars.Series("s", ["(1)"]).vesk.parse().to_list() == [-1.0]
