#!/usr/bin/env bash
# aarch64 Linux, built on this x86-64 machine and tested under emulation:
#   tools/aarch64.sh sysroot              makes (once) and prints the sysroot
#   tools/aarch64.sh build DIR [cmake args]
#                                         the modules (and with
#                                         -DVESK_TEST_HOOKS=ON the test hooks)
#                                         in DIR, with CMake alone
#   tools/aarch64.sh wheel SOURCE OUTDIR [pip args]
#                                         the linux_aarch64 wheel of SOURCE (the
#                                         sdist, or the tree: then built
#                                         incrementally in
#                                         build/cp311-cp311-linux_aarch64)
#   tools/aarch64.sh test HOOKS_DIR WHEEL [pytest args]
#                                         the wheel installed into a folder of
#                                         its own, and the part of the suite
#                                         below run on it under qemu, with the
#                                         test hooks of HOOKS_DIR
# Emulation runs the suite about ten times slower: the part run is the files
# whose code differs by processor or whose behaviour rests on it: the case
# transforms (portable loops instead of SSE2), numbers and fractions (the
# decimal conversion, PCRE2's JIT for arm64), the column engine and threads
# (worker threads on a weakly ordered processor; a thread ended at exit
# unwinding through our frames, two of its seven cases), relative order
# (prefetches and hashing) and the module itself. Left out there: the rest,
# which the x86-64 runs cover.
# The compiler is Debian's cross g++ 12; the arm64 Python headers, PCRE2,
# fast_float and the interpreter that runs the tests are Debian's arm64
# packages, downloaded and unpacked into a sysroot, so nothing is installed
# on the host for them. The sysroot and the tests' Python packages are cached
# under ${XDG_CACHE_HOME:-$HOME/.cache}/vesk/aarch64, by the versions of what
# they hold. ./dev calls this with VESK_VENV_BIN naming its venv's bin (cmake,
# ninja, a CPython of the sysroot's version with pip); the system packages
# (g++-12-aarch64-linux-gnu, qemu-user-static) are ./dev's to install.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${VESK_VENV_BIN:?VESK_VENV_BIN names the venv bin folder (./dev sets it)}"
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/vesk/aarch64"
# The sysroot's CPython, which the wheel and the tests are for.
py_version=3.11
soabi="cpython-311-aarch64-linux-gnu"

log() { printf '==> %s\n' "$*" >&2; }

# Debian's arm64 packages of the sysroot: the C and C++ runtimes, the
# interpreter and the libraries its standard modules load, the headers, PCRE2
# and fast_float (header-only: the one in the sysroot, not the host's).
packages=(
  libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libssl3 libffi8 libbz2-1.0 liblzma5
  libsqlite3-0 libuuid1 libcrypt1 libncursesw6 libtinfo6 libreadline8 libnsl2 libtirpc3
  libgssapi-krb5-2 libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1 libdb5.3
  "python$py_version-minimal" "libpython$py_version-minimal" "libpython$py_version-stdlib"
  "libpython$py_version-dev" libpcre2-8-0 libpcre2-dev
)
# What the not-slow suite imports beyond the standard library: pure-Python
# wheels and numpy's manylinux aarch64 wheel, fetched by the host's pip.
test_packages=(pytest pytest-xdist hypothesis numpy)

# apt knows arm64 packages once the architecture is added (a line of dpkg's
# configuration; nothing is installed) and its package lists are fetched.
arm64_lists() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    log "adding arm64 to dpkg's architectures (for apt-get download only)"
    $sudo dpkg --add-architecture arm64
  fi
  if ! apt-cache show libc6:arm64 >/dev/null 2>&1; then
    log "fetching the arm64 package lists"
    $sudo apt-get update -qq
  fi
}

sysroot() {
  arm64_lists
  local uris key dir
  uris="$(apt-get download --print-uris "${packages[@]/%/:arm64}" libfast-float-dev)"
  key="$(printf '%s\n' "$uris" "${test_packages[*]}" | sha256sum | cut -c1-16)"
  dir="$cache_root/$key"
  if [ ! -f "$dir/complete" ]; then
    log "making the arm64 sysroot in $dir"
    rm -rf "$cache_root"
    mkdir -p "$dir/debs" "$dir/root" "$dir/bin"
    # apt-get download writes into the current folder.
    (cd "$dir/debs" && apt-get download -qq -o APT::Sandbox::User=root "${packages[@]/%/:arm64}" libfast-float-dev)
    local deb
    for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
    rm -rf "$dir/debs"
    log "fetching the test packages for the arm64 interpreter"
    "$bin/python" -m pip install -q --disable-pip-version-check --target "$dir/site" \
      --platform manylinux2014_aarch64 --python-version "$py_version" --implementation cp \
      --only-binary=:all: "${test_packages[@]}"
    # The interpreter under emulation. Its argv[0] is this script, so that
    # sys.executable starts its children the same way; it finds its standard
    # library through its compiled-in /usr, which qemu looks up in the
    # sysroot first.
    cat >"$dir/bin/python$py_version" <<EOF
#!/bin/sh
PYTHONPATH="$dir/site\${PYTHONPATH:+:\$PYTHONPATH}" exec qemu-aarch64-static -L "$dir/root" -0 "\$0" "$dir/root/usr/bin/python$py_version" "\$@"
EOF
    chmod +x "$dir/bin/python$py_version"
    touch "$dir/complete"
  fi
  echo "$dir"
}

host_python_check() {
  local version
  version="$("$bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  if [ "$version" != "$py_version" ]; then
    echo "tools/aarch64.sh: the build runs CPython $py_version (the sysroot's); $bin/python is $version" >&2
    exit 1
  fi
}

case "${1:-}" in
  sysroot)
    sysroot
    ;;
  build)
    dir="$2"
    shift 2
    host_python_check
    cache="$(sysroot)"
    VESK_SYSROOT="$cache/root" "$bin/cmake" -S "$here" -B "$dir" -G Ninja \
      -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
      -DPython_EXECUTABLE="$bin/python" -DPython_INCLUDE_DIR="$cache/root/usr/include/python$py_version" \
      -DSKBUILD_SOABI="$soabi" -DVESK_WERROR=ON "$@" >/dev/null
    VESK_SYSROOT="$cache/root" "$bin/cmake" --build "$dir" >/dev/null
    ;;
  test)
    hooks="$(cd "$2" && pwd)"
    wheel="$3"
    shift 3
    cache="$(sysroot)"
    site="$hooks/aarch64-site"
    rm -rf "$site"
    "$bin/python" -m zipfile -e "$wheel" "$site"
    cd "$here"
    PYTHONPATH="$site" VESK_TESTHOOKS_DIR="$hooks" \
      "$cache/bin/python$py_version" -m pytest -q -p no:cacheprovider -m "not slow" \
      --hypothesis-profile ci-sanitizer \
      -k "not test_exit_while_daemon_threads or _vesk.parse or _columns.parse" \
      tests/test_case.py tests/test_numparse.py tests/test_vulgar.py tests/test_columns.py \
      tests/test_threads.py tests/test_iter_same_order.py tests/test_module.py "$@"
    ;;
  wheel)
    sdist="$2" out="$3"
    host_python_check
    cache="$(sysroot)"
    shift 3
    # scikit-build-core tags the wheel for _PYTHON_HOST_PLATFORM and names
    # the extension suffix after SETUPTOOLS_EXT_SUFFIX; the headers are the
    # sysroot's, not the host interpreter's. The venv has scikit-build-core,
    # CMake and Ninja (no isolated build environment to set up each time).
    VESK_SYSROOT="$cache/root" _PYTHON_HOST_PLATFORM=linux-aarch64 \
      SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
      "$bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
      -w "$out" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" \
      -C cmake.define.Python_INCLUDE_DIR="$cache/root/usr/include/python$py_version" \
      "$@" "$sdist"
    ;;
  *)
    echo "usage: tools/aarch64.sh sysroot | build DIR [cmake args] |" \
      "wheel SOURCE OUTDIR [pip args] | test HOOKS_DIR WHEEL [pytest args]" >&2
    exit 2
    ;;
esac
