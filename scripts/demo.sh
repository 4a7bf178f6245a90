#!/usr/bin/env bash
# Builds core.so and the test host, then runs the host's demo: the plugin is
# loaded as the game server loads it and exercised through its interface.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target core testhost >/dev/null
exec scripts/run32 build/release/testhost/testhost build/release/core.so
