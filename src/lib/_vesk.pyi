"""Python module definition."""

from typing import Any, Optional, Sequence, Union

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

def parse(s: str) -> Union[int, float, None]:
    """Extract number from string."""

def normalize_numeric_str(s: str) -> Optional[str]:
    """Strip accounting and thousands formatting from a numeric string."""

def multikeysort(
    items: list[Any], columns: Union[str, Sequence[str], None, Any], inplace: bool = False
) -> Optional[list[Any]]:
    """Sort list of dictionaries by multiple keys."""

def sanitize_vulgar_string(s: str) -> str:
    """Replace vulgar fractions with decimal equivalents."""

def uncamel(camel: str) -> str:
    """Convert camelCase to snake_case."""

def underscore_to_camelcase(s: str) -> str:
    """Convert underscore_delimited_text to camelCase."""

def collapse(*args: Any) -> list[Any]:
    """Recursively flatten nested lists/tuples into a single list."""

def backfill(values: list[Any]) -> list[Any]:
    """Back-fill a sorted array with the latest value."""

def backfill_iterdict(iterdict: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Back-fill a sorted iterdict with the latest values."""

def same_order(ref_list: list[Any], comp: list[Any]) -> bool:
    """Compare two lists and check if elements in ref appear in same order in comp."""
