"""Cleaning a pandas DataFrame with vesk.

    python examples/cookbook_pandas.py

Reads the sales files in examples/data/sales/ as text, renames the camelCase
columns to snake_case and turns the loose prices into numbers and the
fractions into decimals. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import vesk

SALES = Path(__file__).with_name("data") / "sales"


def clean(frame: pd.DataFrame) -> pd.DataFrame:
    # rename() calls the function once per column name.
    frame = frame.rename(columns=vesk.uncamel)
    # An empty cell is NaN, a float, which vesk refuses like any non-str
    # value: na_action="ignore" leaves the missing cells alone. parse gives an
    # int, a float or None ("n/a"); float64 holds them all, None as NaN.
    frame["unit_price"] = frame["unit_price"].map(vesk.parse, na_action="ignore").astype("float64")
    frame["quantity_text"] = frame["quantity_text"].map(
        vesk.sanitize_vulgar_string, na_action="ignore"
    )
    return frame


def main() -> None:
    # dtype=str: every cell stays the text it was (missing cells are NaN).
    frame = pd.concat(
        [pd.read_csv(path, dtype=str) for path in sorted(SALES.glob("*.csv"))], ignore_index=True
    )
    frame = clean(frame)
    for row in frame.itertuples(index=False):
        price = None if pd.isna(row.unit_price) else row.unit_price
        quantity = None if pd.isna(row.quantity_text) else row.quantity_text
        print(row.order_id, row.store_id, price, quantity, sep="|")


if __name__ == "__main__":
    main()
