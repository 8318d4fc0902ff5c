#!/usr/bin/env bash
# korvelt-cli.exe under Wine against the virtual instrument on Linux pseudo-terminals: Wine's
# dosdevices/comN links name the ptys, so the program talks to them through the Win32 COM API.
# First both generators at once (--units: one child process each, started with CreateProcess)
# with a report; then it searches the generator behind a silent port and an analyzer, and
# writes its FPGA image and its MCU firmware (the MCU update switches the line to even parity).
# Then a signed release and the station's history (read back by the Linux build's korvelt-cli,
# beside KORVELT_SIM).
# usage: cli_e2e_wine.sh PREFIX WINE KORVELT_CLI_EXE KORVELT_SIM
set -euo pipefail
prefix=$1 wine=$2 cli=$3 sim=$4
linux_cli=$(dirname "$sim")/korvelt-cli
release_data=$(cd "$(dirname "$0")/../data/release" && pwd)
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

# A signed release (the committed test release) verified by the Windows build, which writes the
# station's history; the Linux build reads the same file, and the Windows build reads it back.
cp -r "$release_data/release-prehashed" "$work/rel"
cp "$release_data/station.pub" "$work/station.pub"
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  --port 9 --release rel --trusted-key station.pub --history station.sqlite --station wine \
  --report report-release.json generator-fpga open aux-fpga=rel/type5-aux-fpga.bin) || status=$?
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe --release ended with status $status" >&2; exit 1; }
"$linux_cli" history --history "$work/station.sqlite" --json > "$work/history.json"
python3 - "$work/report-release.json" "$work/history.json" <<'CHECK'
import json, sys
steps = json.load(open(sys.argv[1]))["units"][0]["steps"]
rows = json.load(open(sys.argv[2]))
assert [s["release"]["name"] for s in steps if s["step"] != "open"] == ["2026.12"] * 2, steps
assert all(s["key"] == "2C090728996D4FB5" for s in steps if s["step"] != "open"), steps
assert [r["step"] for r in rows] == ["generator-fpga", "aux-fpga=rel/type5-aux-fpga.bin"], rows
assert all(r["station"] == "wine" and r["release"] == "2026.12" and r["outcome"] == "ok"
           and r["key"] == "2C090728996D4FB5" for r in rows), rows
assert [r["sha256"] for r in rows] == [s["sha256"] for s in steps if s["step"] != "open"], rows
print("release: verified by the Windows build; its history read on Linux")
CHECK
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 "$wine" "$cli" history \
  --history station.sqlite --csv) > "$work/history.csv" || status=$?
[ "$status" -eq 0 ] && [ "$(grep -c ',wine,' "$work/history.csv")" -eq 2 ] || {
  echo "korvelt-cli.exe history did not read the history back" >&2; exit 1; }
# A tampered image is refused before a byte goes to the unit.
printf 'X' | dd of="$work/rel/GENERATOR_FPGA.bin" bs=1 seek=10 conv=notrunc 2>/dev/null
refused=0
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 "$wine" "$cli" --port 9 \
  --release rel --trusted-key station.pub --no-history generator-fpga) > "$work/refused.txt" 2>&1 \
  || refused=$?
[ "$refused" -eq 1 ] && grep -q "SHA-256" "$work/refused.txt" || {
  echo "korvelt-cli.exe took a tampered release (status $refused)" >&2; exit 1; }
echo "release: a tampered image refused"

(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 240 "$wine" "$cli" --stall-timeout 20 \
  search-generator generator-fpga open generator-mcu) || status=$?
stop_virtual_instrument
[ "$status" -eq 0 ] || { echo "korvelt-cli.exe ended with status $status" >&2; exit 1; }

image_received "$work/data/GENERATOR_FPGA.bin" "$work/received/COM8-fpga.bin"
image_received "$release_data/release-prehashed/GENERATOR_FPGA.bin" "$work/received/COM9-fpga.bin"
image_received "$work/data/GENERATOR_MCU(rack).bin" "$work/received/COM8-mcu.bin"
image_received "$work/aux-Ω名.bin" "$work/received/COM8-aux-fpga.bin"
image_received "$release_data/release-prehashed/type5-aux-fpga.bin" "$work/received/COM9-aux-fpga.bin"
echo "images equal: yes"
