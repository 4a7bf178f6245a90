// Util_UrlUnencode on arbitrary strings that end right before an inaccessible
// page, checked against a decoder built from the escape rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/util_guard_page.h"
#include "util/runutil.h"

namespace {

unsigned DigitValue(char c) {
  const char* hex = "0123456789ABCDEF0123456789abcdef";
  const char* at = c ? strchr(hex, c) : nullptr;
  return at ? static_cast<unsigned>(at - hex) % 16 : 0;
}

std::string Decode(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size();) {
    if (in[i] == '%') {
      if (in.size() - i < 3) break;  // cut short: dropped
      out += static_cast<char>(DigitValue(in[i + 1]) * 16 + DigitValue(in[i + 2]));
      i += 3;
    } else {
      out += in[i] == '+' ? ' ' : in[i];
      ++i;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GuardedString page;
  const std::string in(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  if (in.size() > page.capacity()) return 0;
  char* s = page.place(in.data(), in.size());
  Util_UrlUnencode(s);
  const std::string expected = Decode(in);
  if (memcmp(s, expected.c_str(), expected.size() + 1) != 0) abort();
  return 0;
}
