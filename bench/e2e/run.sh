#!/usr/bin/env bash
# End-to-end benchmark: Tidewell against rsync and Syncthing on loopback, in
# one run, printing one table (see e2e_bench.py for what is measured).
#   bench/e2e/run.sh                     full sizes (needs about 3 GB in /tmp)
#   bench/e2e/run.sh --set1-files 100 --set2-mib 16 --set3-files 500 \
#       --idle-files 2000 --idle-seconds 10          a quick run
# Other arguments go to e2e_bench.py (--tools, --sets, --json FILE, ...).
# Installs what it needs from Debian's packages and builds a Release build in
# build/release (TIDEWELL_BENCH_BUILD_DIR to use another folder).
set -euo pipefail
cd "$(dirname "$0")/../.."

tools/install-deps.sh  # the build's packages, rsync and Python
# Syncthing only here: the test suite does not need it.
need=()
for p in syncthing; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${need[@]}"
fi

build=${TIDEWELL_BENCH_BUILD_DIR:-build/release}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
# Only the programs the run drives; a program not yet in the tree is left
# out here and reported by the run.
targets=()
available=$(cmake --build "$build" --target help)
for t in e2e_forwarder tidewell tidewell-cli tidewell-daemon tidewell-server; do
  grep -q "^$t:" <<<"$available" && targets+=("$t")
done
cmake --build "$build" -j 2 --target "${targets[@]}"

exec /usr/bin/env python3 bench/e2e/e2e_bench.py --build "$build" "$@"
