#!/usr/bin/env bash
# Builds the datagram fuzzer with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# into build-fuzz/ (or FUZZ_BUILD_DIR) and runs it for FUZZ_SECONDS (default 60) on a copy of the
# seed corpus in fuzz/corpus/. Fails on any finding; the input that caused it is kept in
# build-fuzz/findings/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

# clang must link libFuzzer; Debian ships its runtime apart from the compiler.
fuzzer_links() {
    local probe
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
        >"$probe/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null
    local ok=$?
    rm -rf "$probe"
    return $ok
}
if [ "$(id -u)" -eq 0 ]; then
    "$top/scripts/install-deps.sh"
fi
if ! command -v clang++ >/dev/null || ! fuzzer_links; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "clang with libFuzzer is missing: run as root to install it" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
    fuzzer_links || { echo "clang cannot link libFuzzer" >&2; exit 1; }
fi

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDROVEMOOR_FUZZ=ON -DDROVEMOOR_SANITIZE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzz_datagrams

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$top"/fuzz/corpus/* "$corpus/"
mkdir -p "$build/findings"
export LC_ALL=C.UTF-8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
echo "fuzzing the datagram handlers for $seconds s"
"$build/fuzz/fuzz_datagrams" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/findings/" "$corpus"
echo "fuzz_datagrams: no findings in $seconds s"
