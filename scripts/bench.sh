#!/usr/bin/env bash
# Builds the benchmarks (release preset) and runs one, or all, under qemu's
# user-mode emulation with the project's guest instruction counter
# (bench/icount), so that each prints instructions per item and their ratios
# beside the (emulated) times. Counts are the same on every machine; times
# are not. They run in a private network namespace with only loopback where
# the machine allows it (scripts/netns): the HTTP benchmark opens sockets.
# Usage: scripts/bench.sh [NAME [benchmark flags...]]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null

counter=build/release/bench/icount/libicount.so
run() {
  local program=build/release/bench/$1
  shift
  echo "== $(basename "$program") (guest instructions counted by $counter)"
  scripts/netns qemu-i386 -plugin "$counter" "$program" "$@"
}

if [ $# -gt 0 ]; then
  run "$@"
else
  for name in scoreboard_bench bitstream_bench util_bench http_bench; do run "$name"; done
fi
