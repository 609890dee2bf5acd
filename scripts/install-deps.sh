#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's packages. Run as root.
set -euo pipefail
packages=(
    cmake ninja-build g++ clang clang-format pkg-config
    qt6-base-dev qt6-base-dev-tools libsqlite3-dev libgl-dev
    libx11-dev xvfb xauth
    dbus dbus-daemon dbus-x11 iproute2 util-linux
    tftp-hpa atftp curl
    locales libc-l10n
    python3-xlib python3-dbus python3-gi gir1.2-glib-2.0
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# busybox's tftp, as one more client of the end-to-end tests.
"$(dirname "$0")/fetch-busybox.sh"
