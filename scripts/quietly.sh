#!/usr/bin/env bash
# quietly.sh LOG COMMAND...: runs COMMAND with its output in LOG instead of the terminal.
# On failure prints the log and exits with COMMAND's status; on success prints only the
# compiler's warnings, if any, so that a build stays quiet without hiding what matters.
set -uo pipefail
log=$1
shift
mkdir -p "$(dirname "$log")"
status=0
"$@" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "FAILED: $* (the output above is in $log)"
  exit "$status"
fi
grep -A3 -E '(^|: )warning: ' "$log" || true
