#!/usr/bin/env bash
# run-tests.sh BUILD [CTEST OPTION...]: runs the tests of a build folder with CTest, JOBS at
# a time (default 2): one line per test (CTest's "Start" lines left out), the output of
# each failure, and then why each skipped test was skipped, which CTest does not say.
set -uo pipefail
build=$1
shift
ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}" "$@" | grep -v '^ *Start  *[0-9]*: '
status=${PIPESTATUS[0]}

# CTest's log holds each test's output. A skipped GoogleTest case gives its reason on the
# line after "...: Skipped"; a test script prints "SKIPPED: reason".
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
  awk '
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); reason = "" }
    reasonFollows { reason = $0; reasonFollows = 0 }
    /: Skipped$/ { reasonFollows = 1 }
    /^SKIPPED: / { reason = substr($0, 10) }
    /^Skip regular expression found in output/ {
      print "Skipped " name ": " (reason == "" ? "(no reason given)" : reason)
    }' "$log"
fi
exit "$status"
