#!/usr/bin/env bash
# Line and branch coverage of the product code by the test suite: builds the
# coverage preset (gcc --coverage, -O0, in build/coverage), runs every CTest
# entry but lint and the soak loops (they reach no product line or branch
# the others miss), and writes with gcovr an HTML report,
# build/coverage/html/index.html, and a JSON summary,
# build/coverage/summary.json, over plugin/, amx/, raknet/, http/, util/ and
# the public headers in include/. Fails when a test fails or when lines or
# branches fall below the floors here, which CI (scripts/test.sh) holds.
# Exception branches and those the compiler marks unreachable are not
# counted; code no test can reach carries a gcovr exclusion marker with its
# reason (docs/developing.md). Needs gcovr (scripts/setup.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
line_floor=100.0    # percent, compared as gcovr prints it: cut to one decimal
branch_floor=100.0  # percent
build=build/coverage
jobs=$(nproc)

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"
# Counters add up across runs: each measurement starts from none.
find "$build" -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" -E '^lint$' -LE soak

# The gcov of the compiler that built the counters reads them.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
mkdir -p "$build/html"
# gcov can print "branch N taken -1" (a count derived from others that came
# out negative), a line gcovr 5.2 stops on unless told to skip it.
gcovr --root . "$build" -j "$jobs" --gcov-executable "gcov-$("$cxx" -dumpversion)" --gcov-ignore-parse-errors \
  --filter 'plugin/' --filter 'amx/' --filter 'raknet/' --filter 'http/' --filter 'util/' --filter 'include/' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --html-details "$build/html/index.html" --json-summary "$build/summary.json" --json-summary-pretty \
  --print-summary --fail-under-line "$line_floor" --fail-under-branch "$branch_floor"
