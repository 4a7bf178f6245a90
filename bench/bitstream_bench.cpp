// Bit stream against references measured in the same run. The headline
// references have the stream's call shape:
//  - ref: a 64-bit-accumulator bit writer/reader whose state (pending bits,
//    buffer, counts) lives in its object, with the stream's argument list
//    (object, bytes, bit count, right-aligned flag), not inlined and called
//    through a function pointer as a function of another module is; for the
//    compressed integers a writer/reader of the same bit format with
//    WriteCompressed's and ReadCompressed's argument list, on the same object.
// Secondary rows:
//  - peer: the accumulator behind a non-inlined call taking the value itself;
//  - limit: a plain store/load loop over a preallocated buffer;
//  - varint: a base-128 encoder/decoder, for the compressed integers;
//  - memcpy, for the aligned byte blocks.
// Every run counts guest instructions per item under scripts/bench.sh; the
// table at the end gives instruction ratios first and time ratios second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "raknet/BitStream.h"

namespace {

using RakNet::BitStream;

constexpr int kInlineFields = 56;  // 56 x (32 + 3) bits still fit the inline buffer
constexpr int kHeapFields = 100000;

std::vector<uint32_t> Values(int n, uint32_t seed) {
  std::vector<uint32_t> v(n);
  for (auto& x : v) x = seed = seed * 1664525u + 1013904223u;
  return v;
}

// Mixed magnitudes: a quarter each below 2^4, 2^8, 2^16 and 2^32.
std::vector<uint32_t> MixedValues(int n) {
  std::vector<uint32_t> v = Values(n, 7);
  static const uint32_t kMasks[] = {0xF, 0xFF, 0xFFFF, 0xFFFFFFFF};
  for (int i = 0; i < n; ++i) v[i] &= kMasks[(v[i] >> 13) & 3];
  return v;
}

void SetFields(benchmark::State& state, int fields) {
  state.counters["fields"] = fields;
  state.SetItemsProcessed(state.iterations() * fields);
}

inline uint32_t LoadBE32(const unsigned char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return __builtin_bswap32(w);
}

inline void StoreBE32(unsigned char* p, uint32_t w) {
  w = __builtin_bswap32(w);
  std::memcpy(p, &w, 4);
}

// ---- same-shape reference: a 64-bit-accumulator stream ------------------------

// Like the stream, 256 bytes inside the object and a heap buffer grown by
// doubling beyond that. The writer shifts bits into the bottom of acc and
// stores them 32 at a time, keeping fewer than 32 pending; the reader shifts
// 32-bit words into the bottom of acc and takes bits from above them. The
// buffer keeps 8 bytes of slack past its capacity, so that the reader's word
// fetches and the final store need no bound of their own.
struct AccStream {
  static constexpr int kInline = 256;
  uint64_t acc = 0;                    // pending (writer) or fetched, unread (reader) bits, at the bottom
  int bits = 0;                        // how many bits of acc those are
  unsigned char* next = inlineBuffer;  // where the next word is stored or fetched
  unsigned char* limit = inlineBuffer + kInline - 4;  // writer: the last place a word store fits
  int left = 0;                                       // reader: bits not read yet
  unsigned char* data = inlineBuffer;
  unsigned char inlineBuffer[kInline + 8];

  AccStream() = default;
  AccStream(const AccStream&) = delete;
  AccStream& operator=(const AccStream&) = delete;
  ~AccStream() {
    if (data != inlineBuffer) std::free(data);
  }
};

// Makes room for `words` more 32-bit stores: twice what is needed.
__attribute__((noinline)) void AccGrow(AccStream* s, int words) {
  const int used = static_cast<int>(s->next - s->data);
  const int capacity = 2 * (used + 4 * words);
  if (s->data == s->inlineBuffer) {
    auto* heap = static_cast<unsigned char*>(std::malloc(capacity + 8));
    std::memcpy(heap, s->inlineBuffer, used);
    s->data = heap;
  } else {
    s->data = static_cast<unsigned char*>(std::realloc(s->data, capacity + 8));
  }
  s->next = s->data + used;
  s->limit = s->data + capacity - 4;
}

// Appends the n (1 to 32) low bits of v; room for one word store is there.
inline void AccPut(AccStream* s, uint32_t v, int n) {
  const uint64_t acc = s->acc << n | v;
  int bits = s->bits + n;
  if (bits >= 32) {
    bits -= 32;
    StoreBE32(s->next, static_cast<uint32_t>(acc >> bits));
    s->next += 4;
  }
  s->acc = acc;
  s->bits = bits;
}

// Appends 32 bits: with fewer than 32 pending, a word is always due.
inline void AccPut32(AccStream* s, uint32_t v) {
  const uint64_t acc = s->acc << 32 | v;
  StoreBE32(s->next, static_cast<uint32_t>(acc >> s->bits));
  s->next += 4;
  s->acc = acc;
}

// The count (1 to 31) bits of source as a number: whole bytes first, then
// the partial last byte's low bits (right-aligned) or high bits.
inline uint32_t AccSmall(const unsigned char* source, int count, bool rightAligned) {
  const int whole = count >> 3, rest = count & 7;
  uint32_t v = 0;
  for (int i = 0; i < whole; ++i) v = v << 8 | source[i];
  if (rest) {
    const unsigned last = source[whole];
    v = v << rest | (rightAligned ? last & ((1u << rest) - 1) : last >> (8 - rest));
  }
  return v;
}

// Any count, 32 bits at a time, growing as needed.
__attribute__((noinline)) void AccWriteLong(AccStream* s, const unsigned char* source, int count, bool rightAligned) {
  if (count <= 0) return;
  if (s->next + 4 * (count >> 5) > s->limit) AccGrow(s, (count >> 5) + 1);
  for (; count > 32; count -= 32, source += 4) AccPut32(s, LoadBE32(source));
  if (count == 32)
    AccPut32(s, LoadBE32(source));
  else
    AccPut(s, AccSmall(source, count, rightAligned), count);
}

__attribute__((noinline, noipa)) void AccWriteBits(AccStream* s, const unsigned char* source, int count,
                                                   bool rightAligned) {
  if (static_cast<unsigned>(count) - 1u < 32u && s->next <= s->limit) {
    if (count == 32) {
      AccPut32(s, LoadBE32(source));
    } else if (count <= 8) {
      const uint32_t b = source[0];
      AccPut(s, rightAligned ? b & ((1u << count) - 1) : b >> (8 - count), count);
    } else {
      AccPut(s, AccSmall(source, count, rightAligned), count);
    }
    return;
  }
  AccWriteLong(s, source, count, rightAligned);
}

// The same bit format as the stream's compressed integers, for any size: a 1
// flag for each upper byte that equals the filler, then a 0 flag and the
// bytes left, or, when only the low byte is left, a half flag and 4 or 8 bits
// of it.
__attribute__((noinline)) void AccWriteCompressedOther(AccStream* s, const unsigned char* value, int sizeInBits,
                                                       bool isUnsigned) {
  const int n = sizeInBits >> 3;
  if (n < 1) return;
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  int k = n - 1;
  while (k > 0 && value[k] == match) --k;
  for (int ones = n - 1 - k; ones > 0; ones -= 16)
    AccWriteLong(s, reinterpret_cast<const unsigned char*>("\xFF\xFF"), ones < 16 ? ones : 16, false);
  if (k > 0) {
    AccWriteLong(s, reinterpret_cast<const unsigned char*>("\x00"), 1, false);
    AccWriteLong(s, value, 8 * (k + 1), true);
  } else {
    const bool half = ((value[0] ^ match) & 0xF0) == 0;
    const unsigned char flag = half ? 0x80 : 0x00;
    AccWriteLong(s, &flag, 1, false);
    AccWriteLong(s, value, half ? 4 : 8, true);
  }
}

// 32-bit values, the usual case, are classed by how many upper bytes equal
// the filler and coded in one or two pieces.
__attribute__((noinline, noipa)) void AccWriteCompressed(AccStream* s, const unsigned char* value, int sizeInBits,
                                                         bool isUnsigned) {
  if ((sizeInBits >> 3) != 4 || s->next + 4 > s->limit)
    return AccWriteCompressedOther(s, value, sizeInBits, isUnsigned);
  uint32_t x;
  std::memcpy(&x, value, 4);
  const uint32_t differ = x ^ (isUnsigned ? 0u : ~0u);
  if (differ < 0x100) {
    if (differ < 0x10) return AccPut(s, 0xF0 | (x & 0x0F), 8);  // 1 1 1, half flag 1, low half
    return AccPut(s, 0xE00 | (x & 0xFF), 12);                   // 1 1 1, half flag 0, byte
  }
  const uint32_t raw = __builtin_bswap32(x);
  if (differ < 0x10000) return AccPut(s, 0x60000 | raw >> 16, 19);     // 1 1 0, two bytes
  if (differ < 0x1000000) return AccPut(s, 0x2000000 | raw >> 8, 26);  // 1 0, three bytes
  AccPut(s, 0, 1);                                                     // 0, four bytes
  AccPut32(s, raw);
}

// Stores the pending bits (zeros after them) and returns the bit count.
int AccFinish(AccStream* s) {
  if (s->next > s->limit) AccGrow(s, 1);
  const int bits = 8 * static_cast<int>(s->next - s->data) + s->bits;
  if (s->bits) StoreBE32(s->next, static_cast<uint32_t>(s->acc) << (32 - s->bits));
  s->next += (s->bits + 7) >> 3;
  s->acc = 0;
  s->bits = 0;
  return bits;
}

void AccStartRead(AccStream* s, int bits) {
  s->acc = 0;
  s->bits = 0;
  s->next = s->data;
  s->left = bits;
}

// Takes the next n (1 to 32) bits, which the stream holds.
inline uint32_t AccTake(AccStream* s, int n) {
  uint64_t acc = s->acc;
  int bits = s->bits;
  s->left -= n;
  if (bits < n) {
    acc = acc << 32 | LoadBE32(s->next);
    s->next += 4;
    bits += 32;
  }
  bits -= n;
  s->acc = acc;
  s->bits = bits;
  return static_cast<uint32_t>(acc >> bits) & ((2u << (n - 1)) - 1);
}

inline uint32_t AccTake32(AccStream* s) {
  uint64_t acc = s->acc;
  s->left -= 32;
  if (s->bits < 32) {
    acc = acc << 32 | LoadBE32(s->next);
    s->next += 4;
    s->acc = acc;
  } else {
    s->bits -= 32;
  }
  return static_cast<uint32_t>(acc >> s->bits);
}

// Stores count (1 to 31) bits held in v: whole bytes, then the partial last
// byte right-aligned or at its top.
inline void AccStoreSmall(unsigned char* destination, uint32_t v, int count, bool rightAligned) {
  int whole = count >> 3;
  const int rest = count & 7;
  if (rest) {
    destination[whole] = static_cast<unsigned char>(rightAligned ? v & ((1u << rest) - 1) : v << (8 - rest));
    v >>= rest;
  }
  while (whole-- > 0) {
    destination[whole] = static_cast<unsigned char>(v);
    v >>= 8;
  }
}

__attribute__((noinline)) bool AccReadLong(AccStream* s, unsigned char* destination, int count, bool rightAligned) {
  if (count <= 0 || count > s->left) return false;
  for (; count >= 32; count -= 32, destination += 4) StoreBE32(destination, AccTake32(s));
  if (count > 0) AccStoreSmall(destination, AccTake(s, count), count, rightAligned);
  return true;
}

__attribute__((noinline, noipa)) bool AccReadBits(AccStream* s, unsigned char* destination, int count,
                                                  bool rightAligned) {
  if (static_cast<unsigned>(count) - 1u < 32u && count <= s->left) {
    if (count == 32) {
      StoreBE32(destination, AccTake32(s));
    } else if (count <= 8) {
      const uint32_t v = AccTake(s, count);
      destination[0] = static_cast<unsigned char>(rightAligned ? v : v << (8 - count));
    } else {
      AccStoreSmall(destination, AccTake(s, count), count, rightAligned);
    }
    return true;
  }
  return AccReadLong(s, destination, count, rightAligned);
}

// One flag at a time, for any size.
__attribute__((noinline)) bool AccReadCompressedOther(AccStream* s, unsigned char* value, int sizeInBits,
                                                      bool isUnsigned) {
  const unsigned char match = isUnsigned ? 0x00 : 0xFF;
  int k = (sizeInBits >> 3) - 1;
  if (k < 0) return false;
  for (; k > 0; --k) {
    if (s->left < 1) return false;
    if (!AccTake(s, 1)) {
      if (s->left < 8 * (k + 1)) return false;
      return AccReadLong(s, value, 8 * (k + 1), true);
    }
    value[k] = match;
  }
  if (s->left < 1) return false;
  const int bits = AccTake(s, 1) ? 4 : 8;
  if (s->left < bits) return false;
  value[0] = static_cast<unsigned char>(AccTake(s, bits) | (bits == 4 ? match & 0xF0 : 0));
  return true;
}

// 32-bit values with the longest code's bits at hand: classed by a look at
// the next 32 bits, then taken in one or two pieces.
__attribute__((noinline, noipa)) bool AccReadCompressed(AccStream* s, unsigned char* value, int sizeInBits,
                                                        bool isUnsigned) {
  if ((sizeInBits >> 3) != 4 || s->left < 33) return AccReadCompressedOther(s, value, sizeInBits, isUnsigned);
  const uint32_t match = isUnsigned ? 0u : ~0u;
  uint64_t acc = s->acc;
  int bits = s->bits;
  if (bits < 32) {
    acc = acc << 32 | LoadBE32(s->next);
    s->next += 4;
    bits += 32;
  }
  const uint32_t window = static_cast<uint32_t>(acc >> (bits - 32));
  uint32_t x;
  int length;
  if (window >= 0xE0000000u) {
    if (window & 0x10000000u) {
      x = ((window >> 24) & 0x0F) | match << 4;
      length = 8;
    } else {
      x = ((window >> 20) & 0xFF) | match << 8;
      length = 12;
    }
  } else if (window >= 0xC0000000u) {
    x = __builtin_bswap32((window << 3) & 0xFFFF0000u) | match << 16;
    length = 19;
  } else if (window >= 0x80000000u) {
    x = __builtin_bswap32((window << 2) & 0xFFFFFF00u) | match << 24;
    length = 26;
  } else {
    s->acc = acc;
    s->bits = bits - 1;
    s->left -= 1;
    x = __builtin_bswap32(AccTake32(s));
    std::memcpy(value, &x, 4);
    return true;
  }
  s->acc = acc;
  s->bits = bits - length;
  s->left -= length;
  std::memcpy(value, &x, 4);
  return true;
}

using WriteFn = void (*)(AccStream*, const unsigned char*, int, bool);
using ReadFn = bool (*)(AccStream*, unsigned char*, int, bool);

// ---- secondary references -------------------------------------------------------

// Bits accumulate most significant first in a 64-bit word and leave it 32 at a
// time, in the stream's bit order.
struct AccWriter {
  uint64_t acc = 0;
  int bits = 0;
  uint8_t* out = nullptr;
  size_t pos = 0, capacity = 0;
  ~AccWriter() { std::free(out); }
};

__attribute__((noinline, noipa)) void AccPut(AccWriter& w, uint32_t value, int n) {
  if (w.pos + 8 > w.capacity) {
    w.capacity = w.capacity ? 2 * w.capacity : 256;
    w.out = static_cast<uint8_t*>(std::realloc(w.out, w.capacity));
  }
  w.acc = (w.acc << n) | value;
  w.bits += n;
  if (w.bits >= 32) {
    const uint32_t word = __builtin_bswap32(static_cast<uint32_t>(w.acc >> (w.bits - 32)));
    std::memcpy(w.out + w.pos, &word, 4);
    w.pos += 4;
    w.bits -= 32;
  }
}

struct AccReader {
  uint64_t acc = 0;
  int bits = 0;
  const uint8_t* in = nullptr;
  size_t pos = 0;
};

__attribute__((noinline, noipa)) uint32_t AccGet(AccReader& r, int n) {
  if (r.bits < n) {
    uint32_t word;
    std::memcpy(&word, r.in + r.pos, 4);
    r.acc = (r.acc << 32) | __builtin_bswap32(word);
    r.pos += 4;
    r.bits += 32;
  }
  r.bits -= n;
  return static_cast<uint32_t>(r.acc >> r.bits) & static_cast<uint32_t>((1ull << n) - 1);
}

__attribute__((noinline, noipa)) uint8_t* VarintPut(uint8_t* out, uint32_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<uint8_t>(v);
  return out;
}

__attribute__((noinline, noipa)) const uint8_t* VarintGet(const uint8_t* in, uint32_t* v) {
  uint32_t result = *in & 0x7F;
  for (int shift = 7; *in++ & 0x80; shift += 7) result |= static_cast<uint32_t>(*in & 0x7F) << shift;
  *v = result;
  return in;
}

// ---- the references agree with the stream ------------------------------------------

// Writes the same fields (or compressed values) to a stream and to the
// reference and reads them back from both: the bytes and the values read must
// be the same, or the comparison would mean nothing.
bool ReferenceAgrees(bool compressed, bool unaligned, int fields) {
  const auto values = compressed ? MixedValues(fields) : Values(fields, 1);
  const uint8_t three = 5;
  BitStream s;
  AccStream a;
  for (uint32_t v : values) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&v);
    if (compressed) {
      s.WriteCompressed(bytes, 32, true);
      AccWriteCompressed(&a, bytes, 32, true);
      continue;
    }
    s.WriteBits(bytes, 32, true);
    AccWriteBits(&a, bytes, 32, true);
    if (unaligned) {
      s.WriteBits(&three, 3, true);
      AccWriteBits(&a, &three, 3, true);
    }
  }
  const int bits = AccFinish(&a);
  if (bits != s.numberOfBitsUsed || std::memcmp(a.data, s.data, (bits + 7) / 8) != 0) return false;
  AccStartRead(&a, bits);
  for (uint32_t v : values) {
    uint32_t x = 0, y = 0;
    uint8_t p = 0, q = 0;
    auto* bx = reinterpret_cast<uint8_t*>(&x);
    auto* by = reinterpret_cast<uint8_t*>(&y);
    const bool ok = compressed ? s.ReadCompressed(bx, 32, true) && AccReadCompressed(&a, by, 32, true)
                               : s.ReadBits(bx, 32, true) && AccReadBits(&a, by, 32, true) &&
                                     (!unaligned || (s.ReadBits(&p, 3, true) && AccReadBits(&a, &q, 3, true)));
    if (!ok || x != v || y != v || p != q || (unaligned && p != three)) return false;
  }
  return true;
}

// ---- 32-bit fields: write --------------------------------------------------

void StreamWrite(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  const uint8_t three = 5;
  InstructionMeter meter;
  for (auto _ : state) {
    BitStream s;
    for (int i = 0; i < fields; ++i) {
      s.WriteBits(reinterpret_cast<const uint8_t*>(&values[i]), 32, true);
      if (unaligned) s.WriteBits(&three, 3, true);
    }
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void RefWrite(benchmark::State& state, int fields, bool unaligned) {
  if (!ReferenceAgrees(false, unaligned, fields)) return state.SkipWithError("the reference disagrees");
  const auto values = Values(fields, 1);
  const uint8_t three = 5;
  const WriteFn write = Opaque(&AccWriteBits);
  InstructionMeter meter;
  for (auto _ : state) {
    AccStream s;
    for (int i = 0; i < fields; ++i) {
      write(&s, reinterpret_cast<const uint8_t*>(&values[i]), 32, true);
      if (unaligned) write(&s, &three, 3, true);
    }
    AccFinish(&s);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void PeerWrite(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  InstructionMeter meter;
  for (auto _ : state) {
    AccWriter w;
    for (int i = 0; i < fields; ++i) {
      AccPut(w, __builtin_bswap32(values[i]), 32);
      if (unaligned) AccPut(w, 5, 3);
    }
    benchmark::DoNotOptimize(w.out);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void LimitWrite(benchmark::State& state, int fields) {
  const auto values = Values(fields, 1);
  std::vector<uint8_t> buffer(4 * fields);
  InstructionMeter meter;
  for (auto _ : state) {
    for (int i = 0; i < fields; ++i) std::memcpy(&buffer[4 * i], &values[i], 4);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

// ---- 32-bit fields: read ---------------------------------------------------

void StreamRead(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  const uint8_t three = 5;
  BitStream s;
  for (int i = 0; i < fields; ++i) {
    s.WriteBits(reinterpret_cast<const uint8_t*>(&values[i]), 32, true);
    if (unaligned) s.WriteBits(&three, 3, true);
  }
  InstructionMeter meter;
  for (auto _ : state) {
    s.ResetReadPointer();
    uint32_t sum = 0, v = 0;
    uint8_t small = 0;
    for (int i = 0; i < fields; ++i) {
      s.ReadBits(reinterpret_cast<uint8_t*>(&v), 32, true);
      sum += v;
      if (unaligned) s.ReadBits(&small, 3, true);
    }
    benchmark::DoNotOptimize(sum + small);
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void RefRead(benchmark::State& state, int fields, bool unaligned) {
  if (!ReferenceAgrees(false, unaligned, fields)) return state.SkipWithError("the reference disagrees");
  const auto values = Values(fields, 1);
  const uint8_t three = 5;
  AccStream s;
  for (int i = 0; i < fields; ++i) {
    AccWriteBits(&s, reinterpret_cast<const uint8_t*>(&values[i]), 32, true);
    if (unaligned) AccWriteBits(&s, &three, 3, true);
  }
  const int bits = AccFinish(&s);
  const ReadFn read = Opaque(&AccReadBits);
  InstructionMeter meter;
  for (auto _ : state) {
    AccStartRead(&s, bits);
    uint32_t sum = 0, v = 0;
    uint8_t small = 0;
    for (int i = 0; i < fields; ++i) {
      read(&s, reinterpret_cast<uint8_t*>(&v), 32, true);
      sum += v;
      if (unaligned) read(&s, &small, 3, true);
    }
    benchmark::DoNotOptimize(sum + small);
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void PeerRead(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  AccWriter w;
  for (int i = 0; i < fields; ++i) {
    AccPut(w, __builtin_bswap32(values[i]), 32);
    if (unaligned) AccPut(w, 5, 3);
  }
  AccPut(w, 0, 32);
  AccPut(w, 0, 32);  // padding for the reader's word loads
  InstructionMeter meter;
  for (auto _ : state) {
    AccReader r;
    r.in = w.out;
    uint32_t sum = 0, small = 0;
    for (int i = 0; i < fields; ++i) {
      sum += __builtin_bswap32(AccGet(r, 32));
      if (unaligned) small += AccGet(r, 3);
    }
    benchmark::DoNotOptimize(sum + small);
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

void LimitRead(benchmark::State& state, int fields) {
  const auto values = Values(fields, 1);
  std::vector<uint8_t> buffer(4 * fields);
  std::memcpy(buffer.data(), values.data(), buffer.size());
  InstructionMeter meter;
  for (auto _ : state) {
    uint32_t sum = 0, v;
    for (int i = 0; i < fields; ++i) {
      std::memcpy(&v, &buffer[4 * i], 4);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  meter.Stop(state, fields);
  SetFields(state, fields);
}

// ---- compressed integers ---------------------------------------------------

constexpr int kCompressedValues = 4096;

void StreamCompressedWrite(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  BitStream s;
  InstructionMeter meter;
  for (auto _ : state) {
    s.Reset();
    for (const uint32_t& v : values) s.WriteCompressed(reinterpret_cast<const uint8_t*>(&v), 32, true);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

void RefCompressedWrite(benchmark::State& state) {
  if (!ReferenceAgrees(true, false, kCompressedValues)) return state.SkipWithError("the reference disagrees");
  const auto values = MixedValues(kCompressedValues);
  const WriteFn write = Opaque(&AccWriteCompressed);
  AccStream s;
  InstructionMeter meter;
  for (auto _ : state) {
    s.next = s.data;
    for (const uint32_t& v : values) write(&s, reinterpret_cast<const uint8_t*>(&v), 32, true);
    AccFinish(&s);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

void VarintWrite(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  std::vector<uint8_t> buffer(5 * kCompressedValues);
  InstructionMeter meter;
  for (auto _ : state) {
    uint8_t* out = buffer.data();
    for (uint32_t v : values) out = VarintPut(out, v);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

void StreamCompressedRead(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  BitStream s;
  for (const uint32_t& v : values) s.WriteCompressed(reinterpret_cast<const uint8_t*>(&v), 32, true);
  InstructionMeter meter;
  for (auto _ : state) {
    s.ResetReadPointer();
    uint32_t sum = 0, v = 0;
    for (int i = 0; i < kCompressedValues; ++i) {
      s.ReadCompressed(reinterpret_cast<uint8_t*>(&v), 32, true);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

void RefCompressedRead(benchmark::State& state) {
  if (!ReferenceAgrees(true, false, kCompressedValues)) return state.SkipWithError("the reference disagrees");
  const auto values = MixedValues(kCompressedValues);
  AccStream s;
  for (const uint32_t& v : values) AccWriteCompressed(&s, reinterpret_cast<const uint8_t*>(&v), 32, true);
  const int bits = AccFinish(&s);
  const ReadFn read = Opaque(&AccReadCompressed);
  InstructionMeter meter;
  for (auto _ : state) {
    AccStartRead(&s, bits);
    uint32_t sum = 0, v = 0;
    for (int i = 0; i < kCompressedValues; ++i) {
      read(&s, reinterpret_cast<uint8_t*>(&v), 32, true);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

void VarintRead(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  std::vector<uint8_t> buffer(5 * kCompressedValues);
  uint8_t* end = buffer.data();
  for (uint32_t v : values) end = VarintPut(end, v);
  InstructionMeter meter;
  for (auto _ : state) {
    const uint8_t* in = buffer.data();
    uint32_t sum = 0, v = 0;
    for (int i = 0; i < kCompressedValues; ++i) {
      in = VarintGet(in, &v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  meter.Stop(state, kCompressedValues);
  SetFields(state, kCompressedValues);
}

// ---- aligned 1 KiB blocks --------------------------------------------------

constexpr int kBlock = 1024, kBlocks = 64;

void StreamBlocksWrite(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C);
  BitStream s;
  InstructionMeter meter;
  for (auto _ : state) {
    s.Reset();
    for (int i = 0; i < kBlocks; ++i) s.WriteAlignedBytes(block.data(), kBlock);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kBlocks);
  SetFields(state, kBlocks);
}

// The C library's memcpy, called with a run-time size as the stream calls it
// (a constant size would let the compiler inline a different copy loop).
void MemcpyBlocksWrite(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C), buffer(kBlock * kBlocks);
  size_t size = kBlock;
  benchmark::DoNotOptimize(size);
  InstructionMeter meter;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) std::memcpy(buffer.data() + i * kBlock, block.data(), size);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kBlocks);
  SetFields(state, kBlocks);
}

void StreamBlocksRead(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C);
  BitStream s;
  for (int i = 0; i < kBlocks; ++i) s.WriteAlignedBytes(block.data(), kBlock);
  InstructionMeter meter;
  for (auto _ : state) {
    s.ResetReadPointer();
    for (int i = 0; i < kBlocks; ++i) s.ReadAlignedBytes(block.data(), kBlock);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kBlocks);
  SetFields(state, kBlocks);
}

void MemcpyBlocksRead(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock), buffer(kBlock * kBlocks, 0x3C);
  size_t size = kBlock;
  benchmark::DoNotOptimize(size);
  InstructionMeter meter;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) std::memcpy(block.data(), buffer.data() + i * kBlock, size);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kBlocks);
  SetFields(state, kBlocks);
}

// ---- the cost of a call alone ---------------------------------------------

__attribute__((noinline, noipa)) bool LocalNothing(const BitStream* s) { return s->numberOfBitsUsed < 0; }

constexpr int kCalls = 1000;

void CallIntoPlugin(benchmark::State& state) {
  BitStream s;
  InstructionMeter meter;
  for (auto _ : state) {
    int n = 0;
    for (int i = 0; i < kCalls; ++i) n += s.DoEndianSwap();
    benchmark::DoNotOptimize(n);
  }
  meter.Stop(state, kCalls);
  SetFields(state, kCalls);
}

void CallLocal(benchmark::State& state) {
  BitStream s;
  InstructionMeter meter;
  for (auto _ : state) {
    int n = 0;
    for (int i = 0; i < kCalls; ++i) n += LocalNothing(&s);
    benchmark::DoNotOptimize(n);
  }
  meter.Stop(state, kCalls);
  SetFields(state, kCalls);
}

// ---- registration and the ratio table ---------------------------------------

// Stream run against reference run; the targets are in bench/ratio_reporter.h.
const char* const kComparisons[][2] = {
    {"write/aligned/inline", "ref_write/aligned/inline"},
    {"write/unaligned/inline", "ref_write/unaligned/inline"},
    {"write/aligned/heap", "ref_write/aligned/heap"},
    {"write/unaligned/heap", "ref_write/unaligned/heap"},
    {"read/aligned/inline", "ref_read/aligned/inline"},
    {"read/unaligned/inline", "ref_read/unaligned/inline"},
    {"read/aligned/heap", "ref_read/aligned/heap"},
    {"read/unaligned/heap", "ref_read/unaligned/heap"},
    {"compressed_write", "ref_compressed_write"},
    {"compressed_read", "ref_compressed_read"},
    {"write/aligned/inline", "peer_write/aligned/inline"},
    {"write/unaligned/inline", "peer_write/unaligned/inline"},
    {"write/aligned/heap", "peer_write/aligned/heap"},
    {"write/unaligned/heap", "peer_write/unaligned/heap"},
    {"read/aligned/inline", "peer_read/aligned/inline"},
    {"read/unaligned/inline", "peer_read/unaligned/inline"},
    {"read/aligned/heap", "peer_read/aligned/heap"},
    {"read/unaligned/heap", "peer_read/unaligned/heap"},
    {"write/aligned/inline", "limit_write/inline"},
    {"write/aligned/heap", "limit_write/heap"},
    {"read/aligned/inline", "limit_read/inline"},
    {"read/aligned/heap", "limit_read/heap"},
    {"compressed_write", "varint_write"},
    {"compressed_read", "varint_read"},
    {"aligned_bytes_write", "memcpy_write"},
    {"aligned_bytes_read", "memcpy_read"},
    {"call_into_plugin", "call_local"},
};

void Register() {
  for (bool heap : {false, true}) {
    const int n = heap ? kHeapFields : kInlineFields;
    const std::string size = heap ? "heap" : "inline";
    for (bool unaligned : {false, true}) {
      const std::string where = std::string(unaligned ? "unaligned/" : "aligned/") + size;
      benchmark::RegisterBenchmark(("write/" + where).c_str(), StreamWrite, n, unaligned);
      benchmark::RegisterBenchmark(("ref_write/" + where).c_str(), RefWrite, n, unaligned);
      benchmark::RegisterBenchmark(("peer_write/" + where).c_str(), PeerWrite, n, unaligned);
      benchmark::RegisterBenchmark(("read/" + where).c_str(), StreamRead, n, unaligned);
      benchmark::RegisterBenchmark(("ref_read/" + where).c_str(), RefRead, n, unaligned);
      benchmark::RegisterBenchmark(("peer_read/" + where).c_str(), PeerRead, n, unaligned);
    }
    benchmark::RegisterBenchmark(("limit_write/" + size).c_str(), LimitWrite, n);
    benchmark::RegisterBenchmark(("limit_read/" + size).c_str(), LimitRead, n);
  }
  benchmark::RegisterBenchmark("compressed_write", StreamCompressedWrite);
  benchmark::RegisterBenchmark("ref_compressed_write", RefCompressedWrite);
  benchmark::RegisterBenchmark("varint_write", VarintWrite);
  benchmark::RegisterBenchmark("compressed_read", StreamCompressedRead);
  benchmark::RegisterBenchmark("ref_compressed_read", RefCompressedRead);
  benchmark::RegisterBenchmark("varint_read", VarintRead);
  benchmark::RegisterBenchmark("aligned_bytes_write", StreamBlocksWrite);
  benchmark::RegisterBenchmark("memcpy_write", MemcpyBlocksWrite);
  benchmark::RegisterBenchmark("aligned_bytes_read", StreamBlocksRead);
  benchmark::RegisterBenchmark("memcpy_read", MemcpyBlocksRead);
  benchmark::RegisterBenchmark("call_into_plugin", CallIntoPlugin);
  benchmark::RegisterBenchmark("call_local", CallLocal);
}

// Both sides of a comparison process the same number of items per iteration.
void PrintTable(const RatioReporter& reporter) {
  std::vector<RatioRow> rows;
  for (const auto& c : kComparisons) rows.push_back({std::string(c[0]) + " / " + c[1], c[0], c[1]});
  reporter.PrintRatios(rows);
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  RatioReporter reporter(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTable(reporter);
  benchmark::Shutdown();
  return 0;
}
