// A growable byte buffer written and read bit by bit, most significant bit of
// each byte first. Bytes of a multi-byte value keep their memory order (least
// significant first). Counts and positions are in bits unless a name says
// bytes; a stream holds less than 2^30 bits (128 MiB).
//
// Ownership: a stream owns its buffer (copyData true: inlineBuffer until it
// needs more than 256 bytes, then a heap buffer it grows and frees) unless it
// reads a caller's buffer in place (constructed with copy false, or SetData):
// that buffer must outlive the stream, which writes into it but never frees
// it; the first write that needs more room than it has takes a private copy
// (when that copy cannot be had, the write is dropped and the stream stays on
// the caller's buffer).
//
// Writes report nothing: they append at numberOfBitsUsed and grow the buffer;
// a write that cannot get the memory is dropped whole. Reads return false
// when too few unread bits remain (ReadBits and ReadAlignedBytes also for a
// count below 1): ReadBits and Read then change nothing; ReadAlignedBytes
// may have moved to the next byte boundary and ReadCompressed past the bits
// it examined, and the destination is then incomplete. ReadBit is the
// exception: it returns the bit itself (see there).
//
// Threads: a stream is used by one thread at a time; different streams may
// be used on different threads at once (a stream shares nothing with other
// streams; PrintBits writes to standard output).
//
// The host reads a stream object's fields in place, so the field order, their
// widths and the 256-byte inline buffer are a fixed binary layout (checked at
// compile time in BitStream.cpp).
#pragma once

#include <type_traits>

#include "core_sdk/export.h"
#include "core_sdk/readonly_text.h"

namespace core_sdk_detail {

// The types BitStream's typed Write and Read take at their whole width: the
// integer types but bool, float and double (long double is left out: 2 of
// its 12 bytes are padding, with no defined value). A const type is no
// destination.
template <typename T>
using IfStreamNumber =
    typename std::enable_if<(std::is_integral<T>::value && !std::is_same<T, bool>::value && !std::is_const<T>::value) ||
                                std::is_same<T, float>::value || std::is_same<T, double>::value,
                            int>::type;
template <typename T>
using IfStreamBool = typename std::enable_if<std::is_same<T, bool>::value, int>::type;

}  // namespace core_sdk_detail

namespace RakNet {

class CORE_EXPORT BitStream {
 public:
  BitStream();
  // Reserves initialBytes on the heap when that is more than 256.
  explicit BitStream(int initialBytes);
  // Holds the source's bytes: a copy (copy true) or the source itself, read
  // in place (copy false).
  BitStream(unsigned char* source, unsigned int lengthInBytes, bool copy);
  // The same over a read-only source. With copy false the stream reads the
  // caller's buffer in place, and a write after Reset, ResetWritePointer or
  // SetWriteOffset would go into it: such a stream must not be written. (A
  // template only so that unsigned char* and null pointers keep taking the
  // exported constructor above.)
  template <typename ReadOnly = void>
  BitStream(const unsigned char* source, unsigned int lengthInBytes, bool copy)
      : BitStream(const_cast<unsigned char*>(source), lengthInBytes, copy) {}
  ~BitStream();

  // data may point into this object's own inlineBuffer: a memberwise copy
  // would alias another object's storage.
  BitStream(const BitStream&) = delete;
  BitStream& operator=(const BitStream&) = delete;

  void Reset();
  void ResetReadPointer();
  void ResetWritePointer();
  void SetWriteOffset(int bitPosition);
  void IgnoreBits(int count);
  void SetNumberOfBitsAllocated(unsigned int bits);
  void SetData(unsigned char* buffer);
  void AssertCopyData();
  void AddBitsAndReallocate(int bitsToWrite);

  // Appends count bits from source, whole bytes first. rightAligned: a last
  // partial byte's bits are its low bits, else its high bits (with zeros
  // below them).
  void WriteBits(const unsigned char* source, int count, bool rightAligned);
  void Write0();
  void Write1();
  bool ReadBits(unsigned char* destination, int count, bool rightAligned);
  // The bit at readOffset itself (true for 1), then readOffset + 1. With no
  // bit left it gives false and moves nothing, which looks like a 0 bit:
  // check readOffset < numberOfBitsUsed first.
  bool ReadBit();
  void AlignWriteToByteBoundary();
  void AlignReadToByteBoundary();

  // *copy receives a new[] array of the (numberOfBitsUsed + 7) / 8 used
  // bytes, from the process's own operator new[] (a replacement in the
  // program, or a sanitizer's), which the caller releases with delete[];
  // returns numberOfBitsUsed (0 and a null *copy when out of memory).
  int CopyData(unsigned char** copy) const;
  void PrintBits() const;
  void AssertStreamEmpty();
  bool DoEndianSwap() const;
  void ReverseBytes(unsigned char* input, unsigned char* output, int length);

  // Typed values, without casts: an integer, float or double as all its
  // bits, its bytes in memory order (WriteBits with the right-aligned flag,
  // as the scoreboard writes its fields); a bool as one bit, as Write0 and
  // Write1 write it, read back as true for a 1 bit. Read changes nothing and
  // returns false when too few bits remain. Both are inline over WriteBits
  // and ReadBits; the argument's type picks the width, so cast a value to
  // the width meant (an enumeration, say) first.
  template <typename T, core_sdk_detail::IfStreamNumber<T> = 0>
  void Write(T value) {
    WriteBits(reinterpret_cast<const unsigned char*>(&value), static_cast<int>(8 * sizeof value), true);
  }
  template <typename T, core_sdk_detail::IfStreamBool<T> = 0>
  void Write(T value) {
    const unsigned char bit = value;
    WriteBits(&bit, 1, true);
  }
  template <typename T, core_sdk_detail::IfStreamNumber<T> = 0>
  bool Read(T& value) {
    return ReadBits(reinterpret_cast<unsigned char*>(&value), static_cast<int>(8 * sizeof value), true);
  }
  template <typename T, core_sdk_detail::IfStreamBool<T> = 0>
  bool Read(T& value) {
    unsigned char bit = 0;
    if (!ReadBits(&bit, 1, true)) return false;
    value = bit != 0;
    return true;
  }

  // byteCount whole bytes at the current bit position.
  void Write(const char* source, int byteCount);
  bool Read(char* destination, int byteCount);
  template <typename Destination, core_sdk_detail::IfReadOnly<Destination> = 0>
  bool Read(Destination destination, int byteCount) = delete;  // not into a literal
  // byteCount bytes after moving to the next byte boundary.
  void WriteAlignedBytes(const unsigned char* source, int byteCount);
  bool ReadAlignedBytes(unsigned char* destination, int byteCount);
  // Appends up to bitCount (or all) unread bits of source, advancing its
  // read position.
  void Write(BitStream* source, int bitCount);
  void Write(BitStream* source);
  // An integer of sizeInBits (a multiple of 8) at value, in fewer bits when
  // its high bytes are all 0 (isUnsigned) or all 0xFF (signed).
  void WriteCompressed(const unsigned char* value, int sizeInBits, bool isUnsigned);
  bool ReadCompressed(unsigned char* value, int sizeInBits, bool isUnsigned);

  int numberOfBitsUsed;       // write position and length, in bits
  int numberOfBitsAllocated;  // capacity as tracked, in bits
  int readOffset;             // read position, in bits
  unsigned char* data;        // inlineBuffer, a heap buffer, a caller's buffer or null
  bool copyData;              // true: the stream owns data and may grow and free it
  unsigned char inlineBuffer[256];
};

}  // namespace RakNet
