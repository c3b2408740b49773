"""Exact, fast data-cleaning utilities for plain Python values.

`vesk.columns` (imported on first use) runs five of them over whole columns
(pandas, polars, pyarrow, numpy, DuckDB and other Arrow data, or sequences).

The ten functions live in the native extension module ``_vesk``; this package
re-exports those very objects (``vesk.parse is _vesk.parse``) beside the
package version, so that ``import vesk`` works as the distribution's name
suggests. There is no pure-Python fallback: importing it needs the compiled
module.
"""

from _vesk import (
    backfill,
    backfill_iterdict,
    collapse,
    multikeysort,
    normalize_numeric_str,
    parse,
    same_order,
    sanitize_vulgar_string,
    uncamel,
    underscore_to_camelcase,
)

# For type checkers only (the name is theirs; importing typing would slow
# `import vesk`): at run time, __getattr__ below imports the module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from vesk import columns as columns
del TYPE_CHECKING

__version__ = "0.2.0"

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


def __getattr__(name: str) -> object:
    # vesk.columns is imported on first use: `import vesk` stays as light as
    # the ten functions, whatever data-frame libraries are installed.
    if name == "columns":
        import importlib

        return importlib.import_module("vesk.columns")
    raise AttributeError(f"module 'vesk' has no attribute {name!r}")
