"""What ``dtype`` may be for ``vesk.columns.parse``: float64 or int64, spelled as
any of the data-frame libraries spells them. No library is imported: an
object is known by its type's module and its name.
"""

from __future__ import annotations

import sys
from typing import Any, Optional

# The names that mean float64 or int64, as each library writes them: Python's
# types, numpy's and pyarrow's names, pandas' nullable and Arrow dtypes,
# polars' classes. A pandas dtype is also the result's dtype for a pandas
# column (see pandas_dtype below).
FLOAT_NAMES = frozenset(["float64", "Float64", "float", "double", "double[pyarrow]"])
INT_NAMES = frozenset(["int64", "Int64", "int", "int64[pyarrow]"])
PANDAS_NAMES = frozenset(["Float64", "Int64", "double[pyarrow]", "int64[pyarrow]"])

# The libraries whose dtype objects are read, by the top module of their type.
LIBRARIES = ("numpy", "pandas", "polars", "pyarrow")

# A number type, as passed to vesk._columns ("float64" or "int64"), and for a
# pandas column the dtype its result takes (None: float64 or Int64).
NumberType = tuple[str, Optional[Any]]

_FAST: dict[object, NumberType] = {None: ("float64", None), "float64": ("float64", None)}
_FAST.update({"int64": ("int64", None), float: ("float64", None), int: ("int64", None)})


def number_type(dtype: object) -> NumberType:
    """The number type that `dtype` names; ValueError naming the nearest one
    for anything else."""
    try:
        return _FAST[dtype]
    except (KeyError, TypeError):  # (an unhashable dtype falls through)
        pass
    name = _name_of(dtype)
    if name in FLOAT_NAMES or name in INT_NAMES:
        number = "float64" if name in FLOAT_NAMES else "int64"
        # A pandas dtype (or its name) stays the pandas result's dtype.
        keep = name in PANDAS_NAMES and not _is_polars(dtype)
        return number, (dtype if keep else None)
    raise ValueError(_refusal(dtype, name))


def _is_polars(dtype: object) -> bool:
    kind = dtype if isinstance(dtype, type) else type(dtype)
    return kind.__module__.partition(".")[0] == "polars"


def _name_of(dtype: object) -> str | None:
    """The name a dtype object goes by in its library, or None."""
    if dtype is float:
        return "float64"
    if dtype is int:
        return "int64"
    if isinstance(dtype, str):
        return dtype
    kind = dtype if isinstance(dtype, type) else type(dtype)
    library = getattr(kind, "__module__", "").partition(".")[0]
    if library not in LIBRARIES:
        return None
    if library == "numpy":
        # np.float64, np.dtype("float64"), np.dtype(int), ...
        try:
            return str(sys.modules["numpy"].dtype(dtype).name)
        except (TypeError, ValueError):
            return None
    # pandas' Float64Dtype(), ArrowDtype(pa.int64()) and numpy dtypes
    # ("float64"); polars' Float64 and Float64() ("Float64"); pyarrow's
    # float64() ("double"), whose "float" is float32.
    try:
        name = str(dtype)
    except Exception:
        return None
    if library == "pyarrow":
        return {"double": "float64", "float": "float32", "halffloat": "float16"}.get(name, name)
    return name


def _refusal(dtype: object, name: str | None) -> str:
    shown = repr(dtype) if isinstance(dtype, str) or name is None else f"{name!r}"
    message = (
        "dtype must be None, 'float64' or 'int64' (or float, int, or another library's name "
        f"or type of them), not {shown}"
    )
    nearest = _nearest(name)
    return f"{message}: the nearest is {nearest!r}" if nearest else message


def _nearest(name: str | None) -> str | None:
    import difflib
    import re

    if not name:
        return None
    lowered = name.lower()
    if re.search(r"float|double|half|decimal|real|f[248]\b", lowered):
        return "float64"
    if re.search(r"int|long|short|byte|i[1248]\b", lowered):
        return "int64"
    close = difflib.get_close_matches(lowered, ["float64", "int64"], n=1, cutoff=0.5)
    return close[0] if close else None
