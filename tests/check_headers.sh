#!/usr/bin/env bash
# Checks the public headers (the include folder of the release archive): each
# compiles alone, as the first include of a translation unit, under C++11 and
# C++17 with every warning an error; calls with string literals, char*
# variables and null pointers compile alike and reach exactly the exported
# functions; and amx/amx.h declares exactly the amx_* forwarders that core.so
# exports.
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

# The functions a caller passes literals to. The object's undefined symbols
# must be exactly their exported names: every overload lands on the export.
literals='ProcessURL|InitRequest|Connect|Send|GetHeaderValue|Util_wildcmp|Util_stristr|Util_strnicmp|'
literals+='Util_Base64Encode|ContainsInvalidNickChars|CanFileBeOpenedForReading'
expected=$(grep -E "^_Z[A-Za-z0-9_]*($literals)[A-Z]" "$list" | sort)
object=$(mktemp)
trap 'rm -f "$object"' EXIT
for std in c++11 c++17; do
  if ! "$cxx" -m32 -std=$std -Wall -Wextra -Wpedantic -Werror -I "$include" -x c++ -c -o "$object" - <<'EOF'; then
#include <http/httpclient.h>
#include <util/runutil.h>

int UseLiterals(CHttpClient& client, char* buffer) {
  char name[] = "Bot_Alice";
  int sum = client.ProcessURL(HTTP_GET, "127.0.0.1/", nullptr, nullptr);
  sum += client.ProcessURL(HTTP_POST, "127.0.0.1/form", "a=1", "127.0.0.1/");
  sum += client.ProcessURL(HTTP_GET, name, nullptr, nullptr) + client.ProcessURL(HTTP_GET, nullptr, nullptr, nullptr);
  client.InitRequest(HTTP_HEAD, "127.0.0.1/", nullptr, name);
  sum += client.Connect("127.0.0.1", 80) + client.Connect(name, 80);
  sum += client.Send("GET / HTTP/1.0\r\n\r\n") + client.Send(nullptr);
  sum += client.GetHeaderValue("Content-Type:", buffer, 255) + client.GetHeaderValue(name, buffer, 255);
  sum += Util_wildcmp("*.txt", "notes.txt") + Util_wildcmp("Bot_*", name) + Util_wildcmp(name, name);
  sum += (Util_stristr("Hello World", "WORLD") != nullptr) + Util_strnicmp("abc", "ABD", 3);
  Util_Base64Encode("core SDK", buffer);
  Util_Base64Encode(name, buffer);
  sum += ContainsInvalidNickChars("Bot_Alice") + ContainsInvalidNickChars(name);
  return sum + CanFileBeOpenedForReading("/etc/hostname") + CanFileBeOpenedForReading(name);
}
EOF
    echo "calls with literals do not compile with -std=$std"
    fail=1
  elif [ "$(nm -u "$object" | awk '$2 != "_GLOBAL_OFFSET_TABLE_" {print $2}' | sort)" != "$expected" ]; then
    echo "calls with literals (-std=$std) do not refer to exactly the exported functions (< exported, > referred to):"
    diff <(echo "$expected") <(nm -u "$object" | awk '$2 != "_GLOBAL_OFFSET_TABLE_" {print $2}' | sort) | grep '^[<>]' || true
    fail=1
  fi
done

exported=$(grep -o '^amx_[A-Za-z0-9]*' "$list" | sort)
declared=$(grep -o '\bamx_[A-Za-z0-9]*(' "$include/amx/amx.h" | tr -d '(' | sort)
if [ "$exported" != "$declared" ]; then
  echo "amx/amx.h and the export list differ (< exported only, > declared only):"
  diff <(echo "$exported") <(echo "$declared") | grep '^[<>]' || true
  fail=1
fi

[ $fail -eq 0 ] && echo "headers: $(wc -w <<<"$headers") compile alone as C++11 and C++17; literals reach the $(wc -l <<<"$expected") exported functions; amx.h declares the $(wc -l <<<"$exported") forwarders"
exit $fail
