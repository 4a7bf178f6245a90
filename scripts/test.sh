#!/usr/bin/env bash
# Builds core.so and runs every check: the test suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, a short run of every fuzz target, the line
# and branch coverage of the product code against its floors, the demo
# and the release test programs (without the soak loops) under valgrind's
# memcheck, and the release test suite last (its summary closes the output).
# The sanitizer and release suites include the soak loops (label soak). The
# tests that open sockets run in private network namespaces (scripts/netns).
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== network: $(scripts/netns --check || true)"

echo "== sanitizers: build and test (ASan + UBSan)"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

echo "== fuzz targets: short runs from the seed corpora"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-15}"

echo "== coverage: the test suite's lines and branches against the floors in scripts/coverage.sh"
bash scripts/coverage.sh

echo "== release: build"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

echo "== demo and release test programs under valgrind memcheck"
bash scripts/memcheck.sh

echo "== release: tests"
ctest --preset release -j "$jobs"
