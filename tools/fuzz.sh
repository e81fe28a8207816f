#!/usr/bin/env bash
# Builds the libFuzzer targets of the C++ core (tests/fuzz/fuzz_*.cpp) with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs each of them for a
# bounded time.
#
#   tools/fuzz.sh            20 s per target (the CI run)
#   tools/fuzz.sh 600        10 minutes per target (the long run)
#   tools/fuzz.sh 60 spline  only the targets whose name contains "spline"
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (parallel
# compiles and runs, default 2).
#
# The committed seeds in tests/fuzz/corpus/<target>/ are only read; new inputs
# go to a scratch corpus under the build directory, crash inputs to
# <build>/artifacts/<target>/. Exits non-zero when a target fails to build or
# finds a crash, a sanitizer report, a broken invariant or a hang.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-20}
filter=${2:-}
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-2}
case "$seconds" in ''|*[!0-9]*) echo "usage: tools/fuzz.sh [seconds-per-target] [name-filter]" >&2; exit 2 ;; esac

# --- toolchain: clang with libFuzzer (Debian: clang + libclang-rt-<v>-dev) ---
find_clang() {
  for c in clang++ clang++-16 clang++-15 clang++-14; do
    if command -v "$c" >/dev/null 2>&1; then echo "$c"; return 0; fi
  done
  return 1
}
probe_fuzzer() {  # can $1 link a libFuzzer binary?
  local d; d=$(mktemp -d)
  printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t){return 0;}\n' >"$d/p.cpp"
  "$1" -fsanitize=fuzzer,address,undefined "$d/p.cpp" -o "$d/p" >/dev/null 2>&1
  local rc=$?; rm -rf "$d"; return $rc
}
need=()
for pkg in libeigen3-dev; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
CXX_FUZZ=$(find_clang || true)
if [ -z "$CXX_FUZZ" ] || ! probe_fuzzer "$CXX_FUZZ"; then
  need+=(clang)
  ver=$(apt-cache policy clang 2>/dev/null | sed -n 's/.*Candidate: 1:\([0-9]*\).*/\1/p' | head -1)
  [ -n "$ver" ] && need+=("libclang-rt-$ver-dev")
fi
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "fuzz: installing ${need[*]}"
  $SUDO apt-get update -qq
  # The runtime package name is only known after the update on a fresh machine.
  if [[ " ${need[*]} " == *" clang "* ]] && [[ " ${need[*]} " != *libclang-rt* ]]; then
    ver=$(apt-cache policy clang | sed -n 's/.*Candidate: 1:\([0-9]*\).*/\1/p' | head -1)
    [ -n "$ver" ] && apt-cache show "libclang-rt-$ver-dev" >/dev/null 2>&1 && need+=("libclang-rt-$ver-dev")
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
  CXX_FUZZ=$(find_clang)
  probe_fuzzer "$CXX_FUZZ" || { echo "fuzz: $CXX_FUZZ cannot link libFuzzer binaries" >&2; exit 1; }
fi
echo "fuzz: compiler $($CXX_FUZZ --version | head -1)"

# --- build ---
mkdir -p "$build/obj"
flags=(-std=c++17 -O1 -g -fno-omit-frame-pointer -ffp-contract=off
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I. -I/usr/include/eigen3)
core_src=(core/*/*.cpp)
targets=()
for f in tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$f" .cpp)
  [ -z "$filter" ] || [[ "$name" == *"$filter"* ]] || continue
  targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no target matches '$filter'" >&2; exit 2; }

# An object is rebuilt when its source or any project header is newer.
newest_header=$(ls -t core/*/*.hpp tests/fuzz/*.hpp | head -1)
export CXX_FUZZ newest_header
start=$(date +%s)
compile_list=()
for src in "${core_src[@]}"; do compile_list+=("$src" "$build/obj/core_$(echo "$src" | tr '/' '_' | sed 's/\.cpp$//').o" -fsanitize=fuzzer-no-link); done
for t in "${targets[@]}"; do compile_list+=("tests/fuzz/$t.cpp" "$build/obj/$t.o" -fsanitize=fuzzer-no-link); done
# Each job: src obj flag (three words); the flags array travels as a string.
printf '%s\n' "${compile_list[@]}" | paste - - - |
  FLAGS="${flags[*]}" xargs -P "$jobs" -L 1 bash -c '
    src=$0 obj=$1 extra=$2
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
      echo "fuzz: compiling $src"
      $CXX_FUZZ $FLAGS $extra -c "$src" -o "$obj" || exit 255
    fi'
core_objs=("$build"/obj/core_*.o)
for t in "${targets[@]}"; do
  "$CXX_FUZZ" "${flags[@]}" -fsanitize=fuzzer "$build/obj/$t.o" "${core_objs[@]}" -o "$build/$t"
done
echo "fuzz: built ${#targets[@]} targets in $(( $(date +%s) - start )) s"

# --- run ---
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_one() {  # target seconds build
  local t=$1 secs=$2 b=$3
  local scratch="$b/corpus/$t" art="$b/artifacts/$t/" seeds="tests/fuzz/corpus/$t"
  mkdir -p "$scratch" "$art"
  [ -d "$seeds" ] || seeds=""
  local log="$b/$t.log"
  local rc=0
  # -timeout: one input taking longer than 10 s counts as a hang.
  "./$b/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$art" "$scratch" $seeds >"$log" 2>&1 || rc=$?
  local execs; execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  local cov; cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $rc) after ${execs:-?} executions; log $log, input in $art"
    grep -m 20 -E 'ERROR|runtime error|invariant|SUMMARY|Test unit written' "$log" || tail -20 "$log"
    return 1
  fi
  echo "fuzz: $t ok: ${execs:-?} executions in ${secs} s, coverage ${cov:-?} edges"
}
export -f run_one
failed=0
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$build" || failed=1
total=0
for t in "${targets[@]}"; do
  e=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$t.log" | tail -1)
  total=$((total + ${e:-0}))
done
echo "fuzz: ${#targets[@]} targets, $total executions in total, $(( $(date +%s) - start )) s"
if [ "$failed" -ne 0 ]; then
  echo "fuzz: FAILED: reproduce with ./$build/<target> <crash-file>" >&2
  exit 1
fi
echo "fuzz: no findings"
