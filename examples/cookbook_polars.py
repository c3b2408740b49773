"""Cleaning a polars LazyFrame with vesk.

    python examples/cookbook_polars.py

The same cleaning as cookbook_pandas.py, as a lazy query. `import
vesk.polars` adds a `vesk` namespace to polars expressions: each function
runs on whole batches of the column (no Python object per cell), marked
element-wise, with its return dtype known to the plan: float64 prices, null
where a cell is empty or holds no number. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import polars as pl
import vesk
import vesk.polars  # noqa: F401 (adds pl.col(...).vesk and Series.vesk)

SALES = Path(__file__).with_name("data") / "sales"


def clean(frame: pl.LazyFrame) -> pl.LazyFrame:
    # rename() calls the scalar function once per column name.
    frame = frame.rename(vesk.uncamel)
    frame = frame.with_columns(
        pl.col("unit_price").vesk.parse(),
        pl.col("quantity_text").vesk.sanitize_vulgar_string(),
    )
    return frame


def main() -> None:
    # infer_schema=False: every column is read as text.
    frame = pl.concat(
        [pl.scan_csv(path, infer_schema=False) for path in sorted(SALES.glob("*.csv"))]
    )
    for row in clean(frame).collect().iter_rows(named=True):
        print(row["order_id"], row["store_id"], row["unit_price"], row["quantity_text"], sep="|")


if __name__ == "__main__":
    main()
