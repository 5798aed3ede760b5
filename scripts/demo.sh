#!/usr/bin/env bash
# make demo: two tarn servers on free local ports, the relay copying packets
# from one to the other, packets fed with `tarn gen` and watched with
# `tarn tail`, then a stop with SIGTERM so that the relay's drain shows.
# `tarn monitor` watches it all on http://127.0.0.1:6580/ (another free port
# when that one is taken); run from a terminal, the demo ends by starting the
# relay again with a trickle of packets and waits for Enter, so that the
# page can be looked at; without a terminal it says that it stops there.
# Everything it starts is stopped when it ends, however it ends.
#
# TARN_DEMO_BIN (the folder of the programs, build/bin by default) and
# TARN_DEMO_MONITOR (where the monitor listens first, 127.0.0.1:6580 by
# default) let a test run it with its own build and a free port.
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${TARN_DEMO_BIN:-$PWD/build/bin}"
work=$(mktemp -d /tmp/tarn2tarn-demo.XXXXXX)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Waits (at most 10 s) until FILE exists.
wait_for_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  echo "demo: $1 did not appear" >&2
  return 1
}

say "Starting two tarn servers on free ports of 127.0.0.1"
"$bin/tarnserver" -p 0 -R "$work/source.ready" -s 64M 2>"$work/source.log" & pids+=($!)
"$bin/tarnserver" -p 0 -R "$work/dest.ready" -s 64M 2>"$work/dest.log" & pids+=($!)
wait_for_file "$work/source.ready"
wait_for_file "$work/dest.ready"
source=$(cat "$work/source.ready")
dest=$(cat "$work/dest.ready")
echo "source: $source    destination: $dest"

say "Starting tarn monitor on both servers"
start_monitor() {
  "$bin/tarn" monitor "$source" "$dest" -l "$1" >"$work/monitor.out" 2>"$work/monitor.err" & pids+=($!)
  for _ in $(seq 50); do
    grep -q "serving http" "$work/monitor.out" && return 0
    kill -0 "$!" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
start_monitor "${TARN_DEMO_MONITOR:-127.0.0.1:6580}" || start_monitor 127.0.0.1:0
page=$(grep -o 'http://[^ ]*' "$work/monitor.out")
echo "the monitor's page: $page"

say "The relay's parameter file (one reader, one writer, status and log packets)"
sed -e "s/@SOURCE@/$source/" -e "s/@DEST@/$dest/" examples/demo.pf.in >"$work/demo.pf"
grep -v '^#' "$work/demo.pf" | grep -v '^$'

say "Starting tarn2tarn_pre -v -p demo.pf -t demo"
"$bin/tarn2tarn_pre" -v -p "$work/demo" -t demo >"$work/relay.out" 2>"$work/relay.err" &
relay=$!
pids+=("$relay")
for _ in $(seq 100); do grep -q "Connected to tarn .* for writing" "$work/relay.out" && break; sleep 0.1; done
for _ in $(seq 100); do grep -q "Repositioned tarn" "$work/relay.out" && break; sleep 0.1; done

say "Feeding 10 packets a second for 2 seconds, two streams (tarn gen)"
"$bin/tarn" gen "$source" -n 20 -r 10 --streams 2 -s 256

say "What arrived on the destination (tarn tail --json, relayed packets only)"
"$bin/tarn" tail "$dest" --from oldest -t 1 -m 'SYN_.*' --json

say "The servers and the relay at a glance (tarn status)"
"$bin/tarn" status "$source" "$dest"

say "A burst of 20000 packets, and SIGTERM at once: the relay drains its queue"
"$bin/tarn" gen "$source" -n 20000 -s 256 >/dev/null
sleep 0.2
kill -TERM "$relay"
wait "$relay" && status=0 || status=$?
echo "relay exit status: $status"
grep -E "Flushing queue|Thread finished|shutting down" "$work/relay.out" || true

say "The destination now holds"
"$bin/tarn" stat "$dest"

say "The relay's own log and status packets on the destination (tarn tail --unstuff)"
"$bin/tarn" tail "$dest" --from oldest -t 1 -r 'SYN_.*' --unstuff | tail -n 25

if [ -t 0 ]; then
  say "The relay again, with 5 packets a second: open $page in a browser"
  "$bin/tarn2tarn_pre" -v -p "$work/demo" -t demo >"$work/relay2.out" 2>&1 &
  relay=$!
  pids+=("$relay")
  "$bin/tarn" gen "$source" -n 1000000 -r 5 --streams 2 >/dev/null 2>&1 &
  feeder=$!
  pids+=("$feeder")
  address=${page#http://}
  echo "(from another machine: ssh -L 6580:${address%/} THIS-MACHINE, then open http://127.0.0.1:6580/ there)"
  read -r -p "Press Enter to stop everything. " _ || true
  # The relay drains while its servers still run.
  kill -TERM "$feeder" "$relay" 2>/dev/null || true
  wait "$relay" 2>/dev/null || true
else
  say "No terminal: stopping now; run it in a terminal to keep the monitor up"
  echo "(in a terminal the demo ends by relaying 5 packets a second until Enter, with $page up)"
fi

say "Done: servers stopped, $work removed"
