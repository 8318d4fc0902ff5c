#!/usr/bin/env bash
# One history file for both builds: the Linux build's history_tests (Debian's SQLite) and the
# Windows build's under Wine (the SQLite compiled in) each write their sample rows and read the
# other's back, field for field, on a file the other created.
# usage: history_wine.sh PREFIX WINE HISTORY_TESTS_EXE HISTORY_TESTS_LINUX
set -euo pipefail
prefix=$1 wine=$2 windows=$3 linux=$4
work=$(mktemp -d /tmp/korvelt-history-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"  # relative names: the same file for both, whatever drive Wine maps the folder to

on_windows() { WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 "$wine" "$windows" "$@"; }
on_linux() { timeout 60 "$linux" "$@"; }

# Created by Linux, read and added to by Windows, read again by Linux.
on_linux --write-sample from-linux.sqlite linux
on_windows --check-sample from-linux.sqlite linux
on_windows --write-sample from-linux.sqlite windows
on_linux --check-sample from-linux.sqlite windows
on_linux --check-sample from-linux.sqlite linux

# Created by Windows, read and added to by Linux, read again by Windows.
on_windows --write-sample from-windows.sqlite windows
on_linux --check-sample from-windows.sqlite windows
on_linux --write-sample from-windows.sqlite linux
on_windows --check-sample from-windows.sqlite linux
on_windows --check-sample from-windows.sqlite windows
echo "both builds read and write each other's history files"
