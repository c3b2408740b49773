"""The ``vesk`` namespace of a column: the five column functions as methods
of a polars expression or Series (``vesk.polars``) and of a pandas Series or
Index (``vesk.pandas``). Each method is the function of ``vesk.columns`` on
the column the namespace belongs to, with the same options and results.
"""

from __future__ import annotations

from typing import Any, Literal

from vesk import columns

Decimal = Literal[".", ","]


class Namespace:
    """``column.vesk``: the functions of vesk.columns on this column."""

    __slots__ = ("_column",)

    def __init__(self, column: Any) -> None:
        self._column = column

    def parse(
        self,
        *,
        dtype: object = None,
        errors: columns.Errors = "raise",
        threads: int | None = None,
        decimal: Decimal = ".",
    ) -> Any:
        """The number in every cell, as ``vesk.parse`` finds it (``vesk.columns.parse``):
        float64, missing where a cell is missing or holds no number; ``dtype="int64"``
        gives int64; ``decimal=","`` reads each cell with ``,`` and ``.`` exchanged."""
        return columns.parse(
            self._column, dtype=dtype, errors=errors, threads=threads, decimal=decimal
        )

    def normalize_numeric_str(
        self,
        *,
        errors: columns.Errors = "raise",
        threads: int | None = None,
        decimal: Decimal = ".",
    ) -> Any:
        """Every cell as ``vesk.normalize_numeric_str`` writes it
        (``vesk.columns.normalize_numeric_str``)."""
        return columns.normalize_numeric_str(
            self._column, errors=errors, threads=threads, decimal=decimal
        )

    def uncamel(self, *, errors: columns.Errors = "raise", threads: int | None = None) -> Any:
        """Every cell from camelCase to snake_case (``vesk.columns.uncamel``)."""
        return columns.uncamel(self._column, errors=errors, threads=threads)

    def underscore_to_camelcase(
        self, *, errors: columns.Errors = "raise", threads: int | None = None
    ) -> Any:
        """Every cell from snake_case to camelCase (``vesk.columns.underscore_to_camelcase``)."""
        return columns.underscore_to_camelcase(self._column, errors=errors, threads=threads)

    def sanitize_vulgar_string(
        self, *, errors: columns.Errors = "raise", threads: int | None = None
    ) -> Any:
        """Every cell with its vulgar fractions as decimals
        (``vesk.columns.sanitize_vulgar_string``)."""
        return columns.sanitize_vulgar_string(self._column, errors=errors, threads=threads)
