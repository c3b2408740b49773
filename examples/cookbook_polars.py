"""Cleaning a polars DataFrame with vesk.

    python examples/cookbook_polars.py

The same cleaning as cookbook_pandas.py. map_batches hands vesk.columns a
whole Series at a time (no Python object per cell) and gets a Series back:
float64 prices, null where a cell is empty or holds no number. Prints one
line per order.
"""

from __future__ import annotations

from pathlib import Path

import polars as pl
import vesk

SALES = Path(__file__).with_name("data") / "sales"


def clean(frame: pl.DataFrame) -> pl.DataFrame:
    frame = frame.rename(dict(zip(frame.columns, vesk.columns.uncamel(frame.columns))))
    frame = frame.with_columns(
        pl.col("unit_price").map_batches(vesk.columns.parse, return_dtype=pl.Float64),
        pl.col("quantity_text").map_batches(
            vesk.columns.sanitize_vulgar_string, return_dtype=pl.String
        ),
    )
    return frame


def main() -> None:
    # infer_schema=False: every column is read as text.
    frame = pl.concat(
        [pl.read_csv(path, infer_schema=False) for path in sorted(SALES.glob("*.csv"))]
    )
    for row in clean(frame).iter_rows(named=True):
        print(row["order_id"], row["store_id"], row["unit_price"], row["quantity_text"], sep="|")


if __name__ == "__main__":
    main()
