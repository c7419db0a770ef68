#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Fetchwright need.
# Only missing packages are installed; through sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6svg6
  libcurl4-openssl-dev ca-certificates libidn2-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  fonts-liberation
  iputils-ping openssl
)
# Tools used by the tests, benchmarks and CI checks.
packages+=(xvfb xauth nginx-light wget curl clang
           desktop-file-utils appstream util-linux dbus-daemon)
# The Debian package and its checks: dpkg-shlibdeps (dpkg-dev) and file for CPack, readelf.
packages+=(dpkg-dev file binutils)

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
major="$(clang_major || true)"
runtime_ok=0
if installed libclang-rt-dev || { [ -n "$major" ] && installed "libclang-rt-$major-dev"; }; then runtime_ok=1; fi
[ ${#missing[@]} -eq 0 ] && [ "$runtime_ok" -eq 1 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
if [ "$runtime_ok" -eq 0 ]; then
  if apt-cache show libclang-rt-dev >/dev/null 2>&1; then
    missing+=(libclang-rt-dev)
  else
    major="$(clang_major || true)"
    [ -n "$major" ] || { echo "setup.sh: no clang package found to match a runtime to" >&2; exit 1; }
    missing+=("libclang-rt-$major-dev")
  fi
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
