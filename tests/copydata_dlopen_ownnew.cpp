// The dlopen host of copydata_dlopen_host.c as a C++ program with its own
// operator new[] and delete[], as a server may have: CopyData's array must
// come from this new[], whose delete[] rejects any other.
#include <raknet/BitStream.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tests/valgrind_support.h"

static_assert(sizeof(RakNet::BitStream) == 276, "the stream storage of copydata_dlopen_host.c");

namespace {
// Every array of this new[] follows a 16-byte header (keeping it aligned)
// that starts with this word.
const unsigned kMagic = 0xA77A1234u;
const std::size_t kHeader = 16;
int liveArrays = 0;

void* Allocate(std::size_t size) noexcept {
  unsigned char* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &kMagic, sizeof kMagic);
  ++liveArrays;
  return block + kHeader;
}
}  // namespace

void* operator new[](std::size_t size) {
  void* array = Allocate(size);
  if (!array) throw std::bad_alloc();
  return array;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete[](void* array) noexcept {
  if (!array) return;
  unsigned char* block = static_cast<unsigned char*>(array) - kHeader;
  if (std::memcmp(block, &kMagic, sizeof kMagic) != 0) {
    std::fputs("delete[] of an array that this host's new[] did not make\n", stderr);
    std::abort();
  }
  std::memset(block, 0, sizeof kMagic);
  --liveArrays;
  std::free(block);
}
void operator delete[](void* array, std::size_t) noexcept { operator delete[](array); }

// Valgrind stands in for this program's new[] as for any other.
bool HostSkips() {
  if (UnderValgrind()) std::puts("copydata: skipped: valgrind replaces this host's operator new[]");
  return UnderValgrind();
}

bool HostTakesCopy(unsigned char* copy) {
  if (liveArrays != 1) return false;  // the array is not from this new[]
  delete[] copy;
  return liveArrays == 0;
}

#include "tests/copydata_dlopen_host.c"
