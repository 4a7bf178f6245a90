// Whole-byte runs, aligned blocks, stream-to-stream copies and compressed integers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/bitstream_model.h"
#include "tests/bitstream_test_util.h"

namespace {

using RakNet::BitStream;
using namespace bstest;

Bytes LittleEndian(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

struct CompressedCase {
  uint32_t value;
  bool isUnsigned;
  int bits;
  Bytes stream;
};

const CompressedCase kThirtyTwoBit[] = {
    {5, true, 8, {0xF5}},
    {0, true, 8, {0xF0}},
    {255, true, 12, {0xEF, 0xF0}},
    {0x1234, true, 19, {0xC6, 0x82, 0x40}},
    {0x12345678, true, 33, {0x3C, 0x2B, 0x1A, 0x09, 0x00}},
    {static_cast<uint32_t>(-2), false, 8, {0xFE}},
    {static_cast<uint32_t>(-256), false, 12, {0xE0, 0x00}},
    {5, false, 33, {0x02, 0x80, 0x00, 0x00, 0x00}},
    {static_cast<uint32_t>(-1), false, 8, {0xFF}},
    {0, false, 33, {0x00, 0x00, 0x00, 0x00, 0x00}},
    {0x00ABCDEF, true, 26, {0xBB, 0xF3, 0x6A, 0xC0}},
};

TEST(BitStreamCompressed, ThirtyTwoBitTableBothWays) {
  for (const auto& c : kThirtyTwoBit) {
    SCOPED_TRACE(testing::Message() << std::hex << c.value << " unsigned " << c.isUnsigned);
    BitStream s;
    const Bytes value = LittleEndian(c.value);
    s.WriteCompressed(value.data(), 32, c.isUnsigned);
    EXPECT_EQ(s.numberOfBitsUsed, c.bits);
    EXPECT_EQ(UsedBytes(s), c.stream);

    Filled f(c.stream, c.bits);
    Guarded out(4);
    ASSERT_TRUE(f.stream.ReadCompressed(out.get(), 32, c.isUnsigned));
    EXPECT_EQ(out.bytes(), value);
    EXPECT_EQ(f.stream.readOffset, c.bits);
    EXPECT_TRUE(out.guardsIntact());
  }
}

TEST(BitStreamCompressed, EightAndSixteenBitValues) {
  const struct {
    Bytes value;
    Bytes stream;
    int bits;
  } cases[] = {
      {{0x05}, {0xA8}, 5},
      {{0x80}, {0x40, 0x00}, 9},
      {{0x12, 0x00}, {0x84, 0x80}, 10},
      {{0x34, 0x12}, {0x1A, 0x09, 0x00}, 17},
      {{0x07, 0x00}, {0xDC}, 6},
  };
  for (const auto& c : cases) {
    BitStream s;
    const int size = 8 * static_cast<int>(c.value.size());
    s.WriteCompressed(c.value.data(), size, true);
    EXPECT_EQ(s.numberOfBitsUsed, c.bits);
    EXPECT_EQ(UsedBytes(s), c.stream);
    Guarded out(c.value.size());
    ASSERT_TRUE(s.ReadCompressed(out.get(), size, true));
    EXPECT_EQ(out.bytes(), c.value);
  }
  for (int v = 0; v < 256; ++v) {
    BitStream s;
    const uint8_t byte = static_cast<uint8_t>(v);
    s.WriteCompressed(&byte, 8, true);
    EXPECT_EQ(s.numberOfBitsUsed, v < 16 ? 5 : 9) << v;
    uint8_t back = 0;
    ASSERT_TRUE(s.ReadCompressed(&back, 8, true));
    EXPECT_EQ(back, byte);
  }
}

TEST(BitStreamCompressed, EachPieceRaisesTheAllocatedCount) {
  // 3 bytes hold 24 bits but the stream counts 18 allocated: a value that
  // ends inside the last byte raises the count without growing the buffer.
  uint8_t none = 0;
  BitStream s(&none, 0, true);
  WriteBitText(s, "100000001");
  ASSERT_EQ(s.numberOfBitsAllocated, 18);
  uint8_t* buffer = s.data;
  const uint8_t small = 0x05, large = 0x80;
  s.WriteCompressed(&small, 8, true);
  EXPECT_EQ(s.numberOfBitsAllocated, 18);
  s.WriteCompressed(&large, 8, true);
  EXPECT_EQ(s.numberOfBitsUsed, 23);
  EXPECT_EQ(s.numberOfBitsAllocated, 23);
  EXPECT_EQ(s.data, buffer);
  EXPECT_EQ(UsedBytes(s), (Bytes{0x80, 0xD5, 0x00}));  // 10000000 1, 1 0101, 0 10000000
}

TEST(BitStreamCompressed, FlagDecidesTheMeaning) {
  Filled f({0xF5}, 8);
  Guarded out(4);
  ASSERT_TRUE(f.stream.ReadCompressed(out.get(), 32, false));
  EXPECT_EQ(out.bytes(), (Bytes{0xF5, 0xFF, 0xFF, 0xFF}));  // -11
}

TEST(BitStreamCompressed, LengthsFollowTheLeadingBytes) {
  const struct {
    uint32_t value;
    int bits;
  } cases[] = {{0x01000000, 33}, {0x00FFFFFF, 26}, {0x00010000, 26}, {0x0000FFFF, 19},
               {0x00000100, 19}, {0x000000FF, 12}, {0x00000010, 12}, {0x0000000F, 8}};
  for (auto c : cases) {
    BitStream s;
    const Bytes v = LittleEndian(c.value);
    s.WriteCompressed(v.data(), 32, true);
    EXPECT_EQ(s.numberOfBitsUsed, c.bits) << std::hex << c.value;
  }
}

TEST(BitStreamCompressed, SizesBelowEightBitsTouchNothing) {
  // A zero-length array: the sanitizer build catches any access to it.
  std::unique_ptr<uint8_t[]> empty(new uint8_t[0]);
  for (int size : {7, 1, 0, -1, -8, -0x7FFFFFFF}) {
    for (bool isUnsigned : {true, false}) {
      Filled f({0xF5, 0x00}, 16);
      f.stream.WriteCompressed(empty.get(), size, isUnsigned);
      EXPECT_EQ(f.stream.numberOfBitsUsed, 16);
      EXPECT_FALSE(f.stream.ReadCompressed(empty.get(), size, isUnsigned));
      EXPECT_EQ(f.stream.readOffset, 0);
    }
  }
  // Bits of a size beyond its last whole byte are ignored.
  BitStream twelve, eight;
  const uint8_t value[] = {0x9C, 0xFF};
  twelve.WriteCompressed(value, 15, true);
  eight.WriteCompressed(value, 8, true);
  EXPECT_EQ(UsedBytes(twelve), UsedBytes(eight));
  EXPECT_EQ(twelve.numberOfBitsUsed, 9);
}

TEST(BitStreamCompressed, Failures) {
  // Flags run out: those read are consumed and their bytes set.
  Filled flags({0xC0}, 2);
  Guarded out(4, 0x77);
  EXPECT_FALSE(flags.stream.ReadCompressed(out.get(), 32, true));
  EXPECT_EQ(flags.stream.readOffset, 2);
  EXPECT_EQ(out.bytes(), (Bytes{0x77, 0x77, 0x00, 0x00}));

  // A 0 flag without the raw block after it.
  Filled raw({0x7F, 0xFF, 0xFF, 0xFF}, 32);
  Guarded out2(4, 0x77);
  EXPECT_FALSE(raw.stream.ReadCompressed(out2.get(), 32, true));
  EXPECT_EQ(raw.stream.readOffset, 1);
  EXPECT_EQ(out2.bytes(), (Bytes{0x77, 0x77, 0x77, 0x77}));

  // The last byte's 4 or 8 bits missing: the half flag is consumed.
  const struct {
    Bytes bytes;
    int bits;
    bool isUnsigned;
    Bytes after;
  } lastByte[] = {
      {{0xF4}, 6, true, {0x77, 0x00, 0x00, 0x00}},   // 111 1 01
      {{0xE8}, 9, true, {0x77, 0x00, 0x00, 0x00}},   // 111 0 1000 0
      {{0xF0}, 4, false, {0x77, 0xFF, 0xFF, 0xFF}},  // 111 1
  };
  for (const auto& c : lastByte) {
    Filled f(c.bytes, c.bits);
    Guarded out3(4, 0x77);
    EXPECT_FALSE(f.stream.ReadCompressed(out3.get(), 32, c.isUnsigned));
    EXPECT_EQ(f.stream.readOffset, 4);
    EXPECT_EQ(out3.bytes(), c.after);
    EXPECT_TRUE(out3.guardsIntact());
  }

  BitStream empty;
  Guarded out4(4, 0x77);
  EXPECT_FALSE(empty.ReadCompressed(out4.get(), 32, true));
  EXPECT_EQ(out4.bytes(), (Bytes{0x77, 0x77, 0x77, 0x77}));
}

TEST(BitStreamByteRuns, WriteAtAnyPosition) {
  BitStream s;
  s.Write1();
  const char bytes[] = {'\xAB', '\xCD'};
  s.Write(bytes, 2);
  EXPECT_EQ(s.numberOfBitsUsed, 17);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xD5, 0xE6, 0x80}));
  s.AlignWriteToByteBoundary();
  s.Write(bytes, 2);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xD5, 0xE6, 0x80, 0xAB, 0xCD}));
  for (int count : {0, -3}) {
    s.Write(bytes, count);
    EXPECT_EQ(s.numberOfBitsUsed, 40);
  }
}

TEST(BitStreamByteRuns, Read) {
  const Bytes content = {0xD5, 0xE6, 0x80};
  // Aligned, unaligned, and each failure: result, position, destination.
  const struct {
    int skip, count;
    bool ok;
    int offsetAfter;
    Bytes out;
  } cases[] = {
      {0, 2, true, 16, {0xD5, 0xE6}}, {1, 2, true, 17, {0xAB, 0xCD}},  {0, 0, true, 0, {0x77, 0x77}},
      {1, 0, false, 1, {0x77, 0x77}}, {0, -1, false, 0, {0x77, 0x77}}, {8, 3, false, 8, {0x77, 0x77, 0x77}},
      {9, 2, false, 9, {0x77, 0x77}}, {24, 0, true, 24, {0x77}},
  };
  for (const auto& c : cases) {
    Filled f(content, 24);
    f.stream.IgnoreBits(c.skip);
    Guarded out(c.out.size(), 0x77);
    EXPECT_EQ(f.stream.Read(reinterpret_cast<char*>(out.get()), c.count), c.ok) << c.skip << " " << c.count;
    EXPECT_EQ(f.stream.readOffset, c.offsetAfter);
    EXPECT_EQ(out.bytes(), c.out);
    EXPECT_TRUE(out.guardsIntact());
  }
}

TEST(BitStreamAlignedBytes, WriteAligns) {
  BitStream s;
  WriteBitText(s, "101");
  const uint8_t bytes[] = {0x12, 0x34};
  s.WriteAlignedBytes(bytes, 0);
  EXPECT_EQ(s.numberOfBitsUsed, 8);  // aligned even with nothing to write
  s.Write1();
  s.WriteAlignedBytes(bytes, 2);
  EXPECT_EQ(s.numberOfBitsUsed, 32);
  EXPECT_EQ(UsedBytes(s), (Bytes{0xA0, 0x80, 0x12, 0x34}));
}

TEST(BitStreamAlignedBytes, Read) {
  Filled f({0xA0, 0x12, 0x34}, 24);
  f.stream.IgnoreBits(3);
  Guarded out(3, 0x77);
  EXPECT_FALSE(f.stream.ReadAlignedBytes(out.get(), 0));
  EXPECT_FALSE(f.stream.ReadAlignedBytes(out.get(), -2));
  EXPECT_EQ(f.stream.readOffset, 3);  // not aligned
  EXPECT_FALSE(f.stream.ReadAlignedBytes(out.get(), 3));
  EXPECT_EQ(f.stream.readOffset, 8);  // aligned, then too few bits
  EXPECT_EQ(out.bytes(), (Bytes{0x77, 0x77, 0x77}));
  ASSERT_TRUE(f.stream.ReadAlignedBytes(out.get(), 2));  // the retry starts at the boundary
  EXPECT_EQ(out.bytes(), (Bytes{0x12, 0x34, 0x77}));
  EXPECT_EQ(f.stream.readOffset, 24);
  EXPECT_TRUE(out.guardsIntact());
}

TEST(BitStreamStreamCopy, CopiesOnlyUnreadBitsButGrowsByTheRequest) {
  Filled source({0xB6, 0xC0}, 10);
  source.stream.IgnoreBits(3);
  BitStream s;
  s.Write(&source.stream, 5000);
  EXPECT_EQ(s.numberOfBitsUsed, 7);
  EXPECT_EQ(s.numberOfBitsAllocated, 10000);
  EXPECT_NE(s.data, s.inlineBuffer);
  EXPECT_EQ(UsedBytes(s), Bytes{0xB6});  // 1011011
  EXPECT_EQ(source.stream.readOffset, 10);
  EXPECT_EQ(source.stream.numberOfBitsUsed, 10);

  // Nothing unread: nothing copied, the growth stays.
  BitStream t;
  t.Write(&source.stream, 3000);
  EXPECT_EQ(t.numberOfBitsUsed, 0);
  EXPECT_EQ(t.numberOfBitsAllocated, 6000);
  for (int n : {0, -1}) {
    t.Write(&source.stream, n);
    EXPECT_EQ(t.numberOfBitsAllocated, 6000);
  }
}

TEST(BitStreamStreamCopy, WholeSourceFromItsReadPosition) {
  Filled source({0xB6, 0xC0}, 10);
  source.stream.IgnoreBits(3);
  BitStream s;
  WriteBitText(s, "1");
  s.Write(&source.stream);
  EXPECT_EQ(s.numberOfBitsUsed, 8);
  EXPECT_EQ(UsedBytes(s), Bytes{0xDB});
  EXPECT_EQ(source.stream.readOffset, 10);

  BitStream empty, target;
  target.Write(&empty);
  EXPECT_EQ(target.numberOfBitsUsed, 0);
  EXPECT_EQ(target.numberOfBitsAllocated, 2048);
}

TEST(BitStreamStreamCopy, OrsIntoOldBitsAndOverwritesBytesItBegins) {
  Filled source({0x0A}, 8);
  Filled target({0xF0, 0xFF, 0xFF}, 24);
  target.stream.SetWriteOffset(4);
  target.stream.Write(&source.stream, 8);
  EXPECT_EQ(Bytes(target.stream.data, target.stream.data + 3), (Bytes{0xF0, 0xA0, 0xFF}));
  EXPECT_EQ(target.stream.numberOfBitsUsed, 12);
}

TEST(BitStreamStreamCopy, FromItself) {
  BitStream s;
  WriteBitText(s, "101");
  s.Write(&s, 5);  // the copy feeds on the bits it appends
  EXPECT_EQ(s.numberOfBitsUsed, 8);
  EXPECT_EQ(s.readOffset, 5);
  EXPECT_EQ(UsedBytes(s), Bytes{0xB6});  // 101 10110
}

// Long copies between every pair of bit offsets match the bit-by-bit model.
TEST(BitStreamStreamCopy, LongCopiesMatchTheModel) {
  constexpr int kBits = 5003;  // spans several internal chunks
  Bytes content((kBits + 7) / 8);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 37 + 11);
  content.back() &= 0xE0;
  for (int readAt = 0; readAt < 8; ++readAt) {
    for (int writeAt = 0; writeAt < 8; ++writeAt) {
      Filled source(content, kBits);
      bsmodel::Model sourceModel = bsmodel::Model::FromBytes(content.data(), content.size(), true);
      sourceModel.used = kBits;
      source.stream.IgnoreBits(readAt);
      sourceModel.IgnoreBits(readAt);

      const Bytes old = {0x5A};
      Filled target(old, 8);
      bsmodel::Model targetModel = bsmodel::Model::FromBytes(old.data(), 1, true);
      target.stream.SetWriteOffset(writeAt);
      targetModel.SetWriteOffset(writeAt);

      target.stream.Write(&source.stream, kBits - 2);
      targetModel.Write(sourceModel, kBits - 2);
      ASSERT_EQ(target.stream.numberOfBitsUsed, targetModel.used);
      ASSERT_EQ(target.stream.numberOfBitsAllocated, targetModel.allocated);
      ASSERT_EQ(source.stream.readOffset, sourceModel.readOffset);
      ASSERT_EQ(UsedBytes(target.stream), targetModel.CopyData()) << readAt << " " << writeAt;
    }
  }
}

}  // namespace
