#!/usr/bin/env bash
# Builds and runs the latency benchmark with its full sizes: 300 x 16 KB and one 128 MB file,
# round trips of 40 and 150 ms at 200 Mbit/s, http (HTTP/1.1) and https (HTTP/2), and 600 x 16 KB
# over 60 https host names (a private hosts file in a mount namespace: unshare -m, as root), the
# program at 4 (its default) and 8 connections against its peers at their defaults and at the
# same counts, wall time and CPU seconds, 3 interleaved rounds (over an hour). Then the loopback
# section, straight from nginx with no proxy: 100,000 x 4 KB at 8 at once (files/s, CPU ms a file,
# the window's longest event gap), CPU of 3,000 x 4 KB (http, https HTTP/2) and of one 512 MB file
# (http, https HTTP/1.1 and HTTP/2) against the leanest peer, wall time of 2,000 x 4 KB and of one
# 256 MB file against the faster of wget and curl, and the memory an entry of a 20,000-file run
# costs. Needs nginx (/usr/sbin/nginx), wget, curl, aria2c, xvfb-run and openssl; about 3 GB of
# free space in the temporary folder. Options go to the program (e.g. --rounds 1 --rtt-ms 40,
# --no-loopback, or --loopback-only).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DFETCHWRIGHT_BENCH=ON >/dev/null
cmake --build build --target bench_latency
exec ./build/bench/bench_latency "$@"
