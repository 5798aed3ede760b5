#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Quiet and quick when everything is there already; needs root otherwise.
set -euo pipefail

packages=(
  cmake make ninja-build g++ clang  # build; clang builds the fuzz targets
  libgtest-dev libgmock-dev       # tests
  libbenchmark-dev                # bench/
  nlohmann-json3-dev              # the tarn tool's JSON
  libcpp-httplib-dev pkgconf      # tarn monitor's HTTP server (found with pkg-config)
  prometheus                      # promtool, which checks tarn monitor's /metrics
  libnats-dev nats-server         # JetStream connections; their tests run a real server
  man-db groff-base               # the manual pages' tests (man -l, groff)
  systemd                         # systemd-analyze verify of the example units
)

# Wanted but not needed: the test of tarn monitor's page in a browser skips,
# saying why, where chromium cannot be installed.
optional=(chromium)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_optional=()
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

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
