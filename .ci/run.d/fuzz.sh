#!/usr/bin/env bash
# Fuzzes the list-file reader, the link scanner and the file naming for about 30 seconds each.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash fuzz/run.sh "${FUZZ_SECONDS:-30}"
