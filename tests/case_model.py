"""Unicode data read straight from the UCD files, and plain-Python models of
uncamel and underscore_to_camelcase built on it.

Python's own str.lower()/str.upper() follow the interpreter's Unicode version,
not the one the module's tables are generated from, so the tests compare
against this instead. It is written independently of
tools/gen_unicode_tables.py on purpose: a misreading of the files in one is
not repeated in the other.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, field
import ucd as ucd_files

UCD = ucd_files.DIR
LIMIT = 0x20000  # no mapping from here on


@dataclass
class Ucd:
    uppercase: set[int] = field(default_factory=set)
    lowercase: set[int] = field(default_factory=set)
    white_space: set[int] = field(default_factory=set)
    digits: dict[int, int] = field(default_factory=dict)
    lower: dict[int, str] = field(default_factory=dict)  # full mappings, as text
    upper: dict[int, str] = field(default_factory=dict)

    def to_lower(self, ch: str) -> str:
        return self.lower.get(ord(ch), ch)

    def to_upper(self, ch: str) -> str:
        return self.upper.get(ord(ch), ch)


def _chars(hex_field: str) -> str:
    return "".join(chr(int(h, 16)) for h in hex_field.split())


def _code_points(column: str) -> range:
    lo, _, hi = column.strip().partition("..")
    return range(int(lo, 16), int(hi or lo, 16) + 1)


@functools.cache
def load_ucd() -> Ucd:
    ucd = Ucd()
    rows = [line.split(";") for line in ucd_files.lines("UnicodeData.txt") if line]
    for number, row in enumerate(rows):
        if row[1].endswith("Last>"):
            continue  # handled with its First line
        cps = _code_points(row[0])
        if row[1].endswith("First>"):
            cps = range(cps.start, int(rows[number + 1][0], 16) + 1)
        for cp in cps:
            if row[2] == "Lu":
                ucd.uppercase.add(cp)
            if row[2] == "Ll":
                ucd.lowercase.add(cp)
            if row[2] == "Nd":
                ucd.digits[cp] = int(row[6])
            if row[12] and cp < LIMIT:
                ucd.upper[cp] = _chars(row[12])
            if row[13] and cp < LIMIT:
                ucd.lower[cp] = _chars(row[13])

    props = {"Other_Uppercase": ucd.uppercase, "Other_Lowercase": ucd.lowercase, "White_Space": ucd.white_space}
    for line in ucd_files.lines("PropList.txt"):
        data = line.partition("#")[0]
        if ";" in data:
            cps, prop = data.split(";")
            if prop.strip() in props:
                props[prop.strip()].update(_code_points(cps))

    for line in ucd_files.lines("SpecialCasing.txt"):
        data = [f.strip() for f in line.partition("#")[0].split(";")]
        if len(data) < 4:
            continue
        condition = data[4] if len(data) > 4 else ""
        if condition:
            continue  # locale and context rules are not used
        cp = int(data[0], 16)
        ucd.lower[cp] = _chars(data[1])
        ucd.upper[cp] = _chars(data[3])
    return ucd


def have_ucd() -> bool:
    """Always true: the data is part of the repository, and a missing file raises."""
    return all(ucd_files.path(name).is_file() for name in ucd_files.FILES)


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
