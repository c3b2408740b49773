import glob
import importlib.util
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

# The sanitizer run executes every test under ASan and UBSan, and the aarch64
# run under emulation, several times slower: property tests keep their variety
# but draw fewer examples there.
settings.register_profile(
    "ci-sanitizer",
    max_examples=15,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# The other supported interpreters run the same properties with fewer examples
# (the main interpreter's run draws the full number).
settings.register_profile("ci-light", max_examples=25, deadline=None)

# The sanitizer run: memory figures mean nothing there, since ASan keeps freed
# blocks in quarantine and pymalloc is off.
from support import SANITIZED  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: builds or runs something big (deselect with -m 'not slow')"
    )
    config.addinivalue_line(
        "markers", "no_sanitizer: measures memory, so it is skipped under the sanitizer build"
    )
    # pytest-run-parallel's marker (runs the test in one thread only), for runs
    # without the plugin.
    config.addinivalue_line("markers", "thread_unsafe: changes process-wide state")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="memory figures are meaningless under ASan")
    for item in items:
        if "no_sanitizer" in item.keywords:
            item.add_marker(skip)


# A development build directory may be put first on the path; otherwise the
# installed module is tested. There the `vesk` package is the one in python/
# (so that its edits need no rebuild), and the build's vesk/ folder, which holds
# the compiled `vesk._columns`, is added to the package's path.
_build = os.environ.get("VESK_BUILD_DIR")
if _build:
    _build = os.path.abspath(_build)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "python"))
    sys.path.insert(0, _build)
    import vesk  # noqa: E402

    vesk.__path__.append(os.path.join(_build, "vesk"))


def _load_testhooks():
    folder = os.environ.get("VESK_TESTHOOKS_DIR")
    if not folder:
        return None
    found = glob.glob(os.path.join(folder, "_vesk_testhooks*.so"))
    if not found:
        return None
    loader_spec = importlib.util.spec_from_file_location("_vesk_testhooks", found[0])
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


_HOOKS = _load_testhooks()


@pytest.fixture
def hooks():
    """The test-only module that reaches the internal failure paths."""
    if _HOOKS is None:
        if os.environ.get("CI"):
            pytest.fail("VESK_TESTHOOKS_DIR does not point at a built _vesk_testhooks module")
        pytest.skip("test hooks not built (set VESK_TESTHOOKS_DIR)")
    return _HOOKS
