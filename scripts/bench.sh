#!/usr/bin/env bash
# Builds the benchmarks (release preset) and runs one, or all, twice:
# - natively, where the kernel runs 32-bit programs (as scripts/run32 tests),
#   several repetitions, for the time ratios of the real processor from the
#   median of the repetitions, with the machine named;
# - on any machine, under qemu's user-mode emulation with the project's guest
#   instruction counter (bench/icount), for the exact instruction ratios.
# Where 32-bit programs cannot run natively only the second run happens, and
# it says that its times are emulated. Each run ends with its ratio table,
# every ratio beside its target and whether it is met. The benchmarks run in a
# private network namespace with only loopback where the machine allows it
# (scripts/netns): the HTTP benchmark opens sockets.
# Usage: scripts/bench.sh [NAME [benchmark flags...]]
# Environment: BENCH_REPETITIONS (native repetitions, default 5), BENCH_CPU
# (the core to pin native runs to, e.g. 1; default unpinned).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# A benchmark whose 32-bit libraries could not be installed is left out by
# the build, which names them.
cmake --preset release | sed -n 's/^-- \(Benchmarks left out.*\)/bench: \1/p'
cmake --build --preset release -j "$(nproc)" >/dev/null

counter=build/release/bench/icount/libicount.so
repetitions=${BENCH_REPETITIONS:-5}
pin=()
[ -n "${BENCH_CPU:-}" ] && pin=(taskset -c "$BENCH_CPU")
# No colour codes into a file or a pipe.
colour=(--benchmark_color=false)
[ -t 1 ] && colour=()

native=false
/lib/ld-linux.so.2 --version >/dev/null 2>&1 && native=true

machine() {
  local cpu
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  echo "${cpu:-unknown processor}, $(nproc) cores, Linux $(uname -r) $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg)"
}

run() {
  local program=build/release/bench/$1
  shift
  local name
  name=$(basename "$program")
  if [ ! -x "$program" ]; then
    echo "== $name left out: not built (its 32-bit libraries are missing, as said above)"
    return 0
  fi
  if $native; then
    echo "== $name natively: median of $repetitions repetitions${pin:+, pinned to core $BENCH_CPU}, on $(machine)"
    scripts/netns "${pin[@]}" "$program" --benchmark_repetitions="$repetitions" \
      --benchmark_report_aggregates_only=true "${colour[@]}" "$@"
    echo "== $name under qemu-i386 with the guest instruction counter: exact instruction counts (times emulated)"
  else
    echo "== $name under qemu-i386 with the guest instruction counter: exact instruction counts;" \
      "this kernel runs no 32-bit programs natively, so the times are emulated ($(machine))"
  fi
  scripts/netns qemu-i386 -plugin "$counter" "$program" "${colour[@]}" "$@"
}

if [ $# -gt 0 ]; then
  run "$@"
else
  for name in scoreboard_bench bitstream_bench util_bench http_bench; do run "$name"; done
fi
