// Randomized comparisons of the text utilities with independent oracles: the C
// library, python3's base64 and urllib, std::to_chars and a recursive matcher.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/util_guard_page.h"
#include "tests/util_wildcmp_oracle.h"
#include "util/runutil.h"

namespace {

constexpr int kRounds = 20000;
constexpr int kBatch = 2000;  // inputs per python3 process
constexpr size_t kMaxBatchInput = 100;

std::mt19937 MakeRng() {
  const unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  return std::mt19937(seed);
}

std::string RandomString(std::mt19937& rng, const std::string& alphabet, size_t max_len) {
  std::string s(std::uniform_int_distribution<size_t>(0, max_len)(rng), ' ');
  for (char& c : s) c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
  return s;
}

int Sign(int v) { return (v > 0) - (v < 0); }

std::string Hex(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (unsigned char c : bytes) snprintf(pair, sizeof pair, "%02x", c), out += pair;
  return out;
}

// Runs a python3 program that reads one hex-encoded input per line from stdin
// and prints one result per line; returns the results.
std::vector<std::string> RunPythonBatch(const char* program, const std::vector<std::string>& inputs) {
  char path[] = "/tmp/util_oracle_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  FILE* in = fdopen(fd, "w");
  for (const std::string& s : inputs) fprintf(in, "%s\n", Hex(s).c_str());
  fclose(in);
  const std::string command = std::string("python3 -c '") + program + "' < " + path;
  std::vector<std::string> results;
  if (FILE* out = popen(command.c_str(), "r")) {
    char line[4096];
    while (fgets(line, sizeof line, out)) results.emplace_back(line, strcspn(line, "\n"));
    pclose(out);
  }
  unlink(path);
  return results;
}

// ASCII without the six characters between 'Z' and 'a': there the C library
// orders by the lower-case fold and these utilities by the upper-case one.
std::string FoldNeutralAscii() {
  std::string s;
  for (int c = 1; c < 128; ++c)
    if (c < '[' || c > '`') s += static_cast<char>(c);
  return s;
}

TEST(StrnicmpOracle, SignMatchesStrncasecmp) {
  std::mt19937 rng = MakeRng();
  const std::string wide = FoldNeutralAscii();
  const std::string narrow = "aAbB1:";
  for (int i = 0; i < kRounds; ++i) {
    const std::string& alphabet = i % 2 ? wide : narrow;
    const std::string prefix = RandomString(rng, alphabet, 12);
    const std::string a = prefix + RandomString(rng, alphabet, 4);
    const std::string b = prefix + RandomString(rng, alphabet, 4);
    const unsigned count = std::uniform_int_distribution<unsigned>(0, 20)(rng);
    ASSERT_EQ(Sign(Util_strnicmp(a.c_str(), b.c_str(), count)), Sign(strncasecmp(a.c_str(), b.c_str(), count)))
        << a << " / " << b << " / " << count;
  }
}

// The comparison rule one position at a time, as the plain reference.
int PlainStrnicmp(const std::string& a, const std::string& b, unsigned count) {
  auto fold = [](char c) { return static_cast<signed char>(c >= 'a' && c <= 'z' ? c - 32 : c); };
  for (unsigned i = 0; i < count; ++i) {
    const signed char fa = fold(a.c_str()[i]), fb = fold(b.c_str()[i]);
    if (fa != fb) return fa - fb;
    if (!fa) return 0;
  }
  return 0;
}

// Places s so that the last readable byte is its terminator or, when the
// count ends inside s, its byte at position count - 1.
const char* PlaceForCount(GuardedString& page, const std::string& s, unsigned count) {
  if (count == 0 || count > s.size()) return page.place(s.data(), s.size());
  char* placed = page.place(s.data(), count - 1);
  placed[count - 1] = s[count - 1];
  return placed;
}

TEST(StrnicmpOracle, MatchesPlainRuleOnEveryByteWithinTerminatorAndCount) {
  std::mt19937 rng = MakeRng();
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  const std::string narrow = "aAzZ_`[{\xE9\x80";
  GuardedString first_page, second_page;
  for (int i = 0; i < kRounds; ++i) {
    const std::string& alphabet = i % 2 ? every : narrow;
    const std::string prefix = RandomString(rng, "aAbByYzZ09-:", 20);
    const std::string a = prefix + RandomString(rng, alphabet, 3);
    const std::string b = prefix + RandomString(rng, alphabet, 3);
    const unsigned count = std::uniform_int_distribution<unsigned>(0, 26)(rng);
    const char* pa = PlaceForCount(first_page, a, count);
    const char* pb = PlaceForCount(second_page, b, count);
    ASSERT_EQ(Util_strnicmp(pa, pb, count), PlainStrnicmp(a, b, count)) << a << " / " << b << " / " << count;
  }
}

TEST(StristrOracle, PositionMatchesStrcasestr) {
  std::mt19937 rng = MakeRng();
  // Every byte: the C library's C locale folds ASCII letters only, as these
  // utilities do, so positions agree on bytes 0x80..0xFF too.
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  const std::string narrow = "aAbB:";
  GuardedString haystack_page, needle_page;
  for (int i = 0; i < kRounds; ++i) {
    const std::string& alphabet = i % 4 ? narrow : every;
    const std::string haystack = RandomString(rng, alphabet, 40);
    std::string needle = RandomString(rng, alphabet, 4);
    if (needle.empty()) needle = "a";  // the C library finds an empty needle at the start
    const char* h = haystack_page.place(haystack.data(), haystack.size());
    const char* n = needle_page.place(needle.data(), needle.size());
    ASSERT_EQ(Util_stristr(h, n), strcasestr(h, n)) << haystack << " / " << needle;
  }
}

TEST(WildcmpOracle, MatchesRecursiveMatcher) {
  std::mt19937 rng = MakeRng();
  GuardedString pattern_page, text_page;
  for (int i = 0; i < kRounds; ++i) {
    const std::string pattern = RandomString(rng, "ab*?", 8);
    const std::string text = RandomString(rng, "ab?*", 12);
    char* p = pattern_page.place(pattern.data(), pattern.size());
    char* t = text_page.place(text.data(), text.size());
    ASSERT_EQ(Util_wildcmp(p, t), WildcardMatches(pattern.c_str(), text.c_str()) ? 1 : 0) << pattern << " / " << text;
  }
}

TEST(ItoaOracle, MatchesToChars) {
  std::mt19937 rng = MakeRng();
  for (int i = 0; i < kRounds; ++i) {
    // Values of every magnitude, not only large ones.
    const int value = static_cast<int>(rng()) >> std::uniform_int_distribution<int>(0, 31)(rng);
    const int base = std::uniform_int_distribution<int>(2, 35)(rng);
    char expected[40];
    *std::to_chars(expected, expected + sizeof expected, value, base).ptr = 0;
    for (char* p = expected; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    char out[34];
    ASSERT_STREQ(Util_itoa(value, out, base), expected) << value << " base " << base;
  }
}

TEST(Base64Oracle, MatchesPythonBase64) {
  std::mt19937 rng = MakeRng();
  std::string nonzero;
  for (int c = 1; c < 256; ++c) nonzero += static_cast<char>(c);
  std::vector<std::string> inputs;
  for (int i = 0; i < kBatch; ++i) inputs.push_back(RandomString(rng, nonzero, kMaxBatchInput));
  const std::vector<std::string> expected = RunPythonBatch(
      "import sys,base64\nfor l in sys.stdin: print(base64.b64encode(bytes.fromhex(l.strip())).decode())", inputs);
  ASSERT_EQ(expected.size(), inputs.size()) << "python3 base64 did not answer every input";
  char out[4 * kMaxBatchInput / 3 + 8];
  GuardedString page;
  for (size_t i = 0; i < inputs.size(); ++i) {
    Util_Base64Encode(page.place(inputs[i].data(), inputs[i].size()), out);
    ASSERT_EQ(out, expected[i]) << Hex(inputs[i]);
  }
}

TEST(UrlUnencodeOracle, MatchesPythonUnquotePlus) {
  std::mt19937 rng = MakeRng();
  std::string plain;
  for (int c = 1; c < 256; ++c)
    if (c != '%') plain += static_cast<char>(c);
  const std::string plus_heavy = "ab+ ";
  const char* hex = "0123456789ABCDEF";
  std::vector<std::string> inputs;
  for (int i = 0; i < kBatch; ++i) {
    std::string s;
    const size_t parts = std::uniform_int_distribution<size_t>(0, 12)(rng);
    for (size_t k = 0; k < parts; ++k) {
      if (rng() % 3) {
        s += RandomString(rng, k % 2 ? plain : plus_heavy, 6);
      } else {
        const unsigned byte = std::uniform_int_distribution<unsigned>(1, 255)(rng);  // %00 would end the C string
        s += '%', s += hex[byte >> 4], s += hex[byte & 15];
      }
    }
    inputs.push_back(s);
  }
  const std::vector<std::string> expected = RunPythonBatch(
      "import sys,urllib.parse as u\n"
      "for l in sys.stdin: print(u.unquote_plus(bytes.fromhex(l.strip()).decode(\"latin-1\"),"
      " encoding=\"latin-1\").encode(\"latin-1\").hex())",
      inputs);
  ASSERT_EQ(expected.size(), inputs.size()) << "python3 urllib did not answer every input";
  GuardedString page;
  for (size_t i = 0; i < inputs.size(); ++i) {
    char* s = page.place(inputs[i].data(), inputs[i].size());
    Util_UrlUnencode(s);
    ASSERT_EQ(Hex(s), expected[i]) << inputs[i];
  }
}

// The decoding rule one byte at a time, as the plain reference: hex digits of
// either case, any other escape character 0, an escape cut short dropped.
std::string PlainUrlDecode(const std::string& in) {
  auto digit = [](char c) -> unsigned {
    const char* hex = "0123456789ABCDEF0123456789abcdef";
    const char* at = c ? strchr(hex, c) : nullptr;
    return at ? static_cast<unsigned>(at - hex) % 16 : 0;
  };
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%') {
      if (in.size() - i < 3) break;
      out += static_cast<char>(digit(in[i + 1]) * 16 + digit(in[i + 2]));
      i += 2;
    } else {
      out += in[i] == '+' ? ' ' : in[i];
    }
  }
  return out;
}

TEST(UrlUnencodeOracle, MatchesPlainDecoderOnMalformedEscapes) {
  std::mt19937 rng = MakeRng();
  GuardedString page;
  for (int i = 0; i < kRounds; ++i) {
    const std::string in = RandomString(rng, i % 2 ? "%%+a0F9fgZ&= \xE9" : "%+4aB!", 24);
    char* s = page.place(in.data(), in.size());
    Util_UrlUnencode(s);
    const std::string expected = PlainUrlDecode(in);
    ASSERT_EQ(std::string(s, expected.size() + 1), expected + '\0') << in;
  }
}

}  // namespace
