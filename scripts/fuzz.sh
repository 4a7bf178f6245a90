#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -m32, ASan+UBSan) and gives each a short
# run from its committed seed corpus. Usage: scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  # The seeds are named one by one: under user-mode emulation the fuzzer
  # cannot list a directory.
  seeds=$(find "fuzz/corpus/$name" -type f 2>/dev/null | sort | paste -sd, -)
  echo "fuzz: $name for ${seconds}s from $(find "fuzz/corpus/$name" -type f 2>/dev/null | wc -l) seeds"
  # No leak checking: it stops the world with ptrace, which user-mode
  # emulation lacks, and would hang at exit.
  if ! ASAN_OPTIONS=detect_leaks=0 timeout -k 10 $((seconds * 3 + 120)) scripts/run32 "$target" \
      -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 -detect_leaks=0 \
      ${seeds:+-seed_inputs="$seeds"} "$work" >"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    echo "fuzz: $name FAILED"
    status=1
  else
    grep -E 'INITED|stat::number_of_executed_units' "$work.log" | tr -s ' \n' ' '; echo
  fi
  rm -rf "$work" "$work.log"
done
exit $status
