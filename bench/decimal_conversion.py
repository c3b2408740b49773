"""fast_float against the standard library's std::from_chars, as the decimal
conversion behind parse and sanitize_vulgar_string.

    python bench/decimal_conversion.py [--rounds N] [--rows N] [--cmake CMAKE]

Builds _vesk twice with CMake (build/bench-decimal/fast_float and
build/bench-decimal/from_chars: -DVESK_FAST_FLOAT=ON and OFF, Release), then
times the same workloads on both, each round in a fresh interpreter per build,
the two builds taking turns (which one goes first alternates), so that a
machine whose load drifts affects both alike; each child keeps the best of
three passes. Prints the median time of each workload on each build and the
median of the rounds' ratios (from_chars / fast_float: above 1.0, fast_float
is faster).

Short plain decimals (15 digits or fewer) never reach the conversion: they
are one exact division. The first row of each function is such a control
(any ratio away from 1.00 there is the machine's noise); the others all take
the conversion (16 and 17 significant digits, 40-digit decimals, 20-digit
runs).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VARIANTS = {"fast_float": "ON", "from_chars": "OFF"}

# Runs in the child: builds the workloads from a fixed seed, checks that the
# build uses the expected conversion, times each workload once after a warm-up
# and prints the times as JSON.
CHILD = r"""
import json, random, sys, time
import _vesk

rows = int(sys.argv[1])
rng = random.Random(20260917)
fractions = "\u00bd\u00bc\u00be\u2153\u215b"
work = {
    "parse: '1,234,567.89' (no conversion)":
        (_vesk.parse, [f"{rng.randrange(10**11) / 100:,.2f}" for _ in range(rows)]),
    "parse: 17 significant digits":
        (_vesk.parse, [repr(rng.random() * 10 ** rng.randint(-3, 5)) for _ in range(rows)]),
    "parse: 40-digit decimals":
        (_vesk.parse, ["".join(rng.choice("0123456789") for _ in range(20)) + "."
                       + "".join(rng.choice("0123456789") for _ in range(20))
                       for _ in range(rows)]),
    "sanitize_vulgar_string: recipe lines (short digit runs)":
        (_vesk.sanitize_vulgar_string,
         [f"add {rng.randint(1, 12)}{rng.choice(fractions)} cups of flour, "
          f"then {rng.randint(1, 500)} g sugar" for _ in range(rows)]),
    "sanitize_vulgar_string: 20-digit runs before a fraction":
        (_vesk.sanitize_vulgar_string,
         ["lot " + "".join(rng.choice("123456789") for _ in range(20))
          + rng.choice(fractions) for _ in range(rows)]),
}
times = {}
for name, (fn, data) in work.items():
    list(map(fn, data[: len(data) // 10]))
    best = float("inf")
    for _ in range(3):  # the least disturbed of three passes
        start = time.perf_counter()
        list(map(fn, data))
        best = min(best, time.perf_counter() - start)
    times[name] = best
print(json.dumps(times))
"""


def build(cmake: str, variant: str, flag: str) -> Path:
    out = ROOT / "build" / "bench-decimal" / variant
    ninja = shutil.which("ninja", path=str(Path(cmake).parent)) or shutil.which("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    configure = [cmake, "-S", str(ROOT), "-B", str(out), *generator]
    configure += [f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"]
    configure += [f"-DVESK_FAST_FLOAT={flag}"]
    log = subprocess.run(configure, check=True, capture_output=True, text=True).stdout
    chosen = "fast_float" if "Decimal conversion: fast_float" in log else "from_chars"
    if chosen != variant:
        sys.exit(f"{variant} build: CMake chose {chosen} (is fast_float installed?)")
    subprocess.run(
        [cmake, "--build", str(out), "--target", "_vesk"], check=True, capture_output=True
    )
    return out


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument(
        "--cmake", default=shutil.which("cmake", path=os.path.dirname(sys.executable)) or "cmake"
    )
    args = parser.parse_args()
    builds = {variant: build(args.cmake, variant, flag) for variant, flag in VARIANTS.items()}
    times: dict[str, dict[str, list[float]]] = {variant: {} for variant in builds}
    for round_ in range(args.rounds):
        order = list(builds) if round_ % 2 == 0 else list(reversed(builds))
        for variant in order:
            env = dict(os.environ, PYTHONPATH=str(builds[variant]))
            result = subprocess.run(
                [sys.executable, "-c", CHILD, str(args.rows)],
                env=env,
                check=True,
                capture_output=True,
                text=True,
            )
            for name, seconds in json.loads(result.stdout).items():
                times[variant].setdefault(name, []).append(seconds)
    print(
        f"{cpu_name()} ({os.cpu_count()} cores), Python {platform.python_version()}, "
        f"{args.rows:,} rows, medians of {args.rounds} rounds"
    )
    print(f"{'workload':58} {'fast_float':>11} {'from_chars':>11} {'ratio':>6}")
    for name in times["fast_float"]:
        fast = statistics.median(times["fast_float"][name])
        std = statistics.median(times["from_chars"][name])
        pairs = zip(times["from_chars"][name], times["fast_float"][name])
        ratio = statistics.median(b / a for b, a in pairs)
        print(f"{name:58} {fast * 1e3:9.1f}ms {std * 1e3:9.1f}ms {ratio:6.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
