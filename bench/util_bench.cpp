// Text utilities against their peers, measured in the same run: the C
// library's case-insensitive search and comparison, OpenSSL's Base64 block
// encoder, snprintf, std::to_chars (inlined and behind a call) and a
// straightforward URL decoder. Each utility and each peer but the inlined
// std::to_chars is called through a function pointer the compiler cannot see
// through, as a function of another module is, from the same loop: the two
// sides of a ratio differ only in the function called.
//
// Under the guest instruction counter (scripts/bench.sh) each run reports
// guest instructions per item ("insn"); the program ends with the ratio table,
// instructions first, emulated times second.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <strings.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "util/runutil.h"

namespace {

// ---- Util_stristr / strcasestr ------------------------------------------------

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

// The C library's strcasestr returns a pointer to const in C++.
template <typename Result>
void RunSearch(benchmark::State& state, Result* (*search)(const char*, const char*), const char* needle) {
  InstructionMeter meter;
  for (auto _ : state) {
    const char* haystack = Opaque(kHeader.c_str());
    benchmark::DoNotOptimize(search(haystack, needle));
  }
  meter.Stop(state);
}
void BM_Stristr(benchmark::State& state, const char* needle) { RunSearch<char>(state, Opaque(&Util_stristr), needle); }
void BM_Strcasestr(benchmark::State& state, const char* needle) {
  RunSearch<const char>(state, Opaque<const char* (*)(const char*, const char*)>(&strcasestr), needle);
}
BENCHMARK_CAPTURE(BM_Stristr, near_end, kNeedleNearEnd);
BENCHMARK_CAPTURE(BM_Strcasestr, near_end, kNeedleNearEnd);
BENCHMARK_CAPTURE(BM_Stristr, absent, kNeedleAbsent);
BENCHMARK_CAPTURE(BM_Strcasestr, absent, kNeedleAbsent);

// ---- Util_strnicmp / strncasecmp ----------------------------------------------

struct ComparePair {
  const char* first;
  const char* second;
  unsigned count;
};

// Header lines against the names a parser looks for, compared over the name's
// length: equal names in other letter cases, and names that differ early.
const ComparePair kHeaderNames[] = {
    {"Content-Length: 1234", "CONTENT-LENGTH", 14},
    {"content-type: text/html", "Content-Type", 12},
    {"Connection: close", "CONNECTION", 10},
    {"Transfer-Encoding: chunked", "transfer-encoding", 17},
    {"Host: 127.0.0.1", "HOST", 4},
    {"Date: Tue, 08 Dec 2026", "Content-Length", 14},
    {"Content-Type: text/plain", "Content-Length", 14},
    {"Server: list/2.4", "SERVER", 6},
};

// A 45-character header line, equal but for letter case, compared in full.
const ComparePair kHeaderLine[] = {
    {"Content-Type: text/plain; charset=iso-8859-1", "content-type: TEXT/PLAIN; CHARSET=ISO-8859-1", 46}};

// Two 256-character strings equal but for letter case, compared in full.
std::string LongText(bool upper) {
  const std::string words = "Accept-Language: en-GB,en;q=0.9,fr;q=0.8 Cache-Control: max-age=0 ";
  std::string s;
  while (s.size() < 256) s += words;
  s.resize(256);
  for (char& c : s)
    if (upper && c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 32);
    else if (!upper && c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  return s;
}
const std::string kLongLower = LongText(false), kLongUpper = LongText(true);
const ComparePair kLong[] = {{kLongLower.c_str(), kLongUpper.c_str(), 257}};

using CompareFn = int (*)(const char*, const char*, unsigned);

template <int n>
void RunCompare(benchmark::State& state, CompareFn compare, const ComparePair (*pairs)[n]) {
  const ComparePair* begin = Opaque(*pairs);
  InstructionMeter meter;
  for (auto _ : state)
    for (const ComparePair* p = begin; p != begin + n; ++p)
      benchmark::DoNotOptimize(compare(p->first, p->second, p->count));
  meter.Stop(state, n);
}
template <int n>
void BM_Strnicmp(benchmark::State& state, const ComparePair (*pairs)[n]) {
  RunCompare(state, Opaque(&Util_strnicmp), pairs);
}
template <int n>
void BM_Strncasecmp(benchmark::State& state, const ComparePair (*pairs)[n]) {
  RunCompare(state, Opaque<CompareFn>(&strncasecmp), pairs);
}
BENCHMARK_CAPTURE(BM_Strnicmp, names, &kHeaderNames)->Name("strnicmp/names");
BENCHMARK_CAPTURE(BM_Strncasecmp, names, &kHeaderNames)->Name("strncasecmp/names");
BENCHMARK_CAPTURE(BM_Strnicmp, line, &kHeaderLine)->Name("strnicmp/line");
BENCHMARK_CAPTURE(BM_Strncasecmp, line, &kHeaderLine)->Name("strncasecmp/line");
BENCHMARK_CAPTURE(BM_Strnicmp, long, &kLong)->Name("strnicmp/long");
BENCHMARK_CAPTURE(BM_Strncasecmp, long, &kLong)->Name("strncasecmp/long");

// ---- Util_UrlUnencode / a straightforward decoder -----------------------------

// The value of a hex digit of either case; 0 for any other character.
unsigned HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// '%' and two digits give one byte, '+' a space, anything else itself; an
// escape cut short by the end of the string is dropped.
__attribute__((noinline)) void PlainUrlDecode(char* text) {
  const char* in = text;
  char* out = text;
  while (*in) {
    if (*in == '%') {
      if (!in[1] || !in[2]) break;
      *out++ = static_cast<char>(HexDigit(in[1]) << 4 | HexDigit(in[2]));
      in += 3;
    } else if (*in == '+') {
      *out++ = ' ';
      ++in;
    } else {
      *out++ = *in++;
    }
  }
  *out = 0;
}

// Query strings as a form or a search request sends them.
const char* const kQueries[] = {
    "q=hello+world&lang=en&page=2",
    "name=John+Smith&city=New%20York&zip=10001",
    "search=caf%C3%A9+au+lait&sort=price%3Aasc&limit=20",
    "redirect=http%3A%2F%2F127.0.0.1%3A7777%2Fservers%3Fmode%3Dlist",
    "player=%5BAB%5DSniper_99&server=Main+Server+%231&mode=tdm",
    "msg=Good+game%2C+well+played%21&from=admin",
    "id=123456&token=a1b2c3d4e5f6&v=2",
    "filter=name%3D%22Bob%22+AND+score%3E100&fields=id,name,score",
};
constexpr int kQueryCount = sizeof kQueries / sizeof kQueries[0];

// All queries one after another in one block, and their offsets in it: each
// iteration restores the block with one memcpy, then decodes every query.
struct QueryBlock {
  std::string text;
  std::vector<size_t> starts;
  QueryBlock() {
    for (const char* q : kQueries) starts.push_back(text.size()), text.append(q).push_back('\0');
  }
};

void RunUrlDecode(benchmark::State& state, void (*decode)(char*)) {
  const QueryBlock block;
  std::vector<char> work(block.text.size());
  InstructionMeter meter;
  for (auto _ : state) {
    memcpy(work.data(), block.text.data(), work.size());
    for (size_t start : block.starts) decode(work.data() + start);
    benchmark::ClobberMemory();
  }
  meter.Stop(state, kQueryCount);
}
void BM_UrlUnencode(benchmark::State& state) { RunUrlDecode(state, Opaque<void (*)(char*)>(&Util_UrlUnencode)); }
void BM_PlainUrlDecode(benchmark::State& state) { RunUrlDecode(state, Opaque(&PlainUrlDecode)); }
BENCHMARK(BM_UrlUnencode)->Name("url_unencode");
BENCHMARK(BM_PlainUrlDecode)->Name("plain_url_decode");

// ---- Util_Base64Encode / EVP_EncodeBlock --------------------------------------

std::string NonZeroBytes(size_t n) {
  std::mt19937 rng(42);
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>(1 + rng() % 255);
  return s;
}

void BM_Base64RunUtil(benchmark::State& state) {
  std::string source = NonZeroBytes(state.range(0));
  std::vector<char> out(4 * ((source.size() + 2) / 3) + 1);
  void (*const encode)(char*, char*) = Opaque<void (*)(char*, char*)>(&Util_Base64Encode);
  InstructionMeter meter;
  for (auto _ : state) {
    encode(&source[0], out.data());
    benchmark::ClobberMemory();
  }
  meter.Stop(state);
  state.SetBytesProcessed(state.iterations() * source.size());
}
void BM_Base64OpenSsl(benchmark::State& state) {
  std::string source = NonZeroBytes(state.range(0));
  std::vector<unsigned char> out(4 * ((source.size() + 2) / 3) + 1);
  int (*const encode)(unsigned char*, const unsigned char*, int) = Opaque(&EVP_EncodeBlock);
  InstructionMeter meter;
  for (auto _ : state) {
    encode(out.data(), reinterpret_cast<const unsigned char*>(source.data()), source.size());
    benchmark::ClobberMemory();
  }
  meter.Stop(state);
  state.SetBytesProcessed(state.iterations() * source.size());
}
BENCHMARK(BM_Base64RunUtil)->Name("base64_encode")->Arg(20)->Arg(1024)->Arg(48 * 1024);
BENCHMARK(BM_Base64OpenSsl)->Name("EVP_EncodeBlock")->Arg(20)->Arg(1024)->Arg(48 * 1024);

// ---- Util_itoa / snprintf / std::to_chars ---------------------------------------

// Values of every magnitude and both signs, formatted one after another.
std::vector<int> MixedValues() {
  std::mt19937 rng(7);
  std::vector<int> v(256);
  for (int& x : v) x = static_cast<int>(rng()) >> (rng() % 32);
  return v;
}

using ItoaFn = char* (*)(int, char*, int);

void RunItoa(benchmark::State& state, ItoaFn format) {
  const std::vector<int> values = MixedValues();
  const int base = state.range(0);
  char out[34];
  InstructionMeter meter;
  for (auto _ : state)
    for (int v : values) benchmark::DoNotOptimize(format(v, out, base)), benchmark::ClobberMemory();
  meter.Stop(state, values.size());
}
void BM_ItoaRunUtil(benchmark::State& state) { RunItoa(state, Opaque<char* (*)(int, char*, int)>(&Util_itoa)); }
void BM_ItoaSnprintf(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const bool hex = state.range(0) == 16;
  char out[34];
  InstructionMeter meter;
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
  meter.Stop(state, values.size());
}
// flatten: std::to_chars inlined into the loop, as a caller would get it.
__attribute__((flatten)) void BM_ItoaToChars(benchmark::State& state) {
  const std::vector<int> values = MixedValues();
  const int base = state.range(0);
  char out[34];
  InstructionMeter meter;
  for (auto _ : state) {
    for (int v : values) {
      *std::to_chars(out, out + sizeof out - 1, v, base).ptr = 0;
      benchmark::ClobberMemory();
    }
  }
  meter.Stop(state, values.size());
}
// std::to_chars behind a call with Util_itoa's arguments.
__attribute__((noinline, flatten)) char* ToCharsCall(int value, char* out, int base) {
  *std::to_chars(out, out + 33, value, base).ptr = 0;
  return out;
}
void BM_ItoaToCharsCall(benchmark::State& state) { RunItoa(state, Opaque(&ToCharsCall)); }
BENCHMARK(BM_ItoaRunUtil)->Name("itoa")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaSnprintf)->Name("snprintf")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaToChars)->Name("to_chars")->Arg(10)->Arg(16);
BENCHMARK(BM_ItoaToCharsCall)->Name("to_chars_call")->Arg(10)->Arg(16);

// ---- ratio table ----------------------------------------------------------------

const RatioRow kRows[] = {
    {"stristr / strcasestr, needle near end", "BM_Stristr/near_end", "BM_Strcasestr/near_end"},
    {"stristr / strcasestr, needle absent", "BM_Stristr/absent", "BM_Strcasestr/absent"},
    {"strnicmp / strncasecmp, header names", "strnicmp/names", "strncasecmp/names"},
    {"strnicmp / strncasecmp, 45-char line", "strnicmp/line", "strncasecmp/line"},
    {"strnicmp / strncasecmp, 256 chars", "strnicmp/long", "strncasecmp/long"},
    {"UrlUnencode / plain decoder, queries", "url_unencode", "plain_url_decode"},
    {"Base64 / EVP_EncodeBlock, 20 bytes", "base64_encode/20", "EVP_EncodeBlock/20"},
    {"Base64 / EVP_EncodeBlock, 1 KiB", "base64_encode/1024", "EVP_EncodeBlock/1024"},
    {"Base64 / EVP_EncodeBlock, 48 KiB", "base64_encode/49152", "EVP_EncodeBlock/49152"},
    {"itoa / snprintf, base 10", "itoa/10", "snprintf/10"},
    {"itoa / snprintf, base 16", "itoa/16", "snprintf/16"},
    {"itoa / to_chars called, base 10", "itoa/10", "to_chars_call/10"},
    {"itoa / to_chars called, base 16", "itoa/16", "to_chars_call/16"},
    {"itoa / to_chars inlined, base 10", "itoa/10", "to_chars/10"},
    {"itoa / to_chars inlined, base 16", "itoa/16", "to_chars/16"},
};

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios({std::begin(kRows), std::end(kRows)});
  benchmark::Shutdown();
  return 0;
}
