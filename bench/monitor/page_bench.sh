#!/usr/bin/env bash
# The monitor's page with many streams in headless Chromium: starts a
# tarnserver, puts one packet for each of STREAMS source names (a tenth of
# them with times an hour old: a data latency in red), starts `tarn monitor`
# on it and has Chromium load the page RUNS times. Prints the time its first
# drawing took in the page's script (data-render-ms), the time from the
# request to that drawing done (data-ready-ms) and Chromium's whole run, and
# leaves a screenshot.
#
#   bench/monitor/page_bench.sh [BUILD_DIR] [STREAMS] [RUNS] [SCREENSHOT]
#   defaults: build 5000 5 BUILD_DIR/page_bench.png
set -euo pipefail
build=${1:-build}
streams=${2:-5000}
runs=${3:-5}
shot=${4:-$build/page_bench.png}
bin=$(cd "$build/bin" && pwd)
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "page_bench: no chromium; scripts/install-deps.sh test installs it" >&2; exit 1; }
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

"$bin/tarnserver" -p 0 -R "$dir/ready" >"$dir/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$dir/ready" ] && break; sleep 0.1; done
tarn=$(head -1 "$dir/ready")
now=$(date +%s)
awk -v n="$streams" -v now="$now" 'BEGIN {
  for (i = 0; i < n; i++) {
    t = (i % 10 == 0) ? now - 3600 : now - (i % 50);
    printf "{\"srcname\": \"XX_S%04d_HHZ_00/MSEED\", \"time\": %d, \"text\": \"x\"}\n", i, t
  }
}' | "$bin/tarn" put "$tarn" >/dev/null

"$bin/tarn" monitor "$tarn" -l 127.0.0.1:0 -i 1 >"$dir/monitor.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "serving http://" "$dir/monitor.log" && break; sleep 0.1; done
url=$(grep -o "http://127.0.0.1:[0-9]*" "$dir/monitor.log" | head -1)/
sleep 2  # a round or two of the monitor's, so that the page holds every stream

chrome=("$browser" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run
        --disable-background-networking --user-data-dir="$dir/profile" --window-size=1400,1000)
echo "page_bench: $streams streams, $runs loads in headless Chromium"
printf "%-6s %12s %12s %12s\n" run render_ms ready_ms chromium_ms
for r in $(seq "$runs"); do
  start=$(date +%s%N)
  dom=$("${chrome[@]}" --dump-dom "$url" 2>/dev/null)
  end=$(date +%s%N)
  render=$(grep -o 'data-render-ms="[0-9.]*"' <<<"$dom" | grep -o '[0-9.]*')
  ready=$(grep -o 'data-ready-ms="[0-9.]*"' <<<"$dom" | grep -o '[0-9.]*')
  printf "%-6s %12s %12s %12d\n" "$r" "$render" "$ready" $(((end - start) / 1000000))
done
"${chrome[@]}" --screenshot="$shot" "$url" >/dev/null 2>&1
echo "screenshot: $shot"
