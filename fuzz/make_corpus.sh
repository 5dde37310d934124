#!/usr/bin/env bash
# Rebuilds the seed corpora under fuzz/corpus/<target>: valid inputs made by
# the project's own encoders (fuzz_seed_writer, tidewell-delta) and by rdiff,
# so that each fuzz target starts past the checks random bytes fail.
#
#   fuzz/make_corpus.sh [BUILD_DIR]
#
# BUILD_DIR (default build-fuzz) is a build configured with
# -DTIDEWELL_FUZZ=ON; the seed writer and the delta tool are built there.
# Replaces the seed folders of the targets it knows; inputs a fuzz run
# finds belong in a scratch folder, not here (see docs/fuzzing.md). Token
# records carry random bytes, so the relay seeds differ from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
command -v rdiff >/dev/null || { echo "make_corpus.sh: rdiff is missing (apt-get install rdiff)" >&2; exit 1; }
cmake --build "$build" -j2 --target fuzz_seed_writer tidewell-delta
ours="$build/src/tidewell-delta"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

targets=(config_line patch pstream relay_request rule_file signature ustring)
for t in "${targets[@]}"; do
  rm -rf "fuzz/corpus/$t"
  mkdir -p "fuzz/corpus/$t"
done
"$build/fuzz/fuzz_seed_writer" fuzz/corpus "$work"

# Patch inputs: each new version of the patch target's basis as a delta,
# made by rdiff and by our delta tool, with whole and small blocks.
for block in 2048 256; do
  rdiff -f -H md4 -R rollsum -b "$block" -S 8 signature "$work/basis" "$work/basis.rdiff.sig"
  "$ours" signature -b "$block" -S 8 "$work/basis" "$work/basis.ours.sig"
  for new in "$work"/new-*; do
    name=${new##*/new-}
    rdiff delta "$work/basis.rdiff.sig" "$new" "fuzz/corpus/patch/rdiff-$block-$name"
    "$ours" delta "$work/basis.ours.sig" "$new" "fuzz/corpus/patch/ours-$block-$name"
  done
done

# Signature inputs: block size and strong-sum length pairs from the smallest
# to the defaults and the longest sum, by both writers.
for input in "$work"/sign-*; do
  name=${input##*/sign-}
  for spec in "2048 8" "256 16" "64 4" "1 1"; do
    read -r block sum <<<"$spec"
    [ "$block" = 1 ] && [ "$name" = basis ] && continue  # 25 KB, no new paths
    rdiff -H md4 -R rollsum -b "$block" -S "$sum" signature "$input" "fuzz/corpus/signature/rdiff-$name-$block-$sum"
    "$ours" signature -b "$block" -S "$sum" "$input" "fuzz/corpus/signature/ours-$name-$block-$sum"
  done
done

# Where both writers agree byte for byte, keep one copy.
for t in "${targets[@]}"; do
  (cd "fuzz/corpus/$t" && sha1sum -- * | sort | awk 'seen[$1]++ { print $2 }' | xargs -r rm --)
done

for t in "${targets[@]}"; do
  printf '%-14s %3d seeds, %6d bytes\n' "$t" "$(ls "fuzz/corpus/$t" | wc -l)" "$(cat "fuzz/corpus/$t"/* | wc -c)"
done
