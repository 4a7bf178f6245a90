#!/usr/bin/env bash
# Builds core.so and the test host, then runs the host's demo: the plugin is
# loaded as the game server loads it and exercised through its interface.
# Installs only what that needs; the demo preset leaves the tests and the
# benchmarks (and what they need) out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo

cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target core testhost >/dev/null
exec scripts/run32 build/demo/testhost/testhost build/demo/core.so
