// Util_UrlUnencode on arbitrary strings that end right before an inaccessible
// page, checked against a decoder built from the escape rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/util_guard_page.h"
#include "util/runutil.h"

namespace {

unsigned DigitValue(char c) {
  const char* hex = "0123456789ABCDEF0123456789abcdef";
  const char* at = c ? strchr(hex, c) : nullptr;
  return at ? static_cast<unsigned>(at - hex) % 16 : 0;
}

// Decodes the n bytes at in into out and returns the decoded length.
size_t Decode(const char* in, size_t n, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    if (in[i] == '%') {
      if (n - i < 3) break;  // cut short: dropped
      out[written++] = static_cast<char>(DigitValue(in[i + 1]) * 16 + DigitValue(in[i + 2]));
      i += 3;
    } else {
      out[written++] = in[i] == '+' ? ' ' : in[i];
      ++i;
    }
  }
  return written;
}

}  // namespace

// Under user-mode emulation the sanitizer's 32-bit allocator fails once the
// process has mapped a few hundred MB; a small quarantine keeps memory flat.
// The leak check at exit needs ptrace, which the emulation lacks: it would hang.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GuardedString page;
  static char expected[65536];
  const char* in = reinterpret_cast<const char*>(data);
  const size_t n = strnlen(in, size);
  if (n > page.capacity() || n >= sizeof expected) return 0;
  char* s = page.place(in, n);
  Util_UrlUnencode(s);
  const size_t decoded = Decode(in, n, expected);
  expected[decoded] = 0;
  if (memcmp(s, expected, decoded + 1) != 0) abort();
  return 0;
}
