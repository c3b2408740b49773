"""The data-frame cookbook in examples/: each script cleans the bundled sales
files (pandas, polars, and pandas partitions on a two-process Dask cluster)
and must print the same rows.

The scripts need the `examples` extra (pandas, polars, dask[distributed]);
./dev test installs it. Marked slow: the Dask cluster starts two processes.
"""

import os
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
    "dask": ["pandas", "dask.dataframe", "distributed"],
}


@pytest.mark.slow
@pytest.mark.parametrize("library", list(REQUIRES))
def test_cookbook_script(library):
    for module in REQUIRES[library]:
        try:
            __import__(module)
        except ImportError:
            if os.environ.get("CI"):
                pytest.fail(f"{module} is missing: install the examples extra")
            pytest.skip(f"{module} not installed (pip install '.[examples]')")
    # The scripts import `vesk`: the source package, over whichever _vesk the
    # tests use (a development build first, when one is set). Dask's worker
    # processes inherit the same path.
    path = [str(ROOT / "python")]
    if os.environ.get("VESK_BUILD_DIR"):
        path.insert(0, os.path.abspath(os.environ["VESK_BUILD_DIR"]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / f"cookbook_{library}.py")],
        capture_output=True,
        text=True,
        env=env,
        cwd=ROOT,
        timeout=180,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == EXPECTED
