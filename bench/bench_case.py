"""uncamel and underscore_to_camelcase against the Python idioms they replace.

Run from the repository root with the built module on the path:
    PYTHONPATH=build python bench/bench_case.py
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Table  # noqa: E402
from idioms import regex_uncamel, split_camelcase  # noqa: E402

from _vesk import uncamel, underscore_to_camelcase  # noqa: E402

WORDS = (
    "get set http response code xml request handler user id url parse json value "
    "list item count total max min index buffer stream reader writer config api key "
    "token session cache node tree path file name type error status time date"
).split()
ACRONYMS = ["HTTP", "XML", "URL", "API", "ID", "JSON", "IO", "UTF8"]


def identifiers(rng: random.Random, count: int) -> list[str]:
    out = ["getHTTPResponseCode", "XMLHttpRequest2Handler"]
    while len(out) < count:
        parts = []
        for i in range(rng.randint(2, 5)):
            if rng.random() < 0.15:
                parts.append(rng.choice(ACRONYMS))
            else:
                word = rng.choice(WORDS)
                parts.append(word if i == 0 and rng.random() < 0.6 else word.capitalize())
            if rng.random() < 0.1:
                parts.append(str(rng.randint(1, 9)))
        out.append("".join(parts))
    return out


def snake_names(rng: random.Random, count: int) -> list[str]:
    return ["_".join(rng.choice(WORDS) for _ in range(rng.randint(2, 5))) for _ in range(count)]


def ascii_text(rng: random.Random, size: int) -> str:
    """Prose-like ASCII: sentences of lowercase words, capitalised at the start."""
    sentences = []
    total = 0
    while total < size:
        words = [rng.choice(WORDS) for _ in range(rng.randint(6, 16))]
        words[0] = words[0].capitalize()
        if rng.random() < 0.2:
            words[rng.randrange(len(words))] = rng.choice(ACRONYMS)
        sentence = " ".join(words) + ". "
        sentences.append(sentence)
        total += len(sentence)
    return "".join(sentences)[:size]


def main() -> None:
    rng = random.Random(20250917)
    ids = identifiers(rng, 100_000)
    names = snake_names(rng, 100_000)
    text = ascii_text(rng, 1_800_000)

    table = Table("case transforms")
    for workload, ours, baseline, target in [
        (
            "100k identifiers",
            ("uncamel", lambda: [uncamel(s) for s in ids]),
            ("two re.sub + lower", lambda: [regex_uncamel(s) for s in ids]),
            "<= 0.2 (5x)",
        ),
        ("1.8 MB ASCII text", ("uncamel", lambda: uncamel(text)), ("str.lower", text.lower), "<= 3"),
        (
            "100k snake_case names",
            ("underscore_to_camelcase", lambda: [underscore_to_camelcase(s) for s in names]),
            ("split('_') + capitalize", lambda: [split_camelcase(s) for s in names]),
            "<= 0.333 (3x)",
        ),
        (
            "1.8 MB ASCII text",
            ("underscore_to_camelcase", lambda: underscore_to_camelcase(text)),
            ("str.lower", text.lower),
            "<= 3",
        ),
    ]:
        table.compare(workload, ours, baseline, target=target)
    table.print()


if __name__ == "__main__":
    main()
