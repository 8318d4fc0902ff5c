#!/usr/bin/env bash
# The dialog on the virtual instrument: a generator on COM3, an analyzer on COM4, demo images
# in the working folder's data/. Press "Search Signal Generator" to begin.
set -euo pipefail
build=${1:-build}
work=$(mktemp -d /tmp/korvelt-demo-gui-XXXXXX)
mkdir -p "$work/data" "$work/ports"
head -c 65536 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
head -c 8192 /dev/urandom > "$work/data/GENERATOR_MCU(rack).bin"
head -c 32768 /dev/urandom > "$work/data/ANALYZER_FPGA.bin"
head -c 8192 /dev/urandom > "$work/data/ANALYZER_MCU(rack).bin"
"$build/korvelt-sim" --port-dir "$work/ports" --ports 3=generator,4=analyzer \
  --report "$work/report.json" > "$work/ready.json" &
sim_pid=$!
trap 'kill -INT $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; cat "$work/report.json" 2>/dev/null; rm -rf "$work"' EXIT
sleep 0.5
app="$(pwd)/$build/frontends/qt/korvelt-updater"
cd "$work"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  KORVELT_PORT_DIR="$work/ports" "$app"
else
  echo "No display: the dialog runs headless for 3 seconds."
  KORVELT_PORT_DIR="$work/ports" QT_QPA_PLATFORM=offscreen timeout 3 "$app" || true
fi
