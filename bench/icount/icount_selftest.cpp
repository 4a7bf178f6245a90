// Checks the instruction counter against loops whose instruction counts are
// known: two instructions an iteration, so 3000 iterations must count exactly
// 4000 more than 1000 (everything else in the two measurements is the same).
#include <cstdio>

#include "bench/icount.h"

namespace {

__attribute__((noinline)) void Spin(int n) { asm volatile("1: dec %0\n\tjnz 1b" : "+r"(n)); }

int64_t Measure(int iterations) {
  const int64_t start = icount::Now();
  Spin(iterations);
  return icount::Now() - start;
}

}  // namespace

int main() {
  if (!icount::Available()) {
    std::puts("icount_selftest: no counter: run under qemu-i386 -plugin libicount.so");
    return 1;
  }
  Measure(1000);  // binds the library calls lazily resolved on first use
  const int64_t shorter = Measure(1000), longer = Measure(3000);
  std::printf("icount_selftest: 1000 iterations %lld instructions, 3000 iterations %lld\n",
              static_cast<long long>(shorter), static_cast<long long>(longer));
  return longer - shorter == 4000 ? 0 : 1;
}
