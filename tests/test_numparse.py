"""Tests of parse and normalize_numeric_str, with a pure-Python model as oracle."""

from __future__ import annotations

import decimal
import math
import re
import sys

import pytest
from _vesk import normalize_numeric_str, parse
from hypothesis import example, given, settings
from hypothesis import strategies as st
from support import examples, keeps_refcounts, white_space

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# ---------------------------------------------------------------------------
# The model: the rules written plainly in Python.

WHITESPACE = frozenset(white_space())
NOT_WHITESPACE = "\x1c\x1d\x1e\x1f\u180e\u200b\ufeff"


def model_trim(s: str) -> str:
    start, end = 0, len(s)
    while start < end and s[start] in WHITESPACE:
        start += 1
    while end > start and s[end - 1] in WHITESPACE:
        end -= 1
    return s[start:end]


def model_normalize(s: str) -> str | None:
    t = model_trim(s)
    if not t:
        return None
    negative = t[0] == "(" and t[-1] == ")"
    if negative:
        t = model_trim(t[1:-1])
        if not t:
            return None
    u = t.replace(",", "")
    if not u:
        return None
    if u[-1] == "%":
        u = model_trim(u[:-1])
        if not u:
            return None
    return "-" + u if negative else u


def model_int64(t: str) -> int | None:
    if not re.fullmatch(r"[+-]?[0-9]+", t) or len(t.lstrip("+-").lstrip("0")) > 19:
        return None
    value = int(t)
    return value if INT64_MIN <= value <= INT64_MAX else None


def model_double(t: str) -> float | None:
    decimal_literal = r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?"
    if re.fullmatch(decimal_literal, t) or re.fullmatch(r"[+-]?(inf|infinity|nan)", t, re.I):
        return float(t)
    return None


def model_parse(s: str) -> int | float | None:
    kept = "".join(c for c in s if c in "0123456789().-")
    t = model_normalize(kept) if kept else None
    if t is None:
        return None
    if "." in kept:
        return model_double(t)
    integer = model_int64(t)
    if integer is not None:
        return integer
    real = model_double(t)
    if real is None or not math.isfinite(real) or abs(real) > 2.0**63:
        return None
    return max(INT64_MIN, min(INT64_MAX, int(real)))


def same_number(got: object, want: object) -> bool:
    """Equal value, exact type, and the sign of a zero."""
    if type(got) is not type(want):
        return False
    if isinstance(want, float):
        return got == want and math.copysign(1.0, got) == math.copysign(1.0, want)
    return got == want


# ---------------------------------------------------------------------------
# normalize_numeric_str

NORMALIZE_CASES = [
    ("", None),
    ("   ", None),
    ("\u3000", None),
    ("  (  )  ", None),
    ("()", None),
    ("(,)", None),
    ("(%)", None),
    ("( % )", None),
    (",", None),
    ("%", None),
    (",,%", None),
    ("1,234.56", "1234.56"),
    ("(50%)", "-50"),
    (" ( 1,234.56 ) ", "-1234.56"),
    ("50 %", "50"),
    ("50%%", "50%"),
    ("%50", "%50"),
    ("(5)%", "(5)"),
    ("((5))", "-(5)"),
    ("(-5)", "--5"),
    ("-(5)", "-(5)"),
    ("(5", "(5"),
    ("5)", "5)"),
    ("1, 234", "1 234"),
    ("5 ,", "5 "),
    (", 5", " 5"),
    ("5 ,%", "5"),
    ("$1,000", "$1000"),
    ("abc", "abc"),
    ("a,b", "ab"),
    ("\x1c5\x1c", "\x1c5\x1c"),
    ("\u20035\u2003", "5"),
    ("\uff11\uff0c\uff12", "\uff11\uff0c\uff12"),
    ("( \u00a0(1,2)\u3000)", "-(12)"),
    ("\u3000(\u2028 7 %\u2029)\u205f", "-7"),
    ("(1,000 %)", "-1000"),
    ("12 \u00a0%", "12"),
    ("€1,2é", "€12é"),
]


@pytest.mark.parametrize(("text", "expected"), NORMALIZE_CASES)
def test_normalize_cases(text, expected):
    got = normalize_numeric_str(text)
    assert got == expected
    assert type(got) is type(expected)
    assert model_normalize(text) == expected


@pytest.mark.parametrize("space", sorted(WHITESPACE))
def test_every_white_space_code_point_is_trimmed(space):
    assert normalize_numeric_str(space * 2 + "1" + space) == "1"
    assert normalize_numeric_str(f"({space}2{space}){space}") == "-2"
    assert normalize_numeric_str(f"3{space}%{space}") == "3"


@pytest.mark.parametrize("other", NOT_WHITESPACE)
def test_look_alike_spaces_are_kept(other):
    assert normalize_numeric_str(other + "1" + other) == other + "1" + other
    assert normalize_numeric_str(other) == other


def test_normalize_returns_a_new_exact_str():
    class Text(str):
        def strip(self, *args):  # never consulted
            raise AssertionError

    text = "abc"
    got = normalize_numeric_str(text)
    assert got == text and got is not text
    sub = Text(" 1,2 ")
    got = normalize_numeric_str(sub)
    assert type(got) is str and got == "12"
    assert sub == " 1,2 "


def test_normalize_huge_text():
    assert normalize_numeric_str("1," * 200_000 + " %") == "1" * 200_000
    assert normalize_numeric_str("(" + " " * 100_000 + ")") is None


# ---------------------------------------------------------------------------
# parse

PARSE_CASES = [
    ("1,200m", 1200),
    ("100.0", 100.0),
    ("(1)", -1),
    ("", None),
    ("abc", None),
    ("inf", None),
    ("nan", None),
    ("-", None),
    ("()", None),
    ("(-)", None),
    (".", None),
    ("1e5", 15),
    ("1.5e3", 1.53),
    ("0x1A", 1),
    ("+5", 5),
    ("- 5", -5),
    ("5 -", None),
    ("5-10", None),
    ("2023-01-05", None),
    ("1.2.3", None),
    ("12%", 12),
    ("12.5%", 12.5),
    ("$ (1,234.50)", -1234.5),
    ("(1.5)", -1.5),
    ("(-5)", None),
    ("-(5)", None),
    ("(5", None),
    ("1(2)3", None),
    (".5", 0.5),
    ("5.", 5.0),
    ("-.5", -0.5),
    ("-0", 0),
    ("-0.0", -0.0),
    ("(0.0)", -0.0),
    ("007", 7),
    ("1 000 000", 1000000),
    ("1.000,50", 1.0005),
    ("9223372036854775807", INT64_MAX),
    ("9223372036854775808", INT64_MAX),
    ("-9223372036854775808", INT64_MIN),
    ("-9223372036854775809", INT64_MIN),
    ("9223372036854776832", INT64_MAX),  # rounds to 2**63 as a double
    ("9223372036854777856", None),  # rounds past 2**63
    ("-9223372036854777856", None),
    ("9" * 20, None),
    ("0" * 30 + "42", 42),
    ("1" + "0" * 400 + ".0", math.inf),
    ("-1" + "0" * 400 + ".0", -math.inf),
    ("1" + "0" * 400, None),
    ("0." + "0" * 400 + "1", 0.0),
    ("(0." + "0" * 400 + "1)", -0.0),
    ("\u0661\u0662", None),
    ("\uff11\uff12", None),
    ("\u22125", 5),
    ("USD 99.5", 99.5),
    ("45%", 45),
    ("((5))", None),
]


@pytest.mark.parametrize(("text", "expected"), PARSE_CASES)
def test_parse_cases(text, expected):
    got = parse(text)
    assert same_number(got, expected), (got, expected)
    assert same_number(model_parse(text), expected)


def test_parse_accepts_keyword_and_str_subclass():
    class Text(str):
        def __str__(self):
            raise AssertionError

    assert parse(s="(2.5)") == -2.5
    assert parse(Text("$7")) == 7


def test_parse_huge_text():
    assert parse("1" * 1_000_000) is None
    assert parse("1" * 1_000_000 + ".") == math.inf
    assert parse("x" * 1_000_000 + "3.25") == 3.25


@pytest.mark.parametrize("func", [parse, normalize_numeric_str])
def test_no_references_leak(func):
    text = "".join(["(1,", "234.5)"])  # a fresh, uninterned object
    assert keeps_refcounts(lambda: func(text), text)


# ---------------------------------------------------------------------------
# Properties

digits = st.text("0123456789", max_size=25) | st.text("0123456789", min_size=300, max_size=2000)


@st.composite
def decimal_with_point(draw):
    whole, fraction = draw(digits), draw(digits)
    if not whole and not fraction:
        whole = "0"
    return f"{whole}.{fraction}"


@st.composite
def near_halfway(draw):
    """Exact decimal text of the midpoint of two adjacent doubles, or just off it."""
    low = draw(st.floats(min_value=0.0, max_value=math.nextafter(sys.float_info.max, 0.0)))
    high = math.nextafter(low, math.inf)
    with decimal.localcontext() as ctx:
        ctx.prec = 2500
        mid = (decimal.Decimal(low) + decimal.Decimal(high)) / 2
        offset = draw(st.sampled_from([0, 1, -1]))
        if offset:
            mid += offset * decimal.Decimal(10) ** (mid.as_tuple().exponent - 3)
        text = format(mid, "f")
    return text if "." in text else text + "."


@settings(max_examples=examples(300), deadline=None)
@given(decimal_with_point() | near_halfway())
@example(
    format(decimal.Context(prec=2000).divide(decimal.Decimal(5e-324), 2), "f")
)  # exactly half the smallest subnormal
@example(str(2**1024 - 2**970) + ".")  # halfway from the largest double to 2**1024
def test_parse_matches_float(text):
    assert same_number(parse(text), float(text))
    assert same_number(parse(f"({text})"), -float(text))


@given(st.integers(INT64_MIN, INT64_MAX), st.integers(0, 5) | st.integers(1000, 3000))
def test_parse_digits_matches_int(value, zeros):
    text = ("-" if value < 0 else "") + "0" * zeros + str(abs(value))
    assert same_number(parse(text), value)


@given(st.integers(2**63, 10**25) | st.integers(2**63, 2**63 + 5000))
def test_parse_clamps_or_refuses_long_digit_runs(value):
    expected = INT64_MAX if float(value) <= 2.0**63 else None
    assert parse(str(value)) == expected
    assert parse(f"({value})") == (INT64_MIN if expected is not None else None)


@given(st.text())
def test_never_raises_on_any_text(text):
    number = parse(text)
    assert number is None or type(number) in (int, float)
    normalized = normalize_numeric_str(text)
    assert normalized is None or (type(normalized) is str and normalized)


formatted = st.text(
    st.sampled_from(
        list("0123456789+-(),.%$ eEakm\t")
        + ["\u3000", "\xa0", "\u2003", "\x1c", "\u200b", "\uff0c", "\u0663", "\u2212", "\u20ac"]
    ),
    max_size=20,
)


@settings(max_examples=examples(500), deadline=None)
@given(formatted)
def test_normalize_matches_model(text):
    assert normalize_numeric_str(text) == model_normalize(text)


@settings(max_examples=examples(500), deadline=None)
@given(formatted)
def test_parse_matches_model(text):
    assert same_number(parse(text), model_parse(text))
