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
export WINEPREFIX=$prefix WINEDEBUG=-all
work=$(mktemp -d /tmp/korvelt-wine-smoke-XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill -INT "$sim_pid"; wait "$sim_pid" || true; fi
  rm -f "$prefix/dosdevices/com6" "$prefix/dosdevices/com7" "$prefix/dosdevices/com8"
  rm -rf "$work"
}
trap cleanup EXIT
title="KORVELT (RACK version) FIRMWARE UPDATER 1.0"
# No window manager runs on the virtual screen: Wine draws the caption and frame itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null

probe_args=()
if [ -n "$sim" ]; then
  mkdir -p "$work/data" "$work/ports"
  head -c 30000 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
  "$sim" --port-dir "$work/ports" --ports 6=silent,7=analyzer,8=generator --baud 0 \
    --dump "$work/received" > "$work/ready.json" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
  for n in 6 7 8; do ln -sfn "$(readlink -f "$work/ports/COM$n")" "$prefix/dosdevices/com$n"; done
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
  kill -INT "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=""
  size=$(stat -c %s "$work/data/GENERATOR_FPGA.bin")
  if cmp -s -n "$size" "$work/data/GENERATOR_FPGA.bin" "$work/received/COM8-fpga.bin"; then
    echo "images equal: yes"
  else
    echo "images equal: NO" >&2
    exit 1
  fi
fi
