"""Scaling figures that are not one workload against one reference.

    ./dev bench                    # after compare.py; writes docs/scaling.md
    PYTHONPATH=<build dir> python bench/scaling.py [--quick] [--only TEXT] [--out DIR]

1. same_order on strings at three sizes, against a dict of first positions, and
   the time taken by 4x the input (linear: about 4x).
2. collapse: empty lists at the depth where the cycle check changes gear, and
   one level off; a 100,000-deep chain; the peak-memory rise and time of a
   self-containing list of 10^6 items.
3. backfill_iterdict on 10^6 rows x 10 keys: time and peak-memory rise with
   key objects shared by all rows, and with every row's own key strings.
4. Two threads converting two 17 MB texts, against the same two conversions
   one after the other (threads / sequential; 1.0 means no overlap, 0.5 is
   perfect overlap on two cores).
5. A pure-Python loop in one thread while another thread converts 17 MB texts
   back to back, against the loop alone (its speed / solo speed).
6. Short calls (1M-call medians, ns per call) of the five text functions.
7. The peak-memory rise of sanitize_vulgar_string on 20M x "½", next to the
   result's size, with re.sub + a callback as the reference.
8. vesk.columns with two threads against one, on 10^6 cells (target >= 1.7x).
9. vesk.columns on 10^7 cells against 10^6 (target <= 11x the time).
10. The peak-memory rise of vesk.columns on an Arrow column of 10^7 cells,
   against the output's size plus 16 MB per thread.
11. vesk.columns on 40,000 to 160,000 chunks of one cell (linear in the chunks),
   beside pyarrow's own utf8_lower.
12. The share of the input checks (offsets, UTF-8) in a call on 10^6 Arrow
   cells, through the test hooks (./dev build makes them).
13. vesk.columns.parse on small pandas Series (1 to 10,000 cells, object and
   str) against s.map(vesk.parse), and the size from which it is no slower.
14. decimal="," against decimal="." on 10^6 Arrow prices (parse and
   normalize_numeric_str, one thread).

The sections live in scaling_scalar.py (1-7) and scaling_columns.py (8-14);
scaling_base.py holds the timers.

Times are medians of several runs. A peak-memory rise is measured in a fresh
interpreter: the high-water mark of its own memory (VmHWM) after the call, less
the same before it. --quick divides the sizes by about ten, for a smoke test.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import scaling_base  # noqa: E402
from scaling_base import OUT, say  # noqa: E402
from scaling_columns import (  # noqa: E402
    column_checks,
    column_chunks,
    column_decimal,
    column_memory,
    column_scaling,
    column_small,
    column_threads,
)
from scaling_scalar import (  # noqa: E402
    collapse_costs,
    iterdict_memory,
    same_order_scaling,
    short_calls,
    text_threads,
    vulgar_memory,
)

# --------------------------------------------------------------------------------------
# Running

SECTIONS = [
    ("same_order scaling", same_order_scaling),
    ("collapse costs", collapse_costs),
    ("backfill_iterdict memory", iterdict_memory),
    ("text threads", text_threads),
    ("short calls", short_calls),
    ("sanitize_vulgar_string memory", vulgar_memory),
    ("columns threads", column_threads),
    ("columns scaling", column_scaling),
    ("columns memory", column_memory),
    ("columns chunks", column_chunks),
    ("columns checks", column_checks),
    ("columns small", column_small),
    ("columns decimal", column_decimal),
]


def merge_sections(previous: str) -> None:
    """Puts the sections of the previous page that this run did not measure
    into OUT, each in its place by number, after this run's header."""
    block = previous.split("```text\n", 1)[1].rsplit("```", 1)[0]
    old = block.strip("\n").split("\n\n")

    def number(section: str) -> int:
        tag = section.split(")", 1)[0].lstrip("(")
        return int(tag) if tag.isdigit() else 0

    new = "\n".join(OUT).split("\n\n")
    measured = {number(section) for section in new[1:]}
    old[0] = old[0].rpartition("The others: ")[2]  # the run the other sections come from
    header = f"Sections {', '.join(map(str, sorted(measured)))}: {new[0]}\nThe others: {old[0]}"
    sections = [s for s in old[1:] if number(s) not in measured] + new[1:]
    sections.sort(key=number)
    OUT[:] = "\n\n".join([header, *sections]).split("\n")


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="sizes about ten times smaller")
    parser.add_argument(
        "--only", default="", help="run only the sections whose name contains this text"
    )
    parser.add_argument(
        "--out", type=Path, default=BENCH.parent / "docs", help="where scaling.md goes"
    )
    parser.add_argument(
        "--merge",
        action="store_true",
        help="keep the sections of the existing scaling.md that this run does not measure",
    )
    args = parser.parse_args()
    scaling_base.QUICK = args.quick
    command = "./dev bench" + (" --quick" if args.quick else "")
    say(
        f"Python {platform.python_version()}, {os.cpu_count()} cores, "
        f"load average {os.getloadavg()[0]:.1f} at the start. Reproduce with `{command}`."
    )
    ran = []
    for name, section in SECTIONS:
        if args.only and args.only not in name:
            continue
        say()
        section()
        gc.collect()
        ran.append(name)
    if not ran:
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    page = args.out / "scaling.md"
    if args.merge and page.exists():
        merge_sections(page.read_text())
    page.write_text(
        "# Scaling\n\n"
        "Figures that are not one workload against one reference (bench/scaling.py): "
        "how time grows with the input, what threads overlap, what short calls and peak "
        "memory cost. Times are medians; a peak-memory rise is measured in a fresh "
        "interpreter (its high-water RSS after the call less the same before it).\n\n"
        "```text\n" + "\n".join(OUT) + "\n```\n"
    )
    print(f"Wrote {page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
