"""Exact, fast cleaning of messy text columns and plain Python values.

`vesk.columns` (imported on first use) runs five of the functions over whole
columns: pandas, polars, pyarrow, numpy, DuckDB and other Arrow data, or
sequences, each given back as its own kind. `import vesk.polars` and `import
vesk.pandas` add them as a `vesk` namespace of polars expressions and Series
and of pandas Series and Index.

The ten functions live in the native extension module ``_vesk``; this package
re-exports those very objects (``vesk.parse is _vesk.parse``) beside the
package version, so that ``import vesk`` works as the distribution's name
suggests. There is no pure-Python fallback: importing it needs the compiled
module.

What each function does not do
------------------------------

``parse`` keeps only the ASCII digits, ``.``, ``-`` and parentheses of a text
and reads what is left; the other functions are as loose in their own ways.
This is the intended behaviour, and callers rely on it, so when the data can
hold these cases, use the tool named last:

=========================================  ===========  ==========================================
call                                       gives        why; for this, use
=========================================  ===========  ==========================================
``parse('1.5e3')``                         ``1.53``     letters are dropped, no scientific
                                                        notation; ``float()``
``parse('12 apples 3')``                   ``123``      words and spaces are dropped, the digits
                                                        joined; a regular expression
``parse('€1.234,50')``                     ``1.2345``   the comma is a thousands separator, the
                                                        dot the decimal point; for a column whose
                                                        decimal mark is the comma,
                                                        ``vesk.columns.parse(c, decimal=",")``
``parse('−5')`` (U+2212)                   ``5``        only the ASCII ``-`` and parentheses make
                                                        a number negative; replace U+2212 first
``parse('9' * 19)``                        ``None``     whole numbers beyond the signed 64-bit
                                                        range give None (just past 2**63, the
                                                        largest 64-bit int); ``int()``
``multikeysort`` on values it cannot       no error     such values count as equal, so rows
compare (int beside str, NaN, a raising                 around them may stay out of order;
``__lt__``)                                             ``sorted()`` with a key that orders them
``same_order(['a', 'b', 'a'],              ``False``    each reference element is looked for at
['a', 'b', 'a'])``                                      its first occurrence; a reference list
                                                        without repeats
``backfill([None, nan])``                  ``[nan,      only None is missing, NaN is a value
                                           nan]``       (also in ``backfill_iterdict``); turn NaN
                                                        into None first
=========================================  ===========  ==========================================
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

__version__ = "0.3.0"

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
