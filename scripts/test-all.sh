#!/usr/bin/env bash
# Installs what is missing, then builds and tests tamo every way CI does:
#   1. format check
#   2. host build, all tests
#   3. host build with AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   4. ThreadSanitizer build, Debug, the end-to-end tests (the north link's two threads)
#   5. armhf cross build, all tests but the slow timed ones, under qemu-arm
#   6. the Debian packages of the host and armhf builds, checked and run from an unpacked root
#   7. the fuzz build (clang, libFuzzer, ASan+UBSan), every target: the fuzz targets' corpora,
#      then each fuzzes for TAMO_FUZZ_SECONDS (60) as a CTest test
# Every build treats warnings in our code as errors (TAMO_WERROR), in Debug (the ThreadSanitizer
# build) as in the optimised builds.
# Build folders go under out/. Set TAMO_JOBS to change the parallelism (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${TAMO_JOBS:-$(nproc)}
total_passed=0
total_failed=0
log_dir=out/logs
mkdir -p "$log_dir"

step() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

# Configures, builds and tests one build folder; adds its counts to the totals. A failure is
# recorded and the next build goes on, so one run shows every problem. build_type overrides the
# build type (default RelWithDebInfo).
failures=()
build_and_test() {
  local name=$1 ctest_args=$2; shift 2
  local dir=out/$name
  step "$name: configure and build"
  local t0=$SECONDS
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${build_type:-RelWithDebInfo}" -DTAMO_WERROR=ON \
       "$@" >"$log_dir/$name-configure.log" 2>&1 ||
     ! cmake --build "$dir" -j"$jobs" >"$log_dir/$name-build.log" 2>&1; then
    tail -n 60 "$log_dir/$name-configure.log" "$log_dir/$name-build.log" 2>/dev/null
    failures+=("$name: build")
    return 0
  fi
  step "$name: test"
  local rc line passed failed
  set +e
  # shellcheck disable=SC2086 # ctest_args holds several words on purpose
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" $ctest_args >"$log_dir/$name-test.log" 2>&1
  rc=$?
  set -e
  tail -n 3 "$log_dir/$name-test.log"
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log_dir/$name-test.log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    tail -n 40 "$log_dir/$name-test.log"
    failures+=("$name: ctest ran no test")
    return 0
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$(( $(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line") - failed ))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  echo "$name: $passed passed, $failed failed in $((SECONDS - t0)) s"
  if [ "$rc" -ne 0 ]; then
    grep -E -B 5 -A 40 '\*\*\*Failed|\*\*\*Timeout|Failure$|ERROR: |runtime error' \
      "$log_dir/$name-test.log" | head -n 150 || true
    failures+=("$name: tests")
  fi
}

step "dependencies"
scripts/install-deps.sh --cross --fuzz --checks

step "format"
scripts/check-format.sh

# The host and armhf builds are also packaged, hence the prefix /usr.
build_and_test host "" -DCMAKE_INSTALL_PREFIX=/usr
build_and_test asan "" -DTAMO_SANITIZE=ON -DTAMO_BUILD_BENCH=OFF
build_type=Debug build_and_test tsan "-L e2e" -DTAMO_TSAN=ON -DTAMO_BUILD_BENCH=OFF
build_and_test armhf "-LE slow" -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
  -DTAMO_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr

step "packages: amd64 and armhf"
if scripts/check-packages.sh out/host out/armhf >"$log_dir/packages.log" 2>&1; then
  total_passed=$((total_passed + 1))
else
  total_failed=$((total_failed + 1))
  failures+=("packages")
fi
cat "$log_dir/packages.log"

# -V keeps the fuzzers' final figures in the log.
CC=clang CXX=clang++ build_and_test fuzz "-V" -DTAMO_BUILD_FUZZ=ON \
  -DTAMO_SANITIZE=ON -DTAMO_BUILD_TESTS=OFF -DTAMO_BUILD_BENCH=OFF
grep -E '^[0-9]+: (Done|stat::number_of_executed_units|stat::peak_rss_mb)' \
  "$log_dir/fuzz-test.log" || true

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "all steps took $SECONDS s"
echo "tamo: $total_passed passed, $total_failed failed"
[ "${#failures[@]}" -eq 0 ]
