// String, URL and encoding utilities.
#include "util/runutil.h"

char Util_toupper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

char* Util_stristr(const char* haystack, const char* needle) {
  if (!*needle) return nullptr;
  for (; *haystack; ++haystack) {
    const char* h = haystack;
    const char* n = needle;
    while (*n && Util_toupper(*h) == Util_toupper(*n)) ++h, ++n;
    if (!*n) return const_cast<char*>(haystack);
  }
  return nullptr;
}
