#!/usr/bin/env bash
# Installs what is missing, checks formatting, fuzzes the datagram handlers for a minute, runs
# every test once under AddressSanitizer and UndefinedBehaviorSanitizer, then builds normally
# and runs every test through CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/check-format.sh"

"$top/scripts/fuzz.sh"

# Tests are asked for by name: the run command builds into the same folder without them.
BUILD_DIR=$top/build-asan "$top/scripts/build.sh" -DBUILD_TESTING=ON -DDROVEMOOR_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug
(cd "$top/build-asan" &&
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure --no-tests=error --parallel "$(nproc)")

BUILD_DIR=${BUILD_DIR:-$top/build} "$top/scripts/build.sh" -DBUILD_TESTING=ON
cd "${BUILD_DIR:-$top/build}"
ctest --output-on-failure --no-tests=error --parallel "$(nproc)"
