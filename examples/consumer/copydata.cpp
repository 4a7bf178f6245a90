// CopyData hands out an array that the caller releases with delete[], also in
// a program that replaces operator new[] and delete[] (build with
// -DREPLACE_ARRAY_NEW: this delete[] aborts on an array that this new[] did
// not hand out) or that runs under AddressSanitizer or a memory checker.
// Exit status 0 when both copies held the stream's bytes.
#include <raknet/BitStream.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef REPLACE_ARRAY_NEW
namespace {
// Every array carries this word in a header in front of it.
const unsigned kMagic = 0xC0DEA11Cu;
const std::size_t kHeader = 16;  // keeps the array 16-byte aligned
int live = 0;

void* Allocate(std::size_t size) noexcept {
  unsigned char* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &kMagic, sizeof kMagic);
  ++live;
  return block + kHeader;
}

void Release(void* array) noexcept {
  if (!array) return;
  unsigned char* block = static_cast<unsigned char*>(array) - kHeader;
  unsigned magic;
  std::memcpy(&magic, block, sizeof magic);
  if (magic != kMagic) {
    std::fputs("delete[] of an array that this program's new[] did not hand out\n", stderr);
    std::abort();
  }
  std::memset(block, 0, sizeof magic);
  --live;
  std::free(block);
}
}  // namespace

void* operator new[](std::size_t size) {
  void* array = Allocate(size);
  if (!array) throw std::bad_alloc();
  return array;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete[](void* array) noexcept { Release(array); }
void operator delete[](void* array, std::size_t) noexcept { Release(array); }
#endif

namespace {
// Copies the stream's used bytes and checks them against `expected`.
bool CopyAndRelease(const RakNet::BitStream& stream, const unsigned char* expected, int bits) {
  unsigned char* copy = nullptr;
  const int copied = stream.CopyData(&copy);
  bool same = copied == bits && copy && std::memcmp(copy, expected, static_cast<std::size_t>((bits + 7) / 8)) == 0;
#ifdef REPLACE_ARRAY_NEW
  same = same && live == 1;  // the array came from this program's new[]
#endif
  delete[] copy;
#ifdef REPLACE_ARRAY_NEW
  same = same && live == 0;
#endif
  return same;
}
}  // namespace

int main() {
  const unsigned char small[] = {0xAB, 0xCD, 0xE0};
  RakNet::BitStream inlineStream;
  inlineStream.WriteBits(small, 20, false);

  unsigned char large[300];
  for (int i = 0; i < 300; ++i) large[i] = static_cast<unsigned char>(i * 7);
  RakNet::BitStream heapStream(large, sizeof large, true);

  const bool ok = CopyAndRelease(inlineStream, small, 20) && CopyAndRelease(heapStream, large, 2400);
  std::printf("copydata: %s\n", ok ? "both copies released with delete[]" : "a copy differs");
  return ok ? 0 : 1;
}
