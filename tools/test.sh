#!/usr/bin/env bash
# Installs what is missing, builds the sanitizer test build and runs every
# test. Extra arguments go to ctest (for example: -L delta).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${TIDEWELL_TEST_BUILD_DIR:-build/sanitize}
launcher=()
# A compiler cache, when the machine has one, makes rebuilds in several
# checkouts cheap; CI builds without it.
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Sanitize
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
