#!/usr/bin/env bash
# Desktop installation checks: install into a temporary prefix and compare the file list, validate
# the desktop entry and the AppStream metainfo, start the program from the entry's Exec line,
# then build the Debian package and check its contents and Depends; last, what set-up does
# without a display, which services it keeps from starting, and the README's build size.
# Reuses build/ when `make test` made it; runs offline and without a display.
set -euo pipefail
cd "$(dirname "$0")/../.."
export QT_QPA_PLATFORM=offscreen
build=${BUILD_DIR:-build}
id=example.quillmoor.Fetchwright

fail() { echo "install-checks: FAIL: $*" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja
fi
cmake --build "$build" --target fetchwright

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

expected_files() {
  local sizes=(16 24 32 48 64 128 256)
  echo bin/fetchwright
  echo "share/applications/$id.desktop"
  echo "share/dbus-1/services/$id.service"
  echo "share/icons/hicolor/scalable/apps/$id.svg"
  for s in "${sizes[@]}"; do echo "share/icons/hicolor/${s}x${s}/apps/$id.png"; done
  echo "share/metainfo/$id.metainfo.xml"
}
expected_files | LC_ALL=C sort > "$work/expected"
(cd "$prefix" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort) > "$work/installed"
if ! diff -u "$work/expected" "$work/installed"; then
  fail "the install prefix does not hold exactly the expected files (- expected, + installed)"
fi
echo "install-checks: prefix holds the $(wc -l < "$work/expected") expected files"

desktop="$prefix/share/applications/$id.desktop"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
desktop-file-validate "$desktop" || fail "desktop-file-validate: $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate: $metainfo"

# The pieces must name each other: entry -> icon and program, metainfo -> entry, program -> entry.
entry_value() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry_value Icon)" = "$id" ] || fail "Icon= is not $id"
exec_line=$(entry_value Exec)
# The field codes (%U: the entries given) are the desktop's to fill; the menu gives none.
exec_line=${exec_line// %[fFuU]/}
[ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec=$exec_line does not name the installed program"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
  || fail "the metainfo's launchable is not $id.desktop"
service="$prefix/share/dbus-1/services/$id.service"
grep -qx "Name=$id" "$service" || fail "the D-Bus service file does not name $id"
grep -qx "Exec=$prefix/bin/fetchwright" "$service" || fail "the D-Bus service file does not start the installed program"
grep -qx "DBusActivatable=true" "$desktop" || fail "the desktop entry is not D-Bus activatable"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

# Start the program the way the menu does, with its own settings location; it must stay up.
mkdir -p "$work/home"
(cd "$work/home" && HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" PATH="$prefix/bin:$PATH" \
   exec $exec_line </dev/null >"$work/run.log" 2>&1) &
pid=$!
sleep 3
if ! kill -0 "$pid" 2>/dev/null; then
  cat "$work/run.log" >&2
  fail "the program started from Exec=$exec_line ended within 3 s"
fi
kill "$pid"; wait "$pid" 2>/dev/null || true
echo "install-checks: Exec=$exec_line starts the installed program"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
debs=("$work"/pkg/fetchwright_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no fetchwright_*.deb"
deb=${debs[0]}
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | LC_ALL=C sort > "$work/packaged"
diff -u "$work/expected" "$work/packaged" || fail "the package does not hold exactly the expected files under /usr"
depends=$(dpkg-deb -f "$deb" Depends)
echo "install-checks: Depends: $depends"
has_dep() { printf '%s\n' "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | grep -qx "$1"; }
has_dep libqt6widgets6 || fail "Depends does not name libqt6widgets6"
# Every shared library the program loads must come from a package that Depends names.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
needed=$(readelf -d "$prefix/bin/fetchwright" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  owners=$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | grep -v '^diversion' | sed 's|: /.*||' \
             | tr ',' '\n' | sed 's/^ *//; s/:.*//' | sort -u)
  [ -n "$owners" ] || fail "no Debian package owns $lib"
  found=""
  for p in $owners; do has_dep "$p" && found=$p; done
  [ -n "$found" ] || fail "Depends names none of the packages that own $lib: $owners"
done
if printf '%s\n' "$needed" | grep -q '^libcurl'; then
  printf '%s\n' "$depends" | grep -q 'libcurl' || fail "Depends does not name libcurl"
else
  echo "install-checks: note: the program does not load libcurl yet, so Depends cannot name it"
fi
# Set-up. `make run` without a display says so, and how to get one, before it installs or builds
# anything; what it names exists.
nobuild="$work/no-display-build"
if out=$(env -u DISPLAY -u WAYLAND_DISPLAY make --no-print-directory run BUILD_DIR="$nobuild" 2>&1); then
  fail "make run without a display went ahead"
fi
grep -q "no display" <<<"$out" && grep -q "make run-xvfb" <<<"$out" || fail "make run without a display does not say what to do: $out"
[ ! -e "$nobuild" ] || fail "make run without a display began configuring or building"
grep -q '^run-xvfb:' Makefile || fail "make run's advice names a run-xvfb target the Makefile lacks"
grep -q 'make run-xvfb' README.md || fail "the README does not give make run's advice for a machine without a display"
grep -A1 '"$purpose" = run-xvfb' scripts/setup.sh | grep -q 'xvfb xauth' || fail "setup.sh run-xvfb does not install xvfb and xauth"
echo "install-checks: make run without a display stops at once and names make run-xvfb"

# setup.sh keeps only the test web server from starting: its install-time policy forbids nginx
# and allows every other service (a dependency's, such as procps or x11-common).
policy_rc=scripts/policy-rc.d
status=0; sh "$policy_rc" --quiet nginx start || status=$?
[ "$status" -eq 101 ] || fail "policy-rc.d lets nginx start (status $status)"
for service in procps x11-common dbus; do
  sh "$policy_rc" --quiet "$service" start || fail "policy-rc.d keeps $service from starting"
done
# Where boot scripts are links, a dependency's that is installed is still enabled after setup.sh.
for service in procps x11-common; do
  [ -e "/etc/init.d/$service" ] || continue
  if compgen -G "/etc/rc?.d/K??$service" >/dev/null && ! compgen -G "/etc/rc?.d/S??$service" >/dev/null; then
    fail "the boot script of $service is disabled"
  fi
done
echo "install-checks: only the test web server's service is kept from starting"

# The README's size of the build folder after `make test` holds within a factor of two.
if grep -q '^FETCHWRIGHT_TESTS:BOOL=ON' "$build/CMakeCache.txt"; then
  said=$(tr '\n' ' ' < README.md | grep -o 'about [0-9]* MB *after `make test`' | grep -o '[0-9]*' | head -n 1 || true)
  [ -n "$said" ] || fail "the README gives no size of the build folder after make test"
  measured=$(du -sm "$build" | cut -f1)
  if [ "$measured" -gt $((said * 2)) ] || [ "$measured" -lt $((said / 2)) ]; then
    fail "the build folder takes $measured MB, the README says about $said MB"
  fi
  echo "install-checks: the build folder takes $measured MB (the README: about $said MB)"
fi
echo "install-checks: OK"
