#!/usr/bin/env bash
# Builds the release archive build/release/core-<version>-linux-x86.tar.gz and
# SHA256SUMS beside it. The archive is reproducible (CPack's post-build
# script cmake/reproducible_archive.cmake): its time stamps are
# SOURCE_DATE_EPOCH, else the HEAD commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target core
(cd build/release && cpack --config CPackConfig.cmake >/dev/null)
ls build/release/core-*-linux-x86.tar.gz build/release/SHA256SUMS
