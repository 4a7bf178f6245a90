#!/usr/bin/env bash
# Checks the public headers (the include folder of the release archive) with
# the warnings strict C++ projects build with, every one an error: each
# header compiles alone, as the first include of a translation unit, under
# C++11 and C++17; calls with string literals, char* variables, null
# pointers and NULL or 0 for the optional strings compile alike and refer to
# exported functions only (every overload lands on an export); an overloaded
# export's address can be taken by naming its type; the functions that write
# their string, and the optional strings, take no read-only string or
# non-zero integer, nor a string literal to a function that writes it; the
# typed bit-stream values refuse what has no whole width; amx/amx.h declares
# exactly the amx_* forwarders that core.so exports, and the other headers
# every other export but the plugin loader's entry points.
# Usage: check_headers.sh <c++ compiler> <include folder> <export list>
set -euo pipefail
cxx=$1
include=$2
list=$3
strict=(-m32 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wcast-qual
  -Wzero-as-null-pointer-constant -Wundef -Werror)
fail=0
headers=$(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
for header in $headers; do
  for std in c++11 c++17; do
    if ! printf '#include <%s>\n' "$header" |
        "$cxx" "${strict[@]}" -std=$std -I "$include" -x c++ -c -o /dev/null -; then
      echo "$header does not compile alone with -std=$std"
      fail=1
    fi
  done
done

# The functions a caller passes literals to, and the bit stream's read-only
# source. The object may refer to exported names only, and to each of these.
literals='ProcessURL|InitRequest|Connect|Send|GetHeaderValue|Util_wildcmp|Util_stristr|Util_strnicmp|'
literals+='Util_Base64Encode|ContainsInvalidNickChars|CanFileBeOpenedForReading'
# The host-facing declarations, and the typed bit-stream values (over
# WriteBits and ReadBits), land on their exports too.
expected=$( (grep -E "^_Z[A-Za-z0-9_]*($literals)[A-Z]" "$list" &&
  printf '%s\n' _ZN6RakNet9BitStreamC1EPhjb _Z17OnPlayerTabUpdateP13RPCParameters _Z11GetGamePoolv \
    _ZN6RakNet9BitStream9WriteBitsEPKhib _ZN6RakNet9BitStream8ReadBitsEPhib) | sort)
exports=$(grep -v -E '^\s*(#|$)' "$list" | sed 's/\s//g' | sort)
object=$(mktemp)
trap 'rm -f "$object"' EXIT
for std in c++11 c++17; do
  if ! "$cxx" "${strict[@]}" -std=$std -I "$include" -x c++ -c -o "$object" - <<'EOF'; then
#include <cstddef>
#include <cstdint>
#include <http/httpclient.h>
#include <plugin/host_exports.h>
#include <raknet/BitStream.h>
#include <util/runutil.h>

// The numbers the READMEs document, which callers built against older headers keep.
static_assert(HTTP_GET == 1 && HTTP_POST == 2 && HTTP_HEAD == 3, "request types");
static_assert(HTTP_ERROR_NONE == 0 && HTTP_ERROR_BAD_HOST == 1 && HTTP_ERROR_NO_SOCKET == 2 &&
                  HTTP_ERROR_CANT_CONNECT == 3 && HTTP_ERROR_CANT_WRITE == 4 && HTTP_ERROR_CONTENT_TOO_BIG == 5 &&
                  HTTP_ERROR_MALFORMED_RESPONSE == 6 && HTTP_ERROR_BAD_REQUEST == 7 &&
                  HTTP_ERROR_INCOMPLETE_RESPONSE == 8,
              "error codes");
static_assert(kHttpMaxUrl == 510 && kHttpMaxHostPart == 255 && kHttpMaxReferer == 255 && kHttpMaxPostData == 16383 &&
                  kHttpRequestBufferSize == 16384 && kHttpHeaderSize == 1024 && kHttpBodySize == 64000,
              "request and response limits");
static_assert(kUtilItoaBufferSize == 34 && UtilBase64BufferSize(3) == 5, "utility buffer sizes");

int UseLiterals(CHttpClient& client, char* buffer) {
  char name[] = "Bot_Alice";
  int sum = client.ProcessURL(HTTP_GET, "127.0.0.1/", nullptr, nullptr);
  sum += client.ProcessURL(HTTP_POST, "127.0.0.1/form", "a=1", "127.0.0.1/");
  sum += client.ProcessURL(HTTP_GET, name, nullptr, nullptr) + client.ProcessURL(HTTP_GET, nullptr, nullptr, nullptr);
  client.InitRequest(HTTP_HEAD, "127.0.0.1/", nullptr, name);
  sum += client.Connect("127.0.0.1", 80) + client.Connect(name, 80);
  sum += client.Send("GET / HTTP/1.0\r\n\r\n") + client.Send(nullptr);
  sum += client.GetHeaderValue("Content-Type:", buffer, 255) + client.GetHeaderValue(name, buffer, 255);
  char value[64];
  sum += client.GetHeaderValue("Content-Type:", value) + client.GetHeaderValue(name, value);
  sum += Util_wildcmp("*.txt", "notes.txt") + Util_wildcmp("Bot_*", name) + Util_wildcmp(name, name);
  sum += (Util_stristr("Hello World", "WORLD") != nullptr) + Util_strnicmp("abc", "ABD", 3);
  Util_Base64Encode("core SDK", buffer);
  Util_Base64Encode(name, buffer);
  sum += ContainsInvalidNickChars("Bot_Alice") + ContainsInvalidNickChars(name);
  static const unsigned char kBytes[] = {0xA5, 0x0F};
  RakNet::BitStream stream(kBytes, sizeof kBytes, false);
  sum += stream.numberOfBitsUsed;
  stream.Write(static_cast<uint16_t>(sum));
  stream.Write(true);
  stream.Write(0.5);
  int8_t small = 0;
  bool flag = false;
  float ratio = 0;
  sum += stream.Read(small) + stream.Read(flag) + stream.Read(ratio);
  return sum + CanFileBeOpenedForReading("/etc/hostname") + CanFileBeOpenedForReading(name);
}

// NULL and 0 for the optional strings; a project building with
// -Wzero-as-null-pointer-constant is warned about its own NULL, as anywhere.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wzero-as-null-pointer-constant"
int UseNull(CHttpClient& client, char* name) {
  int sum = client.ProcessURL(HTTP_GET, "127.0.0.1/", NULL, NULL) + client.ProcessURL(HTTP_POST, name, "a=1", 0);
  sum += client.ProcessURL(HTTP_GET, "127.0.0.1/", NULL, name) + client.ProcessURL(HTTP_GET, name, NULL, "r/");
  client.InitRequest(HTTP_POST, "127.0.0.1/", "a=b", NULL);
  client.InitRequest(HTTP_GET, name, 0, 0);
  return sum;
}
#pragma GCC diagnostic pop

void UseHost(RPCParameters* parameters) {
  if (GetGamePool()) OnPlayerTabUpdate(parameters);
}

int (*WildcmpAddress())(char*, char*) { return static_cast<int (*)(char*, char*)>(&Util_wildcmp); }
int (CHttpClient::*ProcessURLAddress())(int, char*, char*, char*) {
  return static_cast<int (CHttpClient::*)(int, char*, char*, char*)>(&CHttpClient::ProcessURL);
}
EOF
    echo "calls with literals or NULL do not compile with -std=$std"
    fail=1
    continue
  fi
  referred=$(nm -u "$object" | awk '$2 !~ /^(_GLOBAL_OFFSET_TABLE_|_Unwind_Resume|__gxx_personality_v0)$/ {print $2}' | sort)
  # A constructor counts whether the compiler refers to its complete-object
  # (C1) or base-object (C2) name; both are exported.
  missing=$(comm -23 <(echo "$expected") <(sed 's/\(BitStream\)C2E/\1C1E/' <<<"$referred" | sort))
  unexported=$(comm -13 <(echo "$exports") <(echo "$referred"))
  if [ -n "$missing$unexported" ]; then
    echo "calls with literals (-std=$std) miss an exported function (<) or refer to a name not exported (>):"
    sed -n 's/^./< &/p' <<<"$missing"
    sed -n 's/^./> &/p' <<<"$unexported"
    fail=1
  fi
done

# What must not compile, each beside a form that must: a read-only string for
# a string the function writes, a non-zero integer for an optional string.
probe() { # probe <type of text> <statement> [compiler flags]
  printf '%s\n' '#include <http/httpclient.h>' '#include <raknet/BitStream.h>' '#include <util/runutil.h>' \
    "void Probe(CHttpClient& client, RakNet::BitStream& stream, $1 text) { $2; }" |
    "$cxx" -m32 -std=c++17 "${@:3}" -I "$include" -x c++ -fsyntax-only - 2>&1
}
writers=('Util_UrlUnencode(text)' 'Util_strupr(text)' 'ReplaceBadChars(text)' 'Util_strrev(text)'
  'Util_itoa(1, text, 10)' 'Util_Base64Encode("a", text)' 'client.GetHeaderValue("A:", text, 1)'
  'client.Recv(text, 1)' 'stream.Read(text, 1)')
if ! probe 'char*' "$(IFS=';' && echo "${writers[*]}")" "${strict[@]}"; then
  echo "the functions that write their string do not compile with a char*"
  fail=1
fi
for call in "${writers[@]}"; do
  probe 'const char*' "$call" >/dev/null && { echo "$call compiles with a read-only string"; fail=1; }
  probe 'char*' "${call//text/\"abc\"}" >/dev/null && { echo "${call//text/\"abc\"} compiles"; fail=1; }
done
# The typed bit-stream values take no pointer, enumeration, long double (its
# padding bytes) or read-only destination.
typed=('stream.Write(text)' 'stream.Write(HTTP_GET)' 'stream.Write(1.0L)' 'const int k = 0; stream.Read(k)')
for call in "${typed[@]}"; do
  probe 'char*' "$call" >/dev/null && { echo "$call compiles"; fail=1; }
done
integers=('client.ProcessURL(HTTP_POST, "h/", 1, nullptr)' 'client.InitRequest(HTTP_GET, "h/", nullptr, 1)'
  'client.ProcessURL(HTTP_GET, "h/", 1, 0)' 'Util_wildcmp("*", 1)')
for call in "${integers[@]}"; do
  probe int "$call" >/dev/null && { echo "$call compiles with a non-zero integer"; fail=1; }
done

exported=$(grep -o '^amx_[A-Za-z0-9]*' "$list" | sort)
declared=$(grep -o '\bamx_[A-Za-z0-9]*(' "$include/amx/amx.h" | tr -d '(' | sort)
if [ "$exported" != "$declared" ]; then
  echo "amx/amx.h and the export list differ (< exported only, > declared only):"
  diff <(echo "$exported") <(echo "$declared") | grep '^[<>]' || true
  fail=1
fi

# Every other export has a declaration in a shipped header, but the plugin
# loader's entry points, which the server finds by name (a plugin that
# includes the headers has its own of those names).
undeclared=
for symbol in $(grep -v -E '^\s*(#|$)|^amx_|^(Supports|Load|Unload|AmxLoad|AmxUnload|ProcessTick)$' "$list"); do
  name=$(c++filt "$symbol" | sed 's/(.*//; s/.*:://')
  grep -rqE "(^|[^A-Za-z0-9_])$name *[(;]" "$include" || undeclared+=" $symbol"
done
if [ -n "$undeclared" ]; then
  echo "exported but declared in no header:$undeclared"
  fail=1
fi

[ $fail -eq 0 ] && echo "headers: $(wc -w <<<"$headers") compile alone as C++11 and C++17; literals and NULL reach the $(wc -l <<<"$expected") exported functions; $((2 * ${#writers[@]} + ${#integers[@]} + ${#typed[@]})) misuses refused; amx.h declares the $(wc -l <<<"$exported") forwarders; every other export but the loader's entry points is declared"
exit $fail
