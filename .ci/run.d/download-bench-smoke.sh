#!/usr/bin/env bash
# A small run of the download benchmark: it must complete with every file intact. Its speed
# figures are printed for the log only; the full run is bench/run_download_bench.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
./build/bench/bench_download --small 200 --big-mb 16 --https-small 50 --https-mb 8 --names 2000 --rounds 1
# The latency workload, tiny: through the latency proxy, every file must arrive intact.
if command -v aria2c >/dev/null 2>&1; then
  # The many-servers workload stays out of it: it would lengthen the step, and the full run has it.
  # The loopback section runs at small sizes.
  timeout 900 ./build/bench/bench_latency --small 30 --big-mb 8 --https-small 30 --https-mb 8 --rtt-ms 40 --rounds 1 --no-many --limited-mb 8 \
    --long 300 --cost 100 --cost-mb 8 --window-small 100 --window-mb 8 --memory-run 300
else
  echo "latency workload skipped: aria2c (Debian package aria2) is not installed, and it is one of the peers"
fi
