# Sourced by the Wine end-to-end scripts: the virtual instrument on Linux pseudo-terminals,
# named in the Wine prefix as COM6 (a silent port), COM7 (an analyzer), COM8 and COM9 (two
# generators).
# The caller sets work, prefix and sim, and calls stop_virtual_instrument from its exit trap.
sim_pid=""

start_virtual_instrument() {
  mkdir -p "$work/ports" "$prefix/dosdevices"
  "$sim" --port-dir "$work/ports" --ports 6=silent,7=analyzer,8=generator,9=generator --baud 0 \
    --dump "$work/received" > "$work/ready.json" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/ready.json" ] && break; sleep 0.05; done
  [ -s "$work/ready.json" ] || { echo "the virtual instrument did not start" >&2; return 1; }
  for n in 6 7 8 9; do ln -sfn "$(readlink -f "$work/ports/COM$n")" "$prefix/dosdevices/com$n"; done
}

# Ends the instrument, which then writes what each unit received into $work/received.
stop_virtual_instrument() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -INT "$sim_pid"
    wait "$sim_pid" || true
  fi
  sim_pid=""
  rm -f "$prefix/dosdevices/com6" "$prefix/dosdevices/com7" "$prefix/dosdevices/com8" \
    "$prefix/dosdevices/com9"
}

# image-file received-file: says whether the unit holds the image, byte for byte.
image_received() {
  if cmp -s -n "$(stat -c %s "$1")" "$1" "$2"; then
    echo "  $(basename "$1"): equal"
  else
    echo "  $(basename "$1"): DIFFERENT" >&2
    return 1
  fi
}
