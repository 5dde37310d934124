#!/usr/bin/env bash
# Times tidewell-delta against rdiff on the same files, side by side, and
# prints medians and ratios.
#
#   bench/delta_vs_rdiff.sh [SIZE_MIB] [REPETITIONS] [TOOL]
#
# SIZE_MIB (default 256) is the basis size; the unrelated new file is a
# quarter of it (64 MiB by default); the edited copy changes one byte in
# every MiB. TOOL defaults to build/release/src/tidewell-delta. Data lives in
# a temporary folder that is removed at the end. Outputs are removed before
# every run so neither tool pays for replacing an old file.
set -euo pipefail

size_mib=${1:-256}
reps=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${3:-$root/build/release/src/tidewell-delta}

command -v rdiff >/dev/null || { echo "rdiff is not installed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }
[ -x "$tool" ] || { echo "no $tool: build it first (cmake --build build/release --target tidewell-delta)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-delta-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

unrelated_mib=$(( size_mib / 4 > 0 ? size_mib / 4 : 1 ))
head -c $(( size_mib << 20 )) /dev/urandom > basis
head -c $(( unrelated_mib << 20 )) /dev/urandom > unrelated
cp basis edited
# One flipped byte at a pseudo-random offset in every MiB.
for (( i = 0; i < size_mib; i++ )); do
  off=$(( (i << 20) + (RANDOM * 32 + RANDOM % 32) % (1 << 20) ))
  printf '\x5a' | dd of=edited bs=1 seek="$off" conv=notrunc status=none
done
cat basis unrelated edited > /dev/null  # into the page cache

rdiff_sig=(rdiff -H md4 -R rollsum -b 2048 -S 8)

# time_runs OUTPUT CMD... : runs CMD $reps times, removing OUTPUT first, and
# prints the median wall time and the median CPU time (user + system) in
# seconds. CPU time is the steadier figure on a machine shared with others.
time_runs() {
  local out=$1; shift
  local walls=() cpus=()
  for (( r = 0; r < reps; r++ )); do
    rm -f "$out"
    local line t0 t1
    t0=$(date +%s%N)
    line=$( { /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null; } | tail -n 1)
    t1=$(date +%s%N)
    walls+=( "$(awk -v ns=$(( t1 - t0 )) 'BEGIN { printf "%.4f", ns / 1e9 }')" )
    cpus+=( "$(echo "$line" | awk '{ print $1 + $2 }')" )
  done
  echo "$(median "${walls[@]}") $(median "${cpus[@]}")"
}

median() {
  printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END {
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f", m }'
}

# Peak resident memory of one run, in KiB.
peak_kib() {
  { /usr/bin/time -f %M "$@" 2>&1 >/dev/null; } | tail -n 1
}

report() {  # NAME MIB "OURS_WALL OURS_CPU" "RDIFF_WALL RDIFF_CPU" GOAL
  awk -v n="$1" -v mib="$2" -v o="$3" -v r="$4" -v g="$5" 'BEGIN {
    split(o, ov, " "); split(r, rv, " ");
    ow = ov[1] > 0.001 ? ov[1] : 0.001; rw = rv[1] > 0.001 ? rv[1] : 0.001;
    oc = ov[2] > 0.001 ? ov[2] : 0.001; rc = rv[2] > 0.001 ? rv[2] : 0.001;
    printf "%-24s %7.3f s %6.0f MiB/s %7.3f s cpu | %7.3f s %6.0f MiB/s %7.3f s cpu | %5.2fx wall %5.2fx cpu (goal %s)\n",
      n, ow, mib / ow, oc, rw, mib / rw, rc, rw / ow, rc / oc, g }'
}

echo "basis ${size_mib} MiB, unrelated ${unrelated_mib} MiB, ${reps} runs each, medians"
printf "%-24s %-38s | %-38s | %s\n" "operation" "tidewell-delta: wall, throughput, cpu" "rdiff: wall, throughput, cpu" "speed-up"

o=$(time_runs ours.sig "$tool" signature basis ours.sig)
r=$(time_runs rdiff.sig "${rdiff_sig[@]}" signature basis rdiff.sig)
cmp -s ours.sig rdiff.sig || { echo "signatures differ" >&2; exit 1; }
report "signature" "$size_mib" "$o" "$r" ">= 1.5x"

o=$(time_runs ours.unrelated.delta "$tool" delta ours.sig unrelated ours.unrelated.delta)
r=$(time_runs rdiff.unrelated.delta rdiff delta rdiff.sig unrelated rdiff.unrelated.delta)
report "delta, unrelated file" "$unrelated_mib" "$o" "$r" ">= 3x"

o=$(time_runs ours.edited.delta "$tool" delta ours.sig edited ours.edited.delta)
r=$(time_runs rdiff.edited.delta rdiff delta rdiff.sig edited rdiff.edited.delta)
report "delta, scattered edits" "$size_mib" "$o" "$r" ">= 1.5x"

# Both tools apply the same delta files (ours), and both results are checked.
o=$(time_runs ours.new "$tool" patch basis ours.edited.delta ours.new)
r=$(time_runs rdiff.new rdiff patch basis ours.edited.delta rdiff.new)
cmp -s ours.new edited && cmp -s rdiff.new edited || { echo "patch of edited copy is wrong" >&2; exit 1; }
report "patch, scattered edits" "$size_mib" "$o" "$r" ">= 1x"

o=$(time_runs ours.new "$tool" patch basis ours.unrelated.delta ours.new)
r=$(time_runs rdiff.new rdiff patch basis ours.unrelated.delta rdiff.new)
cmp -s ours.new unrelated && cmp -s rdiff.new unrelated || { echo "patch of unrelated file is wrong" >&2; exit 1; }
report "patch, unrelated file" "$unrelated_mib" "$o" "$r" ">= 1x"

sig_kib=$(( ($(stat -c %s ours.sig) + 1023) / 1024 ))
rm -f ours.unrelated.delta ours.edited.delta
m1=$(peak_kib "$tool" delta ours.sig unrelated ours.unrelated.delta)
m2=$(peak_kib "$tool" delta ours.sig edited ours.edited.delta)
if [ -n "$m1" ]; then
  echo "delta peak memory: unrelated ${m1} KiB, edited ${m2} KiB;" \
       "limit = signature ${sig_kib} KiB + 16384 KiB = $(( sig_kib + 16384 )) KiB"
fi
