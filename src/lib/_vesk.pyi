"""Python module definition."""

from collections.abc import Sequence
from typing import Any, Literal, TypeVar, overload

_T = TypeVar("_T")
_K = TypeVar("_K")
_V = TypeVar("_V")

__all__ = [
    "parse",
    "normalize_numeric_str",
    "multikeysort",
    "sanitize_vulgar_string",
    "uncamel",
    "underscore_to_camelcase",
    "collapse",
    "backfill",
    "backfill_iterdict",
    "same_order",
]

def parse(s: str) -> int | float | None:
    """Extract number from string."""

def normalize_numeric_str(s: str) -> str | None:
    """Strip accounting and thousands formatting from a numeric string."""

# The rows come back as they went in (items that are not dicts included);
# with inplace=True the list itself is sorted and None returned. The last
# signature covers a flag that is only known to be a bool.
@overload
def multikeysort(
    items: list[_T], columns: str | Sequence[str] | None, inplace: Literal[False] = False
) -> list[_T]: ...
@overload
def multikeysort(
    items: list[_T], columns: str | Sequence[str] | None, inplace: Literal[True]
) -> None: ...
@overload
def multikeysort(
    items: list[_T], columns: str | Sequence[str] | None, inplace: bool = False
) -> list[_T] | None:
    """Sort list of dictionaries by multiple keys."""

def sanitize_vulgar_string(s: str) -> str:
    """Replace vulgar fractions with decimal equivalents."""

def uncamel(camel: str) -> str:
    """Convert camelCase to snake_case."""

def underscore_to_camelcase(s: str) -> str:
    """Convert underscore_delimited_text to camelCase."""

def collapse(*args: Any) -> list[Any]:
    """Recursively flatten nested lists/tuples into a single list."""

# A list of Nones only comes back as it is, so the result's item type is the
# argument's (None included), not narrowed.
def backfill(values: list[_T]) -> list[_T]:
    """Back-fill a sorted array with the latest value."""

# Every None is replaced or its key dropped, so no value of the result is
# None: rows whose value type holds None come back without it. dict is
# invariant in its value type, hence one signature for rows with None and one
# for rows without. The last one takes a list literal of dicts whose types a
# checker cannot join (mypy infers `[{"a": None}, {"a": 4}]` as
# `list[object]` without it): still a list of dicts, of unknown item types.
@overload
def backfill_iterdict(iterdict: list[dict[_K, _V | None]]) -> list[dict[_K, _V]]: ...
@overload
def backfill_iterdict(iterdict: list[dict[_K, _V]]) -> list[dict[_K, _V]]: ...
@overload
def backfill_iterdict(iterdict: list[dict[Any, Any]]) -> list[dict[Any, Any]]:
    """Back-fill a sorted iterdict with the latest values."""

def same_order(ref_list: list[Any], comp: list[Any]) -> bool:
    """Compare two lists and check if elements in ref appear in same order in comp."""
