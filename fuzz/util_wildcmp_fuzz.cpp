// Util_wildcmp against the recursive matcher. Input: pattern, a zero byte,
// text. Sizes stay small because the recursive oracle is exponential in '*'.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/util_guard_page.h"
#include "tests/util_wildcmp_oracle.h"
#include "util/runutil.h"

namespace {
constexpr size_t kMaxPattern = 10;
constexpr size_t kMaxText = 20;
}  // namespace

// Under user-mode emulation the sanitizer's 32-bit allocator fails once the
// process has mapped a few hundred MB; a small quarantine keeps memory flat.
// The leak check at exit needs ptrace, which the emulation lacks: it would hang.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GuardedString pattern_page, text_page;
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t pattern_len = strnlen(bytes, size);
  const char* text_start = bytes + pattern_len + (pattern_len < size);
  const size_t text_len = strnlen(text_start, bytes + size - text_start);
  if (pattern_len > kMaxPattern || text_len > kMaxText) return 0;
  char* pattern = pattern_page.place(bytes, pattern_len);
  char* text = text_page.place(text_start, text_len);
  const int expected = WildcardMatches(pattern, text) ? 1 : 0;
  if (Util_wildcmp(pattern, text) != expected) abort();
  return 0;
}
