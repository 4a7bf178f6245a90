// Util_Base64Encode round trip: the output has the exact padded length, uses
// only the alphabet and decodes back to the source. Both buffers are heap
// blocks of exactly the stated size, so an overrun is reported.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/runutil.h"

namespace {

// Decodes a padded encoding (length a multiple of 4); returns the number of
// bytes written, or -1 on a character outside the table.
int Decode(const char* in, size_t len, unsigned char* out) {
  const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  int n = 0;
  for (size_t i = 0; i < len; i += 4) {
    uint32_t group = 0;
    int pads = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = in[i + k];
      const char* at = c ? strchr(table, c) : nullptr;
      if (c == '=' && i + 4 == len && k >= 2) {
        ++pads;
      } else if (!at || pads) {
        return -1;
      }
      group = group << 6 | (at ? static_cast<uint32_t>(at - table) : 0);
    }
    for (int k = 0; k < 3 - pads; ++k) out[n++] = static_cast<unsigned char>(group >> (16 - 8 * k));
  }
  return n;
}

}  // namespace

// Under user-mode emulation the sanitizer's 32-bit allocator fails once the
// process has mapped a few hundred MB; a small quarantine keeps memory flat.
// The leak check at exit needs ptrace, which the emulation lacks: it would hang.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  const size_t encoded_len = 4 * ((n + 2) / 3);
  char* source = static_cast<char*>(malloc(n + 1));
  char* out = static_cast<char*>(malloc(encoded_len + 1));
  unsigned char* back = static_cast<unsigned char*>(malloc(n + 1));
  memcpy(source, data, n);
  source[n] = 0;
  Util_Base64Encode(source, out);
  if (strlen(out) != encoded_len) abort();
  if (Decode(out, encoded_len, back) != static_cast<int>(n) || memcmp(back, source, n) != 0) abort();
  free(source);
  free(out);
  free(back);
  return 0;
}
