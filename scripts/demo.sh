#!/usr/bin/env bash
# make demo: the uploader against a simulated GCU on the virtual USB bus, in
# offline-loader mode so that every button can be tried. With a display the
# window opens there; without one (CI, a server) it runs under Xvfb, waits until
# the simulated GCU is listed and saves a screenshot of the window.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/install-deps.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" > /dev/null
bin=$top/build/bin
bus_library=$top/build/tools/virtualusb/libvirtualusb.so
screenshot=${ORV_DEMO_SCREENSHOT:-$top/build/demo-screenshot.png}

work=$(mktemp -d /tmp/orv-demo-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    wait 2> /dev/null || true
}
trap cleanup EXIT

export ORV_VIRTUAL_USB_DIR=$work/bus
mkdir -p "$ORV_VIRTUAL_USB_DIR"

# A device key for the simulated GCU and a firmware file packed for it.
"$bin/gcu-keytool" genkey "$work/device.pem" 2048
"$bin/gcu-keytool" orvkc "$work/device.pem" "$work/device.orvkc"
head -c 131072 /dev/urandom > "$work/image.bin"
"$bin/gcu-fwpack" --image "$work/image.bin" --device-key "$work/device.orvkc" \
    --out "$work/demo-firmware.enc" --version 1.3.0 > /dev/null

# An update server on loopback that offers the packed file as version 1.3.0.
server_port=$((20000 + RANDOM % 20000))
"$bin/update-server-sim" --port "$server_port" --version "1.3.0=$work/demo-firmware.enc" \
    > "$work/update-server-sim.log" 2>&1 &
pids+=($!)

# The demo's own settings: offline-loader mode, the user's settings untouched.
export XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_CONFIG_HOME/Orvane"
printf '[ui]\nofflineLoader=true\n[network]\nhost=127.0.0.1\nport=%s\n' "$server_port" \
    > "$XDG_CONFIG_HOME/Orvane/Uploader.conf"

"$bin/gcu-sim" --serial DEMO0001 --version 1.2.3 --device-key "$work/device.pem" \
    --flash-out "$work/flashed.bin" > "$work/gcu-sim.out" 2> "$work/gcu-sim.log" &
pids+=($!)

cat <<MSG
Simulated GCU DEMO0001 (firmware 1.2.3) is on the virtual USB bus.
Try: Connect, Bootloader (the GCU re-enumerates), then Upload file with
  $work/demo-firmware.enc
Read key saves the GCU's device keychain. After Connect, "Connect to server"
reaches a simulated update server on 127.0.0.1:$server_port that offers 1.3.0:
pick it and press "Upload firmware" for a server-driven update.
Files of this run are in $work.
MSG

if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
    LD_PRELOAD=$bus_library "$bin/uploader"
    exit 0
fi

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done
DISPLAY=$display LD_PRELOAD=$bus_library "$bin/uploader" > "$work/uploader.out" 2>&1 &
pids+=($!)

# The window logs every line of its log pane on standard output too.
for _ in $(seq 200); do
    grep -q '^log: Port changed' "$work/uploader.out" && break
    sleep 0.1
done
if ! grep -q '^log: Port changed' "$work/uploader.out"; then
    echo "make demo: the simulated GCU did not show up in the window" >&2
    cat "$work/uploader.out" >&2
    exit 1
fi
sleep 0.5
DISPLAY=$display import -window root -crop 543x431+0+0 "$screenshot"
echo "make demo: no display, ran under Xvfb; screenshot of the window: $screenshot"
