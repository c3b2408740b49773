"""Cleans a small file of messy pantry orders with _vesk and prints it before and after.

Run it with `./dev demo` from the repository root (that also builds the module),
or `python examples/demo.py [file.csv]` once `_vesk` is installed.

The file lists orders of three stores in date order. A store's supplier code is
written on its first order and again when the supplier changes; a blank means
"the same supplier as this store's previous order". Amounts come as people type
them: currency signs, thousands separators, parentheses for a credit, and now
and then a decimal comma, which the parser does not read (see below).
"""

from __future__ import annotations

import csv
import re
import sys
from pathlib import Path

import _vesk

SAMPLE = Path(__file__).with_name("data") / "pantry_orders.csv"

# A comma that is not followed by exactly three digits does not separate
# thousands: it is most likely a decimal comma ("18,00", "1.234,50").
DECIMAL_COMMA = re.compile(r",(?!\d{3}(?!\d))")


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

    # camelCase field names become snake_case keys: "storeID" -> "store_id".
    header = [_vesk.uncamel(name) for name in raw_header]

    records = []
    flagged = []
    for row in raw_rows:
        # An empty or blank cell becomes None.
        record = {key: (value if value.strip() else None) for key, value in zip(header, row)}
        text = record["line_total"]
        if text is not None and DECIMAL_COMMA.search(text):
            # normalize_numeric_str drops every comma as a thousands separator,
            # so its text and the raw text disagree about what the number is:
            # "$ 18,00" -> "$ 1800", and parse would give 1800. The amount is
            # left empty and the row listed for a person to check.
            flagged.append((record, text, _vesk.normalize_numeric_str(text), _vesk.parse(text)))
            record["line_total"] = None
        elif text is not None:
            # "$1,200.00" -> 1200.0, "(45.00)" -> -45.0 (a credit), "n/a" -> None.
            record["line_total"] = _vesk.parse(text)
        # A discount is a percentage: normalize_numeric_str drops the percent sign
        # ("10 %" -> "10", not 0.1) and float() reads the rest; a blank cell
        # (normalize_numeric_str gives None for "") is no discount, 0.0.
        rate = _vesk.normalize_numeric_str(record["discount_rate"] or "")
        record["discount_rate"] = float(rate) if rate is not None else 0.0
        # Quantities: "2½ cases" -> "2.5 cases", "3 ⅔ kg" -> "3.666667 kg".
        if record["quantity_text"] is not None:
            record["quantity_text"] = _vesk.sanitize_vulgar_string(record["quantity_text"])
        records.append(record)

    # Rows grouped by store. The sort is stable, so each store's rows keep the
    # file's date order, which back-filling below relies on. same_order checks
    # it on the rows themselves (the sort returns the same dict objects; id()
    # tells them apart even when two rows are equal): each store's rows, in
    # file order, appear in that order in the sorted list.
    by_store = _vesk.multikeysort(records, "store_id")
    sorted_ids = [id(r) for r in by_store]
    for store in {r["store_id"] for r in records}:
        in_file = [id(r) for r in records if r["store_id"] == store]
        assert _vesk.same_order(in_file, sorted_ids)

    # A blank supplier code takes the latest code of the same store, never one
    # from another store: back-filling runs on each store's rows alone (blanks
    # before a store's first code would take that first code). The
    # amounts are not back-filled: a missing amount is unknown, not the
    # previous order's.
    stores: dict[str, list[dict[str, object]]] = {}
    for record in by_store:
        stores.setdefault(record["store_id"], []).append(record)
    for rows in stores.values():
        codes = _vesk.backfill_iterdict([{"supplier_code": r["supplier_code"]} for r in rows])
        for record, filled in zip(rows, codes):
            # A store with no code at all has its key dropped: None stays.
            record["supplier_code"] = filled.get("supplier_code")

    show(
        "After: by store, in date order; supplier codes back-filled per store",
        header,
        [[money(r[k]) if k == "line_total" else r[k] for k in header] for r in by_store],
    )

    print("\nNeeds a look (a decimal comma; the amount is left empty):")
    for record, text, normalized, parsed in flagged:
        print(
            f"  {record['order_date']} {record['store_id']} {record['product_name']}: "
            f"{text.strip()!r} (normalize_numeric_str gives {normalized!r}, parse gives {parsed!r})"
        )

    # Largest amounts first; rows without an amount go last when descending.
    largest = _vesk.multikeysort(by_store, ["-line_total", "product_name"])
    print(
        "\nLargest amounts first:",
        ", ".join(f"{r['product_name']} {money(r['line_total'])}" for r in largest[:3]),
    )
    # One flat list of the products, from the per-store lists.
    products = _vesk.collapse([[r["product_name"] for r in rows] for rows in stores.values()])
    print("Products, store by store:", products)
    print("Field names for a camelCase API:", [_vesk.underscore_to_camelcase(k) for k in header])


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE)
