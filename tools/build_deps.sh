#!/usr/bin/env bash
# The build dependencies of a release wheel, from pinned source releases,
# into one install prefix (the release workflow's before-all step, where no
# system package can be relied on):
#   tools/build_deps.sh PREFIX
# - PCRE2, static and position-independent, with its JIT: PREFIX/include,
#   PREFIX/lib (libpcre2-8.a and its libpcre2-8.pc; pcre2-8-static.lib with
#   MSVC). Built with its configure script on Linux and macOS (nothing but a
#   shell, make and a C compiler), with its CMake build on Windows (Git's
#   bash). On macOS the library holds both arm64 and x86_64, so one build
#   serves the wheels of either.
# - fast_float, header-only: PREFIX/include/fast_float.
# Each archive is checked against its SHA-256 before use; it is fetched from
# the project's release page, or else from Debian's archive, which holds the
# very same file (the versions are those of Debian 12, which the suite runs on
# here). An archive already at hand (offline) is taken from the folder
# VESK_DEPS_ARCHIVES, under the name the script gives it, if its checksum
# matches.
set -euo pipefail
prefix="${1:?usage: tools/build_deps.sh PREFIX}"
mkdir -p "$prefix"
case "$(uname -s)" in
  # Git's bash on Windows: the prefix as Windows programs (CMake) read it.
  MINGW* | MSYS* | CYGWIN*) prefix="$(cd "$prefix" && pwd -W)" ;;
  *) prefix="$(cd "$prefix" && pwd)" ;;
esac
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

pcre2_version=10.42
pcre2_sha256=c33b418e3b936ee3153de2c61cc638e7e4fe3156022a5c77d0711bcbb9d64f1f
pcre2_urls=(
  "https://github.com/PCRE2Project/pcre2/releases/download/pcre2-$pcre2_version/pcre2-$pcre2_version.tar.gz"
  "https://deb.debian.org/debian/pool/main/p/pcre2/pcre2_$pcre2_version.orig.tar.gz"
)
fast_float_version=3.9.0
fast_float_sha256=a10443e13748291709b422b2da49fc6753a1a43bf24205d4600595dfe3d811bb
fast_float_urls=(
  "https://github.com/fastfloat/fast_float/archive/refs/tags/v$fast_float_version.tar.gz"
  "https://deb.debian.org/debian/pool/main/f/fast-float/fast-float_$fast_float_version.orig.tar.gz"
)

log() { printf '==> %s\n' "$*" >&2; }

sha256() {
  if command -v sha256sum >/dev/null 2>&1; then
    sha256sum "$1" | cut -d' ' -f1
  else
    shasum -a 256 "$1" | cut -d' ' -f1
  fi
}

download() {
  local url="$1" out="$2"
  if command -v curl >/dev/null 2>&1; then
    curl -fsSL --retry 3 -o "$out" "$url"
  elif command -v wget >/dev/null 2>&1; then
    wget -q -O "$out" "$url"
  else
    python3 -c 'import sys, urllib.request; urllib.request.urlretrieve(sys.argv[1], sys.argv[2])' \
      "$url" "$out"
  fi
}

# fetch NAME SHA256 URL... : the first URL whose file has the checksum.
fetch() {
  local name="$1" want="$2" url
  shift 2
  local kept="${VESK_DEPS_ARCHIVES:-}/$name"
  if [ -n "${VESK_DEPS_ARCHIVES:-}" ] && [ -f "$kept" ] && [ "$(sha256 "$kept")" = "$want" ]; then
    cp "$kept" "$work/$name"
    return 0
  fi
  for url in "$@"; do
    log "fetching $url"
    if download "$url" "$work/$name" && [ "$(sha256 "$work/$name")" = "$want" ]; then
      return 0
    fi
    log "no file with the pinned checksum there"
  done
  echo "tools/build_deps.sh: no source of $name matched its SHA-256 $want" >&2
  exit 1
}

fetch "fast_float-$fast_float_version.tar.gz" "$fast_float_sha256" "${fast_float_urls[@]}"
tar -xzf "$work/fast_float-$fast_float_version.tar.gz" -C "$work"
mkdir -p "$prefix/include"
rm -rf "$prefix/include/fast_float"
cp -R "$work/fast_float-$fast_float_version/include/fast_float" "$prefix/include/"
log "fast_float $fast_float_version in $prefix/include/fast_float"

fetch "pcre2-$pcre2_version.tar.gz" "$pcre2_sha256" "${pcre2_urls[@]}"
tar -xzf "$work/pcre2-$pcre2_version.tar.gz" -C "$work"
src="$work/pcre2-$pcre2_version"
case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    cmake -S "$src" -B "$work/pcre2-build" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
      -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_SUPPORT_JIT=ON -DPCRE2_SUPPORT_UNICODE=ON \
      -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_STATIC_RUNTIME=OFF \
      -DCMAKE_INSTALL_PREFIX="$prefix"
    cmake --build "$work/pcre2-build" --config Release --parallel
    cmake --install "$work/pcre2-build" --config Release
    ;;
  *)
    flags="-O2"
    if [ "$(uname -s)" = Darwin ]; then
      # Both architectures in one static library; MACOSX_DEPLOYMENT_TARGET
      # (the workflow's environment) sets the oldest macOS.
      flags="$flags -arch arm64 -arch x86_64"
    fi
    (
      cd "$src"
      ./configure --prefix="$prefix" --libdir="$prefix/lib" --disable-shared --enable-static \
        --with-pic --enable-jit --enable-unicode --disable-pcre2grep-libz \
        --disable-pcre2grep-libbz2 --disable-pcre2test-libreadline \
        --disable-dependency-tracking CFLAGS="$flags" >/dev/null
      make -j"$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)" install >/dev/null
    )
    ;;
esac
log "PCRE2 $pcre2_version in $prefix"
