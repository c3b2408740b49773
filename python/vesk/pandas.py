"""The ``vesk`` accessor of pandas Series and Index.

``import vesk.pandas`` registers it::

    import pandas as pd
    import vesk.pandas

    frame["price"] = frame["price"].vesk.parse(decimal=",")
    frame.columns = frame.columns.vesk.uncamel()

Each method is the function of ``vesk.columns`` with the same options and
results: a Series with the same index and name, an Index with the same name.
"""

from __future__ import annotations

import pandas as pd

from vesk._namespace import Namespace

__all__ = ["Namespace"]

pd.api.extensions.register_series_accessor("vesk")(Namespace)
pd.api.extensions.register_index_accessor("vesk")(Namespace)
