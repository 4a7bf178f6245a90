#!/usr/bin/env bash
# Checks the built plugin's binary interface: a 32-bit x86 ELF shared object
# whose dynamic symbol table defines exactly the names in the export list,
# whose only dynamic dependencies are system libraries, whose undefined
# symbols all come from libc, no newer than the README's oldest C library,
# and which carries the symbol hash table that C library's loader reads.
set -euo pipefail
so=$1
list=$2
readme=$3
fail=0

header=$(readelf -h "$so")
grep -q 'Class:.*ELF32' <<<"$header" || { echo "not ELF32"; fail=1; }
grep -q 'Machine:.*80386' <<<"$header" || { echo "not i386"; fail=1; }
grep -q 'Type:.*DYN' <<<"$header" || { echo "not a shared object"; fail=1; }

expected=$(grep -v -E '^\s*(#|$)' "$list" | sed 's/\s//g' | sort)
actual=$(nm -D --defined-only "$so" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$expected" != "$actual" ]; then
  echo "export list differs (< expected only, > exported only):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' || true
  fail=1
fi

needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.6|libm.so.6|libdl.so.2|libpthread.so.0|ld-linux.so.2) ;;
    *) echo "unexpected dynamic dependency: $lib"; fail=1 ;;
  esac
done

# Strong undefined symbols must be versioned libc symbols; weak ones may stay unresolved.
foreign=$(nm -D --undefined-only "$so" | awk '$1 == "U" {print $2}' | grep -v '@GLIBC_' || true)
if [ -n "$foreign" ]; then
  echo "undefined symbols not from libc:"; echo "$foreign"; fail=1
fi

# C libraries before 2.5 look symbols up through .hash alone; later ones
# prefer .gnu.hash. Both must be there for the promised oldest one.
sections=$(readelf -SW "$so")
for table in .hash .gnu.hash; do
  grep -qE "\] ${table/./\\.} +" <<<"$sections" || { echo "no $table section: link with -Wl,--hash-style=both"; fail=1; }
done

# Loads on older server machines: everything imported is covered by the
# oldest C library the README promises, which is within the ceiling.
. "$(dirname "$0")/glibc_versions.sh"
newest=$(newest_glibc "$so")
floor=$(stated_glibc_floor "$readme")
if [ -z "$floor" ]; then
  echo "the README states no oldest C library (\"C library (version X or later\")"
  fail=1
elif ! version_at_most "$floor" "$GLIBC_CEILING"; then
  echo "the README's oldest C library $floor is newer than the ceiling $GLIBC_CEILING"
  fail=1
elif [ -n "$newest" ] && ! version_at_most "$newest" "$floor"; then
  echo "needs C library version $newest, but the README promises $floor (ceiling $GLIBC_CEILING)"
  fail=1
fi

if [ $fail -eq 0 ]; then
  echo "core.so: ELF32 i386, $(wc -l <<<"$actual") exports as listed, needs: $needed (GLIBC_$newest at most; loads on C library $floor or later), .hash and .gnu.hash"
fi
exit $fail
