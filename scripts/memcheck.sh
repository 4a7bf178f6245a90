#!/usr/bin/env bash
# Runs the test host's demo (release build) under valgrind's memcheck and fails
# on any error or definite leak. Valgrind runs 32-bit programs natively only:
# on a kernel without 32-bit support it cannot run at all, and this says so.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "memcheck: skipped: this kernel cannot run 32-bit programs natively, and valgrind cannot run under emulation"
  exit 0
fi
valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=definite --leak-check=full \
  build/release/testhost/testhost build/release/core.so >/dev/null
