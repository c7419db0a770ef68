#!/usr/bin/env bash
# ThreadSanitizer over the tests of the folders in TSAN_TEST_DIRS (default: support download app):
# a data race that a test meets in the program's own code, or in the tests' own, fails it (exit
# code 66). Debian's Qt, libdbus and GLib are not instrumented; the reports that lie wholly inside
# them are suppressed in .ci/tsan.supp, each with its reason. The test harness starts Qt's child
# processes past the sanitizer's clone and primes the test server's library (tests/harness).
set -euo pipefail
cd "$(dirname "$0")/../.."
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY || true
jobs=$(nproc)

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFETCHWRIGHT_TSAN=ON \
  -DFETCHWRIGHT_TESTS=ON -DFETCHWRIGHT_BENCH=OFF
dirs=${TSAN_TEST_DIRS:-support download app}
# Every test program of each folder (a folder may hold more than one), and what they start.
targets=()
for dir in $dirs; do targets+=("tests/${dir}/all"); done
cmake --build build-tsan -j "$jobs" --target "${targets[@]}"

# die_after_fork=0: the command runner and the tests that start copies of the program fork from
# a process with threads; the child only sets up its descriptors and calls exec.
export TSAN_OPTIONS="suppressions=$PWD/.ci/tsan.supp halt_on_error=0 exitcode=66 die_after_fork=0 second_deadlock_stack=1"
status=0
for dir in $dirs; do
  echo "== ThreadSanitizer: tests/$dir =="
  start=$SECONDS
  (cd "build-tsan/tests/$dir" && ctest --output-on-failure -j "$jobs") || status=1
  echo "tests/$dir took $((SECONDS - start)) s"
done
exit "$status"
