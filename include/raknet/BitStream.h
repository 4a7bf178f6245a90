// A growable byte buffer written and read bit by bit, most significant bit of
// each byte first. Bytes of a multi-byte value keep their memory order.
//
// The host reads a stream object's fields in place, so the field order, their
// widths and the 256-byte inline buffer are a fixed binary layout (checked at
// compile time in BitStream.cpp).
#pragma once

#include "core/export.h"

namespace RakNet {

class CORE_EXPORT BitStream {
 public:
  BitStream();
  explicit BitStream(int initialBytes);
  BitStream(unsigned char* source, unsigned int lengthInBytes, bool copy);
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

  void WriteBits(const unsigned char* source, int count, bool rightAligned);
  void Write0();
  void Write1();
  bool ReadBits(unsigned char* destination, int count, bool rightAligned);
  bool ReadBit();
  void AlignWriteToByteBoundary();
  void AlignReadToByteBoundary();

  int CopyData(unsigned char** copy) const;
  void PrintBits() const;
  void AssertStreamEmpty();
  bool DoEndianSwap() const;
  void ReverseBytes(unsigned char* input, unsigned char* output, int length);

  void Write(const char* source, int byteCount);
  bool Read(char* destination, int byteCount);
  void WriteAlignedBytes(const unsigned char* source, int byteCount);
  bool ReadAlignedBytes(unsigned char* destination, int byteCount);
  void Write(BitStream* source, int bitCount);
  void Write(BitStream* source);
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
