#!/usr/bin/env bash
# Builds the release archive build/release/core-<version>-linux-x86.tar.gz.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target core
(cd build/release && cpack --config CPackConfig.cmake >/dev/null)
ls build/release/core-*-linux-x86.tar.gz
