// Bit stream throughput against references measured in the same run:
//  - limit: a plain store/load loop over a preallocated buffer;
//  - peer: a 64-bit-accumulator bit writer/reader behind a non-inlined call;
//  - varint: a base-128 encoder/decoder, for the compressed integers;
//  - memcpy, for the aligned byte blocks.
// After the runs it prints each stream benchmark's CPU time per item and its
// ratio to the references. Run with --benchmark_repetitions=5 for medians.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

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

// ---- references ------------------------------------------------------------

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

// ---- 32-bit fields: write --------------------------------------------------

void StreamWrite(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  const uint8_t three = 5;
  for (auto _ : state) {
    BitStream s;
    for (int i = 0; i < fields; ++i) {
      s.WriteBits(reinterpret_cast<const uint8_t*>(&values[i]), 32, true);
      if (unaligned) s.WriteBits(&three, 3, true);
    }
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  SetFields(state, fields);
}

void PeerWrite(benchmark::State& state, int fields, bool unaligned) {
  const auto values = Values(fields, 1);
  for (auto _ : state) {
    AccWriter w;
    for (int i = 0; i < fields; ++i) {
      AccPut(w, __builtin_bswap32(values[i]), 32);
      if (unaligned) AccPut(w, 5, 3);
    }
    benchmark::DoNotOptimize(w.out);
    benchmark::ClobberMemory();
  }
  SetFields(state, fields);
}

void LimitWrite(benchmark::State& state, int fields) {
  const auto values = Values(fields, 1);
  std::vector<uint8_t> buffer(4 * fields);
  for (auto _ : state) {
    for (int i = 0; i < fields; ++i) std::memcpy(&buffer[4 * i], &values[i], 4);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
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
  SetFields(state, fields);
}

void LimitRead(benchmark::State& state, int fields) {
  const auto values = Values(fields, 1);
  std::vector<uint8_t> buffer(4 * fields);
  std::memcpy(buffer.data(), values.data(), buffer.size());
  for (auto _ : state) {
    uint32_t sum = 0, v;
    for (int i = 0; i < fields; ++i) {
      std::memcpy(&v, &buffer[4 * i], 4);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  SetFields(state, fields);
}

// ---- compressed integers ---------------------------------------------------

constexpr int kCompressedValues = 4096;

void StreamCompressedWrite(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  BitStream s;
  for (auto _ : state) {
    s.Reset();
    for (uint32_t v : values) s.WriteCompressed(reinterpret_cast<const uint8_t*>(&v), 32, true);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  SetFields(state, kCompressedValues);
}

void VarintWrite(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  std::vector<uint8_t> buffer(5 * kCompressedValues);
  for (auto _ : state) {
    uint8_t* out = buffer.data();
    for (uint32_t v : values) out = VarintPut(out, v);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  SetFields(state, kCompressedValues);
}

void StreamCompressedRead(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  BitStream s;
  for (uint32_t v : values) s.WriteCompressed(reinterpret_cast<const uint8_t*>(&v), 32, true);
  for (auto _ : state) {
    s.ResetReadPointer();
    uint32_t sum = 0, v = 0;
    for (int i = 0; i < kCompressedValues; ++i) {
      s.ReadCompressed(reinterpret_cast<uint8_t*>(&v), 32, true);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  SetFields(state, kCompressedValues);
}

void VarintRead(benchmark::State& state) {
  const auto values = MixedValues(kCompressedValues);
  std::vector<uint8_t> buffer(5 * kCompressedValues);
  uint8_t* end = buffer.data();
  for (uint32_t v : values) end = VarintPut(end, v);
  for (auto _ : state) {
    const uint8_t* in = buffer.data();
    uint32_t sum = 0, v = 0;
    for (int i = 0; i < kCompressedValues; ++i) {
      in = VarintGet(in, &v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  SetFields(state, kCompressedValues);
}

// ---- aligned 1 KiB blocks --------------------------------------------------

constexpr int kBlock = 1024, kBlocks = 64;

void StreamBlocksWrite(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C);
  BitStream s;
  for (auto _ : state) {
    s.Reset();
    for (int i = 0; i < kBlocks; ++i) s.WriteAlignedBytes(block.data(), kBlock);
    benchmark::DoNotOptimize(s.data);
    benchmark::ClobberMemory();
  }
  SetFields(state, kBlocks);
}

// The C library's memcpy, called with a run-time size as the stream calls it
// (a constant size would let the compiler inline a different copy loop).
void MemcpyBlocksWrite(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C), buffer(kBlock * kBlocks);
  size_t size = kBlock;
  benchmark::DoNotOptimize(size);
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) std::memcpy(buffer.data() + i * kBlock, block.data(), size);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  SetFields(state, kBlocks);
}

void StreamBlocksRead(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x3C);
  BitStream s;
  for (int i = 0; i < kBlocks; ++i) s.WriteAlignedBytes(block.data(), kBlock);
  for (auto _ : state) {
    s.ResetReadPointer();
    for (int i = 0; i < kBlocks; ++i) s.ReadAlignedBytes(block.data(), kBlock);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  SetFields(state, kBlocks);
}

void MemcpyBlocksRead(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock), buffer(kBlock * kBlocks, 0x3C);
  size_t size = kBlock;
  benchmark::DoNotOptimize(size);
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) std::memcpy(block.data(), buffer.data() + i * kBlock, size);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  SetFields(state, kBlocks);
}

// ---- the cost of a call alone ---------------------------------------------

__attribute__((noinline, noipa)) bool LocalNothing(const BitStream* s) { return s->numberOfBitsUsed < 0; }

constexpr int kCalls = 1000;

void CallIntoPlugin(benchmark::State& state) {
  BitStream s;
  for (auto _ : state) {
    int n = 0;
    for (int i = 0; i < kCalls; ++i) n += s.DoEndianSwap();
    benchmark::DoNotOptimize(n);
  }
  SetFields(state, kCalls);
}

void CallLocal(benchmark::State& state) {
  BitStream s;
  for (auto _ : state) {
    int n = 0;
    for (int i = 0; i < kCalls; ++i) n += LocalNothing(&s);
    benchmark::DoNotOptimize(n);
  }
  SetFields(state, kCalls);
}

// ---- registration and the ratio table ---------------------------------------

struct Comparison {
  const char* stream;
  const char* reference;
  double target;  // 0: informational
};

const Comparison kComparisons[] = {
    {"write/aligned/inline", "peer_write/aligned/inline", 1.3},
    {"write/aligned/inline", "limit_write/inline", 0},
    {"write/unaligned/inline", "peer_write/unaligned/inline", 2.0},
    {"write/aligned/heap", "peer_write/aligned/heap", 1.3},
    {"write/aligned/heap", "limit_write/heap", 0},
    {"write/unaligned/heap", "peer_write/unaligned/heap", 2.0},
    {"read/aligned/inline", "peer_read/aligned/inline", 1.3},
    {"read/aligned/inline", "limit_read/inline", 0},
    {"read/unaligned/inline", "peer_read/unaligned/inline", 2.0},
    {"read/aligned/heap", "peer_read/aligned/heap", 1.3},
    {"read/aligned/heap", "limit_read/heap", 0},
    {"read/unaligned/heap", "peer_read/unaligned/heap", 2.0},
    {"compressed_write", "varint_write", 1.5},
    {"compressed_read", "varint_read", 1.5},
    {"aligned_bytes_write", "memcpy_write", 1.2},
    {"aligned_bytes_read", "memcpy_read", 1.2},
    {"call_into_plugin", "call_local", 0},
};

// Keeps each benchmark's CPU time per item (the median when repeated; the
// machine may be shared) while printing the usual output.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto fields = run.counters.find("fields");
      if (fields == run.counters.end()) continue;
      const double ns = run.GetAdjustedCPUTime() / fields->second.value;
      if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) nsPerItem[run.run_name.function_name] = ns;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        nsPerItem[run.run_name.function_name] = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nsPerItem;
};

void Register() {
  for (bool heap : {false, true}) {
    const int n = heap ? kHeapFields : kInlineFields;
    const std::string size = heap ? "heap" : "inline";
    for (bool unaligned : {false, true}) {
      const std::string where = std::string(unaligned ? "unaligned/" : "aligned/") + size;
      benchmark::RegisterBenchmark(("write/" + where).c_str(), StreamWrite, n, unaligned);
      benchmark::RegisterBenchmark(("peer_write/" + where).c_str(), PeerWrite, n, unaligned);
      benchmark::RegisterBenchmark(("read/" + where).c_str(), StreamRead, n, unaligned);
      benchmark::RegisterBenchmark(("peer_read/" + where).c_str(), PeerRead, n, unaligned);
    }
    benchmark::RegisterBenchmark(("limit_write/" + size).c_str(), LimitWrite, n);
    benchmark::RegisterBenchmark(("limit_read/" + size).c_str(), LimitRead, n);
  }
  benchmark::RegisterBenchmark("compressed_write", StreamCompressedWrite);
  benchmark::RegisterBenchmark("varint_write", VarintWrite);
  benchmark::RegisterBenchmark("compressed_read", StreamCompressedRead);
  benchmark::RegisterBenchmark("varint_read", VarintRead);
  benchmark::RegisterBenchmark("aligned_bytes_write", StreamBlocksWrite);
  benchmark::RegisterBenchmark("memcpy_write", MemcpyBlocksWrite);
  benchmark::RegisterBenchmark("aligned_bytes_read", StreamBlocksRead);
  benchmark::RegisterBenchmark("memcpy_read", MemcpyBlocksRead);
  benchmark::RegisterBenchmark("call_into_plugin", CallIntoPlugin);
  benchmark::RegisterBenchmark("call_local", CallLocal);
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-24s %-30s %9s %9s %7s %s\n", "stream", "reference", "ns/item", "ref ns", "ratio", "target");
  for (const Comparison& c : kComparisons) {
    auto a = reporter.nsPerItem.find(c.stream), b = reporter.nsPerItem.find(c.reference);
    if (a == reporter.nsPerItem.end() || b == reporter.nsPerItem.end()) continue;
    const double ratio = a->second / b->second;
    std::printf("%-24s %-30s %9.2f %9.2f %7.2f %s\n", c.stream, c.reference, a->second, b->second, ratio,
                c.target == 0       ? "-"
                : ratio <= c.target ? "met"
                                    : "MISSED");
  }
  benchmark::Shutdown();
  return 0;
}
