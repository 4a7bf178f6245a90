// Figures for the soak tests (CTest label soak): heap in use and open
// descriptors before and after a long loop, printed in one line and checked.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstddef>
#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer runtime's
#endif

namespace soak {

// Bytes of heap in use. Exact with malloc's per-thread cache off, which CTest
// sets for these tests (GLIBC_TUNABLES=glibc.malloc.tcache_count=0): cached
// blocks count as in use. Under AddressSanitizer, its allocator's count.
inline size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // blocks in the arenas and blocks mapped on their own
#endif
}

inline int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

// Takes the figures when made (or at Restart, after a warm-up round) and
// compares them at Report.
class Gauge {
 public:
  Gauge() { Restart(); }
  void Restart() {
    descriptors_ = OpenDescriptors();
    heap_ = HeapInUse();
  }
  size_t heapBefore() const { return heap_; }

  // Prints "soak <what>: <count> <unit>, descriptors a -> b, heap x -> y
  // bytes" and expects both unchanged.
  void Report(const char* what, long count, const char* unit) const {
    const size_t heap = HeapInUse();
    const int descriptors = OpenDescriptors();
    std::printf("soak %s: %ld %s, descriptors %d -> %d, heap %zu -> %zu bytes\n", what, count, unit, descriptors_,
                descriptors, heap_, heap);
    std::fflush(stdout);
    EXPECT_EQ(descriptors, descriptors_) << what;
    EXPECT_EQ(heap, heap_) << what;
  }

 private:
  int descriptors_ = 0;
  size_t heap_ = 0;
};

}  // namespace soak
