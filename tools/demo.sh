#!/usr/bin/env bash
# The main job on an embedded default: shows what the built programs do.
# Argument: the build folder holding the programs.
set -euo pipefail
build=${1:?build folder}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== built programs"
for prog in tidewell-daemon tidewell-server tidewell tidewell-relay tidewell-delta; do
  if [ -x "$build/src/$prog" ]; then echo "  $prog"; else echo "  $prog (not built yet)"; fi
done
