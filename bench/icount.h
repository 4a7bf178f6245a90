// Guest instructions executed so far, read from the counter that
// bench/icount/icount_plugin.c adds to qemu's user-mode emulation
// (scripts/bench.sh runs every benchmark under it). Without the counter the
// figures are absent and benchmarks print times only.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace icount {

// Must match ICOUNT_SYSCALL_READ in bench/icount/icount_plugin.c.
constexpr long kReadSyscall = 0x1C0C7;

// Counter value, or -1 when no counter is loaded. The pipe is made once; its
// read end does not block, so a missing counter shows as an empty pipe.
inline int64_t Now() {
  static int ends[2] = {-1, -1};
  if (ends[0] < 0 && pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  syscall(kReadSyscall, ends[1]);
  uint64_t value;
  if (read(ends[0], &value, sizeof value) != static_cast<ssize_t>(sizeof value)) return -1;
  return static_cast<int64_t>(value);
}

inline bool Available() { return Now() >= 0; }

}  // namespace icount
