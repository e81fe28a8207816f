#!/usr/bin/env bash
# Builds the C++ unit tests (core_tests) with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc, Debug) and runs them through ctest.
#
#   tools/sanitize.sh               build in build/asan and run every test
#   tools/sanitize.sh -R Spline     extra arguments go to ctest
#
# Environment: SANITIZE_BUILD_DIR (default build/asan), SANITIZE_JOBS (default 2).
# Exits non-zero when the build fails, a test fails, or a sanitizer reports
# anything (every report aborts the test that triggered it).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${SANITIZE_BUILD_DIR:-build/asan}
jobs=${SANITIZE_JOBS:-2}

need=()
for pkg in g++ cmake libeigen3-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "sanitize: installing ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

command -v ninja >/dev/null 2>&1 && export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}
start=$(date +%s)
# CMakePresets.json: sanitize (Debug, ECM_SANITIZE=ON, the C++ unit tests only).
cmake --preset sanitize -B "$build" >/dev/null
# Test discovery runs the test binary, so the options below already apply.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --build "$build" -j "$jobs"
built=$(date +%s)
echo "sanitize: built in $((built - start)) s"
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
echo "sanitize: tests passed under ASan+UBSan in $(( $(date +%s) - built )) s"
