#!/usr/bin/env bash
# Starts the operator's dialog. Without a display it runs headless for a few seconds, so the
# demo also works on a machine with no screen.
set -euo pipefail
build=${1:-build}
app="$build/frontends/qt/korvelt-updater"
if [ ! -x "$app" ]; then
  echo "The dialog was not built (Qt 6 missing?); run 'make deps build' first." >&2
  exit 1
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$app"
fi
echo "No display: starting the dialog headless for 3 seconds."
QT_QPA_PLATFORM=offscreen timeout 3 "$app" || [ $? -eq 124 ]
echo "The dialog started and ran headless."
