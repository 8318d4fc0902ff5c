#!/usr/bin/env bash
# The core (app, protocol, update, resources) must build without a GUI toolkit or an OS header.
# The image reader's per-system files (update/*_posix.cpp, update/*_win32.cpp) are its seam.
set -euo pipefail
root=${1:-.}
cd "$root"
bad=$(grep -nE '#include *<(Q[A-Za-z]*|qt[^>]*|windows\.h|unistd\.h|termios\.h|poll\.h|sys/[^>]*|fcntl\.h|pthread\.h)>' \
        app/*.h app/*.cpp protocol/* $(ls update/* | grep -vE '_(posix|win32)\.cpp$') \
        resources/*.h resources/*.cpp 2>/dev/null || true)
if [ -n "$bad" ]; then
  echo "OS or toolkit includes in the core:"; echo "$bad"; exit 1
fi
echo "core includes: clean"
