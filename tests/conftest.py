import glob
import importlib.util
import os
import sys

import pytest

# A development build directory may be put first on the path; otherwise the
# installed module is tested.
_build = os.environ.get("VESK_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))


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
