"""The kinds of column vesk.columns takes, and the same kind back.

vesk._columns reads Arrow capsules, lists, tuples and numpy arrays of
objects; everything else is brought to one of those here, and the result
wrapped as the caller's kind (a Series with its index and name, a frame of
one column with that column's name, a polars expression that runs the
function on each batch). A library is looked at only if it is loaded: a
column of its kind cannot exist otherwise, and importing it would cost the
caller.
"""

from __future__ import annotations

import importlib
import importlib.util
import sys
from collections.abc import Iterator, Sequence
from functools import partial
from typing import Any, Callable, NamedTuple


class Function(NamedTuple):
    """One column function: the vesk._columns one, and whether it gives numbers."""

    native: Callable[..., Any]
    numbers: bool


def apply(function: Function, column: Any, options: dict[str, Any], pandas_dtype: Any) -> Any:
    # Sequences first: the commonest small input, and no library is needed.
    if isinstance(column, list) or type(column) is tuple:
        return function.native(column, out="list", na=_missing_object(), **options)
    modules = sys.modules
    pa = modules.get("pyarrow")
    if pa is not None and isinstance(column, (pa.Array, pa.ChunkedArray)):
        return _pyarrow(function.native, column, options, pa)
    pd = modules.get("pandas")
    if pd is not None and isinstance(column, (pd.Series, pd.Index)):
        return _pandas(function, column, options, pandas_dtype, pd)
    pl = modules.get("polars")
    if pl is not None and isinstance(column, (pl.Series, pl.Expr)):
        if isinstance(column, pl.Expr):
            return _expression(function, column, options, pl)
        return _polars(function.native, column, options, pl)
    np = modules.get("numpy")
    if np is not None and isinstance(column, np.ndarray):
        return _numpy(function, column, options, np)
    frame = _frame(function, column, options, pandas_dtype)
    if frame is not None:
        return frame
    kind = type(column)
    if hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__"):
        return _foreign(function.native, column, options)
    if isinstance(column, Sequence) and not isinstance(column, (str, bytes, bytearray, memoryview)):
        return function.native(list(column), out="list", na=_missing_object(), **options)
    raise TypeError(_not_a_column(column))


def _missing_object() -> Any:
    """pandas.NA when pandas is loaded: one more missing cell on the sequence path."""
    pandas = sys.modules.get("pandas")
    return getattr(pandas, "NA", None) if pandas is not None else None


def _not_a_column(column: Any) -> str:
    kind = type(column).__name__
    if isinstance(column, (str, bytes, bytearray, memoryview)):
        return (
            f"expected a column, got a single '{kind}' "
            "(wrap it in a list, or use the scalar function)"
        )
    if isinstance(column, (set, frozenset)):
        return f"expected a column, got a '{kind}', which has no order (pass sorted(...) of it)"
    if isinstance(column, Iterator):
        return (
            f"expected a column, got a '{kind}', an iterator that is read only once "
            "(pass list(...) of it)"
        )
    if hasattr(column, "__iter__"):
        return f"expected a column, got a '{kind}', which is not a sequence (pass list(...) of it)"
    return (
        "expected a column (an Arrow array, a polars or pandas Series, a numpy array or a "
        f"sequence of str), got '{kind}'"
    )


# ------------------------------------------------------------------ Arrow


def _arrow_source(column: Any) -> Any:
    """What the native module reads: a stream capsule, else a (schema, array) pair."""
    if hasattr(type(column), "__arrow_c_stream__"):
        return column.__arrow_c_stream__()
    return column.__arrow_c_array__()


def _pyarrow(native: Any, column: Any, options: dict[str, Any], pa: Any) -> Any:
    # (dictionary-encoded text is read through its indices, each value
    # transformed once; the result holds the values' type)
    if isinstance(column, pa.ChunkedArray):
        return pa.chunked_array(native(column.__arrow_c_stream__(), **options))
    return pa.array(native(column.__arrow_c_array__(), **options))


def _foreign(native: Any, column: Any, options: dict[str, Any]) -> Any:
    """An object of another Arrow library (DuckDB, nanoarrow, arro3, ...)."""
    library = type(column).__module__.partition(".")[0]
    if library == "nanoarrow":
        return sys.modules["nanoarrow"].Array(native(_arrow_source(column), **options))
    if library == "arro3":  # its Array or ChunkedArray, made from ours
        return type(column).from_arrow(native(_arrow_source(column), **options))
    pa = sys.modules.get("pyarrow")
    if pa is None:
        try:
            pa = importlib.import_module("pyarrow")
        except ImportError:
            pa = None
    if pa is None:
        return native(_arrow_source(column), **options)
    if hasattr(type(column), "__arrow_c_stream__"):
        data = pa.chunked_array(column)
        if pa.types.is_struct(data.type):
            # A table (a DuckDB relation or result, record batches): a table
            # of one column gives a table of that column.
            names = [data.type.field(i).name for i in range(data.type.num_fields)]
            _one_column("table", names, "select one, such as {0!r}")
            return pa.table({names[0]: _pyarrow(native, data.flatten()[0], options, pa)})
    else:
        data = pa.array(column)
        if pa.types.is_struct(data.type) and data.type.num_fields == 1:
            data = data.flatten()[0]
    return _pyarrow(native, data, options, pa)


def _one_column(kind: str, names: list[Any], pick: str) -> None:
    """A TypeError unless a frame holds exactly one column; it says how to pick one."""
    if len(names) == 1:
        return
    hint = f" ({pick.format(names[0])})" if names else ""
    raise TypeError(f"expected one column, got a {kind} of {len(names)}: {names}{hint}")


def _frame(function: Function, frame: Any, options: dict[str, Any], pandas_dtype: Any) -> Any:
    """A frame of one column as a frame of its result; None if not a frame."""
    modules = sys.modules
    pd, pl, pa = modules.get("pandas"), modules.get("polars"), modules.get("pyarrow")
    if pd is not None and isinstance(frame, pd.DataFrame):
        _one_column("pandas DataFrame", list(frame.columns), "pass frame[{0!r}]")
        result = _pandas(function, frame.iloc[:, 0], options, pandas_dtype, pd)
        return result.to_frame()
    if pl is not None and isinstance(frame, pl.DataFrame):
        _one_column("polars DataFrame", frame.columns, "pass frame[{0!r}], or pl.col({0!r})")
        return _polars(function.native, frame.to_series(0), options, pl).to_frame()
    if pa is not None and isinstance(frame, (pa.Table, pa.RecordBatch)):
        kind = "Table" if isinstance(frame, pa.Table) else "RecordBatch"
        _one_column(f"pyarrow {kind}", frame.column_names, "pass table[{0!r}]")
        result = _pyarrow(function.native, frame.column(0), options, pa)
        return type(frame).from_arrays([result], names=frame.column_names)
    return None


# ------------------------------------------------------------------ polars


def _polars(native: Any, column: Any, options: dict[str, Any], pl: Any) -> Any:
    # (Categorical and Enum come as dictionary-encoded text, read natively)
    result = native(column.__arrow_c_stream__(), **options)
    # The Series reads the stream; the name does not travel with the data.
    return pl.Series(_Stream(result)).alias(column.name)


class _Stream:
    """Only the stream side of a result: readers that prefer one array read
    every chunk this way."""

    __slots__ = ("column",)

    def __init__(self, column: Any) -> None:
        self.column = column

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.column.__arrow_c_stream__(requested_schema)


def _batch(native: Any, options: dict[str, Any], series: Any) -> Any:
    return _polars(native, series, options, sys.modules["polars"])


def _expression(function: Function, expr: Any, options: dict[str, Any], pl: Any) -> Any:
    """The function on each batch of the expression's values: element-wise, so
    that polars may split the column, stream it and run batches in parallel."""
    # The options are checked now, when the query is built, not when it runs.
    function.native([], out="list", **options)
    if not function.numbers:
        kind = pl.String
    else:
        kind = pl.Int64 if options["dtype"] == "int64" else pl.Float64
    work = partial(_batch, function.native, options)
    return expr.map_batches(work, return_dtype=kind, is_elementwise=True)


# ------------------------------------------------------------------ pandas and numpy


def _pandas(function: Function, column: Any, options: dict[str, Any], target: Any, pd: Any) -> Any:
    """A Series (with its index and name back) or an Index (with its name)."""
    import numpy as np  # pandas is loaded, so numpy is

    source, arrow = _pandas_source(column, pd, np)
    if isinstance(column, pd.Index):
        wrap = partial(pd.Index, name=column.name)
    else:
        wrap = partial(pd.Series, index=column.index, name=column.name)
    native = function.native
    if function.numbers:
        values, valid = native(source, out="numpy", na=pd.NA, **options)
        data = _numbers(np, values, options["dtype"])
        if options["dtype"] == "int64":
            mask = np.zeros(len(data), bool) if valid is None else _invalid(np, valid)
            data = pd.arrays.IntegerArray(data, mask)
        result = wrap(data, copy=False)
        return result if target is None else result.astype(target)
    dtype = column.dtype if _is_text_dtype(column.dtype, pd) else _default_str(pd)
    if arrow or _arrow_backed(dtype, pd):  # (pandas 3's str: Arrow memory, no str objects)
        data = sys.modules["pyarrow"].chunked_array(native(source, na=pd.NA, **options))
    else:
        data = native(source, out="list", na=pd.NA, **options)
    return wrap(data, dtype=dtype)


def _pandas_source(column: Any, pd: Any, np: Any) -> tuple[Any, bool]:
    """What the native module reads of a pandas column, and whether it is Arrow."""
    dtype = column.dtype
    if _arrow_backed(dtype, pd):
        array = column.array  # its pyarrow ChunkedArray, as pyarrow would take it
        data = array.__arrow_array__() if hasattr(array, "__arrow_array__") else None
        if data is None:
            data = importlib.import_module("pyarrow").chunked_array(array)
        return data.__arrow_c_stream__(), True
    if _text_categories(dtype, pd):
        data = sys.modules["pyarrow"].array(column.array)  # dictionary-encoded
        return data.__arrow_c_array__(), True
    kind = getattr(dtype, "kind", "O")
    if kind not in "OSUT" and not bool(column.isna().all()):
        # A column of numbers (or of dates, or flags) is refused, as Arrow's
        # are; one of missing values only (how pandas reads an empty column)
        # gives missing cells, as Arrow's null type does.
        raise TypeError(_unsupported(dtype, kind, "str, string, object or category"))
    # object, the Python-backed str dtype, other categories: the cells as
    # Python objects, each checked like any sequence's.
    return _cells(np, column.to_numpy(dtype=object)), False


def _unsupported(dtype: Any, kind: str, expected: str) -> str:
    message = f"unsupported dtype '{dtype}' (expected {expected})"
    return message + (": the column holds numbers already" if kind in "iufc" else "")


def _arrow_backed(dtype: Any, pd: Any) -> bool:
    if isinstance(dtype, pd.StringDtype):
        return str(dtype.storage).startswith("pyarrow")
    arrow_dtype = getattr(pd, "ArrowDtype", None)
    return arrow_dtype is not None and isinstance(dtype, arrow_dtype)


def _text_categories(dtype: Any, pd: Any) -> bool:
    """A categorical column of text, read as Arrow dictionary-encoded text
    when pyarrow is there to export it."""
    if not isinstance(dtype, pd.CategoricalDtype):
        return False
    if "pyarrow" not in sys.modules:
        if importlib.util.find_spec("pyarrow") is None:
            return False
        importlib.import_module("pyarrow")
    return dtype.categories.inferred_type in ("string", "empty")


def _is_text_dtype(dtype: Any, pd: Any) -> bool:
    if isinstance(dtype, pd.StringDtype):
        return True
    arrow_dtype = getattr(pd, "ArrowDtype", None)
    if arrow_dtype is None or not isinstance(dtype, arrow_dtype):
        return False
    pa = sys.modules["pyarrow"]
    kind = dtype.pyarrow_dtype
    is_view = getattr(pa.types, "is_string_view", None)
    return bool(
        pa.types.is_string(kind)
        or pa.types.is_large_string(kind)
        or (is_view is not None and is_view(kind))
    )


_DEFAULT_STR: dict[int, Any] = {}


def _default_str(pd: Any) -> Any:
    """The dtype pandas gives a new column of text: ``str`` in pandas 3, object before."""
    key = id(pd)
    if key not in _DEFAULT_STR:
        _DEFAULT_STR[key] = pd.Series([""], dtype="str").dtype
    return _DEFAULT_STR[key]


def _numbers(np: Any, values: Any, dtype: str | None) -> Any:
    data = np.frombuffer(values, dtype=np.int64 if dtype == "int64" else np.float64)
    # Callers may write into the result: a read-only buffer is copied.
    return data if data.flags.writeable else data.copy()


def _invalid(np: Any, valid: Any) -> Any:
    return np.frombuffer(valid, dtype=np.uint8) == 0


def _numpy(function: Function, column: Any, options: dict[str, Any], np: Any) -> Any:
    if column.ndim != 1:
        raise ValueError(f"expected a one-dimensional array, got {column.ndim} dimensions")
    kind = column.dtype.kind
    if kind not in "OSU":
        if not (kind in "fc" and bool(np.isnan(column).all())):
            raise TypeError(_unsupported(column.dtype, kind, "str or object"))
        column = column.astype(object)  # NaN only: missing cells
    cells = _cells(np, column)
    native = function.native
    if function.numbers:
        values, valid = native(cells, out="numpy", na=_missing_object(), **options)
        data = _numbers(np, values, options["dtype"])
        if options["dtype"] == "int64":
            if valid is None:
                return np.ma.MaskedArray(data)
            return np.ma.MaskedArray(data, mask=_invalid(np, valid))
        return data
    texts = native(cells, out="list", na=_missing_object(), **options)
    result = np.empty(len(texts), dtype=object)
    result[:] = texts
    return result


def _cells(np: Any, column: Any) -> Any:
    """What the native module reads of a numpy array: an array of objects
    itself (its items' pointers, no list made), any other as a list."""
    if type(column) is np.ndarray and column.dtype == object:
        return column
    return column.tolist()
