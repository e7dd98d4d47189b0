#!/usr/bin/env bash
# Installs what is missing, then builds and tests tamo every way CI does:
#   1. format check
#   2. host build, all tests
#   3. host build with AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   4. armhf cross build, all tests under qemu-arm
# Build folders go under out/. Set TAMO_JOBS to change the parallelism (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${TAMO_JOBS:-$(nproc)}
total_passed=0
total_failed=0
log_dir=out/logs
mkdir -p "$log_dir"

step() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

# Configures, builds and tests one build folder; adds its counts to the totals.
build_and_test() {
  local name=$1; shift
  local dir=out/$name
  step "$name: configure and build"
  local t0=$SECONDS
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$log_dir/$name-configure.log"
  cmake --build "$dir" -j"$jobs" >"$log_dir/$name-build.log" 2>&1 || {
    tail -n 60 "$log_dir/$name-build.log"; return 1; }
  step "$name: test"
  local rc=0
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" 2>&1 | tee "$log_dir/$name-test.log" | tail -n 4 || true
  rc=${PIPESTATUS[0]}
  local line passed failed
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log_dir/$name-test.log" | tail -n 1 || true)
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$(( $(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line") - failed ))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  echo "$name: $passed passed, $failed failed in $((SECONDS - t0)) s"
  if [ "$rc" -ne 0 ]; then
    grep -E -A 30 '\*\*\*Failed|Failed  |Exception|Timeout' "$log_dir/$name-test.log" | head -n 120 || true
    return "$rc"
  fi
}

step "dependencies"
scripts/install-deps.sh --cross --fuzz

step "format"
scripts/check-format.sh

build_and_test host
build_and_test asan -DTAMO_SANITIZE=ON -DTAMO_BUILD_BENCH=OFF
build_and_test armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DTAMO_BUILD_BENCH=OFF

echo
echo "tamo: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
