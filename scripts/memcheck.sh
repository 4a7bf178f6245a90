#!/usr/bin/env bash
# Runs the test host's demo and the release test programs under valgrind's
# memcheck and fails on any error or definite leak. The test programs run as
# CTest runs them (the same arguments and environment, in a private network
# namespace where CTest puts them), the soak loops (label soak) left out:
# valgrind makes them too slow. Tests that interpose the allocator skip
# themselves under valgrind (tests/valgrind_support.h). Valgrind runs 32-bit
# programs natively only: on a kernel without 32-bit support it cannot run at
# all, and this says so. Prints how long each program took.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "memcheck: skipped: this kernel cannot run 32-bit programs natively, and valgrind cannot run under emulation"
  exit 0
fi
valgrind=(valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=definite --leak-check=full)

start=$SECONDS
# The host runs the gamemode compiled beside it on the real script engine where installed.
"${valgrind[@]}" build/release/testhost/testhost build/release/core.so >/dev/null
echo "memcheck: demo clean ($((SECONDS - start)) s)"

ctest --preset release -N --show-only=json-v1 >build/release/memcheck-tests.json
python3 - build/release/memcheck-tests.json "$PWD/build/release/tests/" "${valgrind[@]}" <<'EOF'
import json, os, subprocess, sys, time

listing, programs, valgrind = sys.argv[1], sys.argv[2], sys.argv[3:]
failed, began = [], time.monotonic()
for test in json.load(open(listing))["tests"]:
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    command = test.get("command") or []
    at = next((i for i, word in enumerate(command) if word.startswith(programs)), None)
    if at is None or "soak" in props.get("LABELS", []):
        continue  # a script check, or a soak loop
    env = dict(os.environ)
    env.update(item.split("=", 1) for item in props.get("ENVIRONMENT", []))
    log = "build/release/memcheck-%s.log" % test["name"]
    started = time.monotonic()
    with open(log, "w") as out:
        try:
            status = subprocess.run(command[:at] + valgrind + command[at:], env=env, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=900).returncode
        except subprocess.TimeoutExpired:
            status = "timed out"
    print("memcheck: %s %s (%d s)" % (test["name"], "clean" if status == 0 else "FAILED: %s, see %s" % (status, log),
                                      time.monotonic() - started), flush=True)
    if status != 0:
        failed.append(test["name"])
        with open(log) as out:
            sys.stdout.write("".join(out.readlines()[-60:]))
print("memcheck: test programs took %d s" % (time.monotonic() - began))
sys.exit(1 if failed else 0)
EOF
