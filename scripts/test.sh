#!/usr/bin/env bash
# Installs what is missing, builds, checks formatting and runs every test through CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/check-format.sh"
BUILD_DIR=${BUILD_DIR:-$top/build} "$top/scripts/build.sh"
cd "${BUILD_DIR:-$top/build}"
ctest --output-on-failure --parallel "$(nproc)"
