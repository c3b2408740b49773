"""The pandas cleaning of cookbook_pandas.py, on a partitioned CSV, with
Dask's distributed scheduler on a local cluster of two worker processes.

    python examples/cookbook_dask.py

Each CSV file in examples/data/sales/ is one partition; map_partitions runs
the same pandas function on each, in the worker processes, which import vesk
like any other module: a whole column per vesk.columns call. The cluster
listens on 127.0.0.1 only and is closed at the end. Prints one line per order.
"""

from __future__ import annotations

from pathlib import Path

import dask.dataframe as dd
import pandas as pd
import vesk
from dask.dataframe.utils import make_meta
from dask.distributed import Client, LocalCluster

SALES = Path(__file__).with_name("data") / "sales"


def clean(frame: pd.DataFrame) -> pd.DataFrame:
    frame = frame.rename(columns=vesk.uncamel)
    frame["unit_price"] = vesk.columns.parse(frame["unit_price"])
    frame["quantity_text"] = vesk.columns.sanitize_vulgar_string(frame["quantity_text"])
    return frame


def main() -> None:
    with (
        LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        Client(cluster),
    ):
        frame = dd.read_csv(str(SALES / "*.csv"), dtype=str)
        # The result's columns and types, from clean() on an empty frame of
        # the input's: dask need not guess them from made-up data.
        meta = clean(make_meta(frame))
        result = frame.map_partitions(clean, meta=meta).compute()
    for row in result.itertuples(index=False):
        price = None if pd.isna(row.unit_price) else row.unit_price
        quantity = None if pd.isna(row.quantity_text) else row.quantity_text
        print(row.order_id, row.store_id, price, quantity, sep="|")


if __name__ == "__main__":
    main()
