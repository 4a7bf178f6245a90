// What the stream does when the heap refuses: the write that needed the memory
// is dropped and the stream stays as it was. The test binary interposes malloc
// and realloc (core.so calls them through the dynamic linker) and fails
// requests of either, or of both, while armed; the sanitizer build and
// valgrind have their own allocator and skip.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tests/bitstream_test_util.h"
#include "tests/valgrind_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define BITSTREAM_FAILING_HEAP 0
#else
#define BITSTREAM_FAILING_HEAP 1

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);
extern "C" void __libc_free(void* p);

namespace {
enum : unsigned { kMalloc = 1, kRealloc = 2 };
size_t failFrom = SIZE_MAX;     // requests of at least this many bytes fail,
unsigned failing = 0;           // made through these functions
const void* watched = nullptr;  // free() and realloc() of this pointer are recorded, not done
bool watchedFreed = false;
bool watchedResized = false;
}  // namespace

extern "C" void free(void* p) {
  if (p && p == watched) {
    watchedFreed = true;
    return;
  }
  __libc_free(p);
}

extern "C" void* malloc(size_t size) { return (failing & kMalloc) && size >= failFrom ? nullptr : __libc_malloc(size); }
extern "C" void* realloc(void* p, size_t size) {
  if (p && p == watched) {
    watchedResized = true;
    return nullptr;
  }
  return (failing & kRealloc) && size >= failFrom ? nullptr : __libc_realloc(p, size);
}
#endif

namespace {

using RakNet::BitStream;
using namespace bstest;

#if BITSTREAM_FAILING_HEAP
// Records whether `p` is released or resized while in scope; the release
// itself waits for the end of the scope (where `owned` also releases a block
// the test itself owns), a resize is refused.
struct WatchedFree {
  explicit WatchedFree(const void* p, bool owned = false) : owned(owned) {
    watched = p;
    watchedFreed = false;
    watchedResized = false;
  }
  ~WatchedFree() {
    void* p = const_cast<void*>(watched);
    watched = nullptr;
    if (watchedFreed || owned) __libc_free(p);
  }
  bool freed() const { return watchedFreed; }
  bool resized() const { return watchedResized; }
  const bool owned;
};

// Fails every request of at least `bytes` bytes to the functions `which`
// (malloc, realloc or both) while in scope.
struct FailingHeap {
  explicit FailingHeap(size_t bytes, unsigned which) {
    failFrom = bytes;
    failing = which;
  }
  ~FailingHeap() {
    failFrom = SIZE_MAX;
    failing = 0;
  }
};
#define SKIP_WITHOUT_FAILING_HEAP() \
  if (UnderValgrind()) GTEST_SKIP() << "valgrind's allocator stands in for the interposed one"
#else
enum : unsigned { kMalloc = 1, kRealloc = 2 };
struct FailingHeap {
  explicit FailingHeap(size_t, unsigned) {}
};
struct WatchedFree {
  explicit WatchedFree(const void*, bool = false) {}
  bool freed() const { return false; }
  bool resized() const { return false; }
};
#define SKIP_WITHOUT_FAILING_HEAP() GTEST_SKIP() << "the sanitizer's allocator cannot be interposed"
#endif

void FillBytes(BitStream& s, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    const uint8_t b = static_cast<uint8_t>(i * 13);
    s.WriteBits(&b, 8, true);
  }
}

TEST(BitStreamFailedAllocation, LeavingTheInlineBuffer) {
  SKIP_WITHOUT_FAILING_HEAP();
  BitStream s;
  FillBytes(s, 256);
  {
    FailingHeap heap(1, kMalloc);
    s.Write1();
    const uint8_t more[4] = {};
    s.WriteBits(more, 32, true);
  }
  EXPECT_EQ(s.numberOfBitsUsed, 2048);
  EXPECT_EQ(s.numberOfBitsAllocated, 2048);
  EXPECT_EQ(s.data, s.inlineBuffer);
  s.Write1();  // the heap is back
  EXPECT_EQ(s.numberOfBitsAllocated, 4098);
  EXPECT_EQ(s.data[255], static_cast<uint8_t>(255 * 13));
}

TEST(BitStreamFailedAllocation, ResizingTheHeapBuffer) {
  SKIP_WITHOUT_FAILING_HEAP();
  BitStream s(300);
  FillBytes(s, 300);
  uint8_t* before = s.data;
  {
    FailingHeap heap(1, kRealloc);
    s.Write0();
    s.Write(reinterpret_cast<const char*>(before), 8);
    s.WriteAlignedBytes(before, 8);
  }
  EXPECT_EQ(s.numberOfBitsUsed, 2400);
  EXPECT_EQ(s.numberOfBitsAllocated, 2400);
  EXPECT_EQ(s.data, before);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(s.data[i], static_cast<uint8_t>(i * 13));
}

TEST(BitStreamFailedAllocation, CallerBufferStaysWhenNoCopyCanBeHad) {
  SKIP_WITHOUT_FAILING_HEAP();
  uint8_t source[] = {0x12, 0x34, 0x56};
  BitStream s(source, 3, false);
  const uint8_t more[] = {0xAB, 0xCD};
  {
    // Only malloc fails: the caller's buffer is never handed to realloc.
    WatchedFree watch(source);
    {
      FailingHeap heap(1, kMalloc);
      s.WriteBits(more, 16, true);
      s.AssertCopyData();
    }
    EXPECT_FALSE(watch.resized());
    EXPECT_FALSE(watch.freed());
  }
  EXPECT_FALSE(s.copyData);
  EXPECT_EQ(s.data, source);
  EXPECT_EQ(s.numberOfBitsUsed, 24);
  EXPECT_EQ(Bytes(source, source + 3), (Bytes{0x12, 0x34, 0x56}));

  // The write's private copy is one allocation at the grown size (10 bytes),
  // not a copy and then a resize: with requests of 8 bytes or more failing,
  // the stream stays on the caller's buffer; AssertCopyData's 3-byte copy
  // succeeds.
  {
    FailingHeap heap(8, kMalloc);
    s.WriteBits(more, 16, true);
    EXPECT_FALSE(s.copyData);
    EXPECT_EQ(s.data, source);
    s.AssertCopyData();
  }
  EXPECT_TRUE(s.copyData);
  EXPECT_NE(s.data, source);
  EXPECT_EQ(s.numberOfBitsUsed, 24);
  EXPECT_EQ(UsedBytes(s), (Bytes{0x12, 0x34, 0x56}));
}

TEST(BitStreamFailedAllocation, CompressedValueIsAllOrNothing) {
  SKIP_WITHOUT_FAILING_HEAP();
  BitStream s(1000);
  FillBytes(s, 999);
  s.WriteBits(reinterpret_cast<const uint8_t*>("\xFE"), 7, false);  // 7999 bits: one left
  const uint32_t value = 0x00123456;                                // first flag 1 fits, the next needs growth
  {
    FailingHeap heap(1, kRealloc);
    s.WriteCompressed(reinterpret_cast<const uint8_t*>(&value), 32, true);
  }
  EXPECT_EQ(s.numberOfBitsUsed, 7999);
  EXPECT_EQ(s.numberOfBitsAllocated, 8000);
  EXPECT_EQ(s.data[999], 0xFE);  // the flag bit written into bit 7999 is gone again
  s.WriteCompressed(reinterpret_cast<const uint8_t*>(&value), 32, true);
  EXPECT_EQ(s.numberOfBitsUsed, 7999 + 26);
  s.IgnoreBits(7999);
  uint32_t back = 0;
  ASSERT_TRUE(s.ReadCompressed(reinterpret_cast<uint8_t*>(&back), 32, true));
  EXPECT_EQ(back, value);
}

TEST(BitStreamFailedAllocation, ConstructionAndCopyData) {
  SKIP_WITHOUT_FAILING_HEAP();
  Bytes source(300, 0x42);
  std::unique_ptr<FailingHeap> heap = std::make_unique<FailingHeap>(1, kMalloc);
  BitStream sized(1000);
  BitStream copied(source.data(), 300, true);
  BitStream small;
  small.Write1();
  unsigned char* copy = reinterpret_cast<unsigned char*>(&small);
  const int copiedBits = small.CopyData(&copy);
  heap.reset();

  EXPECT_EQ(sized.data, sized.inlineBuffer);
  EXPECT_EQ(sized.numberOfBitsAllocated, 2048);
  EXPECT_EQ(copied.data, nullptr);
  EXPECT_EQ(copied.numberOfBitsUsed, 0);
  EXPECT_EQ(copied.numberOfBitsAllocated, 0);
  EXPECT_EQ(copiedBits, 0);
  EXPECT_EQ(copy, nullptr);
}

// Only a heap buffer the stream owns is released: at the end of its life or
// when SetData replaces it; never the inline buffer or a caller's buffer.
TEST(BitStreamHeapOwnership, OnlyOwnHeapBuffersAreReleased) {
  SKIP_WITHOUT_FAILING_HEAP();
  uint8_t caller[4] = {};
  {
    auto heap = std::make_unique<BitStream>(1000);
    WatchedFree watch(heap->data);
    heap.reset();
    EXPECT_TRUE(watch.freed());
  }
  {
    auto replaced = std::make_unique<BitStream>(1000);
    WatchedFree watch(replaced->data);
    replaced->SetData(caller);
    EXPECT_TRUE(watch.freed());
  }
  {
    // Its own heap buffer handed back to it stays alive, now the caller's.
    auto same = std::make_unique<BitStream>(1000);
    WatchedFree watch(same->data, /*owned=*/true);
    same->SetData(same->data);
    same.reset();
    EXPECT_FALSE(watch.freed());
  }
  {
    WatchedFree watch(caller);
    auto foreign = std::make_unique<BitStream>(caller, 4, false);
    foreign.reset();
    auto set = std::make_unique<BitStream>();
    set->SetData(caller);
    set.reset();
    EXPECT_FALSE(watch.freed());
  }
}

}  // namespace
