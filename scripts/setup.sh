#!/usr/bin/env bash
# Installs the Debian packages Fetchwright needs. `setup.sh run`: what building and running it
# need; `setup.sh run-xvfb`: that and a virtual display (xvfb-run). `setup.sh test` (the
# default): what running needs, and the tools of the tests, benchmarks and CI checks.
# Only missing packages are installed, through sudo when not root. The one system service the
# tests bring, the web server (nginx), is kept from starting and left disabled when this install
# brought it: the benchmarks start their own. No other package's service is touched.
set -euo pipefail

purpose="${1:-test}"
case "$purpose" in
  run | run-xvfb | test) ;;
  *) echo "usage: $0 [run|run-xvfb|test]" >&2; exit 2 ;;
esac

# Building and running.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6svg6
  qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  libcurl4-openssl-dev libssl-dev ca-certificates libidn2-dev libpsl-dev publicsuffix libpcre2-dev libproxy-dev libxcb1-dev
  fonts-liberation iputils-ping
)
if [ "$purpose" = run-xvfb ]; then
  packages+=(xvfb xauth)
fi
if [ "$purpose" = test ]; then
  # The tests: GoogleTest, the loopback server, certificates for the TLS cases.
  packages+=(libgtest-dev libgmock-dev libcpp-httplib-dev openssl)
  # Tools used by the tests, benchmarks and CI checks.
  packages+=(xvfb xauth nginx-light wget curl aria2 clang
             desktop-file-utils appstream util-linux dbus-daemon
             weston qt6-wayland libproxy1-plugin-webkit)
  # The Debian package and its checks: dpkg-shlibdeps (dpkg-dev) and file for CPack, readelf.
  packages+=(dpkg-dev file binutils)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The major version of the default clang (clang depends on clang-N), installed or available.
clang_major() {
  { dpkg-query -W -f='${Depends}\n' clang 2>/dev/null; apt-cache depends clang 2>/dev/null; } |
    grep -o 'clang-[0-9]\+' | head -n 1 | cut -d- -f2
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# clang's sanitizer and fuzzer runtimes, for the version of clang installed. Some releases name
# them only by version (libclang-rt-N-dev), newer ones also without (libclang-rt-dev).
runtime_ok=1
if [ "$purpose" = test ]; then
  major="$(clang_major || true)"
  runtime_ok=0
  if installed libclang-rt-dev || { [ -n "$major" ] && installed "libclang-rt-$major-dev"; }; then runtime_ok=1; fi
fi
[ ${#missing[@]} -eq 0 ] && [ "$runtime_ok" -eq 1 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# apt-get, waiting while another program (unattended upgrades, a software centre) holds the
# package system's locks instead of failing at once.
apt_waiting() {
  local log tries=0 status
  log="$(mktemp)"
  while :; do
    status=0
    $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@" 2>"$log" || status=$?
    cat "$log" >&2
    if [ "$status" -ne 0 ] && [ "$tries" -lt 60 ] && grep -qiE 'could not get lock|unable to lock|another process' "$log"; then
      tries=$((tries + 1))
      echo "setup.sh: another program is using the package system; waiting ..." >&2
      sleep 10
      continue
    fi
    rm -f "$log"
    return "$status"
  done
}

apt_waiting update -q
if [ "$runtime_ok" -eq 0 ]; then
  if apt-cache show libclang-rt-dev >/dev/null 2>&1; then
    missing+=(libclang-rt-dev)
  else
    major="$(clang_major || true)"
    [ -n "$major" ] || { echo "setup.sh: no clang package found to match a runtime to" >&2; exit 1; }
    missing+=("libclang-rt-$major-dev")
  fi
fi

list_packages() { dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null | awk '$1 == "ii" { print $2 }' | sort; }
before="$(list_packages)"

# The test web server (nginx, for the benchmarks) must not start from the install: the
# benchmarks run their own on loopback. scripts/policy-rc.d keeps that one service from starting
# and lets every other start as usual, unless the machine has a policy of its own, which is left alone.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  $SUDO install -m 755 "$(dirname "$0")/policy-rc.d" "$policy"
  own_policy=1
fi
remove_policy() { if [ "$own_policy" -eq 1 ]; then $SUDO rm -f "$policy"; own_policy=0; fi; }
trap remove_policy EXIT

echo "Installing: ${missing[*]}"
apt_waiting install -y -q --no-install-recommends "${missing[@]}"
remove_policy

# When this install brought the test web server, it is also kept from starting at boot. Only the
# services the project names are touched: those of other packages, dependencies included
# (procps, x11-common, dbus), stay as their packages set them.
test_services=("nginx-common:nginx")
installed_now="$(comm -13 <(echo "$before") <(list_packages))"
for entry in "${test_services[@]}"; do
  pkg="${entry%%:*}" service="${entry#*:}"
  grep -qx "$pkg" <<<"$installed_now" || continue
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl disable --quiet "$service.service" 2>/dev/null || true
    if [ -d /run/systemd/system ]; then $SUDO systemctl stop "$service.service" 2>/dev/null || true; fi
  fi
  if [ -e "/etc/init.d/$service" ]; then $SUDO update-rc.d "$service" disable >/dev/null 2>&1 || true; fi
  echo "setup.sh: the test web server's service $service (from $pkg) is left disabled and stopped; the benchmarks start their own"
done
