"""Release checks: the wheel that `pip wheel .` builds (its files, its one
exported symbol, that it imports), the type stub against the built module
(mypy's stubtest), and the README's examples as a doctest.

The wheel build is marked slow; CI runs it, and `-m "not slow"` skips it.
"""

import doctest
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

import _vesk

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _ci():
    return bool(os.environ.get("CI"))


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            str(ROOT),
            "--no-deps",
            "-w",
            str(out),
            "-q",
            "--disable-pip-version-check",
        ],
        check=True,
        timeout=1200,
    )
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def unpacked(wheel, tmp_path_factory):
    folder = tmp_path_factory.mktemp("unpacked")
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    return folder


@pytest.mark.slow
def test_wheel_holds_the_module_and_its_stub_only(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    payload = sorted(n for n in names if ".dist-info/" not in n)
    assert len(payload) == 2, payload
    so, stub = payload
    assert stub == "_vesk.pyi"
    assert so.startswith("_vesk.") and so.endswith(".so") and "/" not in so
    assert any(n.endswith(".dist-info/METADATA") for n in names)


@pytest.mark.slow
def test_wheel_module_exports_only_its_init_function(unpacked):
    nm = shutil.which("nm")
    if nm is None:
        if _ci():
            pytest.fail("nm is missing (binutils)")
        pytest.skip("nm not available")
    (so,) = unpacked.glob("_vesk.*.so")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", str(so)], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__vesk"]


@pytest.mark.slow
def test_wheel_module_imports_and_works(unpacked):
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); import _vesk; "
        "print(_vesk.__file__); print(_vesk.parse('$1,200m'), _vesk.__all__[0])"
    )
    out = subprocess.run(
        [sys.executable, "-I", "-c", script, str(unpacked)],
        capture_output=True,
        text=True,
        check=True,
        timeout=60,
    ).stdout.splitlines()
    assert pathlib.Path(out[0]).parent == unpacked
    assert out[1] == "1200 parse"


@pytest.mark.slow
def test_stub_agrees_with_the_module(tmp_path):
    try:
        import mypy.stubtest  # noqa: F401
    except ImportError:
        if _ci():
            pytest.fail("mypy is not installed in the test environment")
        pytest.skip("mypy not installed (the AST check in test_module still runs)")
    # The module under test and the stub beside it, as an installation lays them out.
    shutil.copy(_vesk.__file__, tmp_path)
    shutil.copy(ROOT / "src" / "lib" / "_vesk.pyi", tmp_path)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), MYPYPATH=str(tmp_path))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_vesk"],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_readme_examples_run():
    results = doctest.testfile(
        str(ROOT / "README.md"),
        module_relative=False,
        optionflags=doctest.ELLIPSIS,
        verbose=False,
        report=True,
    )
    assert results.attempted >= 10
    assert results.failed == 0
