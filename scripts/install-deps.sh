#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, asking apt-get
# only for those that are missing; does nothing when all are present.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    protobuf-compiler libprotobuf-dev
    libmbedtls-dev
    libqt5sql5-sqlite libqt5sql5-psql
    postgresql-15 postgresql-common
    libgtest-dev libgmock-dev
    xvfb xauth x11-apps imagemagick
    dpkg-dev file lintian fakeroot
)
if [ "${ORV_NEED_CLANG:-0}" = 1 ]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
