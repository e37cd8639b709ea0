#!/usr/bin/env bash
# cross-test.sh [ARCH...]: cross-builds pbo and every test suite for each ARCH (default:
# aarch64 and s390x, the big-endian one) with Debian's cross compilers, runs the suites
# under qemu-user, and then checks that the same folder packs into the same archive, and
# extracts into the same files, on x86-64, on each ARCH and on Windows (when
# build-windows/ holds a pbo.exe from `make windows-test`, run under Wine). Installs what is
# missing with apt-get when run as root; otherwise prints the command to run and stops.
#
# Environment: JOBS (default 2), BUILD (the native build folder, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
native=${BUILD:-build}
[ $# -gt 0 ] || set -- aarch64 s390x

packages=(cmake ninja-build g++ googletest qemu-user)
for arch in "$@"; do packages+=("g++-$arch-linux-gnu"); done
scripts/need.sh "${packages[@]}"

failures=0
commands=()
for arch in "$@"; do
  build="build-$arch"
  started=$(date +%s)
  echo "=== $arch: building in $build/ (log: $build/build.log)"
  scripts/quietly.sh "$build/build.log" sh -c "cmake -G Ninja -S . -B '$build' \
    -DCMAKE_TOOLCHAIN_FILE='$root/cmake/$arch-linux-gnu.cmake' -DCMAKE_BUILD_TYPE=Release &&
    cmake --build '$build' -j '$jobs'"
  echo "=== $arch: every suite under qemu-$arch"
  if ! JOBS=$jobs scripts/run-tests.sh "$build"; then failures=$((failures + 1)); fi
  echo "=== $arch: $(($(date +%s) - started)) s"
  commands+=("$arch=qemu-$arch -L /usr/$arch-linux-gnu $root/$build/frontend/pbo")
done

echo "=== the same folder on every system"
scripts/quietly.sh "$native/build.log" sh -c "cmake -G Ninja -S . -B '$native' \
  -DCMAKE_BUILD_TYPE=Release && cmake --build '$native' -j '$jobs' --target pbo"
commands=("x86-64=$root/$native/frontend/pbo" "${commands[@]}")
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ -f build-windows/frontend/pbo.exe ] && [ -x "$wine" ]; then
  commands+=("windows=env WINEPREFIX=$root/build-windows/wine-prefix WINEDEBUG=-all \
WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= $wine $root/build-windows/frontend/pbo.exe")
else
  echo "(no build-windows/frontend/pbo.exe: run make windows-test first to compare Windows too)"
fi
if ! scripts/same-archive.sh build-cross-compare "${commands[@]}"; then
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  echo "cross-test: $failures check(s) failed"
  exit 1
fi
echo "cross-test: every check passed"
