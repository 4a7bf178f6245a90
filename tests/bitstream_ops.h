// Runs the same operation sequence on real streams and on the model and
// compares them after every step. The sequence comes from a choice source:
// a seeded generator in the unit test, the fuzzer's input in the fuzz target.
//
//   struct Source { bool Done(); uint32_t Next(); };
//
// Run returns "" when everything agreed, else a description of the first
// difference.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "raknet/BitStream.h"
#include "tests/bitstream_model.h"

namespace bsmodel {

constexpr int kGuard = 8;  // guard bytes on each side of every output buffer
constexpr uint8_t kGuardByte = 0xA5;

// One real stream, its model and the caller buffers it may be reading in place.
struct Pair {
  std::unique_ptr<RakNet::BitStream> real = std::make_unique<RakNet::BitStream>();
  Model model;
  std::vector<std::unique_ptr<uint8_t[]>> callerBuffers;
};

// An output buffer with guard bytes; the real stream and the model each get one.
struct Out {
  explicit Out(int size) : bytes(size + 2 * kGuard, kGuardByte) {}
  uint8_t* get() { return bytes.data() + kGuard; }
  bool GuardsIntact(int size) const {
    for (int i = 0; i < kGuard; ++i)
      if (bytes[i] != kGuardByte || bytes[kGuard + size + i] != kGuardByte) return false;
    return true;
  }
  std::vector<uint8_t> bytes;
};

template <class Source>
class OpRunner {
 public:
  explicit OpRunner(Source& source) : in_(source) {}

  // printCheck(stream) returns the text PrintBits wrote; may be null.
  std::string Run(int maxOps, std::string (*printCheck)(const RakNet::BitStream&) = nullptr) {
    printCheck_ = printCheck;
    for (step_ = 0; step_ < maxOps && !in_.Done(); ++step_) {
      Pair& p = pairs_[Pick(2)];
      Pair& other = Pick(4) == 0 ? p : pairs_[&p == &pairs_[0] ? 1 : 0];
      DoOne(p, other);
      for (Pair& q : pairs_) Compare(q);
      if (!failure_.empty()) return "step " + std::to_string(step_) + " (" + op_ + "): " + failure_;
    }
    return "";
  }

 private:
  uint32_t Pick(uint32_t n) { return n ? in_.Next() % n : 0; }
  int Range(int low, int high) { return low + static_cast<int>(Pick(static_cast<uint32_t>(high - low + 1))); }
  bool Coin() { return Pick(2); }
  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }

  // Random bytes; the filler-heavy mix makes compressed values shorten.
  std::vector<uint8_t> Bytes(int n) {
    std::vector<uint8_t> v(std::max(n, 1));
    for (auto& b : v) {
      uint32_t r = Pick(8);
      b = r == 0 ? 0x00 : r == 1 ? 0xFF : static_cast<uint8_t>(in_.Next());
    }
    return v;
  }

  // A bit count biased towards the interesting: none, negative, small, byte
  // multiples, and the sizes with fast paths of their own (32, 1 to 8).
  int Count(int max) {
    switch (Pick(7)) {
      case 0:
        return Range(-2, 0);
      case 1:
        return 8 * Range(1, max / 8);
      case 2:
        return Coin() ? 32 : Range(1, 8);
      default:
        return Range(1, max);
    }
  }

  void CheckRead(const char* what, bool realOk, bool modelOk, Out& a, Out& b, int size) {
    if (realOk != modelOk) Fail(std::string(what) + " result differs");
    if (!a.GuardsIntact(size)) Fail(std::string(what) + " wrote outside its destination");
    if (a.bytes != b.bytes) Fail(std::string(what) + " destination differs");
  }

  void DoOne(Pair& p, Pair& other) {
    RakNet::BitStream& s = *p.real;
    Model& m = p.model;
    switch (Pick(28)) {
      case 0:
      case 1:
      case 2: {
        op_ = "WriteBits";
        int count = Count(80);
        bool right = Coin();
        auto src = Bytes((std::max(count, 0) + 7) / 8);
        // Callers give a partial last byte without the flag zeros below its bits.
        if (count > 0 && (count & 7) && !right) src[count >> 3] &= 0xFF00 >> (count & 7);
        s.WriteBits(src.data(), count, right);
        m.WriteBits(src.data(), count, right);
        break;
      }
      case 3:
        op_ = "Write0";
        s.Write0();
        m.Write0();
        break;
      case 4:
        op_ = "Write1";
        s.Write1();
        m.Write1();
        break;
      case 5:
      case 6: {
        op_ = "ReadBits";
        int count = Count(80);
        bool right = Coin();
        int size = (std::max(count, 0) + 7) / 8;
        Out a(size), b(size);
        CheckRead("ReadBits", s.ReadBits(a.get(), count, right), m.ReadBits(b.get(), count, right), a, b, size);
        break;
      }
      case 7:
        op_ = "ReadBit";
        if (s.ReadBit() != m.ReadBit()) Fail("ReadBit differs");
        break;
      case 8:
        op_ = "AlignWriteToByteBoundary";
        s.AlignWriteToByteBoundary();
        m.AlignWrite();
        break;
      case 9:
        op_ = "AlignReadToByteBoundary";
        s.AlignReadToByteBoundary();
        m.AlignRead();
        break;
      case 10: {
        op_ = "SetWriteOffset";
        // Never past the furthest written bit: bytes beyond it are undefined.
        int pos = Range(-3, m.highWater);
        s.SetWriteOffset(pos);
        m.SetWriteOffset(pos);
        break;
      }
      case 11: {
        op_ = "IgnoreBits";
        int n = Range(-20, 40);
        s.IgnoreBits(n);
        m.IgnoreBits(n);
        break;
      }
      case 12:
        switch (Pick(3)) {
          case 0:
            op_ = "Reset";
            s.Reset();
            m.used = m.readOffset = 0;
            break;
          case 1:
            op_ = "ResetReadPointer";
            s.ResetReadPointer();
            m.readOffset = 0;
            break;
          default:
            op_ = "ResetWritePointer";
            s.ResetWritePointer();
            m.used = 0;
            break;
        }
        break;
      case 13: {
        op_ = "Write(char const*, int)";
        int n = Range(-1, 40);
        auto src = Bytes(n);
        s.Write(reinterpret_cast<const char*>(src.data()), n);
        m.Write(src.data(), n);
        break;
      }
      case 14: {
        op_ = "Read(char*, int)";
        int n = Range(-1, 40), size = std::max(n, 0);
        Out a(size), b(size);
        CheckRead(op_, s.Read(reinterpret_cast<char*>(a.get()), n), m.Read(b.get(), n), a, b, size);
        break;
      }
      case 15: {
        op_ = "WriteAlignedBytes";
        int n = Range(-1, 40);
        auto src = Bytes(n);
        s.WriteAlignedBytes(src.data(), n);
        m.WriteAlignedBytes(src.data(), n);
        break;
      }
      case 16: {
        op_ = "ReadAlignedBytes";
        int n = Range(-1, 40), size = std::max(n, 0);
        Out a(size), b(size);
        CheckRead(op_, s.ReadAlignedBytes(a.get(), n), m.ReadAlignedBytes(b.get(), n), a, b, size);
        break;
      }
      case 17: {
        if (Coin()) {
          op_ = "Write(BitStream*, int)";
          int n = Count(300);
          s.Write(other.real.get(), n);
          m.Write(other.model, n);
        } else {
          op_ = "Write(BitStream*)";
          int n = other.model.used;
          s.Write(other.real.get());
          m.Write(other.model, n);
        }
        break;
      }
      case 18:
      case 19: {
        op_ = "WriteCompressed";
        int size = CompressedSize();
        auto v = Bytes((std::max(size, 0) + 7) / 8);
        bool isUnsigned = Coin();
        if (Coin()) FillUpper(v, size / 8, isUnsigned);
        s.WriteCompressed(v.data(), size, isUnsigned);
        m.WriteCompressed(v.data(), size, isUnsigned);
        break;
      }
      case 20:
      case 21: {
        op_ = "ReadCompressed";
        int size = CompressedSize(), bytes = std::max(size, 0) / 8;
        bool isUnsigned = Coin();
        Out a(bytes), b(bytes);
        CheckRead(op_, s.ReadCompressed(a.get(), size, isUnsigned), m.ReadCompressed(b.get(), size, isUnsigned), a, b,
                  bytes);
        break;
      }
      case 22: {
        op_ = "AddBitsAndReallocate";
        int n = Count(3000);
        s.AddBitsAndReallocate(n);
        m.Grow(n);
        break;
      }
      case 23:
        op_ = "AssertCopyData";
        s.AssertCopyData();
        m.AssertCopyData();
        break;
      case 24: {
        op_ = "SetNumberOfBitsAllocated";
        // Within the real capacity and not below any defined byte.
        int capacity = static_cast<int>(m.bytes.size()) * 8;
        if (m.highWater > capacity) break;
        int bits = Range(m.highWater, capacity);
        s.SetNumberOfBitsAllocated(static_cast<unsigned>(bits));
        m.allocated = bits;
        break;
      }
      case 25: {
        op_ = "SetData";
        size_t size = (std::max(m.allocated, 0) + 7) / 8;
        auto buffer = std::make_unique<uint8_t[]>(size + 1);
        auto content = Bytes(static_cast<int>(size));
        std::memcpy(buffer.get(), content.data(), size);
        s.SetData(buffer.get());
        m.SetData(buffer.get(), size);
        p.callerBuffers.push_back(std::move(buffer));
        break;
      }
      case 26:
        Construct(p);
        break;
      default:
        Inspect(s, m);
        break;
    }
  }

  // Gives a value of `bytes` bytes a random number of upper bytes equal to
  // the filler, and sometimes the filler's upper half in the last one left,
  // so that every length of code turns up.
  void FillUpper(std::vector<uint8_t>& v, int bytes, bool isUnsigned) {
    const uint8_t filler = isUnsigned ? 0x00 : 0xFF;
    const int kept = Range(1, std::max(bytes, 1));
    for (int i = kept; i < bytes; ++i) v[i] = filler;
    if (Coin()) v[kept - 1] = static_cast<uint8_t>((v[kept - 1] & 0x0F) | (filler & 0xF0));
  }

  int CompressedSize() {
    static const int kSizes[] = {8, 16, 24, 32, 32, 32, 64, 12, 7, 0, -8};
    return Pick(4) == 0 ? Range(-2, 72) : kSizes[Pick(sizeof kSizes / sizeof kSizes[0])];
  }

  void Construct(Pair& p) {
    p.real.reset();
    p.callerBuffers.clear();
    switch (Pick(3)) {
      case 0: {
        op_ = "BitStream(int)";
        static const int kSizes[] = {-1, 0, 100, 256, 257, 600};
        int size = kSizes[Pick(6)];
        p.real = std::make_unique<RakNet::BitStream>(size);
        p.model = Model::Sized(size);
        break;
      }
      case 1: {
        op_ = "BitStream(unsigned char*, unsigned int, bool)";
        static const unsigned kLengths[] = {0, 1, 3, 255, 256, 300};
        unsigned length = Pick(2) ? kLengths[Pick(6)] : Pick(40);
        bool copy = Coin();
        auto content = Bytes(static_cast<int>(length));
        auto buffer = std::make_unique<uint8_t[]>(length + 1);
        std::memcpy(buffer.get(), content.data(), length);
        p.real = std::make_unique<RakNet::BitStream>(buffer.get(), length, copy);
        p.model = Model::FromBytes(buffer.get(), length, copy);
        if (!copy) p.callerBuffers.push_back(std::move(buffer));
        break;
      }
      default:
        op_ = "BitStream()";
        p.real = std::make_unique<RakNet::BitStream>();
        p.model = Model();
        break;
    }
  }

  // Operations that leave the stream as it is.
  void Inspect(RakNet::BitStream& s, Model& m) {
    switch (Pick(5)) {
      case 0: {
        op_ = "CopyData";
        unsigned char* copy = nullptr;
        int bits = s.CopyData(&copy);
        std::vector<uint8_t> got(copy, copy + (bits + 7) / 8);
        delete[] copy;
        if (bits != m.used || got != m.CopyData()) Fail("CopyData differs");
        break;
      }
      case 1: {
        op_ = "ReverseBytes";
        int n = Range(-1, 12), size = std::max(n, 0);
        auto input = Bytes(size);
        Out a(size);
        s.ReverseBytes(input.data(), a.get(), n);
        for (int i = 0; i < size; ++i)
          if (a.get()[i] != input[size - 1 - i]) Fail("ReverseBytes differs");
        if (!a.GuardsIntact(size)) Fail("ReverseBytes wrote outside its output");
        break;
      }
      case 2:
        op_ = "DoEndianSwap";
        if (s.DoEndianSwap()) Fail("DoEndianSwap true");
        break;
      case 3:
        op_ = "AssertStreamEmpty";
        if (m.readOffset == m.used) s.AssertStreamEmpty();  // aborts otherwise
        break;
      default:
        op_ = "PrintBits";
        if (printCheck_ && Pick(8) == 0 && printCheck_(s) != ModelPrint(m)) Fail("PrintBits differs");
        break;
    }
  }

  static std::string ModelPrint(const Model& m) {
    if (m.used <= 0) return "No bits\n";
    std::string text;
    for (int i = 0; i < m.used; ++i) {
      text += m.Bit(i) ? '1' : '0';
      if (i % 8 == 7 || i == m.used - 1) text += ' ';
    }
    return text + "\n";
  }

  void Compare(Pair& p) {
    const RakNet::BitStream& s = *p.real;
    const Model& m = p.model;
    if (s.numberOfBitsUsed != m.used)
      Fail("numberOfBitsUsed " + std::to_string(s.numberOfBitsUsed) + " vs " + std::to_string(m.used));
    if (s.numberOfBitsAllocated != m.allocated)
      Fail("numberOfBitsAllocated " + std::to_string(s.numberOfBitsAllocated) + " vs " + std::to_string(m.allocated));
    if (s.readOffset != m.readOffset)
      Fail("readOffset " + std::to_string(s.readOffset) + " vs " + std::to_string(m.readOffset));
    if (s.copyData != m.owns) Fail("copyData differs");
    if ((s.data == s.inlineBuffer) != m.isInline) Fail("inline state differs");
    if (m.owns && !m.isInline && m.bytes.empty() && s.data != nullptr) Fail("data should be null");
    size_t defined = (static_cast<size_t>(m.highWater) + 7) / 8;
    if (defined > m.bytes.size())
      Fail("model: defined bytes beyond capacity");
    else if (defined && std::memcmp(s.data, m.bytes.data(), defined) != 0)
      Fail("buffer bytes differ");
  }

  Source& in_;
  Pair pairs_[2];
  int step_ = 0;
  const char* op_ = "";
  std::string failure_;
  std::string (*printCheck_)(const RakNet::BitStream&) = nullptr;
};

}  // namespace bsmodel
