#!/bin/sh
# Interleaved before/after runs of relay_bench: runs it with the programs of
# build A, then of build B, and again, RUNS times each, and prints for each
# case and build the median of every figure, with the load average at the
# start and end of each run. Taking A and B in turn spreads whatever else
# the machine does over both.
#
#   bench/compare.sh A_BIN_DIR B_BIN_DIR [RUNS] [relay_bench options...]
#   bench/compare.sh /tmp/before/bin build-bench/bin 5 --case backlog,live --quick
#
# RUNS defaults to 3. The relay_bench run is build-bench/bin/relay_bench, or
# RELAY_BENCH; only the programs it starts (tarn2tarn_pre, tarnserver, tarn)
# come from A and B, through RELAY_BENCH_BIN_DIR. Every run's full output is
# kept in the /tmp/relay_compare.* folder named at the end. Exit status 1
# when a run did not deliver every packet once.
set -eu
[ $# -ge 2 ] || { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
a=$(realpath "$1")
b=$(realpath "$2")
shift 2
runs=3
case ${1:-} in '' | -*) ;; *) runs=$1; shift ;; esac
case $runs in *[!0-9]* | 0) echo "compare.sh: RUNS is a number from 1" >&2; exit 2 ;; esac
bench=${RELAY_BENCH:-build-bench/bin/relay_bench}
for d in "$a" "$b"; do
  for p in tarn2tarn_pre tarnserver tarn; do
    [ -x "$d/$p" ] || { echo "compare.sh: no $d/$p" >&2; exit 2; }
  done
done
out=$(mktemp -d /tmp/relay_compare.XXXXXX)
status=0
i=1
while [ "$i" -le "$runs" ]; do
  for side in A B; do
    dir=$a
    [ $side = B ] && dir=$b
    log="$out/$side.$i.txt"
    RELAY_BENCH_BIN_DIR="$dir" "$bench" "$@" >"$log" 2>&1 || status=1
    printf 'run %d %s: load average %s at the start, %s at the end; %s\n' "$i" "$side" \
      "$(sed -n 's/.*load average \([0-9.]*\) at the start.*/\1/p' "$log")" \
      "$(sed -n 's/^load average \([0-9.]*\) at the end.*/\1/p' "$log")" \
      "$(grep -E 'cases? ran' "$log" | sed 's/.*; //')"
  done
  i=$((i + 1))
done

# The rows of the tables: a case name, then figures (ok rows only).
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo
echo "medians of $runs runs (A: $a, B: $b)"
printf '%-16s %-2s %10s %8s %8s %8s %8s %9s %8s %5s\n' case "" packets/s MB/s relay machine servers "peak MiB" "p99 ms" runs
cases=$(awk '$NF == "ok" && $2 ~ /^[0-9]+$/ { print $1 }' "$out"/A.*.txt "$out"/B.*.txt | awk '!seen[$0]++')
for c in $cases; do
  for side in A B; do
    rows=$(awk -v c="$c" '$1 == c && $NF == "ok"' "$out"/$side.*.txt)
    col() { echo "$rows" | awk -v k="$1" 'NF { print $k }' | grep -v '^-$' | median; }
    printf '%-16s %-2s %10s %8s %8s %8s %8s %9s %8s %5s\n' "$c" "$side" "$(col 3)" "$(col 4)" \
      "$(col 5)" "$(col 6)" "$(col 7)" "$(col 9)" "$(col 13)" "$(echo "$rows" | grep -c .)"
  done
done
echo "(CPU columns in µs per packet; only rows whose result was ok; every run's output in $out)"
exit $status
