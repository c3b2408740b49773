"""Cleaning a polars DataFrame with vesk.

    python examples/cookbook_polars.py

The same cleaning as cookbook_pandas.py. polars needs one type per column:
vesk.parse gives an int for "$1,200" and a float for "$0.99", so
map_elements gets a wrapper that always gives a float, and is told so with
return_dtype. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import polars as pl
import vesk

SALES = Path(__file__).with_name("data") / "sales"


def parse_float(text: str) -> float | None:
    value = vesk.parse(text)
    return None if value is None else float(value)


def clean(frame: pl.DataFrame) -> pl.DataFrame:
    frame = frame.rename({name: vesk.uncamel(name) for name in frame.columns})
    # map_elements skips null cells (empty fields): vesk only sees text.
    return frame.with_columns(
        pl.col("unit_price").map_elements(parse_float, return_dtype=pl.Float64),
        pl.col("quantity_text").map_elements(vesk.sanitize_vulgar_string, return_dtype=pl.String),
    )


def main() -> None:
    # infer_schema=False: every column is read as text.
    frame = pl.concat(
        [pl.read_csv(path, infer_schema=False) for path in sorted(SALES.glob("*.csv"))]
    )
    for row in clean(frame).iter_rows(named=True):
        print(row["order_id"], row["store_id"], row["unit_price"], row["quantity_text"], sep="|")


if __name__ == "__main__":
    main()
