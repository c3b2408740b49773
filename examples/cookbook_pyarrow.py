"""Cleaning a pyarrow Table with vesk.

    python examples/cookbook_pyarrow.py

The same cleaning as cookbook_pandas.py on an Arrow Table made of the three
sales files: each column is a ChunkedArray of three chunks, and vesk.columns
gives back a ChunkedArray of three chunks, read and written as Arrow buffers.
Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import pyarrow as pa
import pyarrow.csv as csv
import vesk

SALES = Path(__file__).with_name("data") / "sales"

# Every column as text; an empty field is a null, not "".
READ = csv.ConvertOptions(
    column_types={
        name: pa.string() for name in ("orderId", "storeID", "unitPrice", "quantityText")
    },
    strings_can_be_null=True,
)


def clean(table: pa.Table) -> pa.Table:
    table = table.rename_columns(vesk.columns.uncamel(table.column_names))
    # A ChunkedArray in, a ChunkedArray of as many chunks out.
    prices = vesk.columns.parse(table["unit_price"])
    quantities = vesk.columns.sanitize_vulgar_string(table["quantity_text"])
    table = table.set_column(table.schema.get_field_index("unit_price"), "unit_price", prices)
    at = table.schema.get_field_index("quantity_text")
    return table.set_column(at, "quantity_text", quantities)


def main() -> None:
    table = pa.concat_tables(
        csv.read_csv(path, convert_options=READ) for path in sorted(SALES.glob("*.csv"))
    )
    for row in clean(table).to_pylist():
        print(row["order_id"], row["store_id"], row["unit_price"], row["quantity_text"], sep="|")


if __name__ == "__main__":
    main()
