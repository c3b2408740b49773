"""The module surface: registration and the error model (argument binding is in test_binding.py)."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys

import _vesk
import pytest
from notes import arg_notes, notes_of

NAMES = [
    "parse",
    "normalize_numeric_str",
    "multikeysort",
    "sanitize_vulgar_string",
    "uncamel",
    "underscore_to_camelcase",
    "collapse",
    "backfill",
    "backfill_iterdict",
    "same_order",
]

SIGNATURES = {
    "parse": "(s)",
    "normalize_numeric_str": "(s)",
    "multikeysort": "(items, columns, inplace=False)",
    "sanitize_vulgar_string": "(s)",
    "uncamel": "(camel)",
    "underscore_to_camelcase": "(s)",
    "collapse": "(*args)",
    "backfill": "(values)",
    "backfill_iterdict": "(iterdict)",
    "same_order": "(ref_list, comp)",
}


def test_module_docstring_and_all():
    assert _vesk.__doc__ == "Python module definition."
    assert _vesk.__all__ == NAMES
    assert type(_vesk.__all__) is list


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    fn = getattr(_vesk, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "_vesk"
    assert fn.__self__ is None
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__text_signature__ == SIGNATURES[name]
    assert not fn.__doc__.startswith(name)


def test_exact_docstrings():
    assert _vesk.parse.__doc__ == (
        "Extract number from string.\n\nArgs:\n    s: String to parse.\n\nReturns:\n"
        "    Parsed int or float, or None if parsing fails.\n\nExamples:\n"
        "    >>> parse('1,200m')\n    1200\n    >>> parse('100.0')\n    100.0\n"
        "    >>> parse('(1)')\n    -1"
    )
    assert _vesk.multikeysort.__doc__ == (
        "Sort list of dictionaries by multiple keys.\n\n"
        "Uses pre-extracted values for O(n) extraction instead of O(n log n).\n\n"
        "Args:\n    items: List of dictionaries to sort.\n"
        "    columns: List of column names (prefix with '-' for descending).\n"
        "    inplace: If True, sort in place; otherwise return new sorted list.\n\n"
        "Returns:\n    Sorted list if inplace=False, otherwise None."
    )
    assert _vesk.normalize_numeric_str.__doc__.endswith(
        "    '-50'\n    >>> normalize_numeric_str('  (  )  ')"
    )
    assert _vesk.sanitize_vulgar_string.__doc__.endswith(
        "    >>> sanitize_vulgar_string(\"\u2153 cup\")\n    '0.333333 cup'"
    )


@pytest.mark.thread_unsafe(reason="doctest patches linecache for the whole process")
def test_docstring_examples_run():
    import doctest

    for name in NAMES:
        fn = getattr(_vesk, name)
        finder = doctest.DocTestParser()
        test = finder.get_doctest(fn.__doc__, dict(vars(_vesk)), name, None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.failures == 0, name


# Reloads and changes the module for the whole process.
MODULE_STATE = pytest.mark.thread_unsafe(reason="changes the module's attributes")


@pytest.fixture
def restore_module():
    saved = {name: getattr(_vesk, name) for name in NAMES}
    saved_all = _vesk.__all__
    yield
    for name, fn in saved.items():
        setattr(_vesk, name, fn)
    _vesk.__all__ = saved_all


@MODULE_STATE
def test_reload_keeps_module(restore_module):
    # CPython marks a module with m_size 0 as initialised, so reload does not
    # run the execution step a second time.
    before = _vesk.parse
    importlib.reload(_vesk)
    assert _vesk.__all__ == NAMES and _vesk.parse is before


@MODULE_STATE
def test_exec_again_appends_names_again(hooks, restore_module):
    before = _vesk.parse
    hooks.exec_again(_vesk, _vesk)
    assert _vesk.__all__ == NAMES + NAMES
    assert _vesk.parse is not before and _vesk.parse("7") == 7


@MODULE_STATE
def test_exec_again_with_non_list_all_fails_before_adding(hooks, restore_module):
    before = _vesk.parse
    _vesk.__all__ = tuple(NAMES)
    with pytest.raises(TypeError) as info:
        hooks.exec_again(_vesk, _vesk)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
    assert _vesk.__all__ == tuple(NAMES)
    assert _vesk.parse is before


@MODULE_STATE
def test_exec_creates_missing_all(hooks, restore_module):
    del _vesk.__all__
    hooks.exec_again(_vesk, _vesk)
    assert _vesk.__all__ == NAMES


def test_exec_on_non_module(hooks):
    with pytest.raises(TypeError) as info:
        hooks.exec_again(_vesk, 5)
    assert str(info.value) == "'int' object is not an instance of 'module'"


@MODULE_STATE
def test_exec_fails_on_unreadable_all(hooks, restore_module):
    import types

    class Strict(types.ModuleType):
        def __getattr__(self, name):
            raise RuntimeError("no " + name)

    target = Strict("_vesk")
    with pytest.raises(RuntimeError):
        hooks.exec_again(_vesk, target)
    assert not hasattr(target.__dict__, "parse")


# --------------------------------------------------------------- error model


def test_panic_exception_type(hooks):
    with pytest.raises(BaseException) as info:
        try:
            hooks.raise_internal("it broke")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as Exception")
    error = info.value
    kind = type(error)
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__name__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert error.args == ("it broke",)
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n")
    assert "BaseException" in kind.__doc__
    assert not any(isinstance(v, type) and v is kind for v in vars(_vesk).values())
    # One type per process.
    with pytest.raises(BaseException) as again:
        hooks.raise_internal("again")
    assert type(again.value) is kind


def test_internal_failure_writes_diagnostic(hooks, capfd):
    with pytest.raises(BaseException, match="diagnosed"):
        hooks.raise_internal("diagnosed")
    err = capfd.readouterr().err
    assert "diagnosed" in err and "testhooks.cpp" in err


@pytest.mark.thread_unsafe(reason="sets sys.unraisablehook")
def test_failed_creation_is_internal_failure(hooks):
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with pytest.raises(BaseException) as info:
            hooks.null_object()
    finally:
        sys.unraisablehook = old
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("PyObject pointer is null",)
    assert len(seen) == 1 and seen[0].exc_type is MemoryError


def test_fetch_with_nothing_pending(hooks):
    with pytest.raises(SystemError) as info:
        hooks.fetch_nothing()
    assert info.value.args == ("attempted to fetch exception but none was set",)


def test_cpp_allocation_failure_is_memory_error(hooks):
    with pytest.raises(MemoryError):
        hooks.bad_alloc()


def test_python_exception_passes_through_unchanged(hooks):
    original = KeyError("k")

    def raiser():
        raise original

    with pytest.raises(KeyError) as info:
        hooks.call(raiser)
    assert info.value is original
    assert info.value.__traceback__ is not None


@pytest.mark.parametrize("via", ["call", "call_discarding"])
def test_panic_coming_back_is_resumed(hooks, capfd, via):
    def inner():
        hooks.raise_internal("deep failure")

    with pytest.raises(BaseException) as info:
        getattr(hooks, via)(inner)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("deep failure",)
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "deep failure" in err


def test_render_text(hooks):
    assert hooks.render("plain") == "plain"
    assert hooks.render("a\ud800b") == "a\ufffd\ufffd\ufffdb"

    class Unprintable:
        def __str__(self):
            raise ValueError("nope")

    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        assert hooks.render(Unprintable()) == "<unprintable Unprintable object>"
    finally:
        sys.unraisablehook = old
    assert len(seen) == 1 and seen[0].exc_type is ValueError


def test_flag_conversion(hooks):
    assert hooks.flag(True) is True
    assert hooks.flag(False) is False
    for value, message in [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        ("yes", "'str' object is not an instance of 'bool'"),
    ]:
        with pytest.raises(TypeError) as info:
            hooks.flag(value)
        assert str(info.value) == message
        assert notes_of(info.value) == arg_notes("inplace")


def test_flag_accepts_numpy_style_bools(hooks):
    fake_with_bool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert hooks.flag(fake_with_bool()) is True
    fake_without = type("bool", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        hooks.flag(fake_without())
    assert str(info.value) == (
        "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"
    )

    class Boom(Exception):
        pass

    def bad_bool(self):
        raise Boom()

    fake_raising = type("bool_", (), {"__module__": "numpy", "__bool__": bad_bool})
    with pytest.raises(Boom) as raised:
        hooks.flag(fake_raising())
    assert notes_of(raised.value) == arg_notes("inplace")
    numpy = pytest.importorskip("numpy")
    assert hooks.flag(numpy.bool_(True)) is True
    assert hooks.flag(numpy.bool_(False)) is False


def test_sequence_of_texts(hooks):
    assert hooks.texts(("a", "b")) == ["a", "b"]
    assert hooks.texts([]) == []
    with pytest.raises(TypeError):
        hooks.texts("ab")
    with pytest.raises(TypeError) as info:
        hooks.texts(5)
    assert str(info.value) == "'int' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        hooks.texts(("a", 1))
    assert str(info.value) == "'int' object is not an instance of 'str'"


def test_only_init_symbol_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _vesk.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__vesk"]


def test_stub_matches_module():
    # Installed: the stub-only package beside the module; built in place: the source.
    stub = os.path.join(os.path.dirname(_vesk.__file__), "_vesk-stubs", "__init__.pyi")
    if not os.path.exists(stub):
        stub = os.path.join(os.path.dirname(__file__), "..", "src", "lib", "_vesk.pyi")
    import ast

    tree = ast.parse(open(stub, encoding="utf-8").read())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            params = [a.arg for a in node.args.args]
            defaults = len(node.args.defaults)
            rendered = []
            for i, p in enumerate(params):
                if i >= len(params) - defaults:
                    d = node.args.defaults[i - (len(params) - defaults)]
                    rendered.append(f"{p}={ast.unparse(d)}")
                else:
                    rendered.append(p)
            if node.args.vararg:
                rendered.append("*" + node.args.vararg.arg)
            stubbed[node.name] = "(" + ", ".join(rendered) + ")"
    assert stubbed == {name: str(inspect.signature(getattr(_vesk, name))) for name in _vesk.__all__}
