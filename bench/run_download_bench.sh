#!/usr/bin/env bash
# Builds and runs the download benchmark with its full sizes (2,000 x 4 KB, 256 MB, 10,000 names).
# Needs nginx (/usr/sbin/nginx), wget and curl; about 1 GB of free space in the temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target bench_download
exec ./build/bench/bench_download "$@"
