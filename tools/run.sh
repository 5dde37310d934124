#!/usr/bin/env bash
# Installs what is missing, builds the optimised programs and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${TIDEWELL_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIDEWELL_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)"

exec tools/demo.sh "$build"
