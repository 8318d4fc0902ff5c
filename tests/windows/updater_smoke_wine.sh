#!/usr/bin/env bash
# korvelt-updater.exe under Wine on a virtual screen: window_probe.exe finds the window by
# its title, checks it, takes its picture and closes it with WM_CLOSE; the program must then
# end by itself. Given korvelt-sim, the probe first searches the generator (on COM8, behind a
# silent COM6 and an analyzer on COM7) and writes its FPGA image through the window, and the
# image the unit received must equal the file.
# usage: updater_smoke_wine.sh PREFIX WINE UPDATER_EXE PROBE_EXE OUT.png [KORVELT_SIM]
set -euo pipefail
prefix=$1 wine=$2 updater=$3 probe=$4 picture=$5 sim=${6:-}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export WINEPREFIX=$prefix WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
# Wine binds a prefix's desktop to the display of the session's first program: this prefix is
# for windows only, and its session starts and ends with this virtual screen.
wineserver=$(dirname "$wine")/wineserver
"$wineserver" -k 2>/dev/null || true
work=$(mktemp -d /tmp/korvelt-wine-smoke-XXXXXX)
source "$(dirname "$0")/wine_sim.sh"
trap 'stop_virtual_instrument; "$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
[ -d "$prefix/drive_c" ] || "$wine" wineboot --init
title="KORVELT (RACK version) FIRMWARE UPDATER 1.0"
# No window manager runs on the virtual screen: Wine draws the caption and frame itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null

probe_args=()
if [ -n "$sim" ]; then
  mkdir -p "$work/data"
  head -c 30000 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
  start_virtual_instrument
  probe_args=(update-generator-fpga 8)
fi

(cd "$work" && exec "$wine" "$updater") &
updater_pid=$!
probe_status=0
"$wine" "$probe" "$title" "$work/window.bmp" 60 "${probe_args[@]}" || probe_status=$?

for _ in $(seq 150); do kill -0 "$updater_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$updater_pid" 2>/dev/null; then
  echo "korvelt-updater.exe did not end after WM_CLOSE" >&2
  kill "$updater_pid"
  exit 1
fi
updater_status=0
wait "$updater_pid" || updater_status=$?
[ -f "$work/window.bmp" ] && python3 "$(dirname "$0")/../../tools/bmp_to_png.py" "$work/window.bmp" "$picture"
[ "$probe_status" -eq 0 ] || { echo "window checks failed" >&2; exit 1; }
[ "$updater_status" -eq 0 ] || { echo "korvelt-updater.exe ended with $updater_status" >&2; exit 1; }
echo "picture: $picture"

if [ -n "$sim" ]; then
  stop_virtual_instrument
  image_received "$work/data/GENERATOR_FPGA.bin" "$work/received/COM8-fpga.bin"
  echo "images equal: yes"
fi
