#!/usr/bin/env bash
# Unpacks Debian's busybox-static into .deps/busybox-static of the repository, where the
# end-to-end tests find busybox's tftp as a further client. Nothing on the machine is installed
# or replaced; a machine that has busybox already needs none of this. Run as root, or as a user
# who may run apt-get download.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$top/.deps/busybox-static
if command -v busybox >/dev/null || [ -x "$dest/bin/busybox" ]; then
    exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
download() { (cd "$tmp" && apt-get -qq -o APT::Sandbox::User=root download busybox-static); }
# A machine whose package lists were never read has none to download from.
download || { apt-get update -qq && download; }
dpkg -x "$tmp"/busybox-static_*.deb "$tmp/unpacked"
mkdir -p "$top/.deps"
rm -rf "$dest"
mv "$tmp/unpacked" "$dest"
usage=$("$dest/bin/busybox" tftp --help 2>&1 || true)
if [[ $usage != *"Put file"* ]]; then
    echo "the unpacked busybox has no tftp client that puts" >&2
    exit 1
fi
