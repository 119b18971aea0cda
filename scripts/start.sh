#!/usr/bin/env bash
# Sets up, builds and starts Tarnwick. Without a display it runs on Qt's offscreen platform,
# where the proxy works just the same and the windows are simply not seen.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: running on Qt's offscreen platform."
    export QT_QPA_PLATFORM=offscreen
fi
exec build/app/tarnwick "$@"
