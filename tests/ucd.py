"""The one place the tests read Unicode data from: the UCD 17.0.0 files
bundled in data/ucd/17.0.0 (the same files tools/gen_unicode_tables.py
generates the module's tables from).

A missing file is an error, never a reason to skip: without the data the
case and fraction tests would check nothing.
"""

from __future__ import annotations

from pathlib import Path

DIR = Path(__file__).resolve().parent.parent / "data" / "ucd" / "17.0.0"
FILES = ("UnicodeData.txt", "SpecialCasing.txt", "PropList.txt")


def path(name: str) -> Path:
    if name not in FILES:
        raise ValueError(f"not a bundled UCD file: {name}")
    found = DIR / name
    if not found.is_file():
        raise FileNotFoundError(f"{found} is missing: the Unicode data belongs to the repository")
    return found


def lines(name: str) -> list[str]:
    return path(name).read_text(encoding="utf-8").splitlines()
