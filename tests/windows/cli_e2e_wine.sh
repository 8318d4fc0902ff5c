#!/usr/bin/env bash
# korvelt-cli.exe under Wine against the virtual instrument on Linux pseudo-terminals: Wine's
# dosdevices/comN links name the ptys, so the program talks to them through the Win32 COM API.
# First both generators at once (--units: one child process each, started with CreateProcess)
# with a report; then it searches the generator behind a silent port and an analyzer, and
# writes its FPGA image and its MCU firmware (the MCU update switches the line to even parity).
# usage: cli_e2e_wine.sh PREFIX WINE KORVELT_CLI_EXE KORVELT_SIM
set -euo pipefail
prefix=$1 wine=$2 cli=$3 sim=$4
work=$(mktemp -d /tmp/korvelt-wine-e2e-XXXXXX)
source "$(dirname "$0")/wine_sim.sh"
trap 'stop_virtual_instrument; rm -rf "$work"' EXIT
mkdir -p "$work/data"
head -c 40000 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
head -c 6000 /dev/urandom > "$work/data/GENERATOR_MCU(rack).bin"
start_virtual_instrument

status=0
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  --units 8,9 --report report.json generator-fpga) || status=$?
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe --units ended with status $status" >&2; exit 1; }
python3 - "$work/report.json" <<'CHECK'
import json, sys
units = json.load(open(sys.argv[1]))["units"]
assert [u["port"] for u in units] == ["COM8", "COM9"], units
assert all(u["outcome"] == "ok" and u["kind"] == "generator" for u in units), units
print("report: two units, both ok")
CHECK

# File names beyond the ANSI code page: the command line is read as UTF-16, paths as UTF-8.
head -c 3000 /dev/urandom > "$work/aux-Ω名.bin"
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  --port 8 --report "report-Ω名.json" "aux-fpga=aux-Ω名.bin") || status=$?
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe with UTF-8 names ended with status $status" >&2; exit 1; }
python3 - "$work/report-Ω名.json" <<'CHECK'
import json, sys
step = json.load(open(sys.argv[1], encoding="utf-8"))["units"][0]["steps"][0]
assert step["outcome"] == "ok" and step["file"] == "aux-Ω名.bin", step
print("report: the file's name as given")
CHECK

(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  search-generator generator-fpga open generator-mcu) || status=$?
stop_virtual_instrument
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe ended with status $status" >&2; exit 1; }

image_received "$work/data/GENERATOR_FPGA.bin" "$work/received/COM8-fpga.bin"
image_received "$work/data/GENERATOR_FPGA.bin" "$work/received/COM9-fpga.bin"
image_received "$work/data/GENERATOR_MCU(rack).bin" "$work/received/COM8-mcu.bin"
image_received "$work/aux-Ω名.bin" "$work/received/COM8-aux-fpga.bin"
echo "images equal: yes"
