"""sanitize_vulgar_string: fractions with their digit run become six-place decimals."""

from __future__ import annotations

import math
import os
import re
import subprocess
import sys
import textwrap

import _vesk
import pytest
from _vesk import sanitize_vulgar_string
from hypothesis import given, settings
from hypothesis import strategies as st
from support import digit_values, examples, white_space

# ------------------------------------------------------------------ the model

DIGIT_VALUE = digit_values()
WHITE_SPACE = white_space()
FRACTIONS = {
    "¼": 0.25, "½": 0.5, "¾": 0.75, "⅓": 1 / 3, "⅔": 2 / 3, "⅕": 0.2, "⅖": 0.4,
    "⅗": 0.6, "⅘": 0.8, "⅙": 1 / 6, "⅚": 5 / 6, "⅛": 0.125, "⅜": 0.375, "⅝": 0.625,
    "⅞": 0.875,
}  # fmt: skip
# Fraction-like characters that must never be touched.
NOT_FRACTIONS = "\u2150\u2151\u2152\u215f\u2189"

# Explicit classes: Python's own \d follows the interpreter's Unicode version.
MODEL_PATTERN = re.compile(
    "([{}]*)[{}]*([{}])".format(
        "".join(map(re.escape, DIGIT_VALUE)),
        re.escape(WHITE_SPACE),
        "".join(FRACTIONS),
    )
)


def six_places(value: float) -> str:
    scaled = value * 1e6
    if math.isinf(value):
        return "inf"
    if math.isinf(scaled):  # a whole number already
        return f"{value:.6f}".rstrip("0").rstrip(".")
    whole = math.trunc(scaled)
    if abs(scaled - whole) >= 0.5:  # halves away from zero
        whole += 1 if scaled > 0 else -1
    return f"{float(whole) / 1e6:.6f}".rstrip("0").rstrip(".")


def model(text: str) -> str:
    out, pos = [], 0
    for m in MODEL_PATTERN.finditer(text):
        digits, fraction = m.group(1), FRACTIONS[m.group(2)]
        if digits:
            value = float("".join(str(DIGIT_VALUE[c]) for c in digits))
            replacement = six_places(value + fraction)
        else:
            replacement = (" " if m.start() else "") + six_places(fraction)
        out += [text[pos : m.start()], replacement]
        pos = m.end()
    return "".join(out) + text[pos:]


def test_model_tables():
    assert len(DIGIT_VALUE) == 770 and len(WHITE_SPACE) == 25


# ------------------------------------------------------------------ behaviour

ARABIC_3 = "\u0663"
TOLONG_SIKI_3 = "\U00011de3"  # Nd since Unicode 17.0: newer than the engine's own tables
OL_ONAL_4 = "\U0001e5f5"  # Nd since Unicode 16.0


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Foo-Bar+Baz: 17s 4¾ 1 ⅛ 20 93¾ - 94⅛", "Foo-Bar+Baz: 17s 4.75 1.125 20 93.75 - 94.125"),
        ("⅓ cup", "0.333333 cup"),
        ("", ""),
        ("plain text, 1 2 3", "plain text, 1 2 3"),
        ("½", "0.5"),
        ("  ½", "0.5"),
        ("x½", "x 0.5"),
        ("x ½", "x 0.5"),
        ("x\t\t½", "x 0.5"),
        ("x\xa0½", "x 0.5"),
        ("x\u3000\u2028½", "x 0.5"),
        ("4¾", "4.75"),
        ("4 ¾", "4.75"),
        ("4\n¾", "4.75"),
        ("4\x85\u2009¾", "4.75"),
        ("a\x00½\x00", "a\x00 0.5\x00"),
        ("½½", "0.5 0.5"),
        ("1½½", "1.5 0.5"),
        ("½1½", "0.51.5"),
        ("1½2½", "1.52.5"),
        ("1 2½", "1 2.5"),
        ("-4¾", "-4.75"),
        ("1.5½", "1.5.5"),
        ("1,000½", "1,0.5"),  # the separator ends the digit run
        ("007½", "7.5"),
        ("0½", "0.5"),
        ("2⅔", "2.666667"),
        ("⅙", "0.166667"),
        ("⅚", "0.833333"),
        ("⅘", "0.8"),
        ("3⅕", "3.2"),
        ("¼ ½ ¾ ⅓ ⅔ ⅕ ⅖ ⅗ ⅘ ⅙ ⅚ ⅛ ⅜ ⅝ ⅞",
         "0.25 0.5 0.75 0.333333 0.666667 0.2 0.4 0.6 0.8 "
         "0.166667 0.833333 0.125 0.375 0.625 0.875"),
        ("1" + "0" * 309 + "½", "inf"),
        ("9" * 400 + "¼ x", "inf x"),
        # Large but finite runs keep their value instead of overflowing while
        # being rounded to six places.
        ("1" + "0" * 303 + "½", f"{1e303:.0f}"),
        ("17" + "9" * 306 + "½", f"{float('17' + '9' * 306):.0f}"),
        ("9007199254740993½", "9007199254740992"),  # the fraction vanishes in double precision
        ("\u2150", "\u2150"),
        ("1\u2150", "1\u2150"),
        ("½\u2150", "0.5\u2150"),
        (NOT_FRACTIONS + "1" + NOT_FRACTIONS, NOT_FRACTIONS + "1" + NOT_FRACTIONS),
        ("é½ ü", "é 0.5 ü"),
        ("\U0001f600¾", "\U0001f600 0.75"),
        # Every decimal digit counts by its value, whatever its script.
        (ARABIC_3 + "½", "3.5"),
        ("x" + ARABIC_3 + "½", "x3.5"),
        ("\uff11\uff12½", "12.5"),
        ("1" + ARABIC_3 + "\uff15 ⅛", "135.125"),
        (TOLONG_SIKI_3 + OL_ONAL_4 + "½", "34.5"),
    ],
)  # fmt: skip
def test_examples(text, expected):
    assert sanitize_vulgar_string(text) == expected
    assert model(text) == expected


def test_keyword_and_str_subclass():
    class Text(str):
        def __str__(self):  # never consulted
            raise AssertionError

    arg = Text("4¾ cups")
    result = sanitize_vulgar_string(s=arg)
    assert type(result) is str and result == "4.75 cups"
    assert type(sanitize_vulgar_string(Text("no fractions"))) is str


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("no fractions here", "no fractions here"),
        ("1½ cups", "1.5 cups"),
        ("x" * 10_000, "x" * 10_000),
    ],
)
def test_result_is_a_new_object(text, expected):
    copy = "".join(list(text))
    result = sanitize_vulgar_string(text)
    assert result is not text and result == expected
    assert text == copy


@pytest.mark.parametrize(
    "text",
    [
        "1" * 200_000 + "x½",  # digit run not ended by a fraction
        " " * 200_000 + "x½",  # same for white space
        "1 " * 100_000 + "x½",
        ARABIC_3 * 100_000 + "x½",
    ],
    ids=["digits", "spaces", "digits-and-spaces", "arabic-indic-digits"],
)
def test_long_runs(text):
    # Runs must be scanned once, not again from each of their positions.
    assert sanitize_vulgar_string(text) == text[:-1] + " 0.5"


def test_huge_text():
    chunk = "Add 1½ cups of flour, ⅓ tsp salt and 2 ¼ eggs.\n"
    text = chunk * 50_000
    expected = "Add 1.5 cups of flour, 0.333333 tsp salt and 2.25 eggs.\n"
    assert sanitize_vulgar_string(text) == expected * 50_000


# ------------------------------------------------------------------ differential

ALPHABET = (
    "0123456789" + ARABIC_3 + "\uff15" + TOLONG_SIKI_3
    + " \t\xa0\n" + "ax" + ".-" + "".join(FRACTIONS) + NOT_FRACTIONS
)  # fmt: skip
fraction_texts = st.text(alphabet=ALPHABET, max_size=40)
long_runs = st.builds(
    lambda head, digits, space, fraction, tail: head + digits + space + fraction + tail,
    fraction_texts,
    st.text(alphabet="0123456789", min_size=1, max_size=330),
    st.sampled_from(["", " ", "\t\xa0"]),
    st.sampled_from(list(FRACTIONS)),
    fraction_texts,
)


@settings(max_examples=examples(1500), deadline=None)
@given(st.one_of(fraction_texts, long_runs))
def test_matches_model(text):
    assert sanitize_vulgar_string(text) == model(text)


# ------------------------------------------------------------------ threads

THREADED_FIRST_USE = textwrap.dedent(
    """
    import sys, threading
    from _vesk import sanitize_vulgar_string

    sys.setswitchinterval(1e-6)
    barrier = threading.Barrier(8)
    results = [None] * 8

    def work(i):
        text = f"{i} ⅛ cup, x½ and {i}⅓ " * 2000
        barrier.wait()
        results[i] = sanitize_vulgar_string(text)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, result in enumerate(results):
        assert result == f"{i}.125 cup, x 0.5 and {i}.333333 " * 2000, i
    print("ok")
    """
)


@pytest.mark.parametrize("round_", range(3))
def test_threaded_first_use(round_):
    done = subprocess.run(
        [sys.executable, "-c", THREADED_FIRST_USE],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONPATH": os.path.dirname(_vesk.__file__)},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"
