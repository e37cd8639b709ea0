#!/usr/bin/env bash
# same-archive.sh WORK NAME=COMMAND...: the same folder packed by each pbo COMMAND (a path,
# maybe behind an emulator: "s390x=qemu-s390x -L /usr/s390x-linux-gnu build-s390x/frontend/pbo")
# must give the same archive, byte for byte, as the first COMMAND's; and each must extract
# that archive, and the bundled samples/Island.pbo (a compressed entry whose leading spaces
# are repaired, a binarized mission turned into text), with the first's exit code into the
# same files. Every command runs in its own copy under WORK, with relative paths, so that
# Wine and qemu-user see the same calls. Exit 1 when anything differs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$1
shift
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

# The folder: text, source code, data that does not compress, long runs, stored media
# extensions, an empty file, names whose case-folded order differs from their byte order,
# folders three deep, and dot names that packing passes over.
source="$work/Island"
mkdir -p "$source/code" "$source/docs" "$source/data/deep/er" "$source/Maps" "$source/.svn"
cp "$root"/lzss/*.cpp "$root"/mission/*.cpp "$source/code/"
cp "$root"/docs/*.md "$root/README.md" "$root/LICENSE" "$source/docs/"
cp "$root/samples/Island.pbo" "$source/data/island.pbo"            # compressed already
for seed in "$root"/fuzz/corpus/*/*; do cat "$seed"; done >"$source/data/seeds.bin"
head -c 200000 /dev/zero >"$source/data/deep/zeros.dat"
for i in $(seq 1 3000); do printf 'line %d of a long, repetitive text\r\n' $((i % 97)); done \
  >"$source/data/deep/er/repeat.txt"
printf 'OggS stored as it is' >"$source/Maps/Intro.OGG"
printf 'height map' >"$source/Maps/height.bin"
: >"$source/empty.txt"
printf 'B' >"$source/B.txt"
printf 'a' >"$source/a.txt"
printf 'underscore' >"$source/_x"
printf 'zed' >"$source/Zed"
printf 'skipped' >"$source/.gitignore"
printf 'skipped' >"$source/.svn/entries"

# Runs one command in the folder given and prints its exit code; it must print nothing.
run() {
  local folder=$1 command=$2
  shift 2
  local out code=0
  # The command is a path, maybe behind an emulator and its options: split on spaces.
  # shellcheck disable=SC2086
  out=$(cd "$folder" && $command "$@" 2>&1) || code=$?
  [ -z "$out" ] || echo "printed: $out"
  echo "$code"
}

failures=0
first=""
for pair in "$@"; do
  name=${pair%%=*}
  command=${pair#*=}
  mkdir -p "$work/$name"
  cp -r "$source" "$work/$name/Island"
  result=$(run "$work/$name" "$command" -a Island)
  if [ "$result" != 0 ]; then
    echo "FAILED: $name: $command -a Island gave $result"
    failures=$((failures + 1))
  elif [ -z "$first" ]; then
    first=$name
    echo "$name: packed $(wc -c <"$work/$name/Island.pbo") bytes, sha256 $(sha256sum <"$work/$name/Island.pbo" | cut -c1-16)..."
  elif cmp -s "$work/$first/Island.pbo" "$work/$name/Island.pbo"; then
    echo "$name: packed the same bytes as $first"
  else
    echo "FAILED: $name packed other bytes than $first: $(cmp "$work/$first/Island.pbo" "$work/$name/Island.pbo" || true)"
    failures=$((failures + 1))
  fi
done
[ -n "$first" ] || { echo "FAILED: no command packed the folder"; exit 1; }

# Extraction: the archive just made, and the sample. A file may come back otherwise than it
# went in (a compressed entry that refers to the leading spaces and also copies a genuine
# zero byte cannot be repaired, exit code 3): what counts is that every system does the
# same.
for pair in "$@"; do
  name=${pair%%=*}
  command=${pair#*=}
  for archive in "$work/$first/Island.pbo" "$root/samples/Island.pbo"; do
    kind=$([ "$archive" = "$root/samples/Island.pbo" ] && echo sample || echo back)
    mkdir -p "$work/$name/$kind"
    cp "$archive" "$work/$name/$kind/Island.pbo"
    run "$work/$name/$kind" "$command" -x Island.pbo >"$work/$name/$kind.result"
  done
  if [ "$name" = "$first" ]; then
    echo "$first: extracted the archive with exit code $(cat "$work/$first/back.result"), the sample with $(cat "$work/$first/sample.result")"
  elif cmp -s "$work/$first/back.result" "$work/$name/back.result" &&
    cmp -s "$work/$first/sample.result" "$work/$name/sample.result" &&
    diff -r "$work/$first/back/Island" "$work/$name/back/Island" &&
    diff -r "$work/$first/sample/Island" "$work/$name/sample/Island"; then
    echo "$name: extracted both as $first does, file for file"
  else
    echo "FAILED: $name extracted otherwise than $first"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || { echo "same-archive: $failures check(s) failed"; exit 1; }
