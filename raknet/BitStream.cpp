// Bit stream storage, growth and bit-level reads and writes.
#include "raknet/BitStream.h"

#undef NDEBUG  // the stream-empty check stays active in release builds
#include <assert.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace RakNet {

// The host reads these fields in place.
static_assert(offsetof(BitStream, numberOfBitsUsed) == 0);
static_assert(offsetof(BitStream, numberOfBitsAllocated) == 4);
static_assert(offsetof(BitStream, readOffset) == 8);
static_assert(offsetof(BitStream, data) == 12);
static_assert(offsetof(BitStream, copyData) == 16);
static_assert(offsetof(BitStream, inlineBuffer) == 17);
static_assert(sizeof(BitStream) == 276);

namespace {

constexpr int kInlineBytes = sizeof(BitStream::inlineBuffer);
// Positions and write sums stay below this many bits; growth doubles the sum
// and must still fit a signed 32-bit count.
constexpr int kMaxBits = 1 << 30;

#define BITSTREAM_INLINE inline __attribute__((always_inline))

long long Clamp(long long value, long long low, long long high) {
  return value < low ? low : value > high ? high : value;
}

// The growth step proper, for a write that ends at bit `target`: the buffer
// becomes (2 * target + 7) / 8 bytes. False, with nothing changed, when memory
// ran out. A stream on a caller's buffer first takes a private copy, since
// that buffer may not be resized.
__attribute__((noinline)) bool Enlarge(BitStream& s, int target) {
  target *= 2;
  const std::size_t size = static_cast<std::size_t>((target + 7) >> 3);
  if (!s.copyData) {
    s.AssertCopyData();
    if (!s.copyData) return false;
  }
  if (s.data == s.inlineBuffer) {
    if (size > static_cast<std::size_t>(kInlineBytes)) {
      auto* heap = static_cast<unsigned char*>(std::malloc(size));
      if (!heap) return false;
      const long long kept = Clamp((s.numberOfBitsAllocated + 7LL) >> 3, 0, kInlineBytes);
      std::memcpy(heap, s.inlineBuffer, static_cast<std::size_t>(kept));
      s.data = heap;
    }
  } else {
    void* grown = std::realloc(s.data, size);
    if (!grown) return false;
    s.data = static_cast<unsigned char*>(grown);
  }
  if (target > s.numberOfBitsAllocated) s.numberOfBitsAllocated = target;
  return true;
}

// Whether `bits` > 0 more bits fit the buffer without growing it.
BITSTREAM_INLINE bool HasRoom(const BitStream& s, int bits) {
  const int target = s.numberOfBitsUsed + bits;
  return s.numberOfBitsAllocated > 0 && ((s.numberOfBitsAllocated - 1) >> 3) >= ((target - 1) >> 3);
}

// Applies the growth rule for `bits` about to be written. False, with the
// stream unchanged, when the write must be dropped: the sum would reach
// kMaxBits or memory ran out. numberOfBitsUsed never exceeds kMaxBits, so the
// arithmetic stays within int.
BITSTREAM_INLINE bool Reserve(BitStream& s, int bits) {
  if (bits <= 0) return true;
  if (bits >= kMaxBits - s.numberOfBitsUsed) return false;
  const int target = s.numberOfBitsUsed + bits;
  if (!HasRoom(s, bits)) return Enlarge(s, target);
  if (target > s.numberOfBitsAllocated) s.numberOfBitsAllocated = target;
  return true;
}

// Byte counts: 8 * count must stay below kMaxBits.
BITSTREAM_INLINE bool ReserveBytes(BitStream& s, int count) { return count < kMaxBits / 8 && Reserve(s, 8 * count); }

// Out of line, so that the bit operations around it need no PIC register.
__attribute__((noinline)) void MoveLong(unsigned char* out, const unsigned char* in, int count) {
  std::memmove(out, in, static_cast<std::size_t>(count));
}

// A short run goes through a register-sized temporary (same result as
// memmove, also for overlapping ranges); longer runs take the block copy.
BITSTREAM_INLINE void MoveBytes(unsigned char* out, const unsigned char* in, int count) {
  if (count >= 4 && count <= 8) {
    uint32_t head, tail;
    std::memcpy(&head, in, 4);
    std::memcpy(&tail, in + count - 4, 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + count - 4, &tail, 4);
  } else if (count > 0 && count < 4) {
    const unsigned char first = in[0], middle = in[count >> 1], last = in[count - 1];
    out[0] = first;
    out[count >> 1] = middle;
    out[count - 1] = last;
  } else if (count > 8) {
    MoveLong(out, in, count);
  }
}

BITSTREAM_INLINE uint32_t LoadBigEndian(const unsigned char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return __builtin_bswap32(w);
}

BITSTREAM_INLINE void StoreBigEndian(unsigned char* p, uint32_t w) {
  w = __builtin_bswap32(w);
  std::memcpy(p, &w, 4);
}

// Appends count > 0 bits from source at numberOfBitsUsed; room is reserved.
// A byte the write begins is stored whole, the byte it starts inside is ORed.
BITSTREAM_INLINE void PutBits(BitStream& s, const unsigned char* source, int count, bool rightAligned) {
  unsigned char* out = s.data + (s.numberOfBitsUsed >> 3);
  const int off = s.numberOfBitsUsed & 7;
  s.numberOfBitsUsed += count;
  if (off == 0) {
    const int whole = count >> 3;
    MoveBytes(out, source, whole);
    const int rest = count & 7;
    if (rest) {
      unsigned b = source[whole];
      out[whole] = static_cast<unsigned char>(rightAligned ? b << (8 - rest) : b);
    }
    return;
  }
  // Four source bytes per step: the first ORs into the partly filled
  // byte, and the byte after the last is stored whole with the carry.
  for (; count >= 32; count -= 32, source += 4, out += 4) {
    const uint32_t w = LoadBigEndian(source);
    StoreBigEndian(out, (static_cast<uint32_t>(out[0]) << 24) | (w >> off));
    out[4] = static_cast<unsigned char>(w << (8 - off));
  }
  for (; count >= 8; count -= 8) {
    const unsigned b = *source++;
    *out++ |= static_cast<unsigned char>(b >> off);
    *out = static_cast<unsigned char>(b << (8 - off));
  }
  if (count > 0) {
    unsigned b = *source;
    if (rightAligned) b = (b << (8 - count)) & 0xFF;
    out[0] |= static_cast<unsigned char>(b >> off);
    if (count > 8 - off) out[1] = static_cast<unsigned char>(b << (8 - off));
  }
}

// Reads count > 0 bits at readOffset into destination; the bits are there.
// No stream byte past the one holding the last requested bit is read.
BITSTREAM_INLINE void GetBits(BitStream& s, unsigned char* destination, int count, bool rightAligned) {
  const unsigned char* in = s.data + (s.readOffset >> 3);
  const int off = s.readOffset & 7;
  s.readOffset += count;
  const int rest = count & 7;
  if (off == 0) {
    const int whole = count >> 3;
    MoveBytes(destination, in, whole);
    if (rest) {
      unsigned d = in[whole];
      destination[whole] = static_cast<unsigned char>(rightAligned ? d >> (8 - rest) : d);
    }
    return;
  }
  for (; count >= 32; count -= 32, in += 4, destination += 4)
    StoreBigEndian(destination, (LoadBigEndian(in) << off) | (in[4] >> (8 - off)));
  for (; count >= 8; count -= 8, ++in)
    *destination++ = static_cast<unsigned char>((in[0] << off) | (in[1] >> (8 - off)));
  if (count > 0) {
    unsigned d = (in[0] << off) & 0xFF;
    if (count > 8 - off) d |= in[1] >> (8 - off);
    *destination = static_cast<unsigned char>(rightAligned ? d >> (8 - count) : d);
  }
}

BITSTREAM_INLINE bool TakeBit(BitStream& s) {
  const bool bit = s.data[s.readOffset >> 3] & (0x80 >> (s.readOffset & 7));
  ++s.readOffset;
  return bit;
}

BITSTREAM_INLINE void PutBit(BitStream& s, bool bit) {
  unsigned char& byte = s.data[s.numberOfBitsUsed >> 3];
  const int off = s.numberOfBitsUsed & 7;
  if (off == 0)
    byte = bit ? 0x80 : 0x00;
  else if (bit)
    byte |= static_cast<unsigned char>(0x80 >> off);
  ++s.numberOfBitsUsed;
}

// Moves the write position back to `start` and clears the bits after it, so
// that a multi-part write that could not finish leaves no trace.
__attribute__((noinline)) void Truncate(BitStream& s, int start) {
  if (s.numberOfBitsUsed <= start) return;
  unsigned char* first = s.data + (start >> 3);
  unsigned char* last = s.data + ((s.numberOfBitsUsed - 1) >> 3);
  if (start & 7) *first++ &= static_cast<unsigned char>(0xFF00 >> (start & 7));
  if (first <= last) std::memset(first, 0, static_cast<std::size_t>(last - first + 1));
  s.numberOfBitsUsed = start;
}

// Appends up to 25 bits, right-aligned in `bits`, at numberOfBitsUsed; room
// is there. Same bytes as writing them piece by piece: the byte the write
// starts inside is ORed, the bytes it begins are stored whole.
BITSTREAM_INLINE void PutShort(BitStream& s, uint32_t bits, int length) {
  const int off = s.numberOfBitsUsed & 7;
  unsigned char* out = s.data + (s.numberOfBitsUsed >> 3);
  const uint32_t word = bits << (32 - off - length);
  const int touched = (off + length + 7) >> 3;
  out[0] = static_cast<unsigned char>((off ? out[0] : 0) | (word >> 24));
  for (int i = 1; i < touched && i < 4; ++i) out[i] = static_cast<unsigned char>(word >> (24 - 8 * i));
  s.numberOfBitsUsed += length;
}

// Compressed values of up to this many bytes take the fast path: their flags
// and a last byte fit PutShort.
constexpr int kShortCodeBytes = 8;
constexpr int kShortCodeBits = 25;

}  // namespace

// inlineBuffer is left uninitialised: only written bytes are ever read.
// cppcheck-suppress uninitMemberVar
BitStream::BitStream()
    : numberOfBitsUsed(0), numberOfBitsAllocated(8 * kInlineBytes), readOffset(0), data(inlineBuffer), copyData(true) {}

// A size the stream could never hold, or a heap buffer that cannot be had,
// leaves an empty stream on inlineBuffer.
// cppcheck-suppress uninitMemberVar
BitStream::BitStream(int initialBytes)
    : numberOfBitsUsed(0), numberOfBitsAllocated(8 * kInlineBytes), readOffset(0), data(inlineBuffer), copyData(true) {
  if (initialBytes <= kInlineBytes || initialBytes >= kMaxBits / 8) return;
  if (auto* heap = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(initialBytes)))) {
    data = heap;
    numberOfBitsAllocated = initialBytes * 8;
  }
}

// A source too long to count in bits, or a copy that cannot be allocated,
// gives an empty stream (0 bits, nothing allocated).
BitStream::BitStream(unsigned char* source, unsigned int lengthInBytes, bool copy)
    : numberOfBitsUsed(0), numberOfBitsAllocated(0), readOffset(0), data(nullptr), copyData(copy) {
  if (!copy) data = source;
  if (lengthInBytes == 0 || lengthInBytes >= kMaxBits / 8) return;
  const int bits = static_cast<int>(lengthInBytes * 8);
  if (copy) {
    if (lengthInBytes < static_cast<unsigned>(kInlineBytes)) {
      data = inlineBuffer;
      numberOfBitsAllocated = 8 * kInlineBytes;
    } else {
      data = static_cast<unsigned char*>(std::malloc(lengthInBytes));
      if (!data) return;
      numberOfBitsAllocated = bits;
    }
    std::memcpy(data, source, lengthInBytes);
  } else {
    numberOfBitsAllocated = bits;
  }
  numberOfBitsUsed = bits;
}

BitStream::~BitStream() {
  if (copyData && data != inlineBuffer) std::free(data);
}

void BitStream::Reset() {
  numberOfBitsUsed = 0;
  readOffset = 0;
}

void BitStream::ResetReadPointer() { readOffset = 0; }

void BitStream::ResetWritePointer() { numberOfBitsUsed = 0; }

// Kept within [0, allocated bits] so that reads of the used bits stay inside
// the buffer.
void BitStream::SetWriteOffset(int bitPosition) {
  numberOfBitsUsed = static_cast<int>(Clamp(bitPosition, 0, Clamp(numberOfBitsAllocated, 0, kMaxBits)));
}

// Never negative; a position past the end only makes reads fail.
void BitStream::IgnoreBits(int count) {
  readOffset = static_cast<int>(Clamp(static_cast<long long>(readOffset) + count, 0, kMaxBits));
}

void BitStream::SetNumberOfBitsAllocated(unsigned int bits) { numberOfBitsAllocated = static_cast<int>(bits); }

// A heap buffer the stream owned is released rather than lost.
void BitStream::SetData(unsigned char* buffer) {
  if (copyData && data != inlineBuffer && data != buffer) std::free(data);
  data = buffer;
  copyData = false;
}

// If the copy cannot be allocated the stream stays on the caller's buffer.
void BitStream::AssertCopyData() {
  if (copyData) return;
  if (numberOfBitsAllocated <= 0) {
    data = nullptr;
    copyData = true;
    return;
  }
  const std::size_t size = static_cast<std::size_t>((numberOfBitsAllocated + 7LL) >> 3);
  auto* own = static_cast<unsigned char*>(std::malloc(size));
  if (!own) return;
  std::memcpy(own, data, size);
  data = own;
  copyData = true;
}

void BitStream::AddBitsAndReallocate(int bitsToWrite) { Reserve(*this, bitsToWrite); }

void BitStream::WriteBits(const unsigned char* source, int count, bool rightAligned) {
  if (count <= 0 || !Reserve(*this, count)) return;
  PutBits(*this, source, count, rightAligned);
}

void BitStream::Write0() {
  if (Reserve(*this, 1)) PutBit(*this, false);
}

void BitStream::Write1() {
  if (Reserve(*this, 1)) PutBit(*this, true);
}

bool BitStream::ReadBits(unsigned char* destination, int count, bool rightAligned) {
  if (count <= 0 || count > numberOfBitsUsed - readOffset) return false;
  GetBits(*this, destination, count, rightAligned);
  return true;
}

// With no bit left: false, and the position stays.
bool BitStream::ReadBit() {
  if (readOffset >= numberOfBitsUsed) return false;
  return TakeBit(*this);
}

void BitStream::AlignWriteToByteBoundary() {
  if (numberOfBitsUsed) numberOfBitsUsed = (numberOfBitsUsed + 7) & ~7;
}

void BitStream::AlignReadToByteBoundary() {
  if (readOffset) readOffset = (readOffset + 7) & ~7;
}

// If the array cannot be allocated, *copy is null and the result 0.
int BitStream::CopyData(unsigned char** copy) const {
  const int bytes = (numberOfBitsUsed + 7) >> 3;
  *copy = new (std::nothrow_t{}) unsigned char[bytes];
  if (!*copy) return 0;
  if (bytes > 0) std::memcpy(*copy, data, static_cast<std::size_t>(bytes));
  return numberOfBitsUsed;
}

void BitStream::PrintBits() const {
  if (numberOfBitsUsed <= 0) {
    std::fputs("No bits\n", stdout);
    return;
  }
  const int bytes = (numberOfBitsUsed + 7) >> 3;
  for (int i = 0; i < bytes; ++i) {
    const int shown = i == bytes - 1 ? ((numberOfBitsUsed - 1) & 7) + 1 : 8;
    char text[10];
    for (int bit = 0; bit < shown; ++bit) text[bit] = (data[i] & (0x80 >> bit)) ? '1' : '0';
    text[shown] = ' ';
    std::fwrite(text, 1, static_cast<std::size_t>(shown + 1), stdout);
  }
  std::fputc('\n', stdout);
}

void BitStream::AssertStreamEmpty() {
  if (readOffset != numberOfBitsUsed)
    __assert_fail("readOffset == numberOfBitsUsed", "raknet/BitStream.cpp", 633,
                  "void RakNet::BitStream::AssertStreamEmpty()");
}

bool BitStream::DoEndianSwap() const { return false; }

void BitStream::ReverseBytes(unsigned char* input, unsigned char* output, int length) {
  for (int i = 0; i < length; ++i) output[i] = input[length - 1 - i];
}

void BitStream::Write(const char* source, int byteCount) {
  if (byteCount <= 0 || !ReserveBytes(*this, byteCount)) return;
  PutBits(*this, reinterpret_cast<const unsigned char*>(source), 8 * byteCount, true);
}

bool BitStream::Read(char* destination, int byteCount) {
  if (byteCount < 0 || byteCount > (numberOfBitsUsed - readOffset) >> 3) return false;
  if (byteCount == 0) return (readOffset & 7) == 0;
  GetBits(*this, reinterpret_cast<unsigned char*>(destination), 8 * byteCount, true);
  return true;
}

void BitStream::WriteAlignedBytes(const unsigned char* source, int byteCount) {
  AlignWriteToByteBoundary();
  if (byteCount <= 0 || !ReserveBytes(*this, byteCount)) return;
  PutBits(*this, source, 8 * byteCount, true);
}

bool BitStream::ReadAlignedBytes(unsigned char* destination, int byteCount) {
  if (byteCount <= 0) return false;
  AlignReadToByteBoundary();
  if (byteCount > (numberOfBitsUsed - readOffset) >> 3) return false;
  GetBits(*this, destination, 8 * byteCount, true);
  return true;
}

// Copies min(bitCount, unread bits of source) bits from source's read
// position. The result equals appending one bit per step: bytes this write
// begins are stored whole, the byte it starts inside is ORed.
void BitStream::Write(BitStream* source, int bitCount) {
  if (bitCount <= 0 || !Reserve(*this, bitCount)) return;
  if (source == this) {
    // Reading and appending on one stream: the unread span moves along
    // with the write, so go literally one bit per step.
    for (int i = 0; i < bitCount && readOffset < numberOfBitsUsed; ++i) PutBit(*this, TakeBit(*this));
    return;
  }
  if (source->readOffset >= source->numberOfBitsUsed) return;
  int left = source->numberOfBitsUsed - source->readOffset;
  if (left > bitCount) left = bitCount;
  unsigned char chunk[kInlineBytes];
  while (left > 0) {
    const int step = left < 8 * kInlineBytes ? left : 8 * kInlineBytes;
    GetBits(*source, chunk, step, false);
    if (step & 7) chunk[step >> 3] &= static_cast<unsigned char>(0xFF00 >> (step & 7));
    PutBits(*this, chunk, step, false);
    left -= step;
  }
}

void BitStream::Write(BitStream* source) { Write(source, source->numberOfBitsUsed); }

// A size below 8 bits holds no whole byte: nothing is written. Each part is
// written with its own growth; if one cannot be, the value is taken back out.
void BitStream::WriteCompressed(const unsigned char* value, int sizeInBits, bool isUnsigned) {
  if (sizeInBits < 8) return;
  const int bytes = sizeInBits >> 3;
  const int longest = 8 * bytes + 1;
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  if (bytes <= kShortCodeBytes && longest < kMaxBits - numberOfBitsUsed && HasRoom(*this, longest)) {
    // No piece would grow the buffer, so growth only raises the count:
    // a short form goes in one store, a longer one as flags and raw block.
    uint32_t flags = 0;
    int length = 0, k = bytes - 1;
    for (; k > 0 && value[k] == match; --k, ++length) flags = flags << 1 | 1;
    if (k > 0 && length + 1 + 8 * (k + 1) <= kShortCodeBits) {
      flags <<= 1;
      for (int i = 0; i <= k; ++i) flags = flags << 8 | value[i];
      PutShort(*this, flags, length + 1 + 8 * (k + 1));
    } else if (k > 0) {
      PutShort(*this, flags << 1, length + 1);
      PutBits(*this, value, 8 * (k + 1), true);
    } else if ((value[0] & 0xF0) == (match & 0xF0)) {
      PutShort(*this, flags << 5 | 0x10 | (value[0] & 0x0F), length + 5);
    } else {
      PutShort(*this, flags << 9 | value[0], length + 9);
    }
    if (numberOfBitsUsed > numberOfBitsAllocated) numberOfBitsAllocated = numberOfBitsUsed;
    return;
  }
  const int start = numberOfBitsUsed;
  int k = (sizeInBits >> 3) - 1;
  for (; k > 0; --k) {
    if (!Reserve(*this, 1)) return Truncate(*this, start);
    if (value[k] != match) {
      PutBit(*this, false);
      if (!Reserve(*this, 8 * (k + 1))) return Truncate(*this, start);
      return PutBits(*this, value, 8 * (k + 1), true);
    }
    PutBit(*this, true);
  }
  const unsigned upper = value[0] & 0xF0;
  const bool halfMatches = upper == (isUnsigned ? 0x00u : 0xF0u);
  const int lowBits = halfMatches ? 4 : 8;
  if (!Reserve(*this, 1)) return Truncate(*this, start);
  PutBit(*this, halfMatches);
  if (!Reserve(*this, lowBits)) return Truncate(*this, start);
  PutBits(*this, value, lowBits, true);
}

// A size below 8 bits holds no whole byte: false, nothing read or stored.
bool BitStream::ReadCompressed(unsigned char* value, int sizeInBits, bool isUnsigned) {
  if (sizeInBits < 8) return false;
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  for (int k = (sizeInBits >> 3) - 1; k > 0; --k) {
    if (readOffset >= numberOfBitsUsed) return false;
    if (TakeBit(*this)) {
      value[k] = match;
      continue;
    }
    if (8 * (k + 1) > numberOfBitsUsed - readOffset) return false;
    GetBits(*this, value, 8 * (k + 1), true);
    return true;
  }
  if (readOffset >= numberOfBitsUsed) return false;
  const int last = TakeBit(*this) ? 4 : 8;
  if (last > numberOfBitsUsed - readOffset) return false;
  GetBits(*this, value, last, true);
  if (last == 4) value[0] |= match & 0xF0;
  return true;
}

}  // namespace RakNet

#if defined(__SANITIZE_ADDRESS__)
#define BITSTREAM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BITSTREAM_ASAN 1
#endif
#endif

#if !defined(BITSTREAM_ASAN)
// CopyData's array is released by the caller with delete[], so it comes from
// the nothrow array operator new. The plugin links the C++ runtime in
// statically, and that runtime's version would pull in the exception runtime
// and with it a dependency on the dynamic loader; this one, local to the
// plugin, is the same malloc without it. Sanitizer builds keep the runtime's
// own, which tracks new/delete pairs.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
#endif
