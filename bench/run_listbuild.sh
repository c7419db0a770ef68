#!/usr/bin/env bash
# Runs the list-building benchmarks: link extraction of a 50 MB page beside grep, loading a
# 1,000,000-line list file, and both filters over 1,000,000 entries beside grep.
# Usage: bench/run_listbuild.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
cmake --build "$build" --target bench_links bench_listfile bench_filters
for b in bench_links bench_listfile bench_filters; do
  echo "== $b =="
  "$build/bench/$b"
done
