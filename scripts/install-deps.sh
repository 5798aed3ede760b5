#!/usr/bin/env bash
# Installs the Debian packages that one use of the project needs:
#   scripts/install-deps.sh build   the three programs (make build, make install)
#   scripts/install-deps.sh demo    what make demo needs: the programs, nothing more
#   scripts/install-deps.sh test    what make test needs: the tests, their servers
#                                   and checkers, clang for the fuzz targets
#   scripts/install-deps.sh bench   what make bench needs: Google Benchmark, nats-server
#   scripts/install-deps.sh all     all of them (make deps; the default)
# Several groups may be named at once. Quiet and quick when everything is
# there already; needs root otherwise.
set -euo pipefail

usage() {
  echo "usage: $0 [build|demo|test|bench|all]..." >&2
  exit 2
}

# What compiles and links tarn2tarn_pre, tarnserver and tarn. ccache makes a
# second build of the same sources (another folder, another clone) quick.
build=(
  cmake make ninja-build g++ ccache
  nlohmann-json3-dev              # the tarn tool's JSON
  libcpp-httplib-dev pkgconf      # tarn monitor's HTTP server (found with pkg-config)
  libnats-dev                     # JetStream connections
  libmseed-dev                    # miniSEED records (libmseed 2)
  libjemalloc-dev                 # the relay's allocator
  libsystemd-dev                  # readiness and watchdog under systemd (sd_notify)
)
# The demo runs the programs alone: no browser, no Prometheus.
demo=("${build[@]}")
test=(
  "${build[@]}"
  clang                           # the fuzz targets (libFuzzer)
  libgtest-dev libgmock-dev       # the tests
  prometheus                      # promtool, which checks tarn monitor's /metrics
  nats-server                     # the JetStream tests run a real server
  man-db groff-base               # the manual pages' tests (man -l, groff)
  systemd                         # systemd-analyze verify of the example units
)
bench=(
  "${build[@]}"
  libbenchmark-dev                # fifo_bench and queue_bench
  nats-server                     # relay_bench's JetStream cases
)

# Wanted but not needed: the test of tarn monitor's page in a browser skips,
# saying why, where chromium cannot be installed.
test_optional=(chromium)

# The tests also check the relay's miniSEED records with seisplotjs, the
# field's JavaScript library, run in Node: its npm packages go outside the
# source tree, into TARN_NODE_DIR (the tests look there too).
node_dir="${TARN_NODE_DIR:-$HOME/.cache/tarn2tarn_pre/node}"
node_packages=(seisplotjs@3.2.2 ws@8.18.3)

packages=()
optional=()
want_node=0
[ $# -eq 0 ] && set -- all
for group in "$@"; do
  case "$group" in
    build) packages+=("${build[@]}") ;;
    demo) packages+=("${demo[@]}") ;;
    test) packages+=("${test[@]}"); optional+=("${test_optional[@]}"); want_node=1 ;;
    bench) packages+=("${bench[@]}") ;;
    all) packages+=("${test[@]}" "${bench[@]}"); optional+=("${test_optional[@]}"); want_node=1 ;;
    *) usage ;;
  esac
done
# Node and npm from Debian, unless the machine has them already.
if [ $want_node -eq 1 ] && ! command -v npm >/dev/null; then packages+=(nodejs npm); fi

install_node_packages() {
  [ $want_node -eq 1 ] || return 0
  local have
  have=$(node -e "try{console.log(require('$node_dir/node_modules/seisplotjs/package.json').version)}catch(e){}" 2>/dev/null || true)
  [ "$have" = "${node_packages[0]#*@}" ] && [ -d "$node_dir/node_modules/ws" ] && return 0
  echo "Installing into $node_dir: ${node_packages[*]}"
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --silent "${node_packages[@]}" >/dev/null
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Each missing package once, in the order first named.
declare -A seen=()
missing=()
for p in "${packages[@]}"; do
  [ -n "${seen[$p]:-}" ] && continue
  seen[$p]=1
  installed "$p" || missing+=("$p")
done
missing_optional=()
for p in "${optional[@]}"; do
  [ -n "${seen[$p]:-}" ] && continue
  seen[$p]=1
  installed "$p" || missing_optional+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  install_node_packages
  exit 0
fi

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "Installing: ${missing_optional[*]} (optional)"
  $sudo apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" >/dev/null ||
    echo "Could not install ${missing_optional[*]}: the test of the monitor's page in a browser will skip"
fi
install_node_packages
