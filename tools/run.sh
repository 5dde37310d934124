#!/usr/bin/env bash
# Installs what is missing, builds the optimised programs and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${TIDEWELL_BUILD_DIR:-build/release}
launcher=()
# A compiler cache, when the machine has one, makes rebuilds in several
# checkouts cheap; CI builds without it.
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release -DTIDEWELL_BUILD_TESTS=OFF
# The programs only: benchmarks and tests have builds of their own.
cmake --build "$build" -j "$(nproc)" --target tidewell-cli tidewell-daemon tidewell-server tidewell-delta tidewell-relay

exec tools/demo.sh "$build"
