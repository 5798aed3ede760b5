#!/bin/sh
# Profiles the relay and its tarn servers with valgrind's callgrind on one of
# relay_bench's backlog cases (by default backlog: 512-byte packets, the
# reader's check on; 8k-backlog and 1m-backlog for large packets), and
# prints for each process its instructions per packet and its top functions
# by inclusive and by self instructions. Instruction counts do not depend on
# what else the machine runs, so this can be run on a busy machine.
#
#   bench/profile_backlog.sh [PACKETS [BIN_DIR [TOP [CASE]]]]
#
# PACKETS defaults to 200000, BIN_DIR (where tarn2tarn_pre, tarnserver, tarn
# and relay_bench are) to build-bench/bin, TOP to 15, CASE to backlog (with
# 8k-backlog, 10000 packets do; with 1m-backlog, 100). The callgrind files
# stay in the /tmp/relay_profile.* folder named at the end, for
# callgrind_annotate or kcachegrind. server 1 is the source (its count holds
# the puts that filled it as well as the reaps that emptied it), server 2 the
# destination (the relay's puts, and the reading that checks them).
set -eu
packets=${1:-200000}
bin=$(realpath "${2:-build-bench/bin}")
top=${3:-15}
case_name=${4:-backlog}
command -v valgrind >/dev/null || { echo "profile_backlog.sh: valgrind is not installed" >&2; exit 2; }
case $packets in '' | *[!0-9]*) echo "profile_backlog.sh: PACKETS is a number" >&2; exit 2 ;; esac
for p in tarn2tarn_pre tarnserver tarn relay_bench; do
  [ -x "$bin/$p" ] || { echo "profile_backlog.sh: no $bin/$p" >&2; exit 2; }
done
out=$(mktemp -d /tmp/relay_profile.XXXXXX)
mkdir "$out/bin"
ln -s "$bin/tarn" "$out/bin/tarn"
# relay_bench starts the programs it finds in RELAY_BENCH_BIN_DIR: these two
# run the real ones under callgrind.
for p in tarn2tarn_pre tarnserver; do
  name=relay
  [ $p = tarnserver ] && name=server
  cat >"$out/bin/$p" <<WRAP
#!/bin/sh
exec valgrind --tool=callgrind --callgrind-out-file=$out/$name.%p.callgrind --log-file=$out/$name.%p.valgrind "$bin/$p" "\$@"
WRAP
  chmod +x "$out/bin/$p"
done
echo "== relay_bench --case $case_name --packets $packets, relay and servers under callgrind"
RELAY_BENCH_BIN_DIR="$out/bin" "$bin/relay_bench" --case "$case_name" --packets "$packets" || true

# The first $top lines of callgrind_annotate's list of functions, without
# the objects they are in.
functions() {
  sed -n '/file:function/,$p' | sed -n "3,$((top + 2))p" | sed 's/ \[[^]]*\]$//; s#\./build/\.\./##'
}
# Total instructions of a callgrind file.
total() { sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$1"; }
n=0
for f in $(ls "$out"/server.*.callgrind | sort -t. -k2 -n) "$out"/relay.*.callgrind; do
  case $f in
    */server.*) n=$((n + 1)); label="server $n" ;;
    *) label=relay ;;
  esac
  ir=$(total "$f")
  echo
  echo "== $label: $ir instructions, $((ir / packets)) per packet ($f)"
  echo "-- top $top by inclusive instructions"
  callgrind_annotate --inclusive=yes "$f" 2>/dev/null | functions
  echo "-- top $top by self instructions"
  callgrind_annotate "$f" 2>/dev/null | functions
done
echo
echo "callgrind files in $out"
