#!/usr/bin/env bash
# Checks that the built plugin carries the defences of a hardened package:
# relocations done at load and the GOT read-only afterwards (BIND_NOW and
# GNU_RELRO), stack canaries and fortified libc calls in use, no text
# relocations, a stack that is not executable, and no C library symbol
# version beyond the ceiling.
set -euo pipefail
so=$1
. "$(dirname "$0")/glibc_versions.sh"
fail=0

dynamic=$(readelf -dW "$so")
segments=$(readelf -lW "$so")
imports=$(nm -D --undefined-only "$so" | awk '{print $2}' | sed 's/@.*//')

grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || { echo "no BIND_NOW: symbols are bound lazily"; fail=1; }
grep -q 'GNU_RELRO' <<<"$segments" || { echo "no GNU_RELRO segment"; fail=1; }
grep -Eq '\(TEXTREL\)|\(FLAGS\).*TEXTREL' <<<"$dynamic" && { echo "text relocations present"; fail=1; }
stack=$(awk '$1 == "GNU_STACK" {print $(NF-1)}' <<<"$segments")
[ -n "$stack" ] || { echo "no GNU_STACK segment: the stack defaults to executable"; fail=1; }
[[ "$stack" == *E* ]] && { echo "executable stack ($stack)"; fail=1; }
grep -qx '__stack_chk_fail' <<<"$imports" || { echo "no stack canaries (__stack_chk_fail not imported)"; fail=1; }
fortified=$(grep -E '^__[a-z_]+_chk$' <<<"$imports" | grep -vx '__stack_chk_fail' | paste -sd' ' - || true)
[ -n "$fortified" ] || { echo "no fortified libc calls (no __*_chk imported)"; fail=1; }
newest=$(newest_glibc "$so")
if [ -n "$newest" ] && ! version_at_most "$newest" "$GLIBC_CEILING"; then
  echo "imports C library version $newest (ceiling $GLIBC_CEILING)"
  fail=1
fi

if [ $fail -eq 0 ]; then
  echo "core.so: BIND_NOW, GNU_RELRO, stack $stack, no TEXTREL, canaries, fortified: $fortified; GLIBC_$newest at most"
fi
exit $fail
