#!/usr/bin/env bash
# Fuzzes the list-file reader and the link scanner for about 30 seconds each.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash fuzz/run.sh "${FUZZ_SECONDS:-30}"
