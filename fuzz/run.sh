#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# through CMake's FETCHWRIGHT_FUZZ option, then runs each for the given number of seconds
# (default 30). Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_list_file fuzz_link_scan fuzz_web_url fuzz_content_disposition)

# The default clang++, else the newest versioned one (clang++-N) installed.
CXX="${FUZZ_CXX:-clang++}"
if ! command -v "$CXX" >/dev/null; then
  CXX="$(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -n | tail -n 1 || true)"
  [ -n "$CXX" ] || { echo "fuzz/run.sh: no clang++ found (scripts/setup.sh installs it)" >&2; exit 1; }
fi
out=build-fuzz
cmake -S . -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFETCHWRIGHT_FUZZ=ON -DFETCHWRIGHT_TESTS=OFF -DFETCHWRIGHT_BENCH=OFF >/dev/null
echo "== build ${targets[*]} =="
cmake --build "$out" --target "${targets[@]}" -j "$(nproc)"
for t in "${targets[@]}"; do
  echo "== run $t for ${seconds}s =="
  mkdir -p "$out/corpus-$t"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  ASAN_OPTIONS=detect_leaks=1 "$out/fuzz/$t" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -artifact_prefix="$out/$t-" -print_final_stats=1 "$out/corpus-$t" "${seeds[@]}" 2>&1 | tail -n 15
  test "${PIPESTATUS[0]}" -eq 0
done
echo "fuzzing passed"
