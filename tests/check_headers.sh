#!/usr/bin/env bash
# Checks the public headers (the include folder of the release archive): each
# compiles alone, as the first include of a translation unit, under C++11 and
# C++17 with every warning an error; and amx/amx.h declares exactly the amx_*
# forwarders that core.so exports.
# Usage: check_headers.sh <c++ compiler> <include folder> <export list>
set -euo pipefail
cxx=$1
include=$2
list=$3
fail=0
headers=$(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
for header in $headers; do
  for std in c++11 c++17; do
    if ! printf '#include <%s>\n' "$header" |
        "$cxx" -m32 -std=$std -Wall -Wextra -Wpedantic -Werror -I "$include" -x c++ -c -o /dev/null -; then
      echo "$header does not compile alone with -std=$std"
      fail=1
    fi
  done
done

exported=$(grep -o '^amx_[A-Za-z0-9]*' "$list" | sort)
declared=$(grep -o '\bamx_[A-Za-z0-9]*(' "$include/amx/amx.h" | tr -d '(' | sort)
if [ "$exported" != "$declared" ]; then
  echo "amx/amx.h and the export list differ (< exported only, > declared only):"
  diff <(echo "$exported") <(echo "$declared") | grep '^[<>]' || true
  fail=1
fi

[ $fail -eq 0 ] && echo "headers: $(wc -w <<<"$headers") compile alone as C++11 and C++17; amx.h declares the $(wc -l <<<"$exported") forwarders"
exit $fail
