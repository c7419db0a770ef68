#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Fetchwright need.
# Only missing packages are installed; through sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6svg6
  libcurl4-openssl-dev ca-certificates
  libgtest-dev libgmock-dev libcpp-httplib-dev
  fonts-liberation
  iputils-ping
)
# Tools used by the tests, benchmarks and CI checks.
packages+=(xvfb xauth nginx-light wget curl clang libclang-rt-14-dev
           desktop-file-utils appstream util-linux dbus-daemon)
# The Debian package and its checks: dpkg-shlibdeps (dpkg-dev) and file for CPack, readelf.
packages+=(dpkg-dev file binutils)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
