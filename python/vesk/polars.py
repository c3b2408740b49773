"""The ``vesk`` namespace of polars expressions and Series.

``import vesk.polars`` registers it::

    import polars as pl
    import vesk.polars

    frame.lazy().with_columns(
        pl.col("price").vesk.parse(decimal=","),
        pl.col("name").vesk.uncamel(),
    ).collect()
    series.vesk.parse(dtype="int64")

Each method is the function of ``vesk.columns`` with the same options. On an
expression it gives an expression with the right return dtype (``Float64``,
``Int64`` or ``String``), marked element-wise: polars may split the column
into batches, stream it and run batches in parallel, in eager, lazy and
streaming queries alike. The options are checked when the expression is
made. Type checkers do not see a namespace registered at run time:
``vesk.columns.parse(pl.col("price"))`` is the same expression, typed.

Each batch is handed to Python, and from there to the native code: a call of
a few microseconds per batch, which the batches of a whole column make
small. A compiled polars plugin would skip that step (polars would call the
native code itself, with no Python per batch) and show in the plan under its
own name, but it is built against polars' own Rust crates and must be
rebuilt for each polars release whose plugin interface changes; this one
works with any polars from 1.0 on.
"""

from __future__ import annotations

import polars as pl

from vesk._namespace import Namespace

__all__ = ["Namespace"]

pl.api.register_expr_namespace("vesk")(Namespace)
pl.api.register_series_namespace("vesk")(Namespace)
