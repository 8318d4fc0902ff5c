#!/usr/bin/env bash
# korvelt-cli.exe under Wine against the virtual instrument on Linux pseudo-terminals: Wine's
# dosdevices/comN links name the ptys, so the program talks to them through the Win32 COM API.
# usage: cli_e2e_wine.sh PREFIX WINE KORVELT_CLI_EXE KORVELT_SIM
set -euo pipefail
prefix=$1 wine=$2 cli=$3 sim=$4
work=$(mktemp -d /tmp/korvelt-wine-e2e-XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill -INT "$sim_pid"; wait "$sim_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/data" "$work/ports" "$prefix/dosdevices"
head -c 40000 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
head -c 6000 /dev/urandom > "$work/data/GENERATOR_MCU(rack).bin"

# An analyzer on COM7 and a silent port on COM6 stand before the generator on COM8.
"$sim" --port-dir "$work/ports" --ports 6=silent,7=analyzer,8=generator --baud 0 \
  --report "$work/report.json" --dump "$work/received" > "$work/ready.json" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
[ -s "$work/ready.json" ] || { echo "the virtual instrument did not start" >&2; exit 1; }
for n in 6 7 8; do ln -sfn "$(readlink -f "$work/ports/COM$n")" "$prefix/dosdevices/com$n"; done

status=0
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  search-generator generator-fpga open generator-mcu) || status=$?
kill -INT "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
rm -f "$prefix/dosdevices/com6" "$prefix/dosdevices/com7" "$prefix/dosdevices/com8"
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe ended with status $status" >&2; exit 1; }

verdict=yes
check() {  # sent-image received-file
  if cmp -s -n "$(stat -c %s "$1")" "$1" "$2"; then echo "  $(basename "$1"): equal"
  else echo "  $(basename "$1"): DIFFERENT"; verdict=no; fi
}
check "$work/data/GENERATOR_FPGA.bin" "$work/received/COM8-fpga.bin"
check "$work/data/GENERATOR_MCU(rack).bin" "$work/received/COM8-mcu.bin"
echo "images equal: $verdict"
[ "$verdict" = yes ]
