#!/usr/bin/env bash
# The main job: real two-way sync on this machine. A tidewell-server on
# 127.0.0.1 with a fresh data folder, and two people, alice and bob, each
# with a folder and a tidewell of their own (separate configuration homes).
# Files written, edited, renamed and deleted on one side arrive on the other;
# a file both change is kept in both versions; `tidewell verify` checks both
# sides; everything is stopped at the end, also on failure or Ctrl-C.
# Exits non-zero when something did not sync.
# Argument: the build folder holding the programs.
set -euo pipefail
build=${1:?build folder}
bin=$(cd "$build/src" && pwd)
for prog in tidewell tidewell-daemon tidewell-server; do
  [ -x "$bin/$prog" ] || { echo "$bin/$prog is not built"; exit 1; }
done

work=$(mktemp -d /tmp/tidewell-demo.XXXXXX)
server_pid=""
as() {  # as WHO tidewell-arguments...
  local who=$1
  shift
  HOME="$work/$who" XDG_CONFIG_HOME="$work/$who/config" XDG_STATE_HOME="$work/$who/state" \
    XDG_RUNTIME_DIR="$work/$who/run" "$bin/tidewell" "$@"
}
cleanup() {
  trap - INT TERM
  for who in alice bob; do
    [ -d "$work/$who/run" ] && { as "$who" stop >/dev/null 2>&1 || true; }
  done
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "interrupted: stopping everything"; exit 130' INT
trap 'exit 143' TERM

say() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/   /'; }
fail() {
  echo "   FAILED: $*"
  for who in alice bob; do
    echo "   --- end of $who's daemon log"
    tail -n 15 "$work/$who/state/tidewell/daemon.log" 2>/dev/null | indent || true
  done
  exit 1
}
# Polls CONDITION until it holds; fails after LIMIT seconds.
wait_until() {  # wait_until WHAT LIMIT CONDITION...
  local what=$1 limit=$2
  shift 2
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || fail "gave up after ${limit}s waiting for $what"
    sleep 0.2
  done
}
same() { cmp -s "$work/alice/Sync/$1" "$work/bob/Sync/$1"; }
gone() { [ ! -e "$work/$1/Sync/$2" ]; }
in_step() { diff -r --exclude=.VeltronaWorkingDirectory "$work/alice/Sync" "$work/bob/Sync" >/dev/null 2>&1; }
# WHO's files are all on the server, and nothing of the server's is missing.
on_server() { as "$1" verify "$work/$1/Sync" 2>/dev/null | grep -q '^all in step$'; }
idle() {  # nothing pending, nothing in transfer
  local out
  out=$(as "$1" status 2>/dev/null) || return 1
  grep -q "state: up to date" <<<"$out" && grep -q "pending: 0" <<<"$out" && ! grep -q "^transfer" <<<"$out"
}
listing() { (cd "$work/$1/Sync" && find . -path ./.VeltronaWorkingDirectory -prune -o -type f -print | sed 's|^\./||' | sort | tr '\n' ' '); }
started=$SECONDS

say "Starting a sync server on 127.0.0.1 with a fresh data folder"
"$bin/tidewell-server" init --data "$work/server" >"$work/init.txt"
token=$(sed -n 's/^session=//p' "$work/init.txt")
view=$(sed -n 's/^view_id=//p' "$work/init.txt")
"$bin/tidewell-server" serve --data "$work/server" --listen 127.0.0.1:0 >"$work/server.log" 2>&1 &
server_pid=$!
wait_until "the server to listen" 30 grep -q '^listening ' "$work/server.log"
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.log")
echo "   server on 127.0.0.1:$port, a user token issued, view $view"

for who in alice bob; do
  say "$who logs in over SSL (trusting the server's certificate), adds a folder and starts tidewell"
  mkdir -p "$work/$who/run"
  as "$who" login "127.0.0.1:$port" --token "$token" --view "$view" --ca-file "$work/server/server.crt" \
    --name "$who" | indent
  as "$who" add "$work/$who/Sync" | indent
  as "$who" start | indent
done

say "alice writes a note and a folder with a 4 MiB photo"
echo "Hello from alice." >"$work/alice/Sync/hello.txt"
mkdir -p "$work/alice/Sync/photos"
head -c $((4 << 20)) /dev/urandom >"$work/alice/Sync/photos/beach.jpg"
wait_until "bob to get hello.txt" 60 same hello.txt
wait_until "bob to get the photo" 60 same photos/beach.jpg
echo "   bob's folder now holds: $(listing bob)"
wait_until "bob to be idle" 60 idle bob
echo "   bob's tidewell status:"
as bob status | indent

say "alice edits the note"
echo "A second line, written later." >>"$work/alice/Sync/hello.txt"
wait_until "bob to get the edit" 60 same hello.txt
echo "   bob's copy reads:"
indent <"$work/bob/Sync/hello.txt"

say "bob renames the note to greeting.txt"
mv "$work/bob/Sync/hello.txt" "$work/bob/Sync/greeting.txt"
wait_until "alice to see the new name" 60 same greeting.txt
wait_until "the old name to go at alice's" 60 gone alice hello.txt
echo "   alice's folder now holds: $(listing alice)"

say "alice deletes the photos folder"
rm -r "$work/alice/Sync/photos"
wait_until "the folder to go at bob's" 60 gone bob photos
echo "   bob's folder now holds: $(listing bob)"

say "Both edit plan.txt at the same time: a conflict"
echo "The plan, first draft." >"$work/alice/Sync/plan.txt"
wait_until "bob to get plan.txt" 60 same plan.txt
echo "   bob pauses his folder, and both write their own plan"
as bob pause "$work/bob/Sync" | indent
echo "bob: meet at ten." >"$work/bob/Sync/plan.txt"
echo "alice: meet at noon." >"$work/alice/Sync/plan.txt"
wait_until "alice's edit to reach the server" 60 on_server alice
echo "   alice's version is on the server; bob resumes"
as bob resume "$work/bob/Sync" | indent
wait_until "both folders to hold the same files" 90 in_step
wait_until "alice to be idle" 60 idle alice
wait_until "bob to be idle" 60 idle bob
echo "   the conflict copies tidewell lists:"
as alice conflicts | indent
for f in "$work/alice/Sync"/plan*.txt; do echo "     $(basename "$f"): $(cat "$f")"; done
cat "$work"/alice/Sync/plan*.txt | grep -qx "alice: meet at noon." || fail "alice's version of plan.txt is lost"
cat "$work"/alice/Sync/plan*.txt | grep -qx "bob: meet at ten." || fail "bob's version of plan.txt is lost"
echo "   both versions are kept, on both sides"

say "tidewell verify on both sides: local files, sync records and the server agree"
for who in alice bob; do
  as "$who" verify "$work/$who/Sync" >"$work/verify-$who.txt" 2>&1 || { indent <"$work/verify-$who.txt"; fail "verify found differences at $who's"; }
  indent <"$work/verify-$who.txt"
done
in_step || fail "the two folders differ"

say "Stopping everything"
as alice stop | indent
as bob stop | indent
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "   sync worked: written, edited, renamed, deleted and conflicting files all arrived, in $((SECONDS - started)) s"
