#!/usr/bin/env bash
# Runs the benchmark against the peer servers (bench/run.sh); as root, since it installs what is
# missing and makes a network namespace.
set -euo pipefail
exec "$(cd "$(dirname "$0")/.." && pwd)/bench/run.sh" "$@"
