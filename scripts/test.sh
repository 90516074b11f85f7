#!/usr/bin/env bash
# Cross-builds the arm64 tools package (scripts/package.sh --arch arm64), then
# builds Pylax three times and runs every test in each build: once as shipped
# (warnings are errors), once with the address and undefined-behaviour
# sanitizers, since the link works in fixed buffers and an overrun must fail
# a test rather than pass silently, and once, the Qt-free targets only, with
# the thread sanitizer, since two links in one process must share nothing. The plain build's tests also build the
# Debian packages from it (scripts/package.sh, the ctest fixture
# Package.build) and check them, lintian included, and run the arm64
# package's programs under qemu-user beside the amd64 ones. Then each fuzz target runs
# briefly (10 s) in a clang build of its own; a new finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# Debug information takes a third of the compile time and the tests do not
# read it: the plain build is optimised as shipped (-O2) without it; the
# sanitizer builds take -O1 (their runtime's advice) with line tables only,
# enough for the stack traces they print.
release=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")
sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

# Most of a test's time is spent waiting on a simulated line, a broker, a
# database or a browser (the tests use about an eighth of two cores), so
# twice as many run at once as there are cores.
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j $((jobs * 2)) --timeout 600
}

# The arm64 tools package first (the Qt-free targets, cross-built, about 2.5
# minutes), so that the plain build, configured after it, registers the test
# that runs its programs under qemu-user. It is cross-built from amd64 only.
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  bash scripts/package.sh --arch arm64
fi
run_build build "${release[@]}" -DPYLAX_WERROR=ON
# Qt and fontconfig keep caches alive until exit; leak reports from them
# would drown ours, so the sanitizer run checks memory errors, not leaks.
# GCC's flow warnings are unreliable with the sanitizers' instrumentation
# (false "maybe uninitialized" inside std::regex), so only the plain build
# treats warnings as errors.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_build build-asan "${sanitized[@]}" -DPYLAX_SANITIZE=ON -DPYLAX_BUILD_BENCH=OFF

# Debian's Qt is not built with the thread sanitizer, so this build leaves
# the windows out (PYLAX_SANITIZE=thread does).
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan-suppressions.txt" \
  run_build build-tsan "${sanitized[@]}" -DPYLAX_SANITIZE=thread -DPYLAX_BUILD_BENCH=OFF

bash scripts/fuzz.sh 10
