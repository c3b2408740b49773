"""Cleans a small file of messy pantry orders with vesk and prints it before and after.

Run it with `./dev demo` from the repository root (that also builds the module),
or `python examples/demo.py [file.csv]` once vesk is installed. It needs no
data-frame library: vesk.columns takes plain lists too (with pandas or polars,
the same calls take their columns, see examples/cookbook_*.py).

The file lists orders of three stores in date order. A store's supplier code is
written on its first order and again when the supplier changes; a blank means
"the same supplier as this store's previous order". Amounts come as people type
them: currency signs, thousands separators, parentheses for a credit. Store S03
exports from a European system, where the comma is the decimal mark
("1.234,50"): its amounts are read with decimal=",".
"""

from __future__ import annotations

import csv
import sys
from pathlib import Path

import vesk

SAMPLE = Path(__file__).with_name("data") / "pantry_orders.csv"

# The stores whose amounts are written with a decimal comma.
DECIMAL_MARK = {"S03": ","}


def money(amount: object) -> object:
    # parse gives an int for "1,250" and a float for "4.25": both print with cents.
    return f"{amount:.2f}" if isinstance(amount, (int, float)) else amount


def show(title: str, header: list[str], rows: list[list[object]]) -> None:
    cells = [[str(c) if c is not None else "—" for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(header)]
    print(f"\n{title}")
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for row in cells:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())


def main(path: Path) -> None:
    with path.open(encoding="utf-8", newline="") as handle:
        reader = csv.reader(handle)
        raw_header = next(reader)
        raw_rows = [row for row in reader if row]
    show(f"Before: {path.name}", raw_header, raw_rows)

    # camelCase field names become snake_case keys, the whole header in one
    # call: "storeID" -> "store_id".
    header = vesk.columns.uncamel(raw_header)
    # An empty or blank cell becomes None (a missing cell to vesk.columns).
    records = [
        {key: (value if value.strip() else None) for key, value in zip(header, row)}
        for row in raw_rows
    ]

    def column(key: str) -> list[str | None]:
        return [r[key] for r in records]

    # Amounts, a column per store, each read with its store's decimal mark:
    # "$1,200.00" -> 1200.0, "(45.00)" -> -45.0 (a credit), "€1.234,50" at S03
    # -> 1234.5, "n/a" -> None.
    texts = column("line_total")
    for store in sorted({r["store_id"] for r in records}):
        rows = [i for i, r in enumerate(records) if r["store_id"] == store]
        mark = DECIMAL_MARK.get(store, ".")
        amounts = vesk.columns.parse([texts[i] for i in rows], decimal=mark)
        for i, amount in zip(rows, amounts):
            records[i]["line_total"] = amount
    # A discount is a percentage: normalize_numeric_str drops the percent sign
    # ("10 %" -> "10", not 0.1) and float() reads the rest; a blank cell is no
    # discount, 0.0.
    for record, rate in zip(records, vesk.columns.normalize_numeric_str(column("discount_rate"))):
        record["discount_rate"] = float(rate) if rate is not None else 0.0
    # Quantities: "2½ cases" -> "2.5 cases", "3 ⅔ kg" -> "3.666667 kg".
    quantities = vesk.columns.sanitize_vulgar_string(column("quantity_text"))
    for record, quantity in zip(records, quantities):
        record["quantity_text"] = quantity

    # Rows grouped by store. The sort is stable, so each store's rows keep the
    # file's date order, which back-filling below relies on. same_order checks
    # it on the rows themselves (the sort returns the same dict objects; id()
    # tells them apart even when two rows are equal): each store's rows, in
    # file order, appear in that order in the sorted list.
    by_store = vesk.multikeysort(records, "store_id")
    sorted_ids = [id(r) for r in by_store]
    for store in {r["store_id"] for r in records}:
        in_file = [id(r) for r in records if r["store_id"] == store]
        assert vesk.same_order(in_file, sorted_ids)

    # A blank supplier code takes the latest code of the same store, never one
    # from another store: back-filling runs on each store's rows alone (blanks
    # before a store's first code would take that first code). The
    # amounts are not back-filled: a missing amount is unknown, not the
    # previous order's.
    stores: dict[str, list[dict[str, object]]] = {}
    for record in by_store:
        stores.setdefault(record["store_id"], []).append(record)
    for rows in stores.values():
        codes = vesk.backfill_iterdict([{"supplier_code": r["supplier_code"]} for r in rows])
        for record, filled in zip(rows, codes):
            # A store with no code at all has its key dropped: None stays.
            record["supplier_code"] = filled.get("supplier_code")

    show(
        "After: by store, in date order; supplier codes back-filled per store",
        header,
        [[money(r[k]) if k == "line_total" else r[k] for k in header] for r in by_store],
    )

    # The amounts that held text but no number: present in, missing out.
    print("\nNeeds a look (an amount with no number in it; left empty):")
    for record, text in zip(records, texts):
        if text is not None and record["line_total"] is None:
            print(
                f"  {record['order_date']} {record['store_id']} {record['product_name']}: {text!r}"
            )

    # Largest amounts first; rows without an amount go last when descending.
    largest = vesk.multikeysort(by_store, ["-line_total", "product_name"])
    print(
        "\nLargest amounts first:",
        ", ".join(f"{r['product_name']} {money(r['line_total'])}" for r in largest[:3]),
    )
    # One flat list of the products, from the per-store lists.
    products = vesk.collapse([[r["product_name"] for r in rows] for rows in stores.values()])
    print("Products, store by store:", products)
    print("Field names for a camelCase API:", [vesk.underscore_to_camelcase(k) for k in header])


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE)
