// Bit stream storage, growth and bit-level reads and writes.
#include "raknet/BitStream.h"

#undef NDEBUG  // the stream-empty check stays active in release builds
#include <assert.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// dlsym, bound weakly to the version every C library has had (in libdl.so.2
// before 2.34, in libc.so.6 since): the plugin keeps loading where the
// process has no dynamic loading library, and then does without it.
extern "C" void* LibcDlsym(void* handle, const char* name) __attribute__((weak));
__asm__(".symver LibcDlsym, dlsym@GLIBC_2.0");

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

// Forced inline; a coverage build counts each helper once instead (an inlined
// copy has branches its call site can never take).
#ifdef CORE_COVERAGE
#define BITSTREAM_INLINE inline
#else
#define BITSTREAM_INLINE inline __attribute__((always_inline))
#endif

long long Clamp(long long value, long long low, long long high) {
  return value < low ? low : value > high ? high : value;
}

// The growth step proper, for a write that ends at bit `target`: the buffer
// becomes (2 * target + 7) / 8 bytes. False, with nothing changed, when memory
// ran out. A caller's buffer may not be resized: a stream on one moves to a
// private copy of the grown size, taken in one allocation, so that a failure
// leaves it on the caller's buffer.
__attribute__((noinline)) bool Enlarge(BitStream& s, int target) {
  target *= 2;
  const std::size_t size = static_cast<std::size_t>((target + 7) >> 3);
  if (!s.copyData || s.data == s.inlineBuffer) {
    const bool borrowed = !s.copyData;
    if (borrowed || size > static_cast<std::size_t>(kInlineBytes)) {
      auto* heap = static_cast<unsigned char*>(std::malloc(size));
      if (!heap) return false;
      if (const unsigned char* held = s.data) {
        const long long limit = borrowed ? static_cast<long long>(size) : kInlineBytes;
        const long long kept = Clamp((s.numberOfBitsAllocated + 7LL) >> 3, 0, limit);
        if (kept > 0) std::memcpy(heap, held, static_cast<std::size_t>(kept));
      }
      s.data = heap;
      s.copyData = true;
    }
  } else {
    void* grown = std::realloc(s.data, size);
    if (!grown) return false;
    s.data = static_cast<unsigned char*>(grown);
  }
  // GCOVR_EXCL_BR_START: only called for a write that ends past the allocated bits
  if (target > s.numberOfBitsAllocated) s.numberOfBitsAllocated = target;
  // GCOVR_EXCL_BR_STOP
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

// Stores the first m (0 to 4) bytes of r, most significant first.
BITSTREAM_INLINE void StoreFirst(unsigned char* out, uint32_t r, int m) {
  if (m == 4) return StoreBigEndian(out, r);
  if (m >= 2) {
    const uint16_t pair = __builtin_bswap16(static_cast<uint16_t>(r >> 16));
    std::memcpy(out, &pair, 2);
  }
  if (m == 1) out[0] = static_cast<unsigned char>(r >> 24);
  if (m == 3) out[2] = static_cast<unsigned char>(r >> 8);
}

// Writes at bit `off` (0 to 7) of out the 32 bits of w followed by the 8 of
// `low`, touching the first n (1 to 5) bytes only: the byte the write starts
// inside is ORed into, the bytes it begins are stored whole. Bits that would
// fall into the bytes after those n are dropped.
BITSTREAM_INLINE void PutWindow(unsigned char* out, int off, uint32_t w, uint32_t low, int n) {
  if (off == 0) {
    StoreFirst(out, w, n < 4 ? n : 4);
    if (n == 5) out[4] = static_cast<unsigned char>(low);
    return;
  }
  out[0] |= static_cast<unsigned char>((w >> 24) >> off);
  StoreFirst(out + 1, (w << (8 - off)) | (low >> off), n - 1);
}

// PutWindow for a code of kLength (8 to 33) bits: the bytes it touches are
// known here but for whether `off` pushes it one byte further.
template <int kLength>
BITSTREAM_INLINE void PutCode(unsigned char* out, int off, uint32_t w, uint32_t low) {
  constexpr int kBytes = (kLength + 7) / 8;  // at off 0
  constexpr int kSpare = 8 * kBytes - kLength;
  if (off == 0) return PutWindow(out, 0, w, low, kBytes);
  if constexpr (kLength == 8) {
    const unsigned b = w >> 24;
    out[0] |= static_cast<unsigned char>(b >> off);
    out[1] = static_cast<unsigned char>(b << (8 - off));
    return;
  }
  out[0] |= static_cast<unsigned char>((w >> 24) >> off);
  const uint32_t rest = (w << (8 - off)) | (low >> off);
  if (off > kSpare)
    StoreFirst(out + 1, rest, kBytes);
  else
    StoreFirst(out + 1, rest, kBytes - 1);
}

// The count (9 to 31) bits of source, left-aligned: its whole bytes, then
// the partial last byte as WriteBits takes it (low bits moved to the top with
// the right-aligned flag, unchanged without).
BITSTREAM_INLINE uint32_t SourceWindow(const unsigned char* source, int count, bool rightAligned) {
  const int whole = count >> 3, rest = count & 7;
  uint32_t w = static_cast<uint32_t>(source[0]) << 24;
  if (whole >= 2) w |= static_cast<uint32_t>(source[1]) << 16;
  if (whole >= 3) w |= static_cast<uint32_t>(source[2]) << 8;
  if (rest) {
    uint32_t last = source[whole];
    if (rightAligned) last = (last << (8 - rest)) & 0xFF;
    w |= last << (24 - 8 * whole);
  }
  return w;
}

// Value bytes 0 to n - 1 (n from 1 to 3) as a little-endian number, and back.
BITSTREAM_INLINE uint32_t LoadValue(const unsigned char* value, unsigned n) {
  uint32_t x = value[0];
  if (n >= 2) x |= static_cast<uint32_t>(value[1]) << 8;
  if (n == 3) x |= static_cast<uint32_t>(value[2]) << 16;
  return x;
}

BITSTREAM_INLINE void StoreValue(unsigned char* value, uint32_t x, unsigned n) {
  value[0] = static_cast<unsigned char>(x);
  if (n >= 2) value[1] = static_cast<unsigned char>(x >> 8);
  if (n == 3) value[2] = static_cast<unsigned char>(x >> 16);
}

// The longest compressed codes of 32-bit and of 24-bit values.
constexpr int kLongestCode32 = 33;
constexpr int kLongestCode24 = 25;

// The general forms of the bit operations, for what their fast paths leave:
// counts beyond 32 bits, writes that may grow the buffer, reads near the end.
__attribute__((noinline)) void WriteBitsSlow(BitStream& s, const unsigned char* source, int count, bool rightAligned) {
  if (count <= 0 || !Reserve(s, count)) return;
  PutBits(s, source, count, rightAligned);
}

// Fields of 9 to 31 bits that fit the buffer as it is are written at once;
// the rest goes the general way.
__attribute__((noinline)) void WriteOther(BitStream& s, const unsigned char* source, int count, bool rightAligned) {
  const int used = s.numberOfBitsUsed;
  if (static_cast<unsigned>(count) - 9u < 23u && used + count <= s.numberOfBitsAllocated && used + count < kMaxBits) {
    s.numberOfBitsUsed = used + count;
    const int off = used & 7;
    PutWindow(s.data + (used >> 3), off, SourceWindow(source, count, rightAligned), 0, (off + count + 7) >> 3);
    return;
  }
  WriteBitsSlow(s, source, count, rightAligned);
}

__attribute__((noinline)) bool ReadBitsSlow(BitStream& s, unsigned char* destination, int count, bool rightAligned) {
  if (count <= 0 || count > s.numberOfBitsUsed - s.readOffset) return false;
  GetBits(s, destination, count, rightAligned);
  return true;
}

// One piece at a time, each with its own growth; if one cannot be had, the
// value is taken back out. A size below 8 bits holds no whole byte: nothing
// is written.
__attribute__((noinline)) void WriteCompressedSlow(BitStream& s, const unsigned char* value, int sizeInBits,
                                                   bool isUnsigned) {
  if (sizeInBits < 8) return;
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  const int start = s.numberOfBitsUsed;
  int k = (sizeInBits >> 3) - 1;
  for (; k > 0; --k) {
    if (!Reserve(s, 1)) return Truncate(s, start);
    if (value[k] != match) {
      PutBit(s, false);
      if (!Reserve(s, 8 * (k + 1))) return Truncate(s, start);
      return PutBits(s, value, 8 * (k + 1), true);
    }
    PutBit(s, true);
  }
  const unsigned upper = value[0] & 0xF0;
  const bool halfMatches = upper == (isUnsigned ? 0x00u : 0xF0u);
  const int lowBits = halfMatches ? 4 : 8;
  if (!Reserve(s, 1)) return Truncate(s, start);
  PutBit(s, halfMatches);
  if (!Reserve(s, lowBits)) return Truncate(s, start);
  PutBits(s, value, lowBits, true);
}

// Flag by flag. A size below 8 bits holds no whole byte: false, nothing read
// or stored.
__attribute__((noinline)) bool ReadCompressedSlow(BitStream& s, unsigned char* value, int sizeInBits, bool isUnsigned) {
  if (sizeInBits < 8) return false;
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  for (int k = (sizeInBits >> 3) - 1; k > 0; --k) {
    if (s.readOffset >= s.numberOfBitsUsed) return false;
    if (TakeBit(s)) {
      value[k] = match;
      continue;
    }
    if (8 * (k + 1) > s.numberOfBitsUsed - s.readOffset) return false;
    GetBits(s, value, 8 * (k + 1), true);
    return true;
  }
  if (s.readOffset >= s.numberOfBitsUsed) return false;
  const int last = TakeBit(s) ? 4 : 8;
  if (last > s.numberOfBitsUsed - s.readOffset) return false;
  GetBits(s, value, last, true);
  if (last == 4) value[0] |= match & 0xF0;
  return true;
}

// Appends the first `length` (1 to 32) bits of w; room is there.
BITSTREAM_INLINE void PutLeading(BitStream& s, uint32_t w, int length) {
  const int used = s.numberOfBitsUsed;
  const int off = used & 7;
  s.numberOfBitsUsed = used + length;
  PutWindow(s.data + (used >> 3), off, w, 0, (off + length + 7) >> 3);
}

// 8-, 16- and 24-bit values whose code fits the buffer as it is are coded as a
// word and written at once, values of 5 to 8 bytes whose longest code fits
// as flags and a block; the rest goes piece by piece.
__attribute__((noinline)) void WriteCompressedShort(BitStream& s, const unsigned char* value, int sizeInBits,
                                                    bool isUnsigned) {
  const unsigned n = static_cast<unsigned>(sizeInBits >> 3);
  const int longest = 8 * static_cast<int>(n) + 1;
  if (n - 5 < 4u && s.numberOfBitsUsed + longest <= s.numberOfBitsAllocated &&
      s.numberOfBitsUsed < kMaxBits - longest) {
    const unsigned char match = isUnsigned ? 0x00 : 0xFF;
    int k = static_cast<int>(n) - 1;
    while (k > 0 && value[k] == match) --k;
    const int ones = static_cast<int>(n) - 1 - k;
    const uint32_t flags = ~(0xFFFFFFFFu >> ones);
    if (k > 0) {
      PutLeading(s, flags, ones + 1);  // and a 0 flag
      PutBits(s, value, 8 * (k + 1), true);
    } else if ((value[0] & 0xF0) == (match & 0xF0)) {
      PutLeading(s, flags | (0x10u | (value[0] & 0x0F)) << (27 - ones), ones + 5);
    } else {
      PutLeading(s, flags | static_cast<uint32_t>(value[0]) << (23 - ones), ones + 9);
    }
    return;
  }
  if (n - 1 < 3u) {
    const uint32_t match = isUnsigned ? 0 : 0xFFFFFFFFu;
    const uint32_t x = LoadValue(value, n);
    // Bytes 1 to n - 1 that differ from the filler: the highest of them, k,
    // ends the 1 flags (0 when all match).
    const uint32_t differ = (x ^ match) & (0xFFFFFFFFu >> (32 - 8 * n)) & 0xFFFFFF00u;
    const int k = (31 - __builtin_clz(differ | 1)) >> 3;
    const int ones = static_cast<int>(n) - 1 - k;
    uint32_t w = ~(0xFFFFFFFFu >> ones);  // the 1 flags, then the rest of the code
    int length;
    if (k > 0) {
      // A 0 flag, then bytes 0 to k in ascending order.
      w |= (__builtin_bswap32(x) & ~(0xFFFFFFFFu >> 8 >> (8 * k))) >> (ones + 1);
      length = ones + 1 + 8 * (k + 1);
    } else if (((x ^ match) & 0xF0) == 0) {
      w |= (0x10 | (x & 0x0F)) << (27 - ones);  // a 1 half flag and the low half
      length = ones + 5;
    } else {
      w |= (x & 0xFF) << (23 - ones);  // a 0 half flag and the byte
      length = ones + 9;
    }
    if (s.numberOfBitsUsed + length <= s.numberOfBitsAllocated && s.numberOfBitsUsed + length < kMaxBits)
      return PutLeading(s, w, length);
  }
  WriteCompressedSlow(s, value, sizeInBits, isUnsigned);
}

// 8-, 16- and 24-bit values are decoded from one 32-bit look at the stream
// when the longest code's bits (25) are there; the rest flag by flag.
__attribute__((noinline)) bool ReadCompressedShort(BitStream& s, unsigned char* value, int sizeInBits,
                                                   bool isUnsigned) {
  const unsigned n = static_cast<unsigned>(sizeInBits >> 3);
  const int offset = s.readOffset;
  if (n - 1 < 3u && s.numberOfBitsUsed - offset >= kLongestCode24) {
    // The bits up to offset + 24 are there: bytes in[0] to in[3].
    const unsigned char* in = s.data + (offset >> 3);
    const uint32_t window = LoadBigEndian(in) << (offset & 7);
    const uint32_t match = isUnsigned ? 0 : 0xFFFFFFFFu;
    const int ones = __builtin_clz(~window | (1u << (32 - n)));  // the 1 flags, at most n - 1
    const int k = static_cast<int>(n) - 1 - ones;
    const uint32_t rest = window << (ones + 1);  // after the 0 flag or the half flag
    uint32_t x;
    int length;
    if (k > 0) {
      x = __builtin_bswap32(rest & ~(0xFFFFFFFFu >> 8 >> (8 * k))) | (match << 8 << (8 * k));
      length = ones + 1 + 8 * (k + 1);
    } else if ((window << ones) >> 31) {
      x = (rest >> 28) | (match << 4);
      length = ones + 5;
    } else {
      x = (rest >> 24) | (match << 8);
      length = ones + 9;
    }
    s.readOffset = offset + length;
    StoreValue(value, x, n);
    return true;
  }
  return ReadCompressedSlow(s, value, sizeInBits, isUnsigned);
}

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

// Fields of 32 bits and of 1 to 8 bits that fit the buffer as it is (the
// growth rule would change nothing) are written here at once; the rest by
// WriteOther.
void BitStream::WriteBits(const unsigned char* source, int count, bool rightAligned) {
  const int used = numberOfBitsUsed;
  if (count == 32) {
    if (__builtin_expect(used + 32 <= numberOfBitsAllocated && used < kMaxBits - 32, 1)) {
      numberOfBitsUsed = used + 32;
      unsigned char* out = data + (used >> 3);
      const int off = used & 7;
      uint32_t w;
      std::memcpy(&w, source, 4);
      if (off == 0) {
        std::memcpy(out, &w, 4);
        return;
      }
      w = __builtin_bswap32(w);
      out[0] |= static_cast<unsigned char>(w >> (24 + off));
      StoreBigEndian(out + 1, w << (8 - off));
      return;
    }
  } else if (static_cast<unsigned>(count) - 1u < 8u) {
    if (__builtin_expect(used + count <= numberOfBitsAllocated && used < kMaxBits - 8, 1)) {
      numberOfBitsUsed = used + count;
      unsigned char* out = data + (used >> 3);
      const int off = used & 7;
      // The source byte's bits at the top of a word: its low count bits
      // with the right-aligned flag, all eight without; then moved to `off`.
      const uint32_t bits = (static_cast<uint32_t>(source[0]) << (rightAligned ? 32 - count : 24)) >> off;
      // Its first part is ORed into out[0] (stored, at a byte boundary), the
      // rest stored as out[1] when the field reaches it.
      out[0] = static_cast<unsigned char>((off ? out[0] : 0) | (bits >> 24));
      if (off + count > 8) out[1] = static_cast<unsigned char>(bits >> 16);
      return;
    }
  }
  WriteOther(*this, source, count, rightAligned);
}

void BitStream::Write0() {
  if (Reserve(*this, 1)) PutBit(*this, false);
}

void BitStream::Write1() {
  if (Reserve(*this, 1)) PutBit(*this, true);
}

// Fields of 32 bits and of 1 to 8 bits are read here at once; the rest the
// general way.
bool BitStream::ReadBits(unsigned char* destination, int count, bool rightAligned) {
  const int offset = readOffset;
  if (count == 32) {
    if (__builtin_expect(numberOfBitsUsed - offset >= 32, 1)) {
      readOffset = offset + 32;
      const unsigned char* in = data + (offset >> 3);
      const int off = offset & 7;
      if (off == 0)
        std::memcpy(destination, in, 4);
      else
        StoreBigEndian(destination, (LoadBigEndian(in) << off) | (in[4] >> (8 - off)));
      return true;
    }
  } else if (static_cast<unsigned>(count) - 1u < 8u) {
    if (__builtin_expect(count <= numberOfBitsUsed - offset, 1)) {
      readOffset = offset + count;
      const unsigned char* in = data + (offset >> 3);
      const int off = offset & 7;
      // The eight bits at offset at the top of a word (those past the byte
      // holding the last requested bit as 0); then the requested ones moved
      // to the bottom with the right-aligned flag, or all eight without.
      uint32_t bits = static_cast<uint32_t>(in[0]) << 24;
      if (off + count > 8) bits |= static_cast<uint32_t>(in[1]) << 16;
      destination[0] = static_cast<unsigned char>((bits << off) >> (rightAligned ? 32 - count : 24));
      return true;
    }
  }
  return ReadBitsSlow(*this, destination, count, rightAligned);
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

namespace {

// The array CopyData hands out is released by the caller's delete[], which is
// the process's operator delete[]: a sanitizer's, a memory checker's or the
// program's own replacement. The plugin carries its own C++ runtime, whose
// operator new[] such a delete[] would not recognise, so the array comes from
// the process's operator new[] as the dynamic linker finds it first (the
// program, then the libraries in load order). Only a process without one (a C
// host) gets the plugin's own. The nothrow form: nothing throws through the
// plugin.
using ArrayNew = void* (*)(std::size_t, const std::nothrow_t&) noexcept;

void* OwnArrayNew(std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new[](size, tag); }

ArrayNew LookUpArrayNew() {
  // An old C library whose process has no dynamic loading library.
  if (!LibcDlsym) return OwnArrayNew;  // GCOVR_EXCL_BR_LINE: no such C library where the tests run
  static_assert(sizeof(std::size_t) == 4, "the mangled name below is the 32-bit one");
  void* found = LibcDlsym(RTLD_DEFAULT, "_ZnajRKSt9nothrow_t");
  return found ? reinterpret_cast<ArrayNew>(found) : OwnArrayNew;
}

// Looked up once. Threads that race here all find the same function, so the
// first store or a later one leaves the same value.
ArrayNew ProcessArrayNew() {
  static ArrayNew cached = nullptr;
  ArrayNew found = __atomic_load_n(&cached, __ATOMIC_ACQUIRE);
  if (!found) {
    found = LookUpArrayNew();
    __atomic_store_n(&cached, found, __ATOMIC_RELEASE);
  }
  return found;
}

}  // namespace

// If the array cannot be allocated, *copy is null and the result 0.
int BitStream::CopyData(unsigned char** copy) const {
  const int bytes = (numberOfBitsUsed + 7) >> 3;
  *copy = static_cast<unsigned char*>(ProcessArrayNew()(static_cast<std::size_t>(bytes), std::nothrow));
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
  // GCOVR_EXCL_START: the failure aborts (the death test), and an aborting process writes no coverage data
  if (readOffset != numberOfBitsUsed)
    __assert_fail("readOffset == numberOfBitsUsed", "raknet/BitStream.cpp", 633,
                  "void RakNet::BitStream::AssertStreamEmpty()");
  // GCOVR_EXCL_STOP
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

// A block that fits the buffer as it is goes straight to the block copy.
void BitStream::WriteAlignedBytes(const unsigned char* source, int byteCount) {
  const int used = numberOfBitsUsed ? (numberOfBitsUsed + 7) & ~7 : 0;
  numberOfBitsUsed = used;
  if (byteCount <= 0) return;
  if (byteCount < (kMaxBits - used) / 8 && used + 8 * byteCount <= numberOfBitsAllocated) {
    numberOfBitsUsed = used + 8 * byteCount;
    return MoveBytes(data + (used >> 3), source, byteCount);
  }
  if (ReserveBytes(*this, byteCount)) PutBits(*this, source, 8 * byteCount, true);
}

bool BitStream::ReadAlignedBytes(unsigned char* destination, int byteCount) {
  if (byteCount <= 0) return false;
  const int offset = readOffset ? (readOffset + 7) & ~7 : 0;
  readOffset = offset;
  if (byteCount > (numberOfBitsUsed - offset) >> 3) return false;
  readOffset = offset + 8 * byteCount;
  MoveBytes(destination, data + (offset >> 3), byteCount);
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

// 32-bit values are coded and written at once when the longest code fits the
// buffer as it is (the growth rule would change nothing); other sizes, and
// values near the end of the buffer, go by WriteCompressedShort. A 32-bit
// code is 1 1 1 1 and the low half (the three upper bytes and the upper half
// of the low byte equal the filler), 1 1 1 0 and the low byte, 1 1 0 and two
// bytes, 1 0 and three bytes, or 0 and all four.
void BitStream::WriteCompressed(const unsigned char* value, int sizeInBits, bool isUnsigned) {
  const int used = numberOfBitsUsed;
  if (__builtin_expect(static_cast<unsigned>(sizeInBits) - 32u > 7u || used + kLongestCode32 > numberOfBitsAllocated ||
                           used >= kMaxBits - kLongestCode32,
                       0))
    return WriteCompressedShort(*this, value, sizeInBits, isUnsigned);
  uint32_t x;
  std::memcpy(&x, value, 4);
  const uint32_t differ = x ^ (isUnsigned ? 0u : 0xFFFFFFFFu);
  unsigned char* out = data + (used >> 3);
  const int off = used & 7;
  if (differ < 0x100) {
    if (differ < 0x10) {
      numberOfBitsUsed = used + 8;
      return PutCode<8>(out, off, (x | 0xF0) << 24, 0);
    }
    numberOfBitsUsed = used + 12;
    return PutCode<12>(out, off, 0xE0000000u | (x & 0xFF) << 20, 0);
  }
  // Then the bytes left, byte 0 first.
  if (differ < 0x10000) {
    numberOfBitsUsed = used + 19;
    return PutCode<19>(out, off, 0xC0000000u | static_cast<uint32_t>(__builtin_bswap16(static_cast<uint16_t>(x))) << 13,
                       0);
  }
  if (differ < 0x1000000) {
    numberOfBitsUsed = used + 26;
    return PutCode<26>(out, off, 0x80000000u | __builtin_bswap32(x << 8) << 6, 0);
  }
  numberOfBitsUsed = used + 33;
  PutCode<33>(out, off, __builtin_bswap32(x) >> 1, (x >> 17) & 0x80);
}

// 32-bit values are decoded from one 33-bit look at the stream when the
// longest code's bits are there; other sizes, and values near the end of the
// stream, go by ReadCompressedShort.
bool BitStream::ReadCompressed(unsigned char* value, int sizeInBits, bool isUnsigned) {
  const int offset = readOffset;
  if (__builtin_expect(static_cast<unsigned>(sizeInBits) - 32u > 7u || numberOfBitsUsed - offset < kLongestCode32, 0))
    return ReadCompressedShort(*this, value, sizeInBits, isUnsigned);
  // The bits up to offset + 32 are there: bytes in[0] to in[4].
  const unsigned char* in = data + (offset >> 3);
  const int off = offset & 7;
  const uint32_t match = isUnsigned ? 0u : 0xFFFFFFFFu;
  const uint32_t tail = static_cast<uint32_t>(in[4]) << off;  // bits 32 - off to 39 - off, from bit 8 down
  const uint32_t window = (LoadBigEndian(in) << off) | (tail >> 8);
  uint32_t x;
  if (window >= 0xE0000000u) {
    if (window & 0x10000000u) {
      x = ((window >> 24) & 0x0F) | match << 4;
      readOffset = offset + 8;
    } else {
      x = ((window >> 20) & 0xFF) | match << 8;
      readOffset = offset + 12;
    }
  } else if (window >= 0xC0000000u) {
    x = __builtin_bswap32((window << 3) & 0xFFFF0000u) | match << 16;
    readOffset = offset + 19;
  } else if (window >= 0x80000000u) {
    x = __builtin_bswap32((window << 2) & 0xFFFFFF00u) | match << 24;
    readOffset = offset + 26;
  } else {
    x = __builtin_bswap32((window << 1) | ((tail >> 7) & 1));  // and bit 32
    readOffset = offset + 33;
  }
  std::memcpy(value, &x, 4);
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
// CopyData's fallback where the process has no nothrow array operator new.
// The plugin links the C++ runtime in statically, and that runtime's version
// would pull in the exception runtime; this one, local to the plugin, is the
// same malloc without it. Sanitizer builds keep the runtime's own, which
// tracks new/delete pairs.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
#endif
