// Text utilities against their peers, measured in the same run: the C
// library's case-insensitive search and comparison, OpenSSL's Base64 block
// encoder, snprintf and std::to_chars.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <strings.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/runutil.h"

namespace {

// About 400 bytes of response header with a last line whose name is searched.
const std::string kHeader =
    "HTTP/1.0 200 OK\r\n"
    "Date: Tue, 08 Dec 2026 15:21:22 GMT\r\n"
    "Server: gameserver-list/2.4\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate\r\n"
    "Pragma: no-cache\r\n"
    "Expires: 0\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "Connection: close\r\n"
    "Vary: Accept-Encoding\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
    "ETag: \"5f3a-1b2c3d\"\r\n"
    "Content-Length: 1234\r\n\r\n";
const char kNeedleNearEnd[] = "CONTENT-LENGTH:";
const char kNeedleAbsent[] = "TRANSFER-ENCODING:";

using SearchFn = const char* (*)(const char*, const char*);
const char* RunUtilStristr(const char* h, const char* n) { return Util_stristr(h, n); }
const char* LibcStrcasestr(const char* h, const char* n) { return strcasestr(h, n); }

template <SearchFn search>
void BM_Search(benchmark::State& state, const char* needle) {
  for (auto _ : state) {
    const char* haystack = kHeader.c_str();
    benchmark::DoNotOptimize(haystack);
    benchmark::DoNotOptimize(search(haystack, needle));
  }
  state.SetBytesProcessed(state.iterations() * kHeader.size());
}
void BM_Stristr(benchmark::State& state, const char* needle) { BM_Search<RunUtilStristr>(state, needle); }
void BM_Strcasestr(benchmark::State& state, const char* needle) { BM_Search<LibcStrcasestr>(state, needle); }
BENCHMARK_CAPTURE(BM_Stristr, near_end, kNeedleNearEnd);
BENCHMARK_CAPTURE(BM_Strcasestr, near_end, kNeedleNearEnd);
BENCHMARK_CAPTURE(BM_Stristr, absent, kNeedleAbsent);
BENCHMARK_CAPTURE(BM_Strcasestr, absent, kNeedleAbsent);

// Header names that are equal but for letter case, compared in full.
const char kNameA[] = "Content-Type: text/plain; charset=iso-8859-1";
const char kNameB[] = "content-type: TEXT/PLAIN; CHARSET=ISO-8859-1";

using CompareFn = int (*)(const char*, const char*, unsigned);
int RunUtilStrnicmp(const char* a, const char* b, unsigned n) { return Util_strnicmp(a, b, n); }
int LibcStrncasecmp(const char* a, const char* b, unsigned n) { return strncasecmp(a, b, n); }

template <CompareFn compare>
void BM_Compare(benchmark::State& state) {
  for (auto _ : state) {
    const char* a = kNameA;
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(compare(a, kNameB, sizeof kNameA));
  }
}
BENCHMARK(BM_Compare<RunUtilStrnicmp>)->Name("strnicmp");
BENCHMARK(BM_Compare<LibcStrncasecmp>)->Name("strncasecmp");

std::string NonZeroBytes(size_t n) {
  std::mt19937 rng(42);
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>(1 + rng() % 255);
  return s;
}

void BM_Base64RunUtil(benchmark::State& state) {
  std::string source = NonZeroBytes(state.range(0));
  std::vector<char> out(4 * ((source.size() + 2) / 3) + 1);
  for (auto _ : state) {
    Util_Base64Encode(&source[0], out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * source.size());
}
void BM_Base64OpenSsl(benchmark::State& state) {
  std::string source = NonZeroBytes(state.range(0));
  std::vector<unsigned char> out(4 * ((source.size() + 2) / 3) + 1);
  for (auto _ : state) {
    EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(source.data()), source.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * source.size());
}
BENCHMARK(BM_Base64RunUtil)->Name("base64_encode")->Arg(1024)->Arg(48 * 1024);
BENCHMARK(BM_Base64OpenSsl)->Name("EVP_EncodeBlock")->Arg(1024)->Arg(48 * 1024);

// Values of every magnitude and both signs, formatted one after another.
std::vector<int> MixedValues() {
  std::mt19937 rng(7);
  std::vector<int> v(256);
  for (int& x : v) x = static_cast<int>(rng()) >> (rng() % 32);
  return v;
}

void BM_ItoaRunUtil(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const int base = state.range(0);
  char out[34];
  for (auto _ : state)
    for (int v : values) benchmark::DoNotOptimize(Util_itoa(v, out, base)), benchmark::ClobberMemory();
  state.SetItemsProcessed(state.iterations() * values.size());
}
void BM_ItoaSnprintf(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const bool hex = state.range(0) == 16;
  char out[34];
  for (auto _ : state) {
    for (int v : values) {
      // snprintf has no signed hex: print the sign and magnitude as itoa does.
      if (hex)
        snprintf(out, sizeof out, v < 0 ? "-%X" : "%X",
                 v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v));
      else
        snprintf(out, sizeof out, "%d", v);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * values.size());
}
// flatten: std::to_chars inlined into the loop, as a caller would get it.
__attribute__((flatten)) void BM_ItoaToChars(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const int base = state.range(0);
  char out[34];
  for (auto _ : state) {
    for (int v : values) {
      *std::to_chars(out, out + sizeof out - 1, v, base).ptr = 0;
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * values.size());
}
// std::to_chars behind a call, as Util_itoa is reached through core.so's
// export: the same call cost on both sides, so the formatting work compares.
__attribute__((noinline, flatten)) char* ToCharsCall(int value, char* out, int base) {
  *std::to_chars(out, out + 33, value, base).ptr = 0;
  return out;
}
void BM_ItoaToCharsCall(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const int base = state.range(0);
  char out[34];
  for (auto _ : state)
    for (int v : values) benchmark::DoNotOptimize(ToCharsCall(v, out, base)), benchmark::ClobberMemory();
  state.SetItemsProcessed(state.iterations() * values.size());
}
BENCHMARK(BM_ItoaRunUtil)->Name("itoa")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaSnprintf)->Name("snprintf")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaToChars)->Name("to_chars")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaToCharsCall)->Name("to_chars_call")->Arg(10)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
