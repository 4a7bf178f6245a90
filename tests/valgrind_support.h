// Whether the test program runs under valgrind. Valgrind's allocator then
// stands in for every malloc, realloc and free, the ones a test program
// defines to interpose the heap included, so the tests that need their own
// failing or recording heap skip (as they do under AddressSanitizer).
#pragma once

#include <cstdlib>
#include <cstring>

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#endif

inline bool UnderValgrind() {
#if defined(RUNNING_ON_VALGRIND)
  return RUNNING_ON_VALGRIND != 0;
#else
  // Without the header: valgrind preloads its own libraries into the program.
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "vgpreload");
#endif
}
