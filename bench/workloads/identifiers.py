"""Identifiers: uncamel and underscore_to_camelcase."""

from __future__ import annotations

import random
from collections.abc import Iterator, Sequence

import _vesk
from idioms import regex_uncamel, split_camelcase
from runner import Case, anchor, idiom, mapped, optional_import, peer, whole

inflection = optional_import("inflection")
humps = optional_import("humps")

WORDS = (
    "user id name created at updated order total count item price value key type status "
    "date time index list map file path node parent child first last max min source target "
    "request response handler config session token cache buffer stream event level"
).split()
ACRONYMS = [
    "HTTP", "XML", "URL", "API", "ID", "JSON", "IO", "SQL", "UTF8", "B2B", "OAuth2", "HTML5",
]  # fmt: skip
UNICODE_WORDS = [
    "école", "normale", "straße", "größe", "über", "maß", "ñandú", "çağ", "αθήνα", "πόλη",
    "москва", "сити", "ærø", "łódź", "île", "été", "fußball", "weiß", "österreich", "ångström",
]  # fmt: skip


def camel(words: Sequence[str]) -> str:
    return words[0].lower() + "".join(w[:1].upper() + w[1:] for w in words[1:])


def snake_variant(rng: random.Random, words: Sequence[str]) -> str:
    """snake_case as found in the wild: mostly lower, some CONSTANT_CASE, some _private."""
    roll = rng.random()
    if roll < 0.15:
        return "_".join(w.upper() for w in words)
    if roll < 0.25:
        return "_" + "_".join(w.lower() for w in words)
    return "_".join(w.lower() for w in words)


UNCAMEL_DIFFERS = {
    "idiom": "[A-Z] only: no break before non-ASCII capitals (É, Ü, М)",
    "inflection": "[A-Z] only: no break before non-ASCII capitals (É, Ü, М)",
    "humps": "leaves all-capital keys as they are (ABC); [A-Z] only for non-ASCII capitals",
}
CAMEL_DIFFERS = {
    "idiom": "a leading '_' gives a capital first letter; capitalize() maps ß to 'Ss'",
    "inflection": "keeps capitals inside words (FOO_BAR gives fOOBAR) and a leading '_'",
    "humps": "leaves CONSTANT_CASE and _private keys as they are",
}


def uncamel_refs(camel_keys: list[str]) -> list:
    return [
        idiom(
            "uncamel",
            "two re.sub + lower()",
            mapped(regex_uncamel, camel_keys),
            UNCAMEL_DIFFERS["idiom"],
        ),
        peer(
            inflection,
            "inflection.underscore",
            lambda k=camel_keys: mapped(inflection.underscore, k),
            UNCAMEL_DIFFERS["inflection"],
        ),
        peer(
            humps,
            "humps.decamelize",
            lambda k=camel_keys: mapped(humps.decamelize, k),
            UNCAMEL_DIFFERS["humps"],
        ),
        anchor("str.lower", mapped(str.lower, camel_keys)),
    ]


def camelcase_refs(snake_keys: list[str]) -> list:
    return [
        idiom(
            "underscore_to_camelcase",
            "split('_') + capitalize()",
            mapped(split_camelcase, snake_keys),
            CAMEL_DIFFERS["idiom"],
        ),
        peer(
            inflection,
            "inflection.camelize(s, False)",
            lambda k=snake_keys: mapped(lambda s: inflection.camelize(s, False), k),
            CAMEL_DIFFERS["inflection"],
        ),
        peer(
            humps,
            "humps.camelize",
            lambda k=snake_keys: mapped(humps.camelize, k),
            CAMEL_DIFFERS["humps"],
        ),
        anchor("str.lower", mapped(str.lower, snake_keys)),
    ]


def identifier_cases(rng: random.Random, n: int) -> Iterator[Case]:
    short = [[rng.choice(WORDS) for _ in range(rng.randint(2, 4))] for _ in range(n)]
    long_words: list[str] = []
    while sum(len(w) for w in long_words) < 2_200:
        long_words.append(rng.choice(WORDS))
    acronym_keys = ["HTTPServer", "B2BThing", "getHTTPResponseCode", "XMLHttpRequest2"]
    acronym_snake = ["http_server", "b2b_thing", "get_http_response_code", "xml_http_request2"]
    while len(acronym_keys) < n // 2:
        words = [rng.choice(WORDS) for _ in range(rng.randint(0, 3))]
        acr = rng.choice(ACRONYMS)
        at = rng.randrange(len(words) + 1)
        mixed = words[:at] + [acr] + words[at:]
        key = "".join(w if w is acr else w.capitalize() for w in mixed)
        if at and rng.random() < 0.5:
            key = key[0].lower() + key[1:]
        acronym_keys.append(key)
        acronym_snake.append(snake_variant(rng, mixed))
    uni = [[rng.choice(UNICODE_WORDS) for _ in range(rng.randint(2, 3))] for _ in range(n // 2)]
    uni_camel = ["ÉcoleNormale", "straßeName"] + [
        camel(w) if rng.random() < 0.5 else camel(w).capitalize() for w in uni
    ]
    uni_snake = ["école_normale", "straße_name"] + [snake_variant(rng, w) for w in uni]
    short_snake = ["_".join(w) for w in short]

    workloads = [
        ("short keys", f"{n:,} keys", [camel(w) for w in short], short_snake),
        ("acronym/digit keys", f"{len(acronym_keys):,} keys", acronym_keys, acronym_snake),
        ("Unicode keys (É, ß, Greek, Cyrillic)", f"{len(uni_camel):,} keys", uni_camel, uni_snake),
    ]
    for label, size, camel_keys, snake_keys in workloads:
        yield Case(
            "uncamel", label, size, mapped(_vesk.uncamel, camel_keys), uncamel_refs(camel_keys)
        )
        yield Case(
            "underscore_to_camelcase",
            label,
            size,
            mapped(_vesk.underscore_to_camelcase, snake_keys),
            camelcase_refs(snake_keys),
        )
    long_camel = camel(long_words)[:2_200]
    long_snake = "_".join(long_words)[:2_199] + "x"  # never ends on '_'
    yield Case(
        "uncamel",
        "one 2,200-char camelCase string",
        "1 string",
        lambda: _vesk.uncamel(long_camel),
        [
            idiom("uncamel", "two re.sub + lower()", lambda: regex_uncamel(long_camel), view=whole),
            peer(
                inflection,
                "inflection.underscore",
                lambda: lambda: inflection.underscore(long_camel),
                view=whole,
            ),
            peer(
                humps, "humps.decamelize", lambda: lambda: humps.decamelize(long_camel), view=whole
            ),
            anchor("str.lower", long_camel.lower),
        ],
        view=whole,
    )
    yield Case(
        "underscore_to_camelcase",
        "one 2,200-char snake_case string",
        "1 string",
        lambda: _vesk.underscore_to_camelcase(long_snake),
        [
            idiom(
                "underscore_to_camelcase",
                "split('_') + capitalize()",
                lambda: split_camelcase(long_snake),
                view=whole,
            ),
            peer(
                inflection,
                "inflection.camelize(s, False)",
                lambda: lambda: inflection.camelize(long_snake, False),
                view=whole,
            ),
            peer(humps, "humps.camelize", lambda: lambda: humps.camelize(long_snake), view=whole),
            anchor("str.lower", long_snake.lower),
        ],
        view=whole,
    )
