"""Argument binding, for all ten functions at once: too many positional
arguments, unexpected keywords, missing and doubled arguments, and arguments
of the wrong type, which carry the note "while processing '<parameter>'"."""

import inspect
import sys

import _vesk
import pytest
from notes import arg_notes, notes_of

# What each parameter must be (None: anything goes) and a value that binds.
EXPECTED_TYPE = {
    "s": "str",
    "camel": "str",
    "items": "list",
    "columns": None,
    "inplace": "bool",
    "values": "list",
    "iterdict": "list",
    "ref_list": "list",
    "comp": "list",
}
GOOD = {"s": "1", "camel": "aB", "items": [], "columns": ["a"], "inplace": False, "values": [],
        "iterdict": [], "ref_list": [], "comp": []}  # fmt: skip
TEXT_FUNCTIONS = [
    _vesk.parse,
    _vesk.normalize_numeric_str,
    _vesk.uncamel,
    _vesk.underscore_to_camelcase,
    _vesk.sanitize_vulgar_string,
]


def functions():
    return [getattr(_vesk, name) for name in _vesk.__all__]


def parameters(fn):
    return [p for p in inspect.signature(fn).parameters.values() if p.kind is not p.VAR_POSITIONAL]


def quoted(names):
    names = [f"'{n}'" for n in names]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def call(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    error = info.value
    assert type(error) is TypeError
    assert len(error.args) == 1 and error.args[0] == str(error)
    return error


def binding_cases():
    """(function, args, kwargs, message) for every rule each function can break."""
    cases = []
    for fn in functions():
        name, params = fn.__name__, parameters(fn)
        required = [p.name for p in params if p.default is p.empty]
        good = [GOOD[p.name] for p in params]
        if len(params) == len(inspect.signature(fn).parameters):  # no *args
            takes = (
                f"{len(params)}"
                if len(required) == len(params)
                else f"from {len(required)} to {len(params)}"
            )
            given = len(params) + 1
            message = f"{name}() takes {takes} positional arguments but {given} were given"
            cases.append((fn, (*good, 0), {}, message))
        cases.append((fn, (), {"zz": 1}, f"{name}() got an unexpected keyword argument 'zz'"))
        if required:
            count = len(required)
            noun = "argument" if count == 1 else "arguments"
            cases.append(
                (
                    fn,
                    (),
                    {},
                    f"{name}() missing {count} required positional {noun}: {quoted(required)}",
                )
            )
            first = params[0].name
            cases.append(
                (
                    fn,
                    (good[0],),
                    {first: good[0]},
                    f"{name}() got multiple values for argument '{first}'",
                )
            )
    return cases


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [pytest.param(*case, id=f"{case[0].__name__}-{i}") for i, case in enumerate(binding_cases())],
)
def test_every_function_binds_by_the_same_rules(fn, args, kwargs, message):
    error = call(fn, *args, **kwargs)
    assert str(error) == message
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (_vesk.backfill, (1, 2), {}, "backfill() takes 1 positional arguments but 2 were given"),
        (
            _vesk.multikeysort,
            ([], [], True, 4),
            {},
            "multikeysort() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            _vesk.same_order,
            (1, 2, 3),
            {"x": 1},
            "same_order() takes 2 positional arguments but 3 were given",
        ),
        (_vesk.uncamel, ("a", "b"), {}, "uncamel() takes 1 positional arguments but 2 were given"),
        (_vesk.collapse, (), {"x": 1}, "collapse() got an unexpected keyword argument 'x'"),
        (
            _vesk.collapse,
            (1, 2),
            {"args": 1},
            "collapse() got an unexpected keyword argument 'args'",
        ),
        (
            _vesk.backfill,
            (),
            {"Values": 1},
            "backfill() got an unexpected keyword argument 'Values'",
        ),
        (_vesk.same_order, (), {"x": 1}, "same_order() got an unexpected keyword argument 'x'"),
        (_vesk.uncamel, (), {"s": "a"}, "uncamel() got an unexpected keyword argument 's'"),
        (
            _vesk.underscore_to_camelcase,
            (),
            {"camel": "a"},
            "underscore_to_camelcase() got an unexpected keyword argument 'camel'",
        ),
        (
            _vesk.backfill,
            ([],),
            {"values": []},
            "backfill() got multiple values for argument 'values'",
        ),
        (
            _vesk.underscore_to_camelcase,
            ("a",),
            {"s": "b"},
            "underscore_to_camelcase() got multiple values for argument 's'",
        ),
        (_vesk.backfill, (), {}, "backfill() missing 1 required positional argument: 'values'"),
        (_vesk.uncamel, (), {}, "uncamel() missing 1 required positional argument: 'camel'"),
        (
            _vesk.same_order,
            (),
            {},
            "same_order() missing 2 required positional arguments: 'ref_list' and 'comp'",
        ),
        (
            _vesk.same_order,
            ([],),
            {},
            "same_order() missing 1 required positional argument: 'comp'",
        ),
        (
            _vesk.same_order,
            (),
            {"comp": []},
            "same_order() missing 1 required positional argument: 'ref_list'",
        ),
        (
            _vesk.backfill,
            (),
            {"\ud800": 1},
            "backfill() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_binding_messages(fn, args, kwargs, message):
    error = call(fn, *args, **kwargs)
    assert str(error) == message
    assert not hasattr(error, "__notes__")


def test_keyword_binding_matches_positional():
    assert _vesk.same_order(ref_list=["a"], comp=["a"]) is True
    assert _vesk.same_order(["a"], comp=["b"]) is False
    assert _vesk.backfill(values=[None, 1]) == [1, 1]
    rows = [{"a": 2}, {"a": 1}]
    assert _vesk.multikeysort(rows, "a", True) is None and rows == [{"a": 1}, {"a": 2}]
    assert _vesk.multikeysort(columns="-a", items=rows, inplace=False) == [{"a": 2}, {"a": 1}]
    assert _vesk.multikeysort(items=rows, columns="-a") == [{"a": 2}, {"a": 1}]


def test_multiple_values_after_keyword_order():
    error = call(_vesk.multikeysort, [], columns=[], items=[])
    assert str(error) == "multikeysort() got multiple values for argument 'items'"


# ------------------------------------------------------------------ conversions


def conversion_cases():
    """A wrong value for every typed parameter of every function, by position and by keyword."""
    cases = []
    for fn in functions():
        params = parameters(fn)
        for i, p in enumerate(params):
            expected = EXPECTED_TYPE[p.name]
            if expected is None:
                continue
            for wrong, message in [
                (5, f"'int' object is not an instance of '{expected}'"),
                (None, f"'None' is not an instance of '{expected}'"),
            ]:
                before = [GOOD[q.name] for q in params[:i]]
                after = [GOOD[q.name] for q in params[i + 1 :] if q.default is q.empty]
                cases.append((fn, (*before, wrong, *after), {}, message, p.name))
                keywords = {q.name: GOOD[q.name] for q in params[i + 1 :] if q.default is q.empty}
                cases.append((fn, tuple(before), {p.name: wrong, **keywords}, message, p.name))
    return cases


@pytest.mark.parametrize(
    "fn, args, kwargs, message, note",
    [
        pytest.param(*case, id=f"{case[0].__name__}-{case[4]}-{i}")
        for i, case in enumerate(conversion_cases())
    ]
    + [
        (_vesk.backfill, ((1,),), {}, "'tuple' object is not an instance of 'list'", "values"),
        (
            _vesk.backfill_iterdict,
            ("x",),
            {},
            "'str' object is not an instance of 'list'",
            "iterdict",
        ),
        (_vesk.same_order, ((), 5), {}, "'tuple' object is not an instance of 'list'", "ref_list"),
        (_vesk.same_order, ([], 5), {}, "'int' object is not an instance of 'list'", "comp"),
        (
            _vesk.multikeysort,
            ([], ["a"]),
            {"inplace": 1},
            "'int' object is not an instance of 'bool'",
            "inplace",
        ),
        (
            _vesk.multikeysort,
            ([], ["a"], 0),
            {},
            "'int' object is not an instance of 'bool'",
            "inplace",
        ),
        (
            _vesk.multikeysort,
            ((), ["a"]),
            {},
            "'tuple' object is not an instance of 'list'",
            "items",
        ),
        (
            _vesk.multikeysort,
            ((), ["a"]),
            {"inplace": 1},
            "'tuple' object is not an instance of 'list'",
            "items",
        ),
        (_vesk.multikeysort, (None, None), {}, "'None' is not an instance of 'list'", "items"),
    ],
)
def test_conversion_failures_carry_note(fn, args, kwargs, message, note):
    error = call(fn, *args, **kwargs)
    assert error.args == (message,)
    assert notes_of(error) == arg_notes(note)


@pytest.mark.parametrize("fn", TEXT_FUNCTIONS)
@pytest.mark.parametrize(
    "arg, message",
    [
        (5, "'int' object is not an instance of 'str'"),
        (42, "'int' object is not an instance of 'str'"),
        (1.5, "'float' object is not an instance of 'str'"),
        (b"1", "'bytes' object is not an instance of 'str'"),
        (b"CamelCase", "'bytes' object is not an instance of 'str'"),
        (b"1\xc2\xbd", "'bytes' object is not an instance of 'str'"),
        (["1"], "'list' object is not an instance of 'str'"),
        (["a"], "'list' object is not an instance of 'str'"),
        (["½"], "'list' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
    ],
)
def test_text_functions_refuse_what_is_not_a_str(fn, arg, message):
    error = call(fn, arg)
    assert error.args == (message,)
    assert notes_of(error) == arg_notes(parameters(fn)[0].name)


@pytest.mark.parametrize("fn", TEXT_FUNCTIONS)
@pytest.mark.parametrize(
    "text", ["\ud800", "12\udfff", "(1,0\udc80)", "ab\udc80Cd", "x_\udfff", "4\udfff½", "½\ud83d"]
)
def test_text_with_a_lone_surrogate(fn, text):
    with pytest.raises(UnicodeEncodeError) as info:
        fn(text)
    assert info.value.encoding == "utf-8"
    assert notes_of(info.value) == arg_notes(parameters(fn)[0].name)


@pytest.mark.parametrize("fn", TEXT_FUNCTIONS)
@pytest.mark.parametrize("unit", ["é½", "日本", "\U0001f600"])
@pytest.mark.parametrize("count", [3, 40_000])  # short, and past the lock release
def test_text_functions_leave_no_utf8_copy_on_the_argument(fn, unit, count):
    text = "AbC" + unit * count
    size = sys.getsizeof(text)  # counts the UTF-8 form the str keeps, if any
    fn(text)
    assert sys.getsizeof(text) == size


def test_type_name_is_qualname():
    class Outer:
        class Inner:
            pass

    error = call(_vesk.backfill, Outer.Inner())
    assert str(error) == (
        "'test_type_name_is_qualname.<locals>.Outer.Inner' object is not an instance of 'list'"
    )


def test_unreadable_type_name():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    error = call(_vesk.backfill, Odd())
    assert str(error) == "'<failed to extract type name>' object is not an instance of 'list'"
