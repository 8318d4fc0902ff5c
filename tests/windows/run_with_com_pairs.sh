#!/usr/bin/env bash
# Runs a Windows test program under Wine with COM ports wired back to back: each pair of
# pseudo-terminals is bridged by socat, and the prefix's dosdevices/comN links name its ends.
# usage: run_with_com_pairs.sh PREFIX A:B[,C:D...] PROGRAM [ARGS...]
set -euo pipefail
prefix=$1 pairs=$2
shift 2
here=$(mktemp -d /tmp/korvelt-compairs-XXXXXX)
pids=()
links=()
cleanup() {
  rm -f "${links[@]}"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$here"
}
trap cleanup EXIT
mkdir -p "$prefix/dosdevices"
for pair in ${pairs//,/ }; do
  a=${pair%%:*} b=${pair##*:}
  socat pty,raw,echo=0,link="$here/com$a" pty,raw,echo=0,link="$here/com$b" &
  pids+=($!)
  for _ in $(seq 100); do [ -e "$here/com$a" ] && [ -e "$here/com$b" ] && break; sleep 0.05; done
  for n in "$a" "$b"; do
    ln -sfn "$(readlink -f "$here/com$n")" "$prefix/dosdevices/com$n"
    links+=("$prefix/dosdevices/com$n")
  done
done
WINEPREFIX=$prefix WINEDEBUG=-all "$@"
