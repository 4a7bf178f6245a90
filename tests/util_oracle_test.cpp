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

TEST(StristrOracle, PositionMatchesStrcasestr) {
  std::mt19937 rng = MakeRng();
  std::string ascii;
  for (int c = 1; c < 128; ++c) ascii += static_cast<char>(c);
  const std::string narrow = "aAbB:";
  for (int i = 0; i < kRounds; ++i) {
    const std::string& alphabet = i % 4 ? narrow : ascii;
    const std::string haystack = RandomString(rng, alphabet, 40);
    std::string needle = RandomString(rng, alphabet, 4);
    if (needle.empty()) needle = "a";  // the C library finds an empty needle at the start
    ASSERT_EQ(Util_stristr(haystack.c_str(), needle.c_str()), strcasestr(haystack.c_str(), needle.c_str()))
        << haystack << " / " << needle;
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
  for (size_t i = 0; i < inputs.size(); ++i) {
    Util_Base64Encode(const_cast<char*>(inputs[i].c_str()), out);
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

}  // namespace
