"""Cleaning a Spark DataFrame with vesk, in local mode on two cores.

    python examples/cookbook_spark.py

The same cleaning as cookbook_pandas.py. mapInArrow hands each Python worker
Arrow record batches and takes record batches back: vesk.columns works on the
batch's columns as they are, with no Python object per row. Needs Java 17 or
later. Prints one line per order.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from pathlib import Path

import pyarrow as pa
import vesk
from pyspark.sql import SparkSession

SALES = Path(__file__).with_name("data") / "sales"

SCHEMA = "order_id string, store_id string, unit_price double, quantity_text string"


def clean(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
    for batch in batches:
        yield pa.RecordBatch.from_arrays(
            [
                batch.column("order_id"),
                batch.column("store_id"),
                vesk.columns.parse(batch.column("unit_price")),
                vesk.columns.sanitize_vulgar_string(batch.column("quantity_text")),
            ],
            names=["order_id", "store_id", "unit_price", "quantity_text"],
        )


def session() -> SparkSession:
    # The workers run this interpreter, which has vesk and pyarrow.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    # Everything on the loopback interface.
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    return (
        SparkSession.builder.master("local[2]")
        .appName("vesk cookbook")
        .config("spark.driver.host", "127.0.0.1")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.ui.enabled", "false")
        .config("spark.log.level", "ERROR")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )


def main() -> None:
    spark = session()
    try:
        # Without a schema every column is read as a string; an empty field is null.
        frame = spark.read.csv([str(path) for path in sorted(SALES.glob("*.csv"))], header=True)
        frame = frame.toDF(*vesk.columns.uncamel(frame.columns))
        rows = frame.mapInArrow(clean, SCHEMA).collect()
    finally:
        spark.stop()
    for row in sorted(rows, key=lambda row: int(row.order_id)):
        print(row.order_id, row.store_id, row.unit_price, row.quantity_text, sep="|")


if __name__ == "__main__":
    main()
