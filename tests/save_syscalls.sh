#!/usr/bin/env bash
# The crash-safe save's system calls, as strace sees them: for the first two saves of
# SafeSave.ReplacesWholeKeepsTheModeAndReportsFailures (one creates the file, one replaces it),
# the data is written and flushed before the rename, and the folder is flushed after it. Exit 77
# (skipped) without strace.
set -euo pipefail
test_bin=$1
command -v strace >/dev/null || { echo "strace not installed"; exit 77; }
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
# LeakSanitizer cannot run under ptrace: in a sanitizer build the traced run goes without it.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  strace -f -e trace=openat,write,fsync,linkat,rename,renameat,renameat2 -o "$trace" \
  "$test_bin" --gtest_filter='SafeSave.ReplacesWhole*' >/dev/null
# Reduce each of the first two saves to a line of step names, descriptors made symbolic.
order=$(awk '
  /O_DIRECTORY/ && file == "" { dir = $NF; next }
  dir != "" && /O_TMPFILE/ && file == "" { file = $NF; printf "create "; next }
  file == "" { next }
  $2 ~ "^write\\(" file "," { printf "write "; next }
  $2 ~ "^fsync\\(" file "\\)" { printf "fsync-file "; next }
  $2 ~ "^linkat\\(" { printf "name "; next }
  $2 ~ "^renameat" { printf "rename "; next }
  $2 ~ "^fsync\\(" dir "\\)" { print "fsync-folder"; dir = file = ""; if (++saves == 2) exit }
' "$trace")
step="create write fsync-file name rename fsync-folder"
expected=$(printf '%s\n%s' "$step" "$step")
echo "first two saves:"; echo "$order"
[ "$order" = "$expected" ] || { echo "expected each: $step"; exit 1; }
