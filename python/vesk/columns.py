"""Whole columns in one call: the five text functions of vesk over a column.

Each function takes one column and returns a column of the same length whose
element *i* is the scalar function (``vesk.parse``, ``vesk.uncamel``, ...)
applied to element *i*. The work runs in the native module ``vesk._columns``
on the column's UTF-8 bytes, on all cores, with the interpreter lock released:
no Python object is made per cell on Arrow data.

Rules:

- A missing cell (``None``, a float NaN, ``pandas.NA``, an Arrow null) gives a
  missing cell. ``parse`` also gives one wherever ``vesk.parse`` gives ``None``.
- A present cell that is not text (an ``int`` in an object column) raises
  ``TypeError`` naming its row; with ``errors="null"`` it gives a missing cell.
- ``parse`` returns float64, which rounds integers beyond 2**53 (the scalar
  ``vesk.parse`` stays exact); ``dtype="int64"`` gives int64, where a number
  that is not a whole value within the int64 range is missing.
- ``threads=None`` uses the cores this process may use; ``threads=1`` works on
  the calling thread alone. The result is the same whatever the count.

The column comes back in the caller's own kind:

=============================================  ===========================================
input                                          output
=============================================  ===========================================
``list``, ``tuple``, other sequences of str    ``list``: exactly the scalar's results
pyarrow ``Array`` / ``ChunkedArray``           the same (one chunk per non-empty chunk)
polars ``Series``                              polars ``Series``, name kept
pandas ``Series``                              pandas ``Series``, index and name kept
numpy array (str or object), one dimension     numpy array
nanoarrow ``Array``, arro3 arrays               the same kind
other Arrow PyCapsule objects (DuckDB, ...)    pyarrow, else the native ``Column``
=============================================  ===========================================

For pandas, ``parse`` gives float64 with NaN where missing (``dtype="int64"``:
the nullable ``Int64``); the text functions keep the input's string dtype, or
give the default ``str`` dtype for any other input (object columns). For
numpy, ``parse`` gives a float64 array with NaN (``dtype="int64"``: a masked
int64 array, ``numpy.ma.MaskedArray``, masked where missing); the text
functions give an object array holding ``str`` and ``None``. A DuckDB result
or record-batch stream of one column is read as that column.

pandas, polars, pyarrow and numpy stay optional: this module imports none of
them, and works with the ones the caller's column comes from.

>>> from vesk import columns
>>> columns.parse(["$1,200", "(12.50)", "n/a", None])
[1200, -12.5, None, None]
>>> columns.parse(["$1,200", "(12.50)", "n/a", None], dtype="float64")
[1200.0, -12.5, None, None]
>>> columns.uncamel(("getHTTPResponseCode", None))
['get_http_response_code', None]
"""

from __future__ import annotations

import importlib
import importlib.util
import sys
from collections.abc import Sequence
from typing import Any, Literal, Union, overload

__all__ = [
    "parse",
    "normalize_numeric_str",
    "uncamel",
    "underscore_to_camelcase",
    "sanitize_vulgar_string",
]


# The native module, typed loosely: its results are wrapped here.
_native: Any = importlib.import_module("vesk._columns")

Errors = Literal["raise", "null"]
Number = Union[int, float]


# ---------------------------------------------------------------- the five functions


@overload
def parse(
    column: Sequence[object],
    *,
    dtype: None = ...,
    errors: Errors = ...,
    threads: int | None = ...,
) -> list[Number | None]: ...
@overload
def parse(
    column: Sequence[object],
    *,
    dtype: Literal["float64"],
    errors: Errors = ...,
    threads: int | None = ...,
) -> list[float | None]: ...
@overload
def parse(
    column: Sequence[object],
    *,
    dtype: Literal["int64"],
    errors: Errors = ...,
    threads: int | None = ...,
) -> list[int | None]: ...
@overload
def parse(
    column: Any,
    *,
    dtype: Literal["float64", "int64"] | None = ...,
    errors: Errors = ...,
    threads: int | None = ...,
) -> Any: ...
def parse(
    column: Any,
    *,
    dtype: Literal["float64", "int64"] | None = None,
    errors: Errors = "raise",
    threads: int | None = None,
) -> Any:
    """The number in every cell, as ``vesk.parse`` finds it.

    A column in, the same kind of column out (see the module's documentation):
    float64 with missing cells (NaN for pandas and numpy) where a cell is
    missing or holds no number; ``dtype="int64"`` gives int64, missing where
    the number is not a whole value within range. A list or tuple gives a list
    of exactly what ``vesk.parse`` returns, ``int`` or ``float``.

    >>> from vesk.columns import parse
    >>> parse(["$1,200m", "(1,234.50)", "n/a", "", None, float("nan")])
    [1200, -1234.5, None, None, None, None]
    >>> parse(["12.0", "12.5", "7"], dtype="int64")
    [12, None, 7]
    >>> parse(["1", 2])
    Traceback (most recent call last):
      ...
    TypeError: row 1: 'int' object is not an instance of 'str'
    >>> parse(["1", 2], errors="null")
    [1, None]
    """
    return _apply(_native.parse, column, True, dict(dtype=dtype, errors=errors, threads=threads))


@overload
def normalize_numeric_str(
    column: Sequence[object], *, errors: Errors = ..., threads: int | None = ...
) -> list[str | None]: ...
@overload
def normalize_numeric_str(
    column: Any, *, errors: Errors = ..., threads: int | None = ...
) -> Any: ...
def normalize_numeric_str(
    column: Any, *, errors: Errors = "raise", threads: int | None = None
) -> Any:
    """Every cell as ``vesk.normalize_numeric_str`` writes it (missing where it gives ``None``).

    >>> from vesk.columns import normalize_numeric_str
    >>> normalize_numeric_str([" (50%) ", "1,234.56", "  (  )  ", None])
    ['-50', '1234.56', None, None]
    """
    return _apply(
        _native.normalize_numeric_str, column, False, dict(errors=errors, threads=threads)
    )


@overload
def uncamel(
    column: Sequence[object], *, errors: Errors = ..., threads: int | None = ...
) -> list[str | None]: ...
@overload
def uncamel(column: Any, *, errors: Errors = ..., threads: int | None = ...) -> Any: ...
def uncamel(column: Any, *, errors: Errors = "raise", threads: int | None = None) -> Any:
    """Every cell from camelCase to snake_case, as ``vesk.uncamel`` does it.

    >>> from vesk.columns import uncamel
    >>> uncamel(["orderId", "getHTTPResponseCode", "ÉtéÀ", None])
    ['order_id', 'get_http_response_code', 'été_à', None]
    """
    return _apply(_native.uncamel, column, False, dict(errors=errors, threads=threads))


@overload
def underscore_to_camelcase(
    column: Sequence[object], *, errors: Errors = ..., threads: int | None = ...
) -> list[str | None]: ...
@overload
def underscore_to_camelcase(
    column: Any, *, errors: Errors = ..., threads: int | None = ...
) -> Any: ...
def underscore_to_camelcase(
    column: Any, *, errors: Errors = "raise", threads: int | None = None
) -> Any:
    """Every cell from snake_case to camelCase, as ``vesk.underscore_to_camelcase`` does it.

    >>> from vesk.columns import underscore_to_camelcase
    >>> underscore_to_camelcase(["__foo_bar_baz", "a_ß", None])
    ['fooBarBaz', 'aSS', None]
    """
    return _apply(
        _native.underscore_to_camelcase, column, False, dict(errors=errors, threads=threads)
    )


@overload
def sanitize_vulgar_string(
    column: Sequence[object], *, errors: Errors = ..., threads: int | None = ...
) -> list[str | None]: ...
@overload
def sanitize_vulgar_string(
    column: Any, *, errors: Errors = ..., threads: int | None = ...
) -> Any: ...
def sanitize_vulgar_string(
    column: Any, *, errors: Errors = "raise", threads: int | None = None
) -> Any:
    """Every cell with its vulgar fractions written as decimals, as ``vesk.sanitize_vulgar_string``.

    >>> from vesk.columns import sanitize_vulgar_string
    >>> sanitize_vulgar_string(["2½ cups", "⅓ tsp", None])
    ['2.5 cups', '0.333333 tsp', None]
    """
    return _apply(
        _native.sanitize_vulgar_string, column, False, dict(errors=errors, threads=threads)
    )


# ---------------------------------------------------------------- dispatch


def _missing_object() -> Any:
    """pandas.NA when pandas is loaded: one more missing cell on the sequence path."""
    pandas = sys.modules.get("pandas")
    return getattr(pandas, "NA", None) if pandas is not None else None


def _apply(fn: Any, column: Any, numeric: bool, options: dict[str, Any]) -> Any:
    # Sequences first: the commonest small input, and no library is needed.
    if isinstance(column, list) or type(column) is tuple:
        return fn(column, out="list", na=_missing_object(), **options)
    modules = sys.modules
    # A library is looked at only if it is loaded: a column of its kind cannot
    # exist otherwise, and importing it would cost the caller.
    pa = modules.get("pyarrow")
    if pa is not None and isinstance(column, (pa.Array, pa.ChunkedArray)):
        return _pyarrow(fn, column, options, pa)
    pl = modules.get("polars")
    if pl is not None and isinstance(column, pl.Series):
        return _polars(fn, column, options, pl)
    pd = modules.get("pandas")
    if pd is not None and isinstance(column, pd.Series):
        return _pandas(fn, column, numeric, options, pd)
    np = modules.get("numpy")
    if np is not None and isinstance(column, np.ndarray):
        return _numpy(fn, column, numeric, options, np)
    kind = type(column)
    if hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__"):
        return _foreign(fn, column, options)
    if isinstance(column, (str, bytes, bytearray, memoryview)):
        raise TypeError(
            f"expected a column, got a single '{kind.__name__}' "
            "(wrap it in a list, or use the scalar function)"
        )
    if isinstance(column, Sequence):
        return fn(list(column), out="list", na=_missing_object(), **options)
    raise TypeError(
        f"expected a column (an Arrow array, a polars or pandas Series, a numpy array "
        f"or a sequence of str), got '{kind.__name__}'"
    )


def _arrow_source(column: Any) -> Any:
    """What the native module reads: a stream capsule, else a (schema, array) pair."""
    if hasattr(type(column), "__arrow_c_stream__"):
        return column.__arrow_c_stream__()
    return column.__arrow_c_array__()


def _pyarrow(fn: Any, column: Any, options: dict[str, Any], pa: Any) -> Any:
    # (dictionary-encoded text is read through its indices, each value
    # transformed once; the result holds the values' type)
    if isinstance(column, pa.ChunkedArray):
        return pa.chunked_array(fn(column.__arrow_c_stream__(), **options))
    return pa.array(fn(column.__arrow_c_array__(), **options))


def _polars(fn: Any, column: Any, options: dict[str, Any], pl: Any) -> Any:
    # (Categorical and Enum come as dictionary-encoded text, read natively)
    result = fn(column.__arrow_c_stream__(), **options)
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


def _arrow_backed(dtype: Any, pd: Any) -> bool:
    if isinstance(dtype, pd.StringDtype):
        return str(dtype.storage).startswith("pyarrow")
    arrow_dtype = getattr(pd, "ArrowDtype", None)
    return arrow_dtype is not None and isinstance(dtype, arrow_dtype)


def _pandas(fn: Any, column: Any, numeric: bool, options: dict[str, Any], pd: Any) -> Any:
    import numpy as np  # pandas is loaded, so numpy is

    arrow = _arrow_backed(column.dtype, pd) or _text_categories(column, pd)
    if arrow:
        if hasattr(type(column), "__arrow_c_stream__"):
            source = column.__arrow_c_stream__()
        else:  # pandas before 3: the Arrow data through the array's own protocol
            source = _arrow_source(importlib.import_module("pyarrow").array(column.array))
    else:
        # object, the Python-backed str dtype, other categories, numbers: the
        # cells as Python objects, each checked like any sequence's.
        source = _cells(np, column.to_numpy(dtype=object))
    if numeric:
        values, valid = fn(source, out="numpy", na=pd.NA, **options)
        data = _numbers(np, values, options["dtype"])
        if options["dtype"] == "int64":
            mask = np.zeros(len(data), bool) if valid is None else _invalid(np, valid)
            data = pd.arrays.IntegerArray(data, mask)
        return pd.Series(data, index=column.index, name=column.name, copy=False)
    dtype = column.dtype if _is_text_dtype(column.dtype, pd) else _default_str(pd)
    if arrow:
        data = sys.modules["pyarrow"].chunked_array(fn(source, **options))
    else:
        data = fn(source, out="list", na=pd.NA, **options)
    return pd.Series(data, dtype=dtype, index=column.index, name=column.name)


def _text_categories(column: Any, pd: Any) -> bool:
    """A categorical column of text, read as Arrow dictionary-encoded text
    when pyarrow is there to export it."""
    if not isinstance(column.dtype, pd.CategoricalDtype):
        return False
    if "pyarrow" not in sys.modules and importlib.util.find_spec("pyarrow") is None:
        return False
    return column.dtype.categories.inferred_type in ("string", "empty")


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


def _numpy(fn: Any, column: Any, numeric: bool, options: dict[str, Any], np: Any) -> Any:
    if column.ndim != 1:
        raise ValueError(f"expected a one-dimensional array, got {column.ndim} dimensions")
    cells = _cells(np, column)
    if numeric:
        values, valid = fn(cells, out="numpy", na=_missing_object(), **options)
        data = _numbers(np, values, options["dtype"])
        if options["dtype"] == "int64":
            if valid is None:
                return np.ma.MaskedArray(data)
            return np.ma.MaskedArray(data, mask=_invalid(np, valid))
        return data
    texts = fn(cells, out="list", na=_missing_object(), **options)
    result = np.empty(len(texts), dtype=object)
    result[:] = texts
    return result


def _cells(np: Any, column: Any) -> Any:
    """What the native module reads of a numpy array: an array of objects
    itself (its items' pointers, no list made), any other as a list."""
    if type(column) is np.ndarray and column.dtype == object:
        return column
    return column.tolist()


def _foreign(fn: Any, column: Any, options: dict[str, Any]) -> Any:
    """An object of another Arrow library (DuckDB, nanoarrow, arro3, ...)."""
    library = type(column).__module__.partition(".")[0]
    if library == "nanoarrow":
        return sys.modules["nanoarrow"].Array(fn(_arrow_source(column), **options))
    if library == "arro3":  # its Array or ChunkedArray, made from ours
        return type(column).from_arrow(fn(_arrow_source(column), **options))
    pa = sys.modules.get("pyarrow")
    if pa is None:
        try:
            pa = importlib.import_module("pyarrow")
        except ImportError:
            pa = None
    if pa is None:
        return fn(_arrow_source(column), **options)
    if hasattr(type(column), "__arrow_c_stream__"):
        data = pa.chunked_array(column)
        if pa.types.is_struct(data.type):
            # A table (DuckDB result, record batches): one column is that column.
            fields = [data.type.field(i).name for i in range(data.type.num_fields)]
            if len(fields) != 1:
                raise TypeError(f"expected one column, got a table of {len(fields)}: {fields}")
            data = data.flatten()[0]
    else:
        data = pa.array(column)
        if pa.types.is_struct(data.type) and data.type.num_fields == 1:
            data = data.flatten()[0]
    return _pyarrow(fn, data, options, pa)
