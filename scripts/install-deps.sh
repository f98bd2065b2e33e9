#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, asking apt-get
# only for those that are missing, and the browser tests' npm package; does
# nothing when all are present.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    protobuf-compiler libprotobuf-dev
    libmbedtls-dev
    libqt5sql5-sqlite libqt5sql5-psql
    libqt5websockets5-dev
    chromium nodejs
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

# Debian's nodejs leaves npm to a package of its own; NodeSource's brings it.
command -v npm > /dev/null || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests' driver, at the version package-lock.json pins; it drives
# Debian's Chromium and downloads no browser of its own.
browser_tests=tests/browser
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
    [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix "$browser_tests" --no-audit --no-fund --silent
fi
