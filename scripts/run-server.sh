#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server. Port 69 needs root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" -DBUILD_TESTING=OFF
# Without a display the program runs on Qt's offscreen platform and serves all the same.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
fi
exec "${BUILD_DIR:-$top/build}/server/drovemoor"
