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

# One harness per core at a time: each gets its whole time on a core of its
# own. Their reports are printed in order once all have run.
fuzz_one() {
  local name="$1" binary="$out/fuzz_$1" log="$out/fuzz_$1.log"
  mkdir -p "$out/corpus/$name"
  if UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$out/crash-$name-" "$out/corpus/$name" >"$log" 2>&1; then
    echo passed >"$log.result"
  else
    echo failed >"$log.result"
  fi
}
jobs="${VESK_FUZZ_JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)}"
printf '==> %s harnesses for %s s each, %s at a time\n' "${#harnesses[@]}" "$seconds" "$jobs" >&2
running=0
for name in "${harnesses[@]}"; do
  if ((running >= jobs)); then
    wait -n
    running=$((running - 1))
  fi
  rm -f "$out/fuzz_$name.log.result"
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

status=0
for name in "${harnesses[@]}"; do
  log="$out/fuzz_$name.log"
  if [ "$(cat "$log.result" 2>/dev/null)" = passed ]; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    printf '    fuzz_%s: %s executions, no failure\n' "$name" "${runs:-?}" >&2
  else
    status=1
    printf '    fuzz_%s FAILED; the end of %s:\n' "$name" "$log" >&2
    tail -n 40 "$log" >&2
  fi
done
exit "$status"
