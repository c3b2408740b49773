"""Threads without the interpreter lock, and interpreters that must not share.

- The modules keep a free-threaded interpreter's GIL off when imported.
- Caller threads race mutator threads on shared inputs, for every function,
  the column functions and one Arrow capsule (stress_shared.py, each case in
  a child process, so that a crash fails its case; VESK_STRESS_SECONDS long,
  1 s by default: CI runs it for longer on the free-threaded build with
  PYTHON_GIL=0).
- A subinterpreter of its own is refused the modules with ImportError: their
  process-wide values belong to one interpreter.
"""

import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest
import vesk
from support import FREE_THREADED, run_child

SECONDS = float(os.environ.get("VESK_STRESS_SECONDS", "1"))

PYARROW = pytest.mark.skipif(
    importlib.util.find_spec("pyarrow") is None, reason="pyarrow not installed"
)

CASES = [
    "backfill",
    "collapse",
    "backfill_iterdict",
    "same_order",
    "multikeysort",
    "text",
    "columns_list",
    pytest.param("columns_arrow", marks=PYARROW),
    pytest.param("capsule", marks=PYARROW),
]


@pytest.mark.parametrize("case", CASES)
def test_callers_race_mutators_on_shared_inputs(case):
    code = f"import stress_shared\nstress_shared.main({case!r}, {SECONDS}, {list(vesk.__path__)!r})"
    # (Not capped: the allocators of a free-threaded interpreter and of
    # pyarrow reserve address space per thread.)
    out = run_child(code, timeout=3 * SECONDS + 90, capped=False)
    assert out.startswith(f"ok {case} "), out


def child_output(code, env):
    prelude = (
        f"import sys\nsys.path[:0] = {sys.path!r}\n"
        f"import vesk\nvesk.__path__[:] = {list(vesk.__path__)!r}\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.split()


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without the GIL")
def test_importing_the_modules_keeps_the_gil_off():
    # Without PYTHON_GIL the interpreter turns its GIL on for a module that
    # does not declare that it runs without it (with a RuntimeWarning).
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = """
        import warnings
        warnings.simplefilter("error")
        import _vesk, vesk._columns
        print(sys._is_gil_enabled())
    """
    assert child_output(code, env) == ["False"]


# The module is loaded from its file, so that the package's own import of
# _vesk does not answer for vesk._columns.
SUBINTERPRETER = """
    import _interpreters, importlib.util
    found = importlib.util.find_spec(MODULE).origin
    code = (f"import importlib.util as u; s = u.spec_from_file_location({MODULE!r}, {found!r}); "
            "u.module_from_spec(s)")
    interpreter = _interpreters.create()  # isolated: a GIL of its own
    failed = _interpreters.exec(interpreter, code)
    _interpreters.destroy(interpreter)
    print(failed.type.__name__, "|", failed.msg)
"""


@pytest.mark.skipif(sys.version_info < (3, 13), reason="_interpreters came in 3.13")
@pytest.mark.parametrize("module", ["_vesk", "vesk._columns"])
def test_a_subinterpreter_of_its_own_cannot_import_the_modules(module):
    out = child_output(f"MODULE = {module!r}\n" + textwrap.dedent(SUBINTERPRETER), None)
    expected = f"ImportError | module {module} does not support loading in subinterpreters"
    assert " ".join(out) == expected
