#!/usr/bin/env bash
# Installs the build into a staging folder and builds a tiny consumer of the
# library twice, with find_package and with pkg-config; each sends a ping frame.
set -euo pipefail
build=$1 source=$2 preload=$3
work=$(mktemp -d /tmp/orv-consumer-XXXXXX)
trap 'rm -rf "$work"' EXIT
staging=$work/staging
mkdir "$work/bus"

cmake --install "$build" --prefix "$staging" > "$work/install.log"
libdir=$(dirname "$(find "$staging" -name 'libORV-Common.so' | head -n 1)")
test -f "$staging/bin/uploader"
test -f "$staging/include/orv/comport.h"
test -f "$staging/share/applications/orv-uploader.desktop"
test -f "$staging/lib/udev/rules.d/70-orv-gcu.rules"
test -f "$staging/share/man/man1/gcutool.1.gz"
test -f "$staging/share/bash-completion/completions/gcutool"

# The installed gcutool runs on the installed libraries alone.
"$staging/bin/gcutool" udev-rule | grep -q ID_MM_DEVICE_IGNORE
ORV_VIRTUAL_USB_DIR=$work/bus LD_PRELOAD=$preload "$staging/bin/gcutool" list --json |
    grep -q '"devices":\[\]'

cmake -S "$source/tests/consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$staging" > /dev/null
cmake --build "$work/with-cmake" > /dev/null

export PKG_CONFIG_PATH=$libdir/pkgconfig
g++ -std=c++17 -fPIC "$source/tests/consumer/main.cpp" -o "$work/with-pkg-config" \
    $(pkg-config --cflags --libs orv-common)

for consumer in "$work/with-cmake/consumer" "$work/with-pkg-config"; do
    ORV_VIRTUAL_USB_DIR=$work/bus LD_PRELOAD=$preload LD_LIBRARY_PATH=$libdir "$consumer"
done
