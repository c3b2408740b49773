"""Cleans a small file of messy pantry orders with _vesk and prints it before and after.

Run it with `./dev demo` from the repository root (that also builds the module),
or `python examples/demo.py [file.csv]` once `_vesk` is installed.
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

import _vesk

SAMPLE = Path(__file__).with_name("data") / "pantry_orders.csv"


def show(title: str, header: list[str], rows: list[list[object]]) -> None:
    cells = [[str(c) if c is not None else "—" for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(header)]
    print(f"\n{title}")
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for row in cells:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)))


def main(path: Path) -> None:
    with path.open(encoding="utf-8", newline="") as handle:
        reader = csv.reader(handle)
        raw_header = next(reader)
        raw_rows = [row for row in reader if row]
    show(f"Before: {path.name}", raw_header, raw_rows)

    # camelCase field names become snake_case keys.
    header = [_vesk.uncamel(name) for name in raw_header]

    records = []
    for row in raw_rows:
        record = {key: (value if value.strip() else None) for key, value in zip(header, row)}
        # Prices: "$1,200" -> 1200, "(1,234.50)" -> -1234.5, "1,200m" -> 1200.
        if record["unit_price"] is not None:
            record["unit_price"] = _vesk.parse(record["unit_price"])
        # Rates keep their own float policy: "(50%)" -> "-50" -> -50.0; no rate is 0.
        rate = _vesk.normalize_numeric_str(record["discount_rate"] or "")
        record["discount_rate"] = float(rate) if rate is not None else 0.0
        # Quantities: "2½ cups" -> "2.5 cups".
        record["quantity_text"] = _vesk.sanitize_vulgar_string(record["quantity_text"])
        records.append(record)

    # A price that is missing carries the latest known price forward.
    prices = _vesk.backfill([r["unit_price"] for r in records])
    for record, price in zip(records, prices):
        record["unit_price"] = price
    # So does a missing supplier code (the rows are in date order); leading
    # gaps take the first known code.
    records = _vesk.backfill_iterdict(records)

    # By store, then the most expensive first.
    records = _vesk.multikeysort(records, ["store_id", "-unit_price"])

    # The sort must keep every store's rows in date order where prices tie.
    columns = list(records[0])
    assert _vesk.same_order(["order_date", "store_id", "unit_price"], columns)

    # All products per store, flattened from nested groups.
    stores: dict[str, list[object]] = {}
    for record in records:
        stores.setdefault(record["store_id"], []).append([record["product_name"]])
    products = {store: _vesk.collapse(groups) for store, groups in stores.items()}

    show(
        "After: cleaned, back-filled and sorted by store, then price (descending)",
        header,
        [[r.get(k) for k in header] for r in records],
    )
    print("\nProducts per store:", products)
    print("Field names for a camelCase API:", [_vesk.underscore_to_camelcase(k) for k in header])


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE)
