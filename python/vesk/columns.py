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
  A column of numbers, dates or flags is a ``TypeError`` naming its type, in
  every library (a pandas or numpy column of NaN only, as pandas reads an empty
  column, gives missing cells, like Arrow's null type).
- ``parse`` returns float64, which rounds integers beyond 2**53 (the scalar
  ``vesk.parse`` stays exact); ``dtype="int64"`` gives int64, where a number
  that is not a whole value within the int64 range is missing. ``float``,
  ``int``, ``"Float64"``, ``"Int64"`` and numpy's, pandas', polars' and
  pyarrow's types of them say the same (a pandas dtype is also the dtype of a
  pandas result: ``"Float64"`` is nullable).
- ``decimal=","`` (``parse`` and ``normalize_numeric_str``): each cell is read
  with ``,`` and ``.`` exchanged, so that ``"1.234,50"`` is read as
  ``"1,234.50"``; the result is the scalar's on the exchanged text.
- ``threads=None`` (or ``-1``) uses the cores this process may use;
  ``threads=1`` works on the calling thread alone. The result is the same
  whatever the count.

The column comes back in the caller's own kind:

=============================================  ===========================================
input                                          output
=============================================  ===========================================
``list``, ``tuple``, other sequences of str    ``list``: exactly the scalar's results
pyarrow ``Array`` / ``ChunkedArray``           the same (one chunk per non-empty chunk)
polars ``Series``                              polars ``Series``, name kept
polars ``Expr``                                an ``Expr`` that runs on each batch
pandas ``Series`` / ``Index``                  the same, index and name kept
numpy array (str or object), one dimension     numpy array
a frame of one column: pandas or polars        the same kind of frame, column name kept
``DataFrame``, pyarrow ``Table`` or
``RecordBatch``, DuckDB relation               (a DuckDB relation: a pyarrow ``Table``)
nanoarrow ``Array``, arro3 arrays              the same kind
other Arrow PyCapsule objects                  pyarrow, else the native ``Column``
=============================================  ===========================================

For pandas, ``parse`` gives float64 with NaN where missing (``dtype="int64"``:
the nullable ``Int64``); the text functions keep the input's string dtype, or
give the default ``str`` dtype for any other input (object columns). For
numpy, ``parse`` gives a float64 array with NaN (``dtype="int64"``: a masked
int64 array, ``numpy.ma.MaskedArray``, masked where missing); the text
functions give an object array holding ``str`` and ``None``. A frame of
several columns is a ``TypeError`` that says how to pick one.

pandas, polars, pyarrow and numpy stay optional: this module imports none of
them, and works with the ones the caller's column comes from. ``import
vesk.polars`` and ``import vesk.pandas`` add the same functions as a ``vesk``
namespace of polars expressions and Series, and of pandas Series and Index.

>>> from vesk import columns
>>> columns.parse(["$1,200", "(12.50)", "n/a", None])
[1200, -12.5, None, None]
>>> columns.parse(["$1,200", "(12.50)", "n/a", None], dtype="float64")
[1200.0, -12.5, None, None]
>>> columns.parse(["€1.234,50", "12,5 %"], decimal=",")
[1234.5, 12.5]
>>> columns.uncamel(("getHTTPResponseCode", None))
['get_http_response_code', None]
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Literal, Union, overload

from vesk._dtypes import number_type
from vesk._kinds import Function, apply

if TYPE_CHECKING:
    from collections.abc import MutableSequence
    from typing import Optional, Protocol, TypeVar

    import numpy as np
    import numpy.typing as npt
    from typing_extensions import TypeAlias

    # The kinds of column are told apart by what they have, not by their
    # library's classes, so that the types hold whichever libraries are
    # installed (an import that fails is Any to a type checker) and a single
    # str matches none of them.
    class _Shaped(Protocol):  # pandas, polars and numpy columns and frames, pyarrow Tables
        @property
        def shape(self) -> object: ...

    class _Named(Protocol):  # polars expressions
        @property
        def name(self) -> object: ...

    class _ArrowStream(Protocol):  # pyarrow ChunkedArrays, nanoarrow, arro3
        def __arrow_c_stream__(self, requested_schema: Any = ...) -> object: ...

    class _ArrowArray(Protocol):  # pyarrow Arrays
        def __arrow_c_array__(self, requested_schema: Any = ...) -> object: ...

    class _NumpyArray(Protocol):
        @property
        def strides(self) -> object: ...
        @property
        def __array_interface__(self) -> object: ...

    class _Relation(Protocol):  # DuckDB: a pyarrow Table back
        def sql_query(self) -> str: ...

    # A column or frame that comes back as its own kind.
    SameKind = TypeVar("SameKind", bound=Union[_Shaped, _Named, _ArrowStream, _ArrowArray])
    ListLike: TypeAlias = Union[MutableSequence[Any], tuple[Any, ...]]
    FloatType: TypeAlias = Union[Literal["float64", "Float64", "float", "double"], type[float]]
    IntType: TypeAlias = Union[Literal["int64", "Int64", "int"], type[int]]
    Threads: TypeAlias = Optional[int]
    Decimal: TypeAlias = Literal[".", ","]

__all__ = [
    "parse",
    "normalize_numeric_str",
    "uncamel",
    "underscore_to_camelcase",
    "sanitize_vulgar_string",
]

_native: Any = importlib.import_module("vesk._columns")

Errors = Literal["raise", "null"]
Number = Union[int, float]

_PARSE = Function(_native.parse, True)
_NORMALIZE = Function(_native.normalize_numeric_str, False)
_UNCAMEL = Function(_native.uncamel, False)
_TO_CAMEL = Function(_native.underscore_to_camelcase, False)
_VULGAR = Function(_native.sanitize_vulgar_string, False)


# ---------------------------------------------------------------- parse


@overload
def parse(
    column: ListLike,
    *,
    dtype: None = ...,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> list[Number | None]: ...
@overload
def parse(
    column: ListLike,
    *,
    dtype: IntType,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> list[int | None]: ...
# (int before float: to a type checker, int is a float)
@overload
def parse(
    column: ListLike,
    *,
    dtype: FloatType,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> list[float | None]: ...
@overload
def parse(
    column: ListLike,
    *,
    dtype: object,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> list[Number | None]: ...
@overload
def parse(
    column: _NumpyArray,
    *,
    dtype: IntType,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> np.ma.MaskedArray[Any, np.dtype[np.int64]]: ...
@overload
def parse(
    column: _NumpyArray,
    *,
    dtype: FloatType | None = ...,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> npt.NDArray[np.float64]: ...
@overload
def parse(
    column: _NumpyArray,
    *,
    dtype: object,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> np.ndarray[Any, Any]: ...
@overload
def parse(
    column: _Relation,
    *,
    dtype: object = ...,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> Any: ...
@overload
def parse(
    column: SameKind,
    *,
    dtype: object = ...,
    errors: Errors = ...,
    threads: Threads = ...,
    decimal: Decimal = ...,
) -> SameKind: ...
def parse(
    column: Any,
    *,
    dtype: object = None,
    errors: Errors = "raise",
    threads: int | None = None,
    decimal: Decimal = ".",
) -> Any:
    """The number in every cell, as ``vesk.parse`` finds it.

    A column in, the same kind of column out (see the module's documentation):
    float64 with missing cells (NaN for pandas and numpy) where a cell is
    missing or holds no number; ``dtype="int64"`` gives int64, missing where
    the number is not a whole value within range. A list or tuple gives a list
    of exactly what ``vesk.parse`` returns, ``int`` or ``float``. With
    ``decimal=","`` each cell is read with ``,`` and ``.`` exchanged.

    >>> from vesk.columns import parse
    >>> parse(["$1,200m", "(1,234.50)", "n/a", "", None, float("nan")])
    [1200, -1234.5, None, None, None, None]
    >>> parse(["12.0", "12.5", "7"], dtype="int64")
    [12, None, 7]
    >>> parse(["1.234,50", "(7,5)"], decimal=",")
    [1234.5, -7.5]
    >>> parse(["1", 2])
    Traceback (most recent call last):
      ...
    TypeError: row 1: 'int' object is not an instance of 'str'
    >>> parse(["1", 2], errors="null")
    [1, None]
    """
    number, pandas_dtype = number_type(dtype)
    options = dict(dtype=number, errors=errors, threads=threads, decimal=decimal)
    if dtype is None:
        options["dtype"] = None  # a list keeps the scalar's int or float
    return apply(_PARSE, column, options, pandas_dtype)


# ---------------------------------------------------------------- the text functions


@overload
def normalize_numeric_str(
    column: ListLike, *, errors: Errors = ..., threads: Threads = ..., decimal: Decimal = ...
) -> list[str | None]: ...
@overload
def normalize_numeric_str(
    column: _NumpyArray, *, errors: Errors = ..., threads: Threads = ..., decimal: Decimal = ...
) -> npt.NDArray[np.object_]: ...
@overload
def normalize_numeric_str(
    column: _Relation, *, errors: Errors = ..., threads: Threads = ..., decimal: Decimal = ...
) -> Any: ...
@overload
def normalize_numeric_str(
    column: SameKind, *, errors: Errors = ..., threads: Threads = ..., decimal: Decimal = ...
) -> SameKind: ...
def normalize_numeric_str(
    column: Any, *, errors: Errors = "raise", threads: int | None = None, decimal: Decimal = "."
) -> Any:
    """Every cell as ``vesk.normalize_numeric_str`` writes it (missing where it gives ``None``).

    >>> from vesk.columns import normalize_numeric_str
    >>> normalize_numeric_str([" (50%) ", "1,234.56", "  (  )  ", None])
    ['-50', '1234.56', None, None]
    >>> normalize_numeric_str(["1.234,56"], decimal=",")
    ['1234.56']
    """
    options = dict(errors=errors, threads=threads, decimal=decimal)
    return apply(_NORMALIZE, column, options, None)


@overload
def uncamel(
    column: ListLike, *, errors: Errors = ..., threads: Threads = ...
) -> list[str | None]: ...
@overload
def uncamel(
    column: _NumpyArray, *, errors: Errors = ..., threads: Threads = ...
) -> npt.NDArray[np.object_]: ...
@overload
def uncamel(column: _Relation, *, errors: Errors = ..., threads: Threads = ...) -> Any: ...
@overload
def uncamel(column: SameKind, *, errors: Errors = ..., threads: Threads = ...) -> SameKind: ...
def uncamel(column: Any, *, errors: Errors = "raise", threads: int | None = None) -> Any:
    """Every cell from camelCase to snake_case, as ``vesk.uncamel`` does it.

    >>> from vesk.columns import uncamel
    >>> uncamel(["orderId", "getHTTPResponseCode", "ÉtéÀ", None])
    ['order_id', 'get_http_response_code', 'été_à', None]
    """
    return apply(_UNCAMEL, column, dict(errors=errors, threads=threads), None)


@overload
def underscore_to_camelcase(
    column: ListLike, *, errors: Errors = ..., threads: Threads = ...
) -> list[str | None]: ...
@overload
def underscore_to_camelcase(
    column: _NumpyArray, *, errors: Errors = ..., threads: Threads = ...
) -> npt.NDArray[np.object_]: ...
@overload
def underscore_to_camelcase(
    column: _Relation, *, errors: Errors = ..., threads: Threads = ...
) -> Any: ...
@overload
def underscore_to_camelcase(
    column: SameKind, *, errors: Errors = ..., threads: Threads = ...
) -> SameKind: ...
def underscore_to_camelcase(
    column: Any, *, errors: Errors = "raise", threads: int | None = None
) -> Any:
    """Every cell from snake_case to camelCase, as ``vesk.underscore_to_camelcase`` does it.

    >>> from vesk.columns import underscore_to_camelcase
    >>> underscore_to_camelcase(["__foo_bar_baz", "a_ß", None])
    ['fooBarBaz', 'aSS', None]
    """
    return apply(_TO_CAMEL, column, dict(errors=errors, threads=threads), None)


@overload
def sanitize_vulgar_string(
    column: ListLike, *, errors: Errors = ..., threads: Threads = ...
) -> list[str | None]: ...
@overload
def sanitize_vulgar_string(
    column: _NumpyArray, *, errors: Errors = ..., threads: Threads = ...
) -> npt.NDArray[np.object_]: ...
@overload
def sanitize_vulgar_string(
    column: _Relation, *, errors: Errors = ..., threads: Threads = ...
) -> Any: ...
@overload
def sanitize_vulgar_string(
    column: SameKind, *, errors: Errors = ..., threads: Threads = ...
) -> SameKind: ...
def sanitize_vulgar_string(
    column: Any, *, errors: Errors = "raise", threads: int | None = None
) -> Any:
    """Every cell with its vulgar fractions written as decimals, as ``vesk.sanitize_vulgar_string``.

    >>> from vesk.columns import sanitize_vulgar_string
    >>> sanitize_vulgar_string(["2½ cups", "⅓ tsp", None])
    ['2.5 cups', '0.333333 tsp', None]
    """
    return apply(_VULGAR, column, dict(errors=errors, threads=threads), None)
