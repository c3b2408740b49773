#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the pure core with clang and runs each for
# a bounded time.
#   tests/fuzz/run.sh            each harness for 15 s (what CI does)
#   tests/fuzz/run.sh 600        each for ten minutes
#   tests/fuzz/run.sh 60 sort    only the harnesses whose names are given
# Needs clang and libFuzzer's runtime (Debian: clang, libclang-rt-14-dev);
# ./dev installs them. Corpora persist in build/fuzz/corpus/<harness>, and a
# failing input is left as build/fuzz/crash-<harness>-*.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
seconds="${1:-15}"
shift || true
out="${VESK_FUZZ_DIR:-$root/build/fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14)}"

harnesses=(numparse parse_double case vulgar sort)
if (($#)); then harnesses=("$@"); fi

mkdir -p "$out/obj"
flags=(-std=c++2b -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
  -fno-sanitize-recover=all -I"$root/src" -I"$here" $(pkg-config --cflags libpcre2-8))

# The pure sources the harnesses link, compiled once for all of them.
core=(numparse/numparse.cpp text/case.cpp text/unicode.cpp text/unicode_tables.cpp text/vulgar.cpp)
objects=()
for source in "${core[@]}"; do
  object="$out/obj/$(basename "${source%.cpp}").o"
  if [ ! -f "$object" ] || [ "$root/src/$source" -nt "$object" ] || [ "$0" -nt "$object" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$root/src/$source" -o "$object"
  fi
  objects+=("$object")
done

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
  source="$here/fuzz_$name.cpp"
  if [ ! -x "$binary" ] || [ "$source" -nt "$binary" ] || [ "$here/fuzz_util.hpp" -nt "$binary" ] ||
    [ -n "$(find "$root/src" -newer "$binary" -name '*.hpp' -print -quit)" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$source" "${objects[@]}" \
      $(pkg-config --libs libpcre2-8) -o "$binary"
  fi
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
