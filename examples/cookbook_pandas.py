"""Cleaning a pandas DataFrame with vesk.

    python examples/cookbook_pandas.py

Reads the sales files in examples/data/sales/ as text, renames the camelCase
columns to snake_case and turns the loose prices into numbers and the
fractions into decimals, a whole column per call, through the `vesk` accessor
that `import vesk.pandas` adds to Series and Index. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import vesk.pandas  # noqa: F401 (adds Series.vesk and Index.vesk)

SALES = Path(__file__).with_name("data") / "sales"


def clean(frame: pd.DataFrame) -> pd.DataFrame:
    # The column names are an Index: a new Index of snake_case names.
    frame.columns = frame.columns.vesk.uncamel()
    # One call per column: missing cells stay missing, "n/a" becomes NaN too,
    # and the prices come back as float64 with the frame's index.
    frame["unit_price"] = frame["unit_price"].vesk.parse()
    frame["quantity_text"] = frame["quantity_text"].vesk.sanitize_vulgar_string()
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
