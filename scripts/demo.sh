#!/usr/bin/env bash
# Builds core.so, the test host and the demo's gamemode, then runs the host's
# demo: the plugin is loaded as the game server loads it and exercised through
# its interface by a compiled script.
# Installs only what that needs; the demo preset leaves the tests and the
# benchmarks (and what they need) out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo

cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target core testhost >/dev/null
# The gamemode is compiled where the script compiler is installed; the host
# takes it from beside itself and runs it on the real script engine where
# that is installed, else its model plays the gamemode. Its first lines say
# which.
exec scripts/run32 build/demo/testhost/testhost build/demo/core.so
