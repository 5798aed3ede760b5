#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Quiet and quick when everything is there already; needs root otherwise.
set -euo pipefail

packages=(
  cmake make ninja-build g++ clang  # build; clang builds the fuzz targets
  libgtest-dev libgmock-dev       # tests
  libbenchmark-dev                # bench/
  nlohmann-json3-dev              # the tarn tool's JSON
  libnats-dev nats-server         # JetStream connections; their tests run a real server
  man-db groff-base               # the manual pages' tests (man -l, groff)
  systemd                         # systemd-analyze verify of the example units
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
