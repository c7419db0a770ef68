#!/usr/bin/env bash
# Runs a test program on a headless weston of its own: a private runtime folder and socket, the
# compositor stopped when the program ends. A missing weston fails: CI installs it (setup.sh).
set -euo pipefail
program="$1"; shift
weston="$(command -v weston || true)"
[ -n "$weston" ] || { echo "weston is not installed (scripts/setup.sh test installs it)" >&2; exit 1; }
runtime="$(mktemp -d "${TMPDIR:-/tmp}/fetchwright-weston-XXXXXX")"
chmod 700 "$runtime"
socket="wayland-fetchwright"
XDG_RUNTIME_DIR="$runtime" "$weston" --backend=headless-backend.so --socket="$socket" --idle-time=0 \
  --no-config >"$runtime/weston.log" 2>&1 &
weston_pid=$!
cleanup() { kill "$weston_pid" 2>/dev/null || true; wait "$weston_pid" 2>/dev/null || true; rm -rf "$runtime"; }
trap cleanup EXIT
# The compositor is ready once its socket is there.
for _ in $(seq 1 200); do
  [ -S "$runtime/$socket" ] && break
  kill -0 "$weston_pid" 2>/dev/null || { cat "$runtime/weston.log" >&2; exit 1; }
  sleep 0.05
done
[ -S "$runtime/$socket" ] || { echo "weston did not start" >&2; cat "$runtime/weston.log" >&2; exit 1; }
# By its full path: the test program gives itself a runtime folder of its own. The window paints
# in shared memory; without a client buffer integration Qt does not load the GL driver either,
# whose own leaks LeakSanitizer cannot name once the driver is unloaded.
WAYLAND_DISPLAY="$runtime/$socket" QT_QPA_PLATFORM=wayland QT_WAYLAND_CLIENT_BUFFER_INTEGRATION=none "$program" "$@"
