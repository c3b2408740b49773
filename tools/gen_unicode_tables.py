#!/usr/bin/env python3
"""Generate src/text/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt and PropList.txt of one UCD version
and writes the character tables behind src/text/unicode.hpp:

* one record per distinct combination of case data, reached through a
  two-stage table (block index, then record index within the block) for every
  code point below LIMIT; the block size is chosen to make the tables smallest;
* the multi-code-point case mappings in a side table;
* general category Nd and the White_Space property as sorted range tables.

Usage:
    tools/gen_unicode_tables.py [--ucd DIR] [--output FILE] [--check]

With --check nothing is written: the exit status is 1 (and a message is
printed) when FILE differs from what would be generated. The output depends
only on the input files, so repeated runs give identical bytes.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable
from pathlib import Path
from typing import NamedTuple

REPO = Path(__file__).resolve().parent.parent
DEFAULT_UCD = REPO / "data" / "ucd" / "17.0.0"
DEFAULT_OUTPUT = REPO / "src" / "text" / "unicode_tables.cpp"

# Only code points below this have properties or mappings in the tables; the
# generator refuses data that would need more.
LIMIT = 0x20000

# Record flags; keep in step with src/text/unicode_tables.hpp.
UPPERCASE = 1
LOWERCASE = 2
LOWER_SPECIAL = 4
UPPER_SPECIAL = 8

# Thresholds that the hand-written fast paths rely on: above ASCII, nothing
# below these has the property or mapping (src/text/case_utf8.cpp skips the tables
# there). The generator checks that the data still agrees.
FIRST_NON_ASCII = {
    "uppercase": 0xC0,
    "lowercase": 0xAA,
    "lower mapping": 0xC0,
    "upper mapping": 0xB5,
}


class UcdData:
    """The parts of the UCD that the tables hold, keyed by code point."""

    def __init__(self) -> None:
        self.uppercase: set[int] = set()
        self.lowercase: set[int] = set()
        self.white_space: set[int] = set()
        self.digits: dict[int, int] = {}
        self.lower: dict[int, tuple[int, ...]] = {}  # only where it differs from cp
        self.upper: dict[int, tuple[int, ...]] = {}


def parse_code_points(field: str) -> tuple[int, ...]:
    return tuple(int(part, 16) for part in field.split())


def read_ucd(ucd: Path) -> UcdData:
    data = UcdData()
    first_of_range: int | None = None
    for line in (ucd / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        if not line.strip():
            continue
        fields = line.split(";")
        cp = int(fields[0], 16)
        name, category = fields[1], fields[2]
        # Ranges (<CJK Ideograph, First> ... <..., Last>) share one line's data.
        if name.endswith(", First>"):
            first_of_range = cp
            continue
        start = cp
        if name.endswith(", Last>"):
            assert first_of_range is not None, line
            start, first_of_range = first_of_range, None
        for c in range(start, cp + 1):
            if category == "Lu":
                data.uppercase.add(c)
            elif category == "Ll":
                data.lowercase.add(c)
            elif category == "Nd":
                data.digits[c] = int(fields[6])
            if fields[12]:
                data.upper[c] = (int(fields[12], 16),)
            if fields[13]:
                data.lower[c] = (int(fields[13], 16),)

    for line in (ucd / "PropList.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        cps, prop = (part.strip() for part in line.split(";"))
        first, _, last = cps.partition("..")
        span = range(int(first, 16), int(last or first, 16) + 1)
        target = {
            "Other_Uppercase": data.uppercase,
            "Other_Lowercase": data.lowercase,
            "White_Space": data.white_space,
        }.get(prop)
        if target is not None:
            target.update(span)

    for line in (ucd / "SpecialCasing.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [part.strip() for part in line.split(";")]
        # code; lower; title; upper; [condition;] -- conditional lines are
        # locale or context rules, which the default mappings leave out.
        if len(fields) > 5 and fields[4]:
            continue
        cp = int(fields[0], 16)
        for mapping, field in ((data.lower, fields[1]), (data.upper, fields[3])):
            cps = parse_code_points(field)
            if cps == (cp,):
                mapping.pop(cp, None)
            else:
                mapping[cp] = cps

    # A simple mapping onto itself is no mapping.
    for mapping in (data.lower, data.upper):
        for cp in [cp for cp, cps in mapping.items() if cps == (cp,)]:
            del mapping[cp]
    return data


def read_version(ucd: Path) -> str:
    """The version named in PropList.txt's first line ("# PropList-17.0.0.txt")."""
    with (ucd / "PropList.txt").open(encoding="utf-8") as f:
        first = f.readline().strip()
    prefix, suffix = "# PropList-", ".txt"
    if not (first.startswith(prefix) and first.endswith(suffix)):
        raise SystemExit(f"cannot read the UCD version from {ucd / 'PropList.txt'}")
    return first[len(prefix) : -len(suffix)]


def check_assumptions(data: UcdData) -> None:
    everything = (
        data.uppercase
        | data.lowercase
        | data.white_space
        | set(data.digits)
        | set(data.lower)
        | set(data.upper)
    )
    beyond = [cp for cp in everything if cp >= LIMIT]
    if beyond:
        raise SystemExit(f"data beyond U+{LIMIT:04X} (U+{min(beyond):04X}); raise LIMIT")
    sets = {
        "uppercase": data.uppercase,
        "lowercase": data.lowercase,
        "lower mapping": set(data.lower),
        "upper mapping": set(data.upper),
    }
    for what, cps in sets.items():
        early = [cp for cp in cps if 0x80 <= cp < FIRST_NON_ASCII[what]]
        if early:
            raise SystemExit(
                f"{what} of U+{min(early):04X} defeats the fast path in src/text/case_utf8.cpp"
            )
    if any(len(cps) > 3 for cps in [*data.lower.values(), *data.upper.values()]):
        raise SystemExit("a case mapping longer than three code points")
    digits = sorted(data.digits)
    for run_start in digits[::10]:
        if [data.digits.get(run_start + i) for i in range(10)] != list(range(10)):
            raise SystemExit(f"Nd at U+{run_start:04X} is not a run of ten digits 0..9")


Record = tuple[int, int, int, int]  # flags, decimal digit, lower, upper


class CaseTables(NamedTuple):
    records: list[Record]  # each distinct record once; record 0 holds nothing
    record_of: list[int]  # index into `records` of every code point below LIMIT
    specials: list[tuple[int, ...]]  # the multi-code-point mappings


class TwoStageIndex(NamedTuple):
    """record_of split into blocks of 1 << shift code points, equal blocks shared."""

    size: int  # bytes of both stages
    shift: int
    stage1: list[int]  # block number of each block of code points
    stage1_type: str  # the C++ integer type that holds stage1's values
    stage2: list[int]  # the record indices of each distinct block
    stage2_type: str


def build_tables(data: UcdData) -> CaseTables:
    """Records, per-code-point record indices, and the special-mapping table."""
    specials: list[tuple[int, ...]] = []
    special_index: dict[tuple[int, ...], int] = {}

    def encode_mapping(
        cp: int, mapping: dict[int, tuple[int, ...]], special_flag: int
    ) -> tuple[int, int]:
        cps = mapping.get(cp)
        if cps is None:
            return 0, 0
        if len(cps) == 1:
            return 0, cps[0] - cp  # delta: runs of letters share one record
        if cps not in special_index:
            special_index[cps] = len(specials)
            specials.append(cps)
        return special_flag, special_index[cps]

    records: list[Record] = [(0, -1, 0, 0)]  # record 0: nothing
    record_index = {records[0]: 0}
    record_of = []
    for cp in range(LIMIT):
        flags = 0
        if cp in data.uppercase:
            flags |= UPPERCASE
        if cp in data.lowercase:
            flags |= LOWERCASE
        lower_flag, lower = encode_mapping(cp, data.lower, LOWER_SPECIAL)
        upper_flag, upper = encode_mapping(cp, data.upper, UPPER_SPECIAL)
        record = (flags | lower_flag | upper_flag, data.digits.get(cp, -1), lower, upper)
        if record not in record_index:
            record_index[record] = len(records)
            records.append(record)
        record_of.append(record_index[record])
    return CaseTables(records, record_of, specials)


def split_stages(record_of: list[int], shift: int) -> tuple[list[int], list[int]]:
    size = 1 << shift
    stage1: list[int] = []
    stage2: list[int] = []
    block_index: dict[tuple[int, ...], int] = {}
    for start in range(0, len(record_of), size):
        block = tuple(record_of[start : start + size])
        if block not in block_index:
            block_index[block] = len(block_index)
            stage2.extend(block)
        stage1.append(block_index[block])
    return stage1, stage2


def smallest_int_type(values: list[int]) -> tuple[str, int]:
    """The narrowest unsigned C++ type for the values, and its width in bytes."""
    top = max(values)
    if top < 1 << 8:
        return "std::uint8_t", 1
    if top < 1 << 16:
        return "std::uint16_t", 2
    return "std::uint32_t", 4


def smallest_index(record_of: list[int]) -> TwoStageIndex:
    best = None
    for shift in range(3, 11):
        stage1, stage2 = split_stages(record_of, shift)
        stage1_type, stage1_width = smallest_int_type(stage1)
        stage2_type, stage2_width = smallest_int_type(stage2)
        size = len(stage1) * stage1_width + len(stage2) * stage2_width
        if best is None or size < best.size:
            best = TwoStageIndex(size, shift, stage1, stage1_type, stage2, stage2_type)
    assert best is not None
    return best


def merged_ranges(cps: Iterable[int]) -> list[tuple[int, int]]:
    """The code points as sorted, disjoint, inclusive ranges, adjacent ones merged."""
    ranges: list[list[int]] = []
    for cp in sorted(cps):
        if ranges and ranges[-1][1] == cp - 1:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return [(first, last) for first, last in ranges]


def number_rows(values: list[str], per_row: int, indent: str = "    ") -> str:
    rows = []
    for start in range(0, len(values), per_row):
        rows.append(indent + ", ".join(values[start : start + per_row]) + ",")
    return "\n".join(rows)


def render(data: UcdData, version: str) -> str:
    tables = build_tables(data)
    index = smallest_index(tables.record_of)
    digit_ranges = merged_ranges(data.digits)
    space_ranges = merged_ranges(data.white_space)
    multi_upper = sum(1 for cps in data.upper.values() if len(cps) > 1)
    multi_lower = sum(1 for cps in data.lower.values() if len(cps) > 1)

    def flag_text(flags: int) -> str:
        names = [
            name
            for bit, name in (
                (UPPERCASE, "kUppercase"),
                (LOWERCASE, "kLowercase"),
                (LOWER_SPECIAL, "kLowerSpecial"),
                (UPPER_SPECIAL, "kUpperSpecial"),
            )
            if flags & bit
        ]
        return " | ".join(names) if names else "0"

    record_lines = "\n".join(
        f"    {{{flag_text(flags)}, {digit}, {lower}, {upper}}},"
        for flags, digit, lower, upper in tables.records
    )
    special_lines = "\n".join(
        "    {" + f"{len(cps)}, {{" + ", ".join(f"0x{cp:04X}" for cp in cps) + "}},"
        for cps in tables.specials
    )

    def range_lines(ranges: list[tuple[int, int]]) -> str:
        return number_rows([f"{{0x{a:04X}, 0x{b:04X}}}" for a, b in ranges], 4)

    counts = (
        f"{len(data.uppercase)} Uppercase, {len(data.lowercase)} Lowercase, {len(data.white_space)} White_Space,\n"
        f"// {len(data.digits)} Nd code points in {len(digit_ranges)} ranges; {len(data.lower)} lowercase mappings"
        f" ({multi_lower} of them to\n// several code points), {len(data.upper)} uppercase mappings"
        f" ({multi_upper} of them to several code points)."
    )
    out = f"""\
// generated by tools/gen_unicode_tables.py; do not edit
// clang-format off
//
// Unicode {version}: {counts}
// {len(tables.records)} distinct records; two-stage index of {index.size} bytes with blocks of {1 << index.shift}.

#include "text/unicode_tables.hpp"

namespace vesk::text::tables {{

namespace {{

constexpr unsigned kShift = {index.shift};

// Block number of each run of {1 << index.shift} code points.
constexpr {index.stage1_type} kStage1[{len(index.stage1)}] = {{
{number_rows([str(v) for v in index.stage1], 24)}
}};

// Record number of each code point, block by block.
constexpr {index.stage2_type} kStage2[{len(index.stage2)}] = {{
{number_rows([str(v) for v in index.stage2], 24)}
}};

// {{flags, decimal digit, lower, upper}}: lower and upper are deltas to the
// mapped code point, or indices into kSpecialMappings when flagged special.
constexpr CaseRecord kRecords[{len(tables.records)}] = {{
{record_lines}
}};

constexpr SpecialMapping kSpecialMappings[{len(tables.specials)}] = {{
{special_lines}
}};

constexpr CodePointRange kDecimalDigitRanges[{len(digit_ranges)}] = {{
{range_lines(digit_ranges)}
}};

constexpr CodePointRange kWhiteSpaceRanges[{len(space_ranges)}] = {{
{range_lines(space_ranges)}
}};

}}  // namespace

const CaseRecord& record_for(char32_t cp) noexcept {{
  if (cp >= kLimit) return kRecords[0];
  const unsigned block = kStage1[cp >> kShift];
  return kRecords[kStage2[(block << kShift) | (cp & ((1u << kShift) - 1))]];
}}

const SpecialMapping& special_mapping(std::int32_t index) noexcept {{ return kSpecialMappings[index]; }}

}}  // namespace vesk::text::tables

std::span<const vesk::text::CodePointRange> vesk::text::decimal_digit_ranges() noexcept {{
  return tables::kDecimalDigitRanges;
}}

std::span<const vesk::text::CodePointRange> vesk::text::white_space_ranges() noexcept {{
  return tables::kWhiteSpaceRanges;
}}
"""
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument(
        "--ucd", type=Path, default=DEFAULT_UCD, help="folder holding the UCD files"
    )
    parser.add_argument(
        "--output", type=Path, default=DEFAULT_OUTPUT, help="file to write or check"
    )
    parser.add_argument(
        "--check", action="store_true", help="only compare FILE with the generated text"
    )
    args = parser.parse_args(argv)

    data = read_ucd(args.ucd)
    check_assumptions(data)
    version = read_version(args.ucd)
    text = render(data, version).encode("utf-8")

    if args.check:
        try:
            current = args.output.read_bytes()
        except FileNotFoundError:
            current = None
        if current != text:
            print(
                f"{args.output} is out of date with {args.ucd}; "
                "run tools/gen_unicode_tables.py to regenerate it",
                file=sys.stderr,
            )
            return 1
        return 0
    args.output.write_bytes(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
