"""The data-frame cookbook in examples/: each script cleans the bundled sales
files with vesk.columns (pandas, polars, pyarrow, SQL in DuckDB, pandas
partitions on a two-process Dask cluster, Spark in local mode) and must print
the same rows; the README's recipes are the scripts' own lines.

The scripts need the `examples` extra (pandas, polars, pyarrow, duckdb,
dask[distributed], pyspark) and Spark a Java runtime; ./dev test installs them.
Marked slow: the Dask cluster starts two processes, Spark a JVM.
"""

import glob
import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest
from support import REPO as ROOT

EXPECTED = """\
1|S01|1200.0|2.5 cups
2|S02|None|1.333333 cups
3|S01|-12.5|0.75 lb
4|S03|None|12 each
5|S02|99.5|0.125 tsp
6|S03|1234567.89|3.25 kg
7|S01|0.99|None
8|S02|-1000.0|0.666667 cup
9|S03|15.0|2 each
10|S01|7.0|1.5 dozen
"""

REQUIRES = {
    "pandas": ["pandas"],
    "polars": ["polars"],
    "pyarrow": ["pyarrow"],
    "duckdb": ["duckdb", "pyarrow"],
    "dask": ["pandas", "dask.dataframe", "distributed"],
    "spark": ["pyspark", "pyarrow", "pandas"],
}


def _missing(what, hint):
    if os.environ.get("CI"):
        pytest.fail(f"{what} is missing: {hint}")
    pytest.skip(f"{what} not installed ({hint})")


@pytest.fixture(scope="module")
def vesk_path(tmp_path_factory):
    """PYTHONPATH for the scripts and their worker processes: the source
    package over the modules under test.

    The package is laid out afresh: python/vesk's files beside the built
    vesk._columns (from the development build when one is set, else from the
    installed package), and _vesk's directory after it.
    """
    import _vesk

    build = os.environ.get("VESK_BUILD_DIR")
    if build:
        found = glob.glob(os.path.join(os.path.abspath(build), "vesk", "_columns.*"))
    else:
        columns_module = importlib.util.find_spec("vesk._columns")
        found = [columns_module.origin] if columns_module and columns_module.origin else []
    if not found:
        pytest.fail("vesk._columns is not built")
    package = tmp_path_factory.mktemp("path") / "vesk"
    package.mkdir()
    for source in (ROOT / "python" / "vesk").iterdir():
        if source.is_file():
            shutil.copy(source, package)
    shutil.copy(found[0], package)
    return os.pathsep.join([str(package.parent), os.path.dirname(os.path.abspath(_vesk.__file__))])


def test_readme_recipes_are_the_scripts_lines():
    # Each line of a Python block of the README's "Whole columns" section is a
    # line of the cookbook script that the block's caption links to.
    readme = (ROOT / "README.md").read_text()
    section = readme.split("\n## Whole columns\n", 1)[1].split("\n## ", 1)[0]
    recipes = re.findall(
        r"\(examples/(cookbook_\w+\.py)\)\)?:?\n+```python\n(.*?)```", section, re.S
    )
    assert sorted(name for name, _ in recipes) == sorted(f"cookbook_{k}.py" for k in REQUIRES)
    for name, block in recipes:
        lines = {line.strip() for line in (ROOT / "examples" / name).read_text().splitlines()}
        for line in block.splitlines():
            assert not line.strip() or line.strip() in lines, (name, line)


@pytest.mark.slow
@pytest.mark.parametrize("library", list(REQUIRES))
def test_cookbook_script(library, vesk_path):
    for module in REQUIRES[library]:
        # find_spec of a dotted name raises when its parent package is missing.
        parent = module.partition(".")[0]
        if importlib.util.find_spec(parent) is None or importlib.util.find_spec(module) is None:
            _missing(module, "pip install '.[examples]'")
    if library == "spark" and shutil.which("java") is None:
        _missing("java", "a Java 17 runtime, e.g. openjdk-17-jre-headless")
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / f"cookbook_{library}.py")],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=vesk_path),
        cwd=ROOT,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == EXPECTED


# What `./dev demo` must print after cleaning the bundled file: each store's
# supplier code back-filled from the same store only, a missing amount left
# missing, the decimal commas of store S03 read as such (decimal=","), and the
# amount with no number in it listed.
DEMO_AFTER = """\
After: by store, in date order; supplier codes back-filled per store
order_date  store_id  product_name  line_total  discount_rate  quantity_text  supplier_code
----------  --------  ------------  ----------  -------------  -------------  -------------
2026-03-02  S01       Flour         1200.00     5.0            48 sacks       WH_ALPHA
2026-03-03  S01       Butter        -45.00      0.0            0.75 case      WH_ALPHA
2026-03-05  S01       Salt          —           0.0            3.666667 kg    WH_GAMMA
2026-03-06  S01       Oats          64.00       0.0            5 sacks        WH_GAMMA
2026-03-02  S02       Sugar         99.50       0.0            2.5 cases      WH_BETA
2026-03-04  S02       Milk          1250.00     10.0           1.875 crates   WH_BETA
2026-03-05  S02       Vanilla       18.00       0.0            1.5 dozen      WH_BETA
2026-03-07  S02       Honey         56.10       0.0            6 jars         WH_BETA
2026-03-03  S03       Eggs          12.00       0.0            12 trays       WH_DELTA
2026-03-04  S03       Yeast         4.25        0.0            0.125 case     WH_DELTA
2026-03-06  S03       Cocoa         1234.50     0.0            40 tins        WH_DELTA

Needs a look (an amount with no number in it; left empty):
  2026-03-05 S01 Salt: 'n/a'

Largest amounts first: Milk 1250.00, Cocoa 1234.50, Flour 1200.00
"""


def test_demo_prints_the_corrected_rows(vesk_path):
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py")],
        capture_output=True,
        encoding="utf-8",
        env=dict(os.environ, PYTHONPATH=vesk_path, PYTHONIOENCODING="utf-8"),
        cwd=ROOT,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert DEMO_AFTER in done.stdout, done.stdout
