#!/usr/bin/env bash
# Runs a test program on an Xvfb of its own. The server picks a free display itself and names it
# (-displayfd), so copies started at once never meet. A missing Xvfb fails: CI installs it (setup.sh).
set -euo pipefail
program="$1"; shift
xvfb="$(command -v Xvfb || true)"
[ -n "$xvfb" ] || { echo "Xvfb is not installed (scripts/setup.sh test installs it)" >&2; exit 1; }
work="$(mktemp -d "${TMPDIR:-/tmp}/fetchwright-xvfb-XXXXXX")"
mkfifo "$work/display"
"$xvfb" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
cleanup() { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
# The server writes its display number once it takes clients.
read -r -t 30 number <"$work/display" || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
# The window paints with the raster engine: no GL driver is loaded. libxkbcommon-x11 copies the
# server's key names with strndup and a length past their end, which AddressSanitizer's strict
# string checks count as a read past the buffer; the copy itself stops at the name's end.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
DISPLAY=":$number" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none "$program" "$@"
