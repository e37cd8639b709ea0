#!/usr/bin/env bash
# windows-test.sh: cross-builds pbo.exe and every test suite for 64-bit Windows with
# mingw-w64, runs the suites under Wine, and checks that pbo.exe packs a folder into the
# same bytes as the Linux pbo. Installs what is missing with apt-get when run as root;
# otherwise prints the command to run and stops.
#
# Environment: BUILD (default build-windows), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD:-build-windows}
jobs=${JOBS:-2}

scripts/need.sh cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 googletest groff-base

# --- the cross build -----------------------------------------------------------------------
cmake -G Ninja -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs"

# --- Wine: its own prefix in the build folder, no display, no prompts, no chatter ----------
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$root/$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
# One wineserver for the whole run, so that each executable does not start its own (one
# may be left running from an earlier run: then that one serves).
"$wineserver" --persistent 2>/dev/null || true
trap '"$wineserver" --kill >/dev/null 2>&1 || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || echo "Creating the Wine prefix $WINEPREFIX ..."
# Starts Wine's own services now, with nothing to write to: started by the first test
# instead, they would hold CTest's output pipe open, and CTest would wait for them forever.
"$wine" wineboot --init >/dev/null 2>&1 </dev/null || true

# A 64 KB memory file system where writes run out of room, as on a full disk, for the tests
# that show a failed write leaves nothing behind (PBO_SMALL_FOLDER, as Windows names it).
# Mounting takes root; without it those tests are skipped.
small="$root/$build/small-disk"
mkdir -p "$small"
mountpoint -q "$small" || mount -t tmpfs -o size=64k tmpfs "$small" 2>/dev/null || true
if mountpoint -q "$small"; then
  trap 'umount "$small" 2>/dev/null || true; "$wineserver" --kill >/dev/null 2>&1 || true' EXIT
  PBO_SMALL_FOLDER=$("$wine" winepath -w "$small" 2>/dev/null | tr -d '\r')
  export PBO_SMALL_FOLDER
fi

failures=0
started=$(date +%s)

# --- every test suite, each executable one CTest test run through Wine ---------------------
# Now and then Wine fails to start an executable at all: it ends at once, before the test
# program has printed a line. Failed suites run once more, alone; a real failure fails
# again, the same way.
if ! ctest --test-dir "$build" --output-on-failure -j "$jobs"; then
  echo "Running the failed suites once more, one at a time:"
  if ! ctest --test-dir "$build" --output-on-failure --rerun-failed; then
    failures=$((failures + 1))
  fi
fi

# --- same folder, same archive: the Linux pbo against pbo.exe --------------------------------
linux_build="$build/linux"
cmake -G Ninja -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=Release -DPBO_BUILD_TESTS=OFF >/dev/null
cmake --build "$linux_build" -j "$jobs" --target pbo >/dev/null

compare="$root/$build/compare"
rm -rf "$compare"
source_folder="$compare/Island"
mkdir -p "$source_folder/sub/deeper" "$source_folder/Maps" "$source_folder/.svn"
# Names whose raw byte order (B Zed _x a) differs from their case-folded order (a B Zed _x).
printf 'config text config text config text\r\n' >"$source_folder/B.txt"
printf 'alpha alpha alpha alpha alpha alpha\n' >"$source_folder/a.txt"
printf 'underscore' >"$source_folder/_x"
printf 'zed zed zed zed' >"$source_folder/Zed"
: >"$source_folder/empty.txt"
head -c 3000 /dev/zero | tr '\0' 'x' >"$source_folder/sub/xs.dat"
printf 'stored, not packed' >"$source_folder/sub/Intro.OGG"
printf 'deep deep deep' >"$source_folder/sub/deeper/c.txt"
printf 'height map' >"$source_folder/Maps/height.bin"
printf 'skipped' >"$source_folder/.gitignore"
printf 'skipped' >"$source_folder/.svn/entries"

"$root/$linux_build/frontend/pbo" -a "$source_folder"
mv "$compare/Island.pbo" "$compare/linux.pbo"
windows_folder=$("$wine" winepath -w "$source_folder" 2>/dev/null | tr -d '\r')
windows_code=0
"$wine" "$root/$build/frontend/pbo.exe" -a "$windows_folder" || windows_code=$?
if [ "$windows_code" -ne 0 ]; then
  echo "FAILED: pbo.exe -a $windows_folder gave exit code $windows_code"
  failures=$((failures + 1))
elif ! cmp "$compare/linux.pbo" "$compare/Island.pbo"; then
  echo "FAILED: pbo.exe and the Linux pbo packed $source_folder differently"
  failures=$((failures + 1))
else
  echo "pbo.exe and the Linux pbo packed the same $(wc -c <"$compare/Island.pbo") bytes"
fi

# ... and pbo.exe extracts it back into the same files (less the dot names it left out).
rm -rf "$source_folder/.svn" "$source_folder/.gitignore"
mkdir -p "$compare/again"
[ -f "$compare/Island.pbo" ] && mv "$compare/Island.pbo" "$compare/again/Island.pbo"
archive=$("$wine" winepath -w "$compare/again/Island.pbo" 2>/dev/null | tr -d '\r')
windows_code=0
"$wine" "$root/$build/frontend/pbo.exe" -x "$archive" || windows_code=$?
if [ "$windows_code" -ne 0 ] || ! diff -r "$source_folder" "$compare/again/Island"; then
  echo "FAILED: pbo.exe -x $archive did not give back the packed files"
  failures=$((failures + 1))
else
  echo "pbo.exe extracted the archive back into the same files"
fi

# --- a stopped run: Wine hands a SIGINT to pbo.exe's console handler as Ctrl-C ---------------
# (GenerateConsoleCtrlEvent does nothing under Wine.) The signal goes out once the new
# archive's temporary file is there, while 64 MiB of random data are compressed: the run
# must end with the code of Ctrl-C (STATUS_CONTROL_C_EXIT, of which the shell sees 58), the
# older archive whole and no temporary file beside it. Should the run have finished first,
# the new archive must be whole instead.
stop="$root/$build/stop"
rm -rf "$stop"
mkdir -p "$stop/Island"
head -c 64M /dev/urandom >"$stop/Island/random.dat"
echo old >"$stop/Island.pbo"
stop_code=0
"$wine" "$root/$build/frontend/pbo.exe" -a "$("$wine" winepath -w "$stop/Island" 2>/dev/null | tr -d '\r')" &
stop_pid=$!
until ls -a "$stop" | grep -q '^[.]Island[.]pbo[.]tmp' || ! kill -0 "$stop_pid" 2>/dev/null; do
  sleep 0.01
done
kill -INT "$stop_pid" 2>/dev/null || true
wait "$stop_pid" || stop_code=$?
leftovers=$(ls -A "$stop" | grep -cv '^Island\(.pbo\)\?$' || true)
if [ "$leftovers" -ne 0 ] || { [ "$stop_code" -eq 58 ] && [ "$(cat "$stop/Island.pbo")" != old ]; } ||
  { [ "$stop_code" -ne 58 ] && [ "$stop_code" -ne 0 ]; }; then
  echo "FAILED: a stopped pbo.exe -a gave exit code $stop_code and left: $(ls -A "$stop")"
  failures=$((failures + 1))
elif [ "$stop_code" -eq 58 ]; then
  echo "pbo.exe stopped by Ctrl-C left the older archive and nothing else"
else
  echo "pbo.exe finished before Ctrl-C came, and left the new archive and nothing else"
fi

# --- the Windows download: the zip users get, and its pbo.exe against the Linux pbo ---------
if ! cmake -DWINDOWS_BUILD="$root/$build" -DLINUX_PBO="$root/$linux_build/frontend/pbo" \
  -DWINE="$wine" -DWORK="$compare/zip" -P tests/install/windows_package_test.cmake; then
  echo "FAILED: the Windows download"
  failures=$((failures + 1))
fi

echo "Windows suite under Wine: $(($(date +%s) - started)) s"
if [ "$failures" -ne 0 ]; then
  echo "windows-test: $failures check(s) failed"
  exit 1
fi
echo "windows-test: every check passed"
