"""Every _vesk function against what people use for the same job today.

Each function runs on fixed, seeded workloads beside three kinds of reference,
all timed in the same run:

  idiom   the pure-Python code a user would write for the same job
          (bench/idioms.py, shared with bench/scaling.py);
  peer    the libraries people install for it (the `bench` extra of
          pyproject.toml: more-itertools, inflection, pyhumps, pandas,
          price-parser), conversions to and from plain records included;
  anchor  a native single pass over the same data (list(x), str.lower, float,
          ...): the floor that any per-item work has to pay.

A figure is a speed-up, reference time / _vesk time (above 1: _vesk is faster),
from medians of rounds after a warm-up; the subjects of one workload are timed
in turn within each round and the collector is off while timing, as in timeit.
Where a reference computes something else than _vesk on that workload (acronyms,
None, NaN), the row says so and gives the share of inputs on which it agrees.

The workloads are in bench/workloads/ (one module per family), the timing in
bench/runner.py, the outputs in bench/report.py.

    ./dev bench            # the full run (5 to 10 minutes): docs/benchmarks.{csv,md,png}
    ./dev bench --quick    # small workloads, for a smoke test
    python bench/compare.py --only columns. --merge   # re-measure some rows, keep the others
    PYTHONPATH=<build dir> python bench/compare.py [--quick] [--only TEXT] [--out DIR]
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from report import (  # noqa: E402
    fmt_speedup,
    machine,
    print_table,
    versions,
    write_csv,
    write_markdown,
    write_plot,
)
from runner import Row, run_case  # noqa: E402
from workloads import all_cases  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
COMMAND = "./dev bench"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="small workloads, fewer rounds")
    parser.add_argument(
        "--only",
        default="",
        help="run only the workloads whose 'function: workload' contains this text",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=REPO / "docs",
        help="where the csv, md and png go (default: docs/)",
    )
    parser.add_argument(
        "--merge",
        action="store_true",
        help="keep the rows of the existing CSV that this run does not measure",
    )
    args = parser.parse_args(argv)

    repeat, min_rounds, budget = (3, 3, 2.0) if args.quick else (9, 5, 25.0)
    load = f"{os.getloadavg()[0]:.1f}" if hasattr(os, "getloadavg") else "?"
    header = (
        f"Machine: {machine()}, load average {load} at the start. Peers: {versions()}. "
        f"Reproduce with `{COMMAND}{' --quick' if args.quick else ''}`."
    )
    print(header, flush=True)
    rows: list[Row] = []
    started = time.perf_counter()
    index = 0
    for case in all_cases(args.quick):
        if args.only and args.only not in f"{case.function}: {case.workload}":
            continue
        index += 1
        print(
            f"[{index:2d} {time.perf_counter() - started:6.1f}s] "
            f"{case.function}: {case.workload} ({case.size}) ...",
            end="",
            flush=True,
        )
        t0 = time.perf_counter()
        new = run_case(case, repeat, min_rounds, budget)
        rows.extend(new)
        summary = ", ".join(f"{r.kind} {fmt_speedup(r.speedup)}" for r in new)
        print(f" {time.perf_counter() - t0:5.1f}s  {summary}", flush=True)
    print_table(rows)
    print(f"\nTotal time {time.perf_counter() - started:.0f} s.")
    if not rows:
        return 1
    args.out.mkdir(parents=True, exist_ok=True)
    if args.merge:
        rows, header = merged(rows, args.out, header, args.only)
    write_csv(rows, args.out / "benchmarks.csv")
    title = (
        f"_vesk speed-up against the pure-Python idiom, the peer libraries and a native anchor\n"
        f"{machine()}; reproduce with {COMMAND}" + (" --quick" if args.quick else "")
    )
    plotted = write_plot(rows, args.out / "benchmarks.png", title)
    write_markdown(rows, args.out / "benchmarks.md", header, "benchmarks.png" if plotted else None)
    print(
        f"Wrote {args.out / 'benchmarks.csv'}, {args.out / 'benchmarks.md'}"
        + (f", {args.out / 'benchmarks.png'}" if plotted else "")
    )
    return 0


def merged(rows: list[Row], out: Path, header: str, only: str) -> tuple[list[Row], str]:
    """The rows of the previous run's CSV, with this run's in place of the ones it measured."""
    path = out / "benchmarks.csv"
    if not path.exists():
        return rows, header
    new = {(r.function, r.workload) for r in rows}
    with path.open(newline="") as f:
        old = [
            Row(
                line["function"],
                line["workload"],
                line["size"],
                line["kind"],
                line["reference"],
                float(line["vesk_s"]),
                float(line["reference_s"] or "nan"),
                float(line["speedup"] or "nan"),
                float(line["target"]) if line["target"] else None,
                float(line["agreement"]) if line["agreement"] else None,
                line["note"],
            )
            for line in csv.DictReader(f)
        ]
    kept = [r for r in old if (r.function, r.workload) not in new]
    previous = (out / "benchmarks.md").read_text().split("\n")[2] if kept else ""
    previous = previous.rpartition("Other rows: ")[2]  # the run the kept rows come from
    note = f"Rows matching '{only}': {header} Other rows: {previous}" if kept else header
    return kept + rows, note


if __name__ == "__main__":
    sys.exit(main())
