#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the pure core (CMake with VESK_FUZZ=ON and
# clang) and runs each for a bounded time.
#   tests/fuzz/run.sh            each harness for 15 s (what CI does)
#   tests/fuzz/run.sh 600        each for ten minutes
#   tests/fuzz/run.sh 60 sort    only the harnesses whose names are given
# Needs clang and libFuzzer's runtime (Debian: clang, libclang-rt-14-dev) and
# CMake ($VESK_CMAKE, else the one on PATH, else the venv's); ./dev installs
# them. Corpora persist in build/fuzz/corpus/<harness>, and a failing input is
# left as build/fuzz/crash-<harness>-*.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
seconds="${1:-15}"
shift || true
out="${VESK_FUZZ_DIR:-$root/build/fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14)}"
cmake="${VESK_CMAKE:-$(command -v cmake || echo "$root/.venv/bin/cmake")}"

harnesses=()
for source in "$here"/fuzz_*.cpp; do
  name="$(basename "${source%.cpp}")"
  harnesses+=("${name#fuzz_}")
done
if (($#)); then harnesses=("$@"); fi

generator=()
ninja="$(dirname "$cmake")/ninja"
[ -x "$ninja" ] || ninja="$(command -v ninja || true)"
[ -n "$ninja" ] && generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja")
if [ ! -f "$out/CMakeCache.txt" ]; then
  "$cmake" -S "$root" -B "$out" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=Debug -DVESK_FUZZ=ON >/dev/null
fi
targets=()
for name in "${harnesses[@]}"; do targets+=("fuzz_$name"); done
"$cmake" --build "$out" --target "${targets[@]}" >/dev/null

seed() {  # seed <harness> <text>...
  local dir="$out/corpus/$1"
  shift
  mkdir -p "$dir"
  local i=0
  for text in "$@"; do
    printf '%s' "$text" >"$dir/seed-$i"
    i=$((i + 1))
  done
}
seed numparse '$1,200m' ' ( 1,234.56 ) ' '50 %' '(5)%' '9223372036854775808' '1.000,50' \
  $'\u3000(\u2003-5\u2003)\u3000'
seed parse_double '1.7976931348623157e308' '2.4703282292062327e-324' '0.1' '-0' 'Infinity' \
  '9007199254740993' '1e-400' '123456789012345678901234567890'
seed case 'getHTTPResponseCode' '__foo_bar_BAZ' $'\u0130stanbul_\u00df' $'x\u03a3\u01c5a'
seed vulgar $'Foo-Bar+Baz: 17s 4\u00be 1 \u215b 20 93\u00be - 94\u215b' $'x\u00a0\u00bd' \
  $'\u0663\u00bd\u00bd1\u2150'
seed sort 'abcdefghijklmnopqrstuvwxyz0123456789' 'zyxwvutsrqponmlkjihgfedcba'

status=0
for name in "${harnesses[@]}"; do
  binary="$out/fuzz_$name"
  mkdir -p "$out/corpus/$name"
  log="$out/fuzz_$name.log"
  printf '==> fuzz_%s for %s s\n' "$name" "$seconds" >&2
  if UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$out/crash-$name-" "$out/corpus/$name" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    printf '    %s executions, no failure\n' "${runs:-?}" >&2
  else
    status=1
    printf '    FAILED; the end of %s:\n' "$log" >&2
    tail -n 40 "$log" >&2
  fi
done
exit "$status"
