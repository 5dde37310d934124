#!/usr/bin/env bash
# The main job on an embedded default: shows what the built programs do today.
# Argument: the build folder holding the programs.
set -euo pipefail
build=${1:?build folder}
bin="$build/src"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== programs in $bin"
for prog in tidewell-daemon tidewell tidewell-server tidewell-relay tidewell-delta; do
  if [ -x "$bin/$prog" ]; then echo "  $prog"; else echo "  $prog (not built yet)"; fi
done

if [ -x "$bin/tidewell-delta" ]; then
  echo "== delta round trip on an 8 MiB file with a few edits"
  head -c $((8 << 20)) /dev/urandom > "$work/old"
  cp "$work/old" "$work/new"
  for off in 4096 3000000 7000000; do
    printf 'edited' | dd of="$work/new" bs=1 seek=$off conv=notrunc status=none
  done
  "$bin/tidewell-delta" signature "$work/old" "$work/old.sig"
  "$bin/tidewell-delta" delta "$work/old.sig" "$work/new" "$work/new.delta"
  "$bin/tidewell-delta" patch "$work/old" "$work/new.delta" "$work/rebuilt"
  cmp "$work/new" "$work/rebuilt"
  printf '  file %d bytes, signature %d bytes, delta %d bytes, rebuilt file identical\n' \
    "$(stat -c %s "$work/new")" "$(stat -c %s "$work/old.sig")" "$(stat -c %s "$work/new.delta")"
fi

if [ -x "$bin/tidewell-relay" ]; then
  echo "== tidewell-relay --help"
  "$bin/tidewell-relay" --help || true
fi
