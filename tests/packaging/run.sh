#!/usr/bin/env bash
# Builds the Debian packages, unpacks them into a staging root, builds the two
# consumer programs against the staged -dev package and runs them and gcutool on
# the staged libraries alone; lintian (scripts/install-deps.sh installs it) must
# find no error and no warning that the packages do not override.
set -euo pipefail
build=$1 source=$2 preload=$3
command -v lintian > /dev/null ||
    { echo "lintian is not installed (scripts/install-deps.sh installs it)"; exit 1; }
work=$(mktemp -d /tmp/orv-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root

cpack -G DEB -B "$work/debs" --config "$build/CPackConfig.cmake" > "$work/cpack.log" ||
    { cat "$work/cpack.log"; exit 1; }
debs=("$work"/debs/*.deb)
names=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done | sort | tr '\n' ' ')
[ "$names" = "gcutool liborv-common-dev liborv-common0 orv-uploader " ] ||
    { echo "unexpected packages: $names"; exit 1; }
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root"
done

multiarch=$(gcc -print-multiarch)
libdir=$root/usr/lib/$multiarch
test -L "$libdir/libORV-Common.so"
test -f "$root/usr/share/man/man1/gcutool.1.gz"
test -f "$root/usr/share/man/man1/uploader.1.gz"
test -f "$root/usr/lib/udev/rules.d/70-orv-gcu.rules"
if readelf -d "$root/usr/bin/gcutool" | grep -q 'R\(UN\)\?PATH'; then
    echo "gcutool keeps a run path"; exit 1
fi

cmake -S "$source/tests/consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$root/usr" > /dev/null
cmake --build "$work/with-cmake" > /dev/null
# The file names /usr as its prefix; the staged copy is where it is now.
mkdir "$work/pkgconfig"
sed "s|^prefix=.*|prefix=$root/usr|" "$libdir/pkgconfig/orv-common.pc" > "$work/pkgconfig/orv-common.pc"
g++ -std=c++17 -fPIC "$source/tests/consumer/main.cpp" -o "$work/with-pkg-config" \
    $(PKG_CONFIG_PATH=$work/pkgconfig pkg-config --cflags --libs orv-common)

mkdir "$work/bus"
export ORV_VIRTUAL_USB_DIR=$work/bus LD_LIBRARY_PATH=$libdir
for consumer in "$work/with-cmake/consumer" "$work/with-pkg-config"; do
    LD_PRELOAD=$preload "$consumer"
done
"$root/usr/bin/gcutool" udev-rule | grep -q ID_MM_DEVICE_IGNORE
LD_PRELOAD=$preload "$root/usr/bin/gcutool" list --json --trace "$work/list.trace" |
    grep -q '"devices":\[\]'
test -f "$work/list.trace"
# A system with the current rule in place and nothing in the way: no problem found.
mkdir -p "$work/system/etc/udev/rules.d" "$work/system/proc"
"$root/usr/bin/gcutool" udev-rule > "$work/system/etc/udev/rules.d/70-orv-gcu.rules"
LD_PRELOAD=$preload "$root/usr/bin/gcutool" doctor --root "$work/system" --json |
    grep -q '"problems":0'

lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}"
