"""uncamel and underscore_to_camelcase."""

from __future__ import annotations

import pytest
from _vesk import uncamel, underscore_to_camelcase
from case_model import model_uncamel, model_underscore_to_camelcase
from hypothesis import given, settings
from hypothesis import strategies as st
from support import examples, keeps_refcounts, load_ucd


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", ""),
        ("A", "a"),
        ("a", "a"),
        ("_", "_"),
        ("CamelCase", "camel_case"),
        ("CamelCamelCase", "camel_camel_case"),
        ("getHTTPResponseCode", "get_http_response_code"),
        ("HTTPServer", "http_server"),
        ("ABc", "a_bc"),
        ("AB", "ab"),
        ("ABC", "abc"),
        ("already_snake_case", "already_snake_case"),
        ("foo_Bar", "foo_bar"),
        ("Foo__Bar", "foo__bar"),
        ("version2Update", "version2_update"),
        ("A1", "a1"),
        ("ab1C", "ab1_c"),
        ("ab\u0661C", "ab\u0661c"),  # only ASCII digits split
        ("aB C", "a_b c"),
        ("\u00c9t\u00e9\u00c0", "\u00e9t\u00e9_\u00e0"),
        ("\u0130stanbul", "i\u0307stanbul"),
        ("x\u03a3", "x_\u03c3"),  # no final sigma
        ("\u01c5emal", "\u01c5emal"),  # titlecase is not uppercase
        ("AB\u01c5", "ab\u01c5"),  # ... nor lowercase
        ("\u00e9A", "\u00e9_a"),
        ("AB\u00e9", "a_b\u00e9"),  # run of capitals ended by a non-ASCII lowercase letter
        ("\u00aaB", "\u00aa_b"),  # U+00AA: Other_Lowercase, the first non-ASCII lowercase
        ("a\u24b6", "a_\u24d0"),  # circled capital: Other_Uppercase with a mapping
        ("a\U0001d400", "a_\U0001d400"),  # mathematical capital: uppercase, unmapped
        ("a\ua7ce", "a_\ua7cf"),  # new in Unicode 17.0
        ("\ua7cfA", "\ua7cf_a"),
        ("\u0295A", "\u0295a"),  # U+0295 is not lowercase
        ("a\U00016eb9", "a\U00016eb9"),
    ],
)
def test_uncamel(text, expected):
    assert uncamel(text) == expected
    assert uncamel(camel=text) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("foo_bar_baz", "fooBarBaz"),
        ("FOO_BAR", "fooBar"),
        ("_foo_bar", "fooBar"),
        ("__foo_bar", "fooBar"),
        ("", ""),
        ("___", ""),
        ("_A", "a"),
        ("FooBar", "foobar"),
        ("foo_", "foo"),
        ("foo__bar", "fooBar"),
        ("a_b_c", "aBC"),
        ("fooBar_baz", "foobarBaz"),
        ("foo-bar", "foo-bar"),
        ("foo bar", "foo bar"),
        ("foo_1bar", "foo1bar"),
        ("1_a", "1A"),
        ("a_\u00dfx", "aSSx"),
        ("_\u00df", "\u00df"),  # nothing written yet: lower-cased, not upper-cased
        ("a_\u0149", "a\u02bcN"),
        ("a_\u0390", "a\u0399\u0308\u0301"),
        ("a_\u1f80", "a\u1f08\u0399"),
        ("a_\ufb01", "aFI"),
        ("a_\u00b5", "a\u039c"),  # U+00B5: the first non-ASCII upper mapping
        ("a_\u00aa", "a\u00aa"),  # lowercase without an uppercase form
        ("a_\u01c6", "a\u01c4"),  # uppercase, not titlecase
        ("a_\u01c5", "a\u01c4"),
        ("\u01c5", "\u01c6"),
        ("\u0130", "i\u0307"),
        ("\u03a3_\u03c3", "\u03c3\u03a3"),
        ("\ua7ce_\ua7cf", "\ua7cf\ua7ce"),
        ("\U00016ea0_\U00016ebb", "\U00016ebb\U00016ea0"),
    ],
)
def test_underscore_to_camelcase(text, expected):
    assert underscore_to_camelcase(text) == expected
    assert underscore_to_camelcase(s=text) == expected


@pytest.mark.parametrize("offset", range(0x19))
def test_unicode_17_beria_erfe(offset):
    capital, small = chr(0x16EA0 + offset), chr(0x16EBB + offset)
    assert uncamel("a" + capital) == "a_" + small
    assert uncamel(small + "A") == small + "_a"
    assert underscore_to_camelcase("a_" + small) == "a" + capital


@pytest.mark.parametrize("position", range(19))
@pytest.mark.parametrize("char", ["Q", "_", "\u00c9", "\u0130", "\U0001d400", "7"])
def test_one_special_character_at_every_position(position, char):
    # Moves a character through and across the eight-byte blocks of the ASCII scan.
    text = "x" * position + char + "x" * (18 - position)
    ucd = load_ucd()
    assert uncamel(text) == model_uncamel(ucd, text)
    assert underscore_to_camelcase(text) == model_underscore_to_camelcase(ucd, text)
    assert uncamel(text.upper()) == model_uncamel(ucd, text.upper())


def test_output_longer_than_reserved():
    assert uncamel("a" + "\u0130" * 1000) == "a_" + "i\u0307" * 1000
    assert underscore_to_camelcase("a" + "_\u0390" * 1000) == "a" + "\u0399\u0308\u0301" * 1000


def test_huge_input():
    text = "aB" * 3_000_000
    assert uncamel(text) == "a_b" * 3_000_000
    assert underscore_to_camelcase("x_y" * 2_000_000) == "xY" * 2_000_000


@pytest.mark.parametrize("func", [uncamel, underscore_to_camelcase])
def test_result_is_a_new_str(func):
    text = "plain words here"
    result = func(text)
    assert result == text
    assert result is not text

    class Text(str):
        def lower(self):
            raise AssertionError("not called")

    sub = Text("Some_Text")
    result = func(sub)
    assert type(result) is str
    assert result == func("Some_Text")
    assert sub == "Some_Text"


@pytest.mark.parametrize(
    ("func", "text", "expected"),
    [
        (underscore_to_camelcase, "a_b", "aB"),  # ASCII results are allocated large and trimmed
        (underscore_to_camelcase, "x" * 40 + "_" * 40, "x" * 40),
        (underscore_to_camelcase, "___", ""),
        (uncamel, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz"),
        (uncamel, "aB" * 20, "a_b" * 20),  # no trimming: every capital split
    ],
)
def test_trimmed_results_are_ordinary_strs(func, text, expected):
    result = func(text)
    assert result == expected
    assert len(result) == len(expected)
    assert hash(result) == hash(expected)
    assert {expected: 1}[result] == 1
    assert (result + "!").encode() == expected.encode() + b"!"


@pytest.mark.parametrize("func", [uncamel, underscore_to_camelcase])
def test_no_reference_leak(func):
    text = "someText_with_Words" * 10
    assert keeps_refcounts(lambda: func(text), text)


# Characters that exercise the rules: ASCII classes, the first non-ASCII code
# points of each table, titlecase, multi-code-point mappings, non-ASCII digits
# and letters of caseless scripts.
_INTERESTING = (
    "aZ09_ -."
    "\u00aa\u00b5\u00ba\u00bf\u00c0\u00c9\u00df\u00e9\u00ff"
    "\u0130\u0131\u0149\u01c4\u01c5\u01c6\u0295\u0390\u03a3\u03c2\u03c3"
    "\u0661\u1e9e\u1f80\u1f88\u24b6\u24d0\ua7ce\ua7cf\ufb01\uff21\uff41"
    "\u4e2d\U0001d400\U00016ea0\U00016ebb\U0001e900\U0001e922\U00020000"
)
_chars = st.one_of(
    st.sampled_from(_INTERESTING),
    st.characters(blacklist_categories=("Cs",)),
    st.characters(whitelist_categories=("Lu", "Ll", "Lt")),
)


@settings(max_examples=examples(400), deadline=None)
@given(
    st.one_of(
        st.text(_chars, max_size=40), st.text(st.sampled_from("aZ_1\u00e9\u00c9"), max_size=80)
    )
)
def test_uncamel_matches_model(text):
    assert uncamel(text) == model_uncamel(load_ucd(), text)


@settings(max_examples=examples(400), deadline=None)
@given(
    st.one_of(
        st.text(_chars, max_size=40), st.text(st.sampled_from("aZ_1\u00e9\u00c9"), max_size=80)
    )
)
def test_underscore_to_camelcase_matches_model(text):
    assert underscore_to_camelcase(text) == model_underscore_to_camelcase(load_ucd(), text)


_ascii = st.text(st.sampled_from("aZ_1 x"), max_size=100)


@settings(max_examples=examples(300), deadline=None)
@given(_ascii)
def test_ascii_matches_model(text):
    ucd = load_ucd()
    assert uncamel(text) == model_uncamel(ucd, text)
    assert underscore_to_camelcase(text) == model_underscore_to_camelcase(ucd, text)


@settings(max_examples=examples(300), deadline=None)
@given(_ascii)
def test_ascii_and_general_paths_agree(text):
    # A trailing caseless non-ASCII character sends the text down the general
    # UTF-8 path without changing what happens to the ASCII part.
    assert uncamel(text + "\u4e2d") == uncamel(text) + "\u4e2d"
    assert underscore_to_camelcase(text + "\u4e2d") == underscore_to_camelcase(text) + "\u4e2d"


# The ASCII paths work on blocks of 16 bytes: a block reads one byte back and
# one ahead, the last bytes go through a padded copy, and a short text is
# built on the stack (up to 256 bytes) while a longer one is written into its
# result in place.
_EDGES = (0, 1, 14, 15, 16, 17, 31, 32, 33, 46, 47, 48, 49, -3, -2, -1)


def _special_at_edges(length: int, fill: str, chars: str) -> list[str]:
    texts = []
    for at in _EDGES:
        if abs(at) >= length:
            continue
        for a in chars:
            for b in chars:
                chars_ = list(fill * length)
                chars_[at], chars_[(at + 1) % length] = a, b
                texts.append("".join(chars_))
    return texts


@pytest.mark.parametrize("length", [2, 15, 16, 17, 33, 47, 48, 49, 64, 65, 255, 256, 257, 300])
@pytest.mark.parametrize("fill", ["a", "B", "_", "7"])
def test_block_edges(length, fill):
    ucd = load_ucd()
    for text in _special_at_edges(length, fill, "Ab_3"):
        snake, camel = uncamel(text), underscore_to_camelcase(text)
        # The general path, taken for any non-ASCII text, is separate code.
        assert uncamel(text + "\u4e2d") == snake + "\u4e2d", text
        assert underscore_to_camelcase(text + "\u4e2d") == camel + "\u4e2d", text
        assert snake == model_uncamel(ucd, text), text
        assert camel == model_underscore_to_camelcase(ucd, text), text


@pytest.mark.parametrize("run", [1, 15, 16, 17, 31, 32, 33, 250, 256, 1000])
def test_underscore_runs_shrink_the_output(run):
    gap = "_" * run
    assert underscore_to_camelcase(f"ab{gap}cd{gap}") == "abCd"
    assert underscore_to_camelcase(f"{gap}Ab{gap}c" * 3) == "abCAbCAbC"
    assert underscore_to_camelcase("x" * 300 + gap + "y") == "x" * 300 + "Y"
    assert uncamel(f"aB{gap}CD") == f"a_b{gap}cd"


@pytest.mark.parametrize(("prefix", "count"), [("", 25), ("xxxxxx", 25), ("", 26), ("", 400)])
def test_acronym_runs_around_the_stack_limit(prefix, count):
    # Fewer underscores than capitals: a long result is created too large and trimmed.
    text = prefix + "HTTPServer" * count  # 250, 256, 260 and 4000 characters
    result = uncamel(text)
    assert result == "_".join(([prefix] if prefix else []) + ["http_server"] * count)
    assert hash(result) == hash("".join(list(result)))


@pytest.mark.parametrize(
    ("func", "text", "expected"),
    [
        (uncamel, "a\u212a", "a_k"),  # Kelvin sign: non-ASCII input, ASCII output
        (underscore_to_camelcase, "\u212a_x", "kX"),
        (uncamel, "\u00c9t\u00e9", "\u00e9t\u00e9"),  # one byte per code point
        (underscore_to_camelcase, "x_\u00ff", "x\u0178"),  # one byte, then two
        (uncamel, "a\u0130", "a_i\u0307"),
        (underscore_to_camelcase, "\u00e9_\U00016ebb", "\u00e9\U00016ea0"),  # one, then four
        (underscore_to_camelcase, "\u03c3_\U00016ebb", "\u03c3\U00016ea0"),  # two, then four
        (uncamel, "\U0001d400A\u00e9", "\U0001d400_a\u00e9"),
    ],
)
def test_result_width_follows_the_widest_code_point(func, text, expected):
    result = func(text)
    assert result == expected
    assert result.isascii() == expected.isascii()
    assert hash(result) == hash(expected)
    assert {expected: 1}[result] == 1


def test_output_outgrows_the_inline_buffer():
    # Short outputs are kept inside the buffer object, in the narrowest width.
    text = "x" + "_\u0390" * 63  # 127 code points become 190
    assert underscore_to_camelcase(text) == "x" + "\u0399\u0308\u0301" * 63
    assert uncamel("\u0130" * 100) == "i\u0307" * 100  # widened, then grown
