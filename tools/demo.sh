#!/usr/bin/env bash
# The demo: a virtual instrument (a signal generator on COM3, a signal analyzer on COM4) on
# pseudo-terminals, and korvelt-cli updating it the way an operator would.
set -euo pipefail
build=${1:-build}
cli="$build/korvelt-cli"
sim="$build/korvelt-sim"
for program in "$cli" "$sim"; do
  [ -x "$program" ] || { echo "demo: $program is missing; run 'make build'" >&2; exit 1; }
done

work=$(mktemp -d /tmp/korvelt-demo-XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill -INT "$sim_pid"; wait "$sim_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/data" "$work/ports"

echo "== Demo images in $work/data"
head -c 65536 /dev/urandom > "$work/data/GENERATOR_FPGA.bin"
head -c 8192 /dev/urandom > "$work/data/GENERATOR_MCU(rack).bin"
head -c 32768 /dev/urandom > "$work/data/ANALYZER_FPGA.bin"
ls -l "$work/data"

echo "== Starting the virtual instrument (generator on COM3, analyzer on COM4, 115200 baud)"
"$sim" --port-dir "$work/ports" --ports 3=generator,4=analyzer --baud 115200 \
  --report "$work/report.json" --dump "$work/received" > "$work/ready.json" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/ready.json" ] && break; sleep 0.1; done
cat "$work/ready.json"

echo "== korvelt-cli: search the generator, write its FPGA and MCU firmware, then the analyzer's FPGA"
"$cli" --port-dir "$work/ports" -C "$work" \
  search-generator generator-fpga open generator-mcu search-analyzer analyzer-fpga

kill -INT "$sim_pid"
wait "$sim_pid"
sim_pid=""

echo "== What the units received"
verdict=yes
check() {  # image received-file
  local size
  size=$(stat -c %s "$1")
  if cmp -s -n "$size" "$1" "$2"; then echo "  $(basename "$1"): equal"; else echo "  $(basename "$1"): DIFFERENT"; verdict=no; fi
}
check "$work/data/GENERATOR_FPGA.bin" "$work/received/COM3-fpga.bin"
check "$work/data/GENERATOR_MCU(rack).bin" "$work/received/COM3-mcu.bin"
check "$work/data/ANALYZER_FPGA.bin" "$work/received/COM4-fpga.bin"
echo "images equal: $verdict"
[ "$verdict" = yes ]
