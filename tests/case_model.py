"""Plain-Python models of uncamel and underscore_to_camelcase, built on the
Unicode data that support.load_ucd reads straight from the UCD files."""

from __future__ import annotations

from support import Ucd


def model_uncamel(ucd: Ucd, text: str) -> str:
    def upper(ch: str) -> bool:
        return ord(ch) in ucd.uppercase

    out = []
    for i, ch in enumerate(text):
        if not upper(ch):
            out.append(ch)
            continue
        if i > 0:
            prev = text[i - 1]
            nxt = text[i + 1] if i + 1 < len(text) else None
            if (
                ord(prev) in ucd.lowercase
                or prev in "0123456789"
                or (upper(prev) and nxt is not None and ord(nxt) in ucd.lowercase)
            ):
                out.append("_")
        out.append(ucd.to_lower(ch))
    return "".join(out)


def model_underscore_to_camelcase(ucd: Ucd, text: str) -> str:
    out = ""
    after_underscore = False
    for ch in text:
        if ch == "_":
            after_underscore = True
            continue
        out += ucd.to_upper(ch) if after_underscore and out else ucd.to_lower(ch)
        after_underscore = False
    return out
