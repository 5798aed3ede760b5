#!/bin/sh
# Counts the relay's system calls on relay_bench's backlog case with perf's
# software tracepoints (they work where hardware counters do not, as on
# virtual machines), and with --futex records where its futex calls come
# from. Instruction counts (profile_backlog.sh) miss what the relay loses
# waiting on locks: a contended lock costs a futex call or two, in the
# kernel, and a wait for the other thread.
#
#   bench/syscalls_backlog.sh [--futex] [PACKETS [BIN_DIR]]
#
# PACKETS defaults to 1000000, BIN_DIR (where tarn2tarn_pre, tarnserver,
# tarn and relay_bench are) to build-bench/bin. Needs perf (Debian's
# linux-perf) and the rights to trace (root, or kernel.perf_event_paranoid
# at -1). The files stay in the /tmp/relay_syscalls.* folder named at the end.
set -eu
futex=0
[ "${1:-}" = --futex ] && { futex=1; shift; }
packets=${1:-1000000}
bin=$(realpath "${2:-build-bench/bin}")
case $packets in '' | *[!0-9]*) echo "syscalls_backlog.sh: PACKETS is a number" >&2; exit 2 ;; esac
command -v perf >/dev/null || { echo "syscalls_backlog.sh: perf is not installed" >&2; exit 2; }
for p in tarn2tarn_pre tarnserver tarn relay_bench; do
  [ -x "$bin/$p" ] || { echo "syscalls_backlog.sh: no $bin/$p" >&2; exit 2; }
done
out=$(mktemp -d /tmp/relay_syscalls.XXXXXX)
mkdir "$out/bin"
ln -s "$bin/tarn" "$out/bin/tarn"
ln -s "$bin/tarnserver" "$out/bin/tarnserver"
# The relay runs as relay_bench starts it; perf attaches to it by pid and
# ends with it. relay_bench's stop (SIGTERM) goes on to the relay.
if [ $futex = 1 ]; then
  watch="perf record -q -e syscalls:sys_enter_futex --call-graph dwarf,16384 -o $out/futex.data -p"
else
  watch="perf stat -o $out/relay.perf -e task-clock,context-switches,raw_syscalls:sys_enter,syscalls:sys_enter_futex,syscalls:sys_enter_sendto,syscalls:sys_enter_recvfrom,syscalls:sys_enter_poll -p"
fi
cat >"$out/bin/tarn2tarn_pre" <<WRAP
#!/bin/sh
"$bin/tarn2tarn_pre" "\$@" &
pid=\$!
$watch \$pid >/dev/null 2>&1 &
trap 'kill -TERM \$pid' TERM INT
wait \$pid
wait \$pid
status=\$?
sleep 1
exit \$status
WRAP
chmod +x "$out/bin/tarn2tarn_pre"
echo "== relay_bench --case backlog --packets $packets, the relay watched by perf"
RELAY_BENCH_BIN_DIR="$out/bin" "$bin/relay_bench" --case backlog --packets "$packets" | sed -n '/^case/,/^backlog /p' || true
sleep 2
if [ $futex = 1 ]; then
  echo
  echo "== where the futex calls come from (the first frames of the relay's own code)"
  perf script -i "$out/futex.data" -F ip,sym 2>/dev/null | awk '
    BEGIN { RS = "" }
    {
      n = split($0, line, "\n"); key = ""; k = 0
      for (i = 1; i <= n && k < 2; i++) {
        s = line[i]; sub(/^[ \t]*[0-9a-f]+ /, "", s)
        if (s ~ /futex|lll_|pthread_|mutex|lock_guard|unique_lock|condition_variable|condvar|unlock|malloc|calloc|realloc|_int_|free|operator new|operator delete|allocat|unknown|_M_release|shared_count/) continue
        key = key (k ? " < " : "") s; k++
      }
      count[key]++; total++
    }
    END { for (k in count) printf "%7d %5.1f%%  %s\n", count[k], 100 * count[k] / total, k }' | sort -rn | head -15
else
  echo
  grep -E 'task-clock|context-switches|sys_enter' "$out/relay.perf" | sed 's/  */ /g'
fi
echo
echo "perf files in $out"
