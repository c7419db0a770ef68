#!/usr/bin/env bash
# A small run of the download benchmark: it must complete with every file intact. Its speed
# figures are printed for the log only; the full run is bench/run_download_bench.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
./build/bench/bench_download --small 200 --big-mb 16 --https-small 50 --https-mb 8 --names 2000 --rounds 1
