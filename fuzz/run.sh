#!/usr/bin/env bash
# Runs one fuzz target for a while, one process, at low priority, from its
# seed corpus and with its dictionary, and prints libFuzzer's lines with the
# seconds elapsed in front, so coverage can be read at any point of the run.
#
#   fuzz/run.sh TARGET [SECONDS] [--empty] [--no-dict] [--keep] [-- LIBFUZZER_ARGS...]
#
# TARGET is the name without "_fuzz" (patch, pstream, ...); SECONDS defaults
# to 300. --empty starts from no input at all and --no-dict leaves the
# dictionary out, for comparison. The build is $TIDEWELL_FUZZ_BUILD_DIR
# (default build-fuzz, configured with -DTIDEWELL_FUZZ=ON). Inputs the run
# adds go to a scratch folder, never into fuzz/corpus; the folder is removed
# after a clean run unless --keep is given, and kept, with the crashing
# input, after a failed one. Exit status: libFuzzer's (0 when the run ended
# clean).
set -uo pipefail
cd "$(dirname "$0")/.."

[ $# -ge 1 ] || { sed -n '5,6p' "$0" >&2; exit 2; }
target=$1
shift
seconds=300
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
use_corpus=1
use_dict=1
keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --empty) use_corpus=0 ;;
    --no-dict) use_dict=0 ;;
    --keep) keep=1 ;;
    --) shift; break ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

build=${TIDEWELL_FUZZ_BUILD_DIR:-build-fuzz}
binary="$build/fuzz/${target}_fuzz"
[ -x "$binary" ] || { echo "run.sh: $binary is not built" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-fuzz-$target-XXXXXX")
args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="$scratch/" "$@")
[ $use_dict = 1 ] && [ -f "fuzz/$target.dict" ] && args+=(-dict="fuzz/$target.dict")
dirs=("$scratch/found")
mkdir "$scratch/found"
[ $use_corpus = 1 ] && dirs+=("fuzz/corpus/$target")

echo "run.sh: nice -n 10 $binary ${args[*]} ${dirs[*]}"
start=$SECONDS
nice -n 10 "$binary" "${args[@]}" "${dirs[@]}" 2>&1 |
  while IFS= read -r line; do printf '%5ds %s\n' "$((SECONDS - start))" "$line"; done
rc=${PIPESTATUS[0]}

if [ "$rc" -eq 0 ] && [ $keep = 0 ]; then
  rm -rf "$scratch"
elif [ "$rc" -eq 0 ]; then
  echo "run.sh: inputs found kept in $scratch/found"
else
  echo "run.sh: $target stopped with status $rc; inputs and artifacts kept in $scratch"
fi
exit "$rc"
