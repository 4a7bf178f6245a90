// Bit stream storage, growth, bit writes and reads, positions and diagnostics.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tests/bitstream_test_util.h"
#include "tests/soak_support.h"

namespace {

using RakNet::BitStream;
using namespace bstest;

constexpr int kInlineBits = 2048;

static_assert(offsetof(BitStream, numberOfBitsUsed) == 0);
static_assert(offsetof(BitStream, numberOfBitsAllocated) == 4);
static_assert(offsetof(BitStream, readOffset) == 8);
static_assert(offsetof(BitStream, data) == 12);
static_assert(offsetof(BitStream, copyData) == 16);
static_assert(offsetof(BitStream, inlineBuffer) == 17);
static_assert(sizeof(BitStream) == 276);

TEST(BitStreamWorkedExamples, SixteenBitsAligned) {
  BitStream s;
  const uint16_t value = 0x0102;
  s.WriteBits(reinterpret_cast<const uint8_t*>(&value), 16, true);
  EXPECT_EQ(UsedBytes(s), (Bytes{0x02, 0x01}));
  EXPECT_EQ(s.numberOfBitsUsed, 16);
}

TEST(BitStreamWorkedExamples, ThreeBitsIntoAPartialByte) {
  for (bool right : {true, false}) {
    BitStream s;
    WriteBitText(s, "11001");
    const uint8_t source = right ? 0x05 : 0xA0;
    s.WriteBits(&source, 3, right);
    EXPECT_EQ(UsedBytes(s), Bytes{0xCD}) << right;
    EXPECT_EQ(s.numberOfBitsUsed, 8);
  }
}

TEST(BitStreamWorkedExamples, SixteenBitsAtOffsetSixThenReadBack) {
  BitStream s;
  WriteBitText(s, "101010");
  const uint8_t source[] = {0x02, 0x01};
  s.WriteBits(source, 16, true);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xA8, 0x08, 0x04}));
  EXPECT_EQ(s.numberOfBitsUsed, 22);

  s.IgnoreBits(6);
  Guarded out(2);
  ASSERT_TRUE(s.ReadBits(out.get(), 16, true));
  EXPECT_EQ(out.bytes(), (Bytes{0x02, 0x01}));
  EXPECT_EQ(s.readOffset, 22);
  EXPECT_TRUE(out.guardsIntact());
}

TEST(BitStreamWorkedExamples, TwelveBitsWithAndWithoutFlag) {
  for (bool right : {true, false}) {
    Filled f({0xAB, 0xCD}, 16);
    Guarded out(2);
    ASSERT_TRUE(f.stream.ReadBits(out.get(), 12, right));
    EXPECT_EQ(out.bytes(), right ? (Bytes{0xAB, 0x0C}) : (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(f.stream.readOffset, 12);
    EXPECT_TRUE(out.guardsIntact());
  }
}

struct State {
  int used, allocated, readOffset;
  bool copyData, isInline;
};

void ExpectState(const BitStream& s, State want) {
  EXPECT_EQ(s.numberOfBitsUsed, want.used);
  EXPECT_EQ(s.numberOfBitsAllocated, want.allocated);
  EXPECT_EQ(s.readOffset, want.readOffset);
  EXPECT_EQ(s.copyData, want.copyData);
  EXPECT_EQ(s.data == s.inlineBuffer, want.isInline);
}

TEST(BitStreamConstruction, Default) {
  BitStream s;
  ExpectState(s, {0, kInlineBits, 0, true, true});
  uint8_t out = 0x77;
  EXPECT_FALSE(s.ReadBits(&out, 1, true));
  EXPECT_EQ(out, 0x77);
}

TEST(BitStreamConstruction, InitialSize) {
  const struct {
    int bytes;
    int allocated;
    bool isInline;
  } cases[] = {{-5, kInlineBits, true},
               {0, kInlineBits, true},
               {256, kInlineBits, true},
               {257, 2056, false},
               {(1 << 27) - 1, 8 * ((1 << 27) - 1), false}};  // the largest size whose bits a stream can count
  for (auto c : cases) {
    BitStream s(c.bytes);
    SCOPED_TRACE(c.bytes);
    ExpectState(s, {0, c.allocated, 0, true, c.isInline});
    if (!c.isInline) s.data[c.bytes - 1] = 1;  // the whole heap buffer is there
  }
}

TEST(BitStreamConstruction, CopiedSource) {
  Bytes source(300);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
  const struct {
    unsigned length;
    int allocated;
    bool isInline;
  } cases[] = {{1, kInlineBits, true}, {255, kInlineBits, true}, {256, 2048, false}, {300, 2400, false}};
  for (auto c : cases) {
    SCOPED_TRACE(c.length);
    BitStream s(source.data(), c.length, true);
    ExpectState(s, {static_cast<int>(c.length * 8), c.allocated, 0, true, c.isInline});
    EXPECT_NE(s.data, source.data());
    EXPECT_EQ(UsedBytes(s), Bytes(source.begin(), source.begin() + c.length));
  }
}

TEST(BitStreamConstruction, CopiedEmptySourceGrowsFromNothing) {
  uint8_t source = 0xFF;
  BitStream s(&source, 0, true);
  ExpectState(s, {0, 0, 0, true, false});
  EXPECT_EQ(s.data, nullptr);
  s.Write1();
  ExpectState(s, {1, 2, 0, true, false});
  EXPECT_EQ(s.data[0], 0x80);
  // Up to bit 8 the one byte suffices: the count rises, nothing moves.
  uint8_t* before = s.data;
  WriteBitText(s, "000000");
  EXPECT_EQ(s.numberOfBitsAllocated, 7);
  EXPECT_EQ(s.data, before);
  s.Write1();
  EXPECT_EQ(s.numberOfBitsAllocated, 8);
  s.Write1();  // bit 9 needs a second byte: 2 * 9 bits
  EXPECT_EQ(s.numberOfBitsAllocated, 18);
  EXPECT_EQ(UsedBytes(s), (Bytes{0x81, 0x80}));
}

TEST(BitStreamConstruction, CallerBufferReadInPlace) {
  uint8_t source[] = {0x12, 0x34, 0x56};
  {
    BitStream s(source, 3, false);
    ExpectState(s, {24, 24, 0, false, false});
    EXPECT_EQ(s.data, source);
    Guarded out(4);
    EXPECT_FALSE(s.ReadBits(out.get(), 25, true));
    EXPECT_EQ(s.readOffset, 0);
    ASSERT_TRUE(s.ReadBits(out.get(), 24, true));
    EXPECT_EQ(out.bytes(), (Bytes{0x12, 0x34, 0x56, 0xEE}));
  }  // a stack buffer: releasing it would crash
  EXPECT_EQ(Bytes(source, source + 3), (Bytes{0x12, 0x34, 0x56}));
}

TEST(BitStreamWriteBits, NonPositiveCountChangesNothing) {
  uint8_t source = 0xFF;
  for (int count : {0, -1, -100}) {
    BitStream s(&source, 0, true);  // 0 bits allocated: any growth would show
    s.WriteBits(&source, count, true);
    ExpectState(s, {0, 0, 0, true, false});
    EXPECT_EQ(s.data, nullptr);
  }
}

TEST(BitStreamWriteBits, PartialByteWithoutFlagKeepsItsLowBits) {
  // Callers normally pass zeros there; whatever they pass enters the buffer.
  BitStream aligned;
  const uint8_t source = 0xAB;
  aligned.WriteBits(&source, 4, false);
  EXPECT_EQ(aligned.data[0], 0xAB);
  EXPECT_EQ(aligned.numberOfBitsUsed, 4);

  BitStream inside;
  WriteBitText(inside, "11");
  inside.data[1] = 0x3C;
  inside.WriteBits(&source, 4, false);  // 2 + 4 bits stay in byte 0
  EXPECT_EQ(inside.data[0], 0xC0 | (0xAB >> 2));
  EXPECT_EQ(inside.data[1], 0x3C);
  EXPECT_EQ(inside.numberOfBitsUsed, 6);
}

TEST(BitStreamWriteBits, TouchesNoByteAfterTheLastBit) {
  // off 5, 11 bits: the last bit lands in byte 2, byte 3 stays.
  BitStream s;
  s.data[2] = s.data[3] = 0x5A;
  WriteBitText(s, "10101");
  const uint8_t source[] = {0xFF, 0x07};
  s.WriteBits(source, 11, true);
  EXPECT_EQ(s.numberOfBitsUsed, 16);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xAF, 0xFF}));
  EXPECT_EQ(s.data[2], 0x5A);
  s.WriteBits(source, 3, true);
  EXPECT_EQ(s.data[2], 0xE0);
  EXPECT_EQ(s.data[3], 0x5A);
}

TEST(BitStreamWriteBits, OldBitsAfterMovingBack) {
  // A write that starts inside a byte ORs into the old bits there; a byte
  // it begins is stored whole.
  Filled f({0xF0, 0xFF, 0xFF}, 24);
  f.stream.SetWriteOffset(4);
  const uint8_t source[] = {0x05, 0x0A};
  f.stream.WriteBits(source, 4, true);
  EXPECT_EQ(f.stream.data[0], 0xF5);
  f.stream.WriteBits(source + 1, 4, true);
  EXPECT_EQ(f.stream.data[1], 0xA0);
  EXPECT_EQ(f.stream.data[2], 0xFF);
  EXPECT_EQ(f.stream.numberOfBitsUsed, 12);

  Filled g({0xFF, 0xFF}, 16);
  g.stream.SetWriteOffset(3);
  g.stream.Write0();
  EXPECT_EQ(g.stream.data[0], 0xFF);
  EXPECT_EQ(g.stream.numberOfBitsUsed, 4);
  g.stream.SetWriteOffset(8);
  g.stream.Write0();
  EXPECT_EQ(g.stream.data[1], 0x00);
  g.stream.SetWriteOffset(8);
  g.stream.Write1();
  EXPECT_EQ(g.stream.data[1], 0x80);
}

TEST(BitStreamGrowth, InlineUntilBit2049) {
  BitStream s;
  for (int i = 0; i < 256; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    s.WriteBits(&b, 8, true);
  }
  ExpectState(s, {2048, kInlineBits, 0, true, true});
  s.Write1();
  ExpectState(s, {2049, 4098, 0, true, false});
  for (int i = 0; i < 256; ++i) ASSERT_EQ(s.data[i], i);
  EXPECT_EQ(s.data[256], 0x80);
  s.data[512] = 0;  // 513 bytes: the last one is there
}

TEST(BitStreamGrowth, ThirtyTwoBitFieldAt2048Bits) {
  BitStream s;
  s.SetWriteOffset(2048);
  const uint32_t value = 0x11223344;
  s.WriteBits(reinterpret_cast<const uint8_t*>(&value), 32, true);
  ExpectState(s, {2080, 4160, 0, true, false});
  EXPECT_EQ(Bytes(s.data + 256, s.data + 260), (Bytes{0x44, 0x33, 0x22, 0x11}));
  s.data[519] = 0;  // 520 bytes
}

TEST(BitStreamGrowth, HeapBufferResizesAndKeepsContents) {
  BitStream s(300);
  for (int i = 0; i < 300; ++i) {
    const uint8_t b = static_cast<uint8_t>(i ^ 0x5A);
    s.WriteBits(&b, 8, true);
  }
  EXPECT_EQ(s.numberOfBitsAllocated, 2400);
  s.Write0();
  EXPECT_EQ(s.numberOfBitsAllocated, 2 * 2401);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(s.data[i], static_cast<uint8_t>(i ^ 0x5A));
  // Moving back never returns the stream to its inline buffer.
  s.Reset();
  s.Write1();
  EXPECT_NE(s.data, s.inlineBuffer);
  EXPECT_EQ(s.numberOfBitsAllocated, 2 * 2401);
}

TEST(BitStreamGrowth, CallerBufferIsCopiedBeforeItWouldGrow) {
  uint8_t source[] = {0x12, 0x34, 0x56, kGuardByte};
  BitStream s(source, 3, false);
  s.SetWriteOffset(20);
  s.Write1();  // fits: written in place
  EXPECT_EQ(source[2], 0x5E);
  s.SetWriteOffset(24);
  const uint8_t more[] = {0xAB, 0xCD};
  s.WriteBits(more, 16, true);
  EXPECT_TRUE(s.copyData);
  EXPECT_NE(s.data, source);
  EXPECT_EQ(s.numberOfBitsAllocated, 80);
  EXPECT_EQ(UsedBytes(s), (Bytes{0x12, 0x34, 0x5E, 0xAB, 0xCD}));
  EXPECT_EQ(Bytes(source, source + 4), (Bytes{0x12, 0x34, 0x5E, kGuardByte}));

  BitStream none(nullptr, 0, false);  // no buffer at all: the first write takes one
  none.Write1();
  ExpectState(none, {1, 2, 0, true, false});
  EXPECT_EQ(none.data[0], 0x80);

  // A one-bit allocation still holds its one bit in place.
  uint8_t one[] = {0x00, kGuardByte};
  BitStream t(one, 1, false);
  t.SetWriteOffset(0);
  t.SetNumberOfBitsAllocated(1);
  t.Write1();
  ExpectState(t, {1, 1, 0, false, false});
  EXPECT_EQ(Bytes(one, one + 2), (Bytes{0x80, kGuardByte}));
}

TEST(BitStreamGrowth, SizeLimitDropsTheWrite) {
  BitStream s;
  WriteBitText(s, "1");
  const uint8_t tiny[1] = {0xFF};  // never read: the writes below are refused
  s.AddBitsAndReallocate(1 << 30);
  s.WriteBits(tiny, (1 << 30) - 1, true);
  s.Write(reinterpret_cast<const char*>(tiny), 1 << 27);
  s.Write(reinterpret_cast<const char*>(tiny), 0x7FFFFFFF);
  s.WriteAlignedBytes(tiny, 1 << 28);
  ExpectState(s, {8, kInlineBits, 0, true, true});  // the alignment alone stays
  EXPECT_EQ(s.data[0], 0x80);

  BitStream tooBig(1 << 28);
  ExpectState(tooBig, {0, kInlineBits, 0, true, true});
  for (bool copy : {false, true}) {  // a source of 2^30 bits: never read
    BitStream tooLong(const_cast<uint8_t*>(tiny), 1u << 27, copy);
    ExpectState(tooLong, {0, 0, 0, copy, false});
  }

  // A caller's buffer of 128 MiB has room for 2^30 bits, yet no write may end
  // there: it is refused whole, and the same write ending one bit (for aligned
  // bytes one byte) earlier goes in.
  constexpr int kLimit = 1 << 30;
  std::unique_ptr<uint8_t[]> big(new uint8_t[kLimit / 8]);
  constexpr int kTail = 16;  // the bytes the writes below touch: cleared, as a stream's would be
  uint8_t* const tail = big.get() + kLimit / 8 - kTail;
  const uint8_t field[4] = {0x81, 0x42, 0x24, 0x18};
  // Compressed, the field's codes are 0 and its four bytes, and 0 and its
  // first byte; twice the field, 0 and the eight bytes; 5, 1 1 1 1 and the
  // low half. A code refused part way is taken back out.
  using Write = void (*)(BitStream&, const uint8_t*);
  const Write compressed32 = [](BitStream& e, const uint8_t* v) { e.WriteCompressed(v, 32, true); };
  const Write compressed8 = [](BitStream& e, const uint8_t* v) { e.WriteCompressed(v, 8, true); };
  const Write compressed64 = [](BitStream& e, const uint8_t* v) {
    const uint8_t twice[8] = {v[0], v[1], v[2], v[3], v[0], v[1], v[2], v[3]};
    e.WriteCompressed(twice, 64, true);
  };
  const Write compressedFive = [](BitStream& e, const uint8_t*) {
    const uint8_t five[4] = {5, 0, 0, 0};
    e.WriteCompressed(five, 32, true);
  };
  const struct {
    const char* what;
    int bits, earlier;
    void (*write)(BitStream&, const uint8_t*);
    Bytes readBack;
  } edges[] = {
      {"32 bits", 32, 1, [](BitStream& e, const uint8_t* v) { e.WriteBits(v, 32, true); }, {0x81, 0x42, 0x24, 0x18}},
      {"20 bits", 20, 1, [](BitStream& e, const uint8_t* v) { e.WriteBits(v, 20, true); }, {0x81, 0x42, 0x04}},
      {"8 bits", 8, 1, [](BitStream& e, const uint8_t* v) { e.WriteBits(v, 8, true); }, {0x81}},
      {"aligned", 32, 8, [](BitStream& e, const uint8_t* v) { e.WriteAlignedBytes(v, 4); }, {0x81, 0x42, 0x24, 0x18}},
      {"compressed, 33 bits", 33, 1, compressed32, {0x40, 0xA1, 0x12, 0x0C, 0x00}},
      {"compressed, 9 bits", 9, 1, compressed8, {0x40, 0x01}},
      {"compressed, 65 bits", 65, 1, compressed64, {0x40, 0xA1, 0x12, 0x0C, 0x40, 0xA1, 0x12, 0x0C, 0x00}},
      {"compressed, 8 bits", 8, 1, compressedFive, {0xF5}},
  };
  for (const auto& edge : edges) {
    SCOPED_TRACE(edge.what);
    std::memset(tail, 0, kTail);
    BitStream e(big.get(), 0, false);
    e.SetNumberOfBitsAllocated(kLimit);
    e.SetWriteOffset(kLimit - edge.bits);
    edge.write(e, field);
    ExpectState(e, {kLimit - edge.bits, kLimit, 0, false, false});
    EXPECT_EQ(e.data, big.get());
    EXPECT_EQ(Bytes(tail, tail + kTail), Bytes(kTail, 0));

    const int start = kLimit - edge.bits - edge.earlier;
    e.SetWriteOffset(start);
    edge.write(e, field);
    ExpectState(e, {start + edge.bits, kLimit, 0, false, false});
    EXPECT_EQ(e.data, big.get());
    e.IgnoreBits(start);
    Bytes back(edge.readBack.size());
    ASSERT_TRUE(e.ReadBits(back.data(), edge.bits, true));
    EXPECT_EQ(back, edge.readBack);
  }
  // A compressed byte begun on the last bit: refused at its first flag.
  BitStream last(big.get(), 0, false);
  last.SetNumberOfBitsAllocated(kLimit);
  last.SetWriteOffset(kLimit - 1);
  last.WriteCompressed(field, 8, true);
  ExpectState(last, {kLimit - 1, kLimit, 0, false, false});
}

TEST(BitStreamBufferStates, AssertCopyData) {
  uint8_t source[] = {0xDE, 0xAD};
  BitStream s(source, 2, false);
  s.AssertCopyData();
  ExpectState(s, {16, 16, 0, true, false});
  EXPECT_NE(s.data, source);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xDE, 0xAD}));
  s.data[0] = 0;
  EXPECT_EQ(source[0], 0xDE);
  uint8_t* own = s.data;
  s.AssertCopyData();  // owned already: nothing happens
  EXPECT_EQ(s.data, own);

  BitStream empty(source, 0, false);
  empty.AssertCopyData();
  ExpectState(empty, {0, 0, 0, true, false});
  EXPECT_EQ(empty.data, nullptr);
}

TEST(BitStreamBufferStates, SetData) {
  uint8_t buffer[256] = {0xC3};
  BitStream s;
  WriteBitText(s, "1111");
  s.SetData(buffer);
  ExpectState(s, {4, kInlineBits, 0, false, false});
  EXPECT_EQ(s.data, buffer);
  uint8_t out = 0;
  ASSERT_TRUE(s.ReadBits(&out, 4, true));
  EXPECT_EQ(out, 0x0C);

  // A heap buffer the stream owned is released (the leak checker of the
  // sanitizer build would report it otherwise).
  BitStream heap(1000);
  heap.SetData(buffer);
  EXPECT_EQ(heap.data, buffer);
  EXPECT_FALSE(heap.copyData);
}

TEST(BitStreamReadBits, FailuresChangeNothing) {
  Filled f({0x12, 0x34}, 16);
  f.stream.IgnoreBits(3);
  for (int count : {0, -1, 14, 100, 0x7FFFFFFF}) {
    Guarded out(2);
    EXPECT_FALSE(f.stream.ReadBits(out.get(), count, true)) << count;
    EXPECT_FALSE(f.stream.ReadBits(out.get(), count, false)) << count;
    EXPECT_EQ(out.bytes(), (Bytes{0xEE, 0xEE}));
    EXPECT_EQ(f.stream.readOffset, 3);
  }
}

TEST(BitStreamReadBits, ReadsNoByteAfterTheLastBit) {
  // The caller's buffer is exactly 2 bytes: reading past it would be caught
  // by the sanitizer build. Without the flag the bits after the request come
  // from the same byte, or zero when the request ends a byte.
  uint8_t source[] = {0x9F, 0x35};
  const struct {
    int skip, count;
    bool right;
    Bytes want;
  } cases[] = {
      {0, 3, true, {0x04}},         {0, 3, false, {0x9F}},        {4, 4, false, {0xF0}},
      {5, 3, true, {0x07}},         {5, 5, false, {0xE6}},        {5, 11, true, {0xE6, 0x05}},
      {5, 11, false, {0xE6, 0xA0}}, {1, 15, false, {0x3E, 0x6A}}, {8, 8, true, {0x35}},
  };
  for (const auto& c : cases) {
    BitStream s(source, 2, false);
    s.IgnoreBits(c.skip);
    Guarded out(c.want.size());
    ASSERT_TRUE(s.ReadBits(out.get(), c.count, c.right)) << c.skip << " " << c.count;
    EXPECT_EQ(out.bytes(), c.want) << c.skip << " " << c.count << " " << c.right;
    EXPECT_EQ(s.readOffset, c.skip + c.count);
    EXPECT_TRUE(out.guardsIntact());
  }
}

TEST(BitStreamPositions, Alignment) {
  const int cases[][2] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {2047, 2048}};
  for (auto c : cases) {
    BitStream s;
    s.SetWriteOffset(c[0]);
    s.AlignWriteToByteBoundary();
    EXPECT_EQ(s.numberOfBitsUsed, c[1]);
    s.IgnoreBits(c[0]);
    s.AlignReadToByteBoundary();
    EXPECT_EQ(s.readOffset, c[1]);
  }
  // The read position may pass the end, and reads then fail.
  BitStream s;
  WriteBitText(s, "101");
  s.IgnoreBits(1);
  s.AlignReadToByteBoundary();
  EXPECT_EQ(s.readOffset, 8);
  uint8_t out;
  EXPECT_FALSE(s.ReadBits(&out, 1, true));
}

TEST(BitStreamPositions, ResetsAndOutOfRangeValues) {
  BitStream s;
  WriteBitText(s, "1100");
  s.IgnoreBits(2);
  s.ResetReadPointer();
  EXPECT_EQ(s.readOffset, 0);
  s.IgnoreBits(3);
  s.ResetWritePointer();
  EXPECT_EQ(s.numberOfBitsUsed, 0);
  EXPECT_EQ(s.readOffset, 3);
  s.SetWriteOffset(4);
  s.Reset();
  EXPECT_EQ(s.numberOfBitsUsed, 0);
  EXPECT_EQ(s.readOffset, 0);
  EXPECT_EQ(s.data[0], 0xC0);  // the bytes stay

  // Positions never go negative, and the write position never past the
  // allocation, so used bits always lie inside the buffer.
  s.SetWriteOffset(-5);
  EXPECT_EQ(s.numberOfBitsUsed, 0);
  s.SetWriteOffset(100000);
  EXPECT_EQ(s.numberOfBitsUsed, kInlineBits);
  s.IgnoreBits(-3);
  EXPECT_EQ(s.readOffset, 0);
  s.IgnoreBits(0x7FFFFFFF);
  s.IgnoreBits(0x7FFFFFFF);
  EXPECT_EQ(s.readOffset, 1 << 30);
  s.SetNumberOfBitsAllocated(100);
  EXPECT_EQ(s.numberOfBitsAllocated, 100);
}

TEST(BitStreamReadBit, BitsThenNothingLeft) {
  Filled f({0xA0}, 3);
  EXPECT_TRUE(f.stream.ReadBit());
  EXPECT_FALSE(f.stream.ReadBit());
  EXPECT_TRUE(f.stream.ReadBit());
  EXPECT_EQ(f.stream.readOffset, 3);
  EXPECT_FALSE(f.stream.ReadBit());
  EXPECT_EQ(f.stream.readOffset, 3);
}

TEST(BitStreamCopies, CopyData) {
  const struct {
    Bytes bytes;
    int bits;
  } cases[] = {{{}, 0}, {{0xAB, 0xC0}, 12}, {{0x01, 0x02, 0x03}, 24}};
  for (const auto& c : cases) {
    Filled f(c.bytes, c.bits);
    unsigned char* copy = nullptr;
    EXPECT_EQ(f.stream.CopyData(&copy), c.bits);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, f.stream.data);
    EXPECT_EQ(Bytes(copy, copy + c.bytes.size()), c.bytes);
    delete[] copy;
  }
}

TEST(BitStreamByteOrder, ReverseBytesAndEndianSwap) {
  BitStream s;
  const uint8_t input[] = {0x01, 0x02, 0x03};
  Guarded out(3);
  s.ReverseBytes(const_cast<uint8_t*>(input), out.get(), 3);
  EXPECT_EQ(out.bytes(), (Bytes{0x03, 0x02, 0x01}));
  Guarded untouched(3);
  s.ReverseBytes(const_cast<uint8_t*>(input), untouched.get(), 0);
  s.ReverseBytes(const_cast<uint8_t*>(input), untouched.get(), -4);
  EXPECT_EQ(untouched.bytes(), (Bytes{0xEE, 0xEE, 0xEE}));
  EXPECT_TRUE(out.guardsIntact() && untouched.guardsIntact());
  EXPECT_FALSE(s.DoEndianSwap());
}

std::string Printed(const BitStream& s) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  s.PrintBits();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(BitStreamDiagnostics, PrintBits) {
  const struct {
    Bytes bytes;
    int bits;
    const char* text;
  } cases[] = {
      {{}, 0, "No bits\n"},
      {{0x80}, 8, "10000000 \n"},
      {{0x80, 0x80}, 9, "10000000 1 \n"},
      {{0xAB, 0xC0}, 12, "10101011 1100 \n"},
      {{0x0F, 0xF0, 0x55}, 24, "00001111 11110000 01010101 \n"},
  };
  for (const auto& c : cases) {
    Filled f(c.bytes, c.bits);
    EXPECT_EQ(Printed(f.stream), c.text);
  }
}

TEST(BitStreamDiagnostics, AssertStreamEmptyPassesWhenAllWasRead) {
  BitStream s;
  s.AssertStreamEmpty();
  WriteBitText(s, "1011");
  uint8_t out;
  ASSERT_TRUE(s.ReadBits(&out, 4, true));
  s.AssertStreamEmpty();
}

TEST(BitStreamDiagnosticsDeathTest, AssertStreamEmptyAbortsWithTheReport) {
  BitStream s;
  WriteBitText(s, "1");
  EXPECT_DEATH(s.AssertStreamEmpty(),
               "raknet/BitStream\\.cpp:633: void RakNet::BitStream::AssertStreamEmpty\\(\\): "
               "Assertion `readOffset == numberOfBitsUsed' failed\\.");
}

// Soak loop (CTest label soak): streams that grow onto the heap, a stream on
// a caller's buffer that copies it before growing, stream-to-stream copies
// and CopyData; the heap is back to its figure at the end of every cycle.
TEST(BitStreamSoak, ChurnWithGrowthCallerBuffersAndCopies) {
  constexpr int kCycles = 3000;
  uint8_t caller[64];
  for (int i = 0; i < 64; ++i) caller[i] = static_cast<uint8_t>(i * 7);
  int wrong = 0, drifted = 0;
  auto cycle = [&](int i) {
    BitStream grown;
    const int fields = 40 + i % 200;  // from inline to 1 KiB on the heap
    for (int f = 0; f < fields; ++f) {
      const uint32_t value = static_cast<uint32_t>(f) * 2654435761u + static_cast<uint32_t>(i);
      grown.WriteBits(reinterpret_cast<const uint8_t*>(&value), 32, true);
      grown.Write1();  // every field unaligned after the first
    }
    const uint32_t small = static_cast<uint32_t>(i % 300);
    grown.WriteCompressed(reinterpret_cast<const uint8_t*>(&small), 32, true);

    BitStream onCaller(caller, sizeof(caller), false);
    onCaller.Write(&grown, grown.numberOfBitsUsed);  // copies the caller's bytes first
    BitStream sized(i % 1000);
    sized.WriteAlignedBytes(caller, static_cast<int>(sizeof(caller)));
    uint8_t* copy = nullptr;
    const int copiedBits = onCaller.CopyData(&copy);
    const bool copied = copy && copiedBits == onCaller.numberOfBitsUsed &&
                        Bytes(copy, copy + (copiedBits + 7) / 8) == UsedBytes(onCaller) &&
                        Bytes(copy, copy + sizeof(caller)) == Bytes(caller, caller + sizeof(caller));
    delete[] copy;

    onCaller.IgnoreBits(static_cast<int>(sizeof(caller)) * 8);
    bool same = copied;
    for (int f = 0; f < fields && same; ++f) {
      uint32_t value = 0;
      same = onCaller.ReadBits(reinterpret_cast<uint8_t*>(&value), 32, true) && onCaller.ReadBit() &&
             value == static_cast<uint32_t>(f) * 2654435761u + static_cast<uint32_t>(i);
    }
    uint32_t back = 0;
    if (!same || !onCaller.ReadCompressed(reinterpret_cast<uint8_t*>(&back), 32, true) || back != small) ++wrong;
  };
  cycle(0);
  soak::Gauge gauge;
  for (int i = 0; i < kCycles; ++i) {
    cycle(i);
    if (soak::HeapInUse() != gauge.heapBefore()) ++drifted;
  }
  gauge.Report("bit stream churn", kCycles, "cycles");
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(drifted, 0) << "cycles that ended with another heap figure";
}

}  // namespace
