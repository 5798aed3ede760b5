#!/usr/bin/env bash
# Builds every libFuzzer target under tests/fuzz/ with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a short while.
#   scripts/run-fuzz.sh [SECONDS]     (default 20 per target)
# FUZZ_BUILD_DIR chooses the build folder (default build-fuzz); each target
# keeps its corpus in FOLDER/fuzz-corpus/TARGET between runs. Exits non-zero
# when a build fails or a target finds a crash.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
dir="${FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${JOBS:-2}"

if ! command -v clang++ >/dev/null; then
  echo "run-fuzz: clang++ is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

targets=$(sed -n 's/^add_executable(\([A-Za-z0-9_]*_fuzz\).*/\1/p' tests/fuzz/*/CMakeLists.txt | sort -u)
if [ -z "$targets" ]; then
  echo "run-fuzz: no fuzz targets under tests/fuzz/"
  exit 0
fi

echo "== $dir: configure and build the fuzz targets"
# A new folder uses Ninja when it is installed; one configured before keeps
# its generator.
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
CC=clang CXX=clang++ cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_TESTS=ON \
  -DRELAY_FUZZ=ON -DRELAY_SANITIZE=address -DRELAY_BENCH=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" -j "$jobs" --target $targets

status=0
for t in $targets; do
  corpus="$dir/fuzz-corpus/$t"
  mkdir -p "$corpus"
  echo "== $t: ${seconds} s"
  # A fixed seed makes a run repeatable; a slow input fails within -timeout
  # instead of holding the run for ever.
  if ! "$dir/bin/$t" -max_total_time="$seconds" -seed=1 -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="$dir/fuzz-corpus/$t-" "$corpus" >"$dir/fuzz-corpus/$t.log" 2>&1; then
    echo "run-fuzz: $t failed; see $dir/fuzz-corpus/$t.log" >&2
    tail -n 40 "$dir/fuzz-corpus/$t.log" >&2
    status=1
  else
    grep -E '^#[0-9]+' "$dir/fuzz-corpus/$t.log" | tail -n 1 || true
  fi
done
exit $status
