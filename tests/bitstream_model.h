// A deliberately plain model of the bit stream for differential tests: a byte
// vector whose size is the buffer's capacity, the three counters and the
// ownership flags, with every write and read done one bit at a time.
//
// It follows the stream's rules literally, including the choices this code
// base makes where callers misuse the stream (clamped positions, a size limit
// of 2^30 bits per write, compressed sizes below 8 bits refused, ReadBit
// without a bit left). It never runs out of memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bsmodel {

constexpr long long kMaxBits = 1LL << 30;
constexpr int kInlineBytes = 256;

struct Model {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kInlineBytes);
  int used = 0;
  int allocated = 8 * kInlineBytes;
  int readOffset = 0;
  bool owns = true;      // copyData
  bool isInline = true;  // data is inlineBuffer
  int highWater = 0;     // bytes below (highWater + 7) / 8 hold defined values

  static Model Sized(int initialBytes) {
    Model m;
    if (initialBytes > kInlineBytes && initialBytes < kMaxBits / 8) {
      m.bytes.assign(initialBytes, 0);
      m.isInline = false;
      m.allocated = initialBytes * 8;
    }
    return m;
  }

  static Model FromBytes(const uint8_t* source, unsigned length, bool copy) {
    Model m;
    m.owns = copy;
    m.isInline = copy && length > 0 && length < kInlineBytes;
    m.bytes.assign(source, source + length);
    if (m.isInline) m.bytes.resize(kInlineBytes);
    m.used = m.highWater = static_cast<int>(length * 8);
    m.allocated = m.isInline ? 8 * kInlineBytes : m.used;
    return m;
  }

  bool Bit(long long p) const { return (bytes[p >> 3] >> (7 - (p & 7))) & 1; }

  void Append(bool bit) {
    int k = used >> 3, off = used & 7;
    if (off == 0)
      bytes[k] = bit ? 0x80 : 0x00;
    else if (bit)
      bytes[k] |= 0x80 >> off;
    ++used;
    highWater = std::max(highWater, used);
  }

  bool Grow(long long count) {
    if (count <= 0) return true;
    long long target = used + count;
    if (target >= kMaxBits) return false;
    if (target > 0 && ((allocated - 1LL) >> 3) < ((target - 1) >> 3)) {
      target *= 2;
      size_t size = (target + 7) >> 3;
      if (!owns) AssertCopyData();
      if (isInline) {
        if (size > kInlineBytes) {
          bytes.resize(size);
          isInline = false;
        }
      } else {
        bytes.resize(size);
      }
    }
    if (target > allocated) allocated = static_cast<int>(target);
    return true;
  }

  void AssertCopyData() {
    if (owns) return;
    owns = true;
    isInline = false;
    bytes.resize(allocated > 0 ? (allocated + 7LL) >> 3 : 0);
  }

  void WriteBits(const uint8_t* source, int count, bool rightAligned) {
    if (count <= 0 || !Grow(count)) return;
    for (int i = 0; i < count; ++i) {
      int inByte = std::min(8, count - (i & ~7));
      int shift = (inByte < 8 && rightAligned) ? inByte - 1 - (i & 7) : 7 - (i & 7);
      Append((source[i >> 3] >> shift) & 1);
    }
  }

  void Write0() {
    if (Grow(1)) Append(false);
  }
  void Write1() {
    if (Grow(1)) Append(true);
  }

  bool ReadBits(uint8_t* destination, int count, bool rightAligned) {
    if (count <= 0 || static_cast<long long>(readOffset) + count > used) return false;
    const long long lastByte = (static_cast<long long>(readOffset) + count - 1) >> 3;
    for (int j = 0; j < (count + 7) / 8; ++j) {
      int inByte = std::min(8, count - 8 * j);
      uint8_t d = 0;
      for (int b = 0; b < 8; ++b) {
        long long p = readOffset + 8LL * j + b;
        bool bit = (b < inByte || (p >> 3) <= lastByte) && Bit(p);
        d |= bit << (7 - b);
      }
      if (inByte < 8 && rightAligned) d >>= 8 - inByte;
      destination[j] = d;
    }
    readOffset += count;
    return true;
  }

  bool ReadBit() {
    if (readOffset >= used) return false;
    return Bit(readOffset++);
  }

  void AlignWrite() {
    if (used) used = (used + 7) & ~7;
    highWater = std::max(highWater, used);
  }
  void AlignRead() {
    if (readOffset) readOffset = (readOffset + 7) & ~7;
  }

  void SetWriteOffset(int p) {
    long long high = std::clamp<long long>(allocated, 0, kMaxBits);
    used = static_cast<int>(std::clamp<long long>(p, 0, high));
  }
  void IgnoreBits(int count) {
    readOffset = static_cast<int>(std::clamp<long long>(static_cast<long long>(readOffset) + count, 0, kMaxBits));
  }

  // The caller's buffer is taken over whole: every byte of it is defined.
  void SetData(const uint8_t* buffer, size_t size) {
    bytes.assign(buffer, buffer + size);
    owns = false;
    isInline = false;
    highWater = std::max(used, static_cast<int>(std::min<size_t>(size * 8, kMaxBits)));
  }

  std::vector<uint8_t> CopyData() const { return {bytes.begin(), bytes.begin() + (used + 7) / 8}; }

  void Write(const uint8_t* source, int byteCount) {
    if (byteCount > 0) WriteBits(source, 8 * byteCount, true);
  }

  bool Read(uint8_t* destination, int byteCount) {
    if (byteCount < 0) return false;
    if (readOffset % 8 == 0) {
      if (readOffset + 8LL * byteCount > used) return false;
      return byteCount == 0 || ReadBits(destination, 8 * byteCount, true);
    }
    if (byteCount == 0 || readOffset + 8LL * byteCount > used) return false;
    return ReadBits(destination, 8 * byteCount, true);
  }

  void WriteAlignedBytes(const uint8_t* source, int byteCount) {
    AlignWrite();
    if (byteCount > 0) WriteBits(source, 8 * byteCount, true);
  }

  bool ReadAlignedBytes(uint8_t* destination, int byteCount) {
    if (byteCount <= 0) return false;
    AlignRead();
    if (readOffset + 8LL * byteCount > used) return false;
    return ReadBits(destination, 8 * byteCount, true);
  }

  void Write(Model& source, int bitCount) {
    if (bitCount <= 0 || !Grow(bitCount)) return;
    for (int i = 0; i < bitCount && source.readOffset < source.used; ++i) {
      bool bit = source.Bit(source.readOffset);
      ++source.readOffset;
      Append(bit);
    }
  }

  void WriteCompressed(const uint8_t* value, int sizeInBits, bool isUnsigned) {
    if (sizeInBits < 8) return;
    uint8_t match = isUnsigned ? 0x00 : 0xFF;
    int k = (sizeInBits >> 3) - 1;
    for (; k > 0; --k) {
      if (value[k] != match) {
        Write0();
        WriteBits(value, 8 * (k + 1), true);
        return;
      }
      Write1();
    }
    if ((value[0] & 0xF0) == (isUnsigned ? 0x00 : 0xF0)) {
      Write1();
      WriteBits(value, 4, true);
    } else {
      Write0();
      WriteBits(value, 8, true);
    }
  }

  bool ReadCompressed(uint8_t* value, int sizeInBits, bool isUnsigned) {
    if (sizeInBits < 8) return false;
    uint8_t match = isUnsigned ? 0x00 : 0xFF;
    int k = (sizeInBits >> 3) - 1;
    for (; k > 0; --k) {
      if (readOffset >= used) return false;
      if (Bit(readOffset++)) {
        value[k] = match;
        continue;
      }
      if (readOffset + 8LL * (k + 1) > used) return false;
      return ReadBits(value, 8 * (k + 1), true);
    }
    if (readOffset >= used) return false;
    if (!Bit(readOffset++)) return ReadBits(value, 8, true);
    if (!ReadBits(value, 4, true)) return false;
    value[0] |= isUnsigned ? 0x00 : 0xF0;
    return true;
  }
};

}  // namespace bsmodel
