// Small helpers shared by the bit stream tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "raknet/BitStream.h"

namespace bstest {

using Bytes = std::vector<uint8_t>;

// The bytes holding the stream's used bits.
inline Bytes UsedBytes(const RakNet::BitStream& s) { return Bytes(s.data, s.data + (s.numberOfBitsUsed + 7) / 8); }

// Appends bits given as text, e.g. "11001", one Write0/Write1 each.
inline void WriteBitText(RakNet::BitStream& s, const std::string& bits) {
  for (char c : bits) c == '1' ? s.Write1() : s.Write0();
}

// A stream holding `bits` bits taken from `bytes`, copied in.
struct Filled {
  Filled(Bytes bytes, int bits) : stream(bytes.data(), static_cast<unsigned>(bytes.size()), true) {
    stream.SetWriteOffset(bits);
  }
  RakNet::BitStream stream;
};

constexpr uint8_t kGuardByte = 0xA5;

// A destination of `size` bytes between guard bytes, pre-filled with `fill`.
struct Guarded {
  explicit Guarded(size_t size, uint8_t fill = 0xEE) : buffer(size + 16, kGuardByte), size(size) {
    for (size_t i = 0; i < size; ++i) buffer[8 + i] = fill;
  }
  uint8_t* get() { return buffer.data() + 8; }
  Bytes bytes() const { return Bytes(buffer.begin() + 8, buffer.begin() + 8 + size); }
  bool guardsIntact() const {
    for (size_t i = 0; i < 8; ++i)
      if (buffer[i] != kGuardByte || buffer[8 + size + i] != kGuardByte) return false;
    return true;
  }
  Bytes buffer;
  size_t size;
};

}  // namespace bstest
