"""Cleaning in SQL with DuckDB and vesk.

    python examples/cookbook_duckdb.py

vesk.columns.parse and sanitize_vulgar_string become SQL functions of an
in-memory DuckDB database. The Arrow type makes them vectorised: DuckDB hands
each call a whole Arrow column of text and takes an Arrow column back.
The special null handling passes the NULL cells in too: vesk keeps them NULL,
and gives NULL where a price holds no number. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import duckdb
import vesk
from duckdb.func import FunctionNullHandling, PythonUDFType

SALES = Path(__file__).with_name("data") / "sales"


def connect() -> duckdb.DuckDBPyConnection:
    con = duckdb.connect()
    # DuckDB counts every parameter of the function it is given, keywords
    # included: a one-argument function each.
    con.create_function(
        "vesk_parse",
        lambda prices: vesk.columns.parse(prices),
        ["VARCHAR"],
        "DOUBLE",
        type=PythonUDFType.ARROW,
        null_handling=FunctionNullHandling.SPECIAL,
    )
    con.create_function(
        "vesk_sanitize_vulgar_string",
        lambda texts: vesk.columns.sanitize_vulgar_string(texts),
        ["VARCHAR"],
        "VARCHAR",
        type=PythonUDFType.ARROW,
        null_handling=FunctionNullHandling.SPECIAL,
    )
    return con


QUERY = """
SELECT orderId AS order_id, storeID AS store_id,
       vesk_parse(unitPrice) AS unit_price,
       vesk_sanitize_vulgar_string(quantityText) AS quantity_text
FROM read_csv($files, all_varchar = true)
ORDER BY CAST(orderId AS INTEGER)
"""


def main() -> None:
    con = connect()
    for row in con.execute(QUERY, {"files": str(SALES / "*.csv")}).fetchall():
        print(*row, sep="|")


if __name__ == "__main__":
    main()
