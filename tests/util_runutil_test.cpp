// Tables of edge cases for the text utilities, each output buffer fenced by
// guard bytes; strings that end at a page boundary catch reads past the end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/util_guard_page.h"
#include "util/runutil.h"

namespace {

constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\xA5';
constexpr size_t kItoaWorstCase = 34;  // 32 binary digits, sign, terminator

// A writable copy of a string (which may hold zero bytes) with guard bytes on
// both sides, for the functions that work in place or fill a buffer.
class Fenced {
 public:
  explicit Fenced(const std::string& content, size_t room = 0)
      : bytes_(kGuard, kGuardByte), size_(std::max(room, content.size() + 1)) {
    bytes_ += content;
    bytes_.resize(kGuard + size_, '\0');
    bytes_.append(kGuard, kGuardByte);
  }
  char* data() { return &bytes_[kGuard]; }
  bool guards_intact() const {
    const std::string fence(kGuard, kGuardByte);
    return bytes_.compare(0, kGuard, fence) == 0 && bytes_.compare(kGuard + size_, kGuard, fence) == 0;
  }

 private:
  std::string bytes_;
  size_t size_;
};

// ---- Util_UrlUnencode ------------------------------------------------------

struct UrlCase {
  std::string in;
  std::string out;  // decoded bytes, possibly with zero bytes inside
};

const UrlCase kUrlCases[] = {
    {"a+b%20c", "a b c"},
    {"100%25", "100%"},
    {"%2B", "+"},
    {"+%2B+", " + "},
    {"plain/text?x=1", "plain/text?x=1"},
    {"", ""},
    {"%41%42", "AB"},
    {"%E9", "\xE9"},
    {"\xE9+", "\xE9 "},
    {"%%41", std::string("\x04") + "1"},  // '%' as a digit is 0
    {"a%00b", std::string("a\0b", 3)},
    // Lower-case hex digits decode like upper-case ones.
    {"%4a", "J"},
    {"%e9%fF", "\xE9\xFF"},
    // Other characters count as 0, but the escape still gives one byte.
    {"%G1", "\x01"},
    {"%:1", "\x01"},
    {"%1Z", "\x10"},
    {"%2G", " "},
    {"%zz!", std::string("\0!", 2)},
    {"%4+", "@"},
    // An escape cut short by the end of the string is dropped.
    {"%", ""},
    {"ab%", "ab"},
    {"ab%4", "ab"},
    {"%4", ""},
};

TEST(UrlUnencode, Table) {
  for (const UrlCase& c : kUrlCases) {
    Fenced buf(c.in);
    Util_UrlUnencode(buf.data());
    EXPECT_EQ(std::string(buf.data(), c.out.size() + 1), c.out + '\0') << "input: " << c.in;
    EXPECT_TRUE(buf.guards_intact()) << "input: " << c.in;
  }
}

TEST(UrlUnencode, StopsAtTerminatorBeforeInaccessiblePage) {
  GuardedString page;
  for (const UrlCase& c : kUrlCases) {
    char* s = page.place(c.in.data(), c.in.size());
    Util_UrlUnencode(s);
    EXPECT_EQ(std::string(s, c.out.size() + 1), c.out + '\0') << "input: " << c.in;
  }
}

// ---- Case folding ----------------------------------------------------------

TEST(Toupper, MatchesTheCLocaleForEveryByte) {
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(static_cast<unsigned char>(Util_toupper(static_cast<char>(c))), toupper(c)) << "byte " << c;
  }
  EXPECT_EQ(Util_toupper('a'), 'A');
  EXPECT_EQ(Util_toupper('z'), 'Z');
  for (char same : {'`', '{', '_', '@', '[', 'A', '\xE9'}) EXPECT_EQ(Util_toupper(same), same);
}

TEST(Strupr, FoldsOnlyAsciiLetters) {
  Fenced buf("Hello, World! \xE9z`{_a");
  Util_strupr(buf.data());
  EXPECT_STREQ(buf.data(), "HELLO, WORLD! \xE9Z`{_A");
  EXPECT_TRUE(buf.guards_intact());
}

// ---- Util_stristr ----------------------------------------------------------

struct StristrCase {
  const char* haystack;
  const char* needle;
  int offset;  // -1: null
};

const StristrCase kStristrCases[] = {
    {"Hello World", "WORLD", 6},
    {"aab", "ab", 1},
    {"ab", "abc", -1},
    {"abc", "", -1},
    {"", "a", -1},
    {"", "", -1},
    {"HTTP/1.0 200 OK\r\ncontent-length: 5\r\n", "CONTENT-LENGTH:", 17},
    {"abcabd", "ABD", 3},
    {"aaa", "aaaa", -1},
    {"zzZ", "Z", 0},
    {"xZ", "z", 1},
    {"a_b", "A_B", 0},
    {"[x]", "{X}", -1},      // only letters fold
    {"x\xE9y", "\xC9", -1},  // 0xE9 is not a letter
    {"x\xE9y", "\xE9Y", 1},
    {"abcab", "abx", -1},  // partial match running into the terminator
    {"abcab", "cab", 2},
};

TEST(Stristr, Table) {
  for (const StristrCase& c : kStristrCases) {
    const char* found = Util_stristr(c.haystack, c.needle);
    const char* expected = c.offset < 0 ? nullptr : c.haystack + c.offset;
    EXPECT_EQ(found, expected) << c.haystack << " / " << c.needle;
  }
}

TEST(Stristr, StopsAtTerminatorBeforeInaccessiblePage) {
  GuardedString page;
  for (const StristrCase& c : kStristrCases) {
    const char* haystack = page.place(c.haystack, strlen(c.haystack));
    const char* found = Util_stristr(haystack, c.needle);
    EXPECT_EQ(found, c.offset < 0 ? nullptr : haystack + c.offset) << c.haystack << " / " << c.needle;
  }
}

// ---- Util_strnicmp ---------------------------------------------------------

struct StrnicmpCase {
  std::string first;
  std::string second;
  unsigned count;
  int result;
};

const StrnicmpCase kStrnicmpCases[] = {
    {"abc", "ABD", 3, -1},
    {"abc", "abd", 2, 0},
    {"abc", "ABC", 10, 0},
    {"a", "", 1, 65},
    {"_", "a", 1, 30},  // fold to upper: '_' orders after letters
    {"`", "A", 1, 31},
    {"Z", "a", 1, 25},
    {"[", "{", 1, -32},
    {"\xE9", "A", 1, -88},  // bytes 0x80..0xFF are negative
    {"A", "\xE9", 1, 88},
    {"\x80", "", 1, -128},
    {"abc", "abcd", 10, -68},
    {"abc", "abcd", 3, 0},
    {std::string("a\0x", 3), std::string("a\0y", 3), 3, 0},  // stops at the terminator
    {"x", "y", 0, 0},
};

TEST(Strnicmp, Table) {
  for (const StrnicmpCase& c : kStrnicmpCases) {
    EXPECT_EQ(Util_strnicmp(c.first.c_str(), c.second.c_str(), c.count), c.result)
        << c.first << " / " << c.second << " / " << c.count;
  }
}

TEST(Strnicmp, CountZeroReadsNothing) {
  GuardedString page;
  const char* unreadable = page.place("", 0) + 1;
  EXPECT_EQ(Util_strnicmp(unreadable, unreadable, 0), 0);
}

// ---- Util_wildcmp ----------------------------------------------------------

struct WildCase {
  const char* pattern;
  const char* text;
  int result;
};

const WildCase kWildCases[] = {
    {"*", "", 1},
    {"", "", 1},
    {"", "a", 0},
    {"a*c", "abbbc", 1},
    {"a?c", "abc", 1},
    {"a?c", "ac", 0},
    {"*.txt", "x.TXT", 0},
    {"a*b*c", "aXbYbZc", 1},
    {"*ab", "aab", 1},
    {"?", "", 0},
    {"**", "x", 1},
    {"a*", "a", 1},
    {"x?", "x?", 1},
    {"?", "*", 1},
    {"*", "*", 1},
    {"a*b", "ab", 1},
    {"a*b", "abX", 0},
    {"a*b", "abbXb", 1},
    {"*a", "ba", 1},
    {"a*", "ba", 0},
    {"*?", "", 0},
    {"?*?", "ab", 1},
    {"?*?", "a", 0},
    {"*x*", "abc", 0},
    {"a*a*a", "aaaa", 1},
    {"a*a*a", "aa", 0},
    {"*ab*cd", "abXabYcd", 1},
    {"**a**", "a", 1},
    {"abc", "abd", 0},
    {"ab?", "ab", 0},
    {"*aab", "aaab", 1},
    {"*?b", "ab", 1},
    {"*a?", "xa", 0},
    {"*.txt", "notes.txt", 1},
};

TEST(Wildcmp, Table) {
  GuardedString pattern_page, text_page;
  for (const WildCase& c : kWildCases) {
    char* pattern = pattern_page.place(c.pattern, strlen(c.pattern));
    char* text = text_page.place(c.text, strlen(c.text));
    EXPECT_EQ(Util_wildcmp(pattern, text), c.result) << c.pattern << " / " << c.text;
    EXPECT_EQ(Util_wildcmp(c.pattern, c.text), c.result) << "read-only: " << c.pattern << " / " << c.text;
    EXPECT_STREQ(pattern, c.pattern);
    EXPECT_STREQ(text, c.text);
  }
}

// ---- Util_itoa -------------------------------------------------------------

struct ItoaCase {
  int value;
  int base;
  const char* text;
};

const ItoaCase kItoaCases[] = {
    {0, 40, ""},
    {123, 0, "123"},
    {0, 0, "0"},
    {255, 16, "FF"},
    {-255, 16, "-FF"},
    {-1, 2, "-1"},
    {34, 35, "Y"},
    {35, 36, ""},
    {5, -2, ""},
    {5, INT_MIN, ""},
    {INT_MAX, 2, "1111111111111111111111111111111"},
    {INT_MIN, 10, "-2147483648"},
    {INT_MIN, 16, "-80000000"},
    {INT_MIN, 8, "-20000000000"},
    {INT_MIN, 2, "-10000000000000000000000000000000"},
    {INT_MIN, 35, "-15V22UN"},
    {INT_MAX, 35, "15V22UM"},
    {100, 3, "10201"},
    {-7, 10, "-7"},
    {9, 10, "9"},
    {10, 10, "10"},
    {99999, 10, "99999"},
    {1000000000, 10, "1000000000"},
    {0, 35, "0"},
    // The two-digit loops end on exactly 100 and exactly 256.
    {100, 10, "100"},
    {256, 16, "100"},
    {0x100FF, 16, "100FF"},
    {0x1000000, 16, "1000000"},
    // Base 1 formats only 0; every other value gives an empty string.
    {0, 1, "0"},
    {5, 1, ""},
    {-5, 1, ""},
    {INT_MIN, 1, ""},
};

TEST(Itoa, Table) {
  for (const ItoaCase& c : kItoaCases) {
    Fenced buf(std::string(kItoaWorstCase, 'x'), kItoaWorstCase);
    EXPECT_EQ(Util_itoa(c.value, buf.data(), c.base), buf.data());
    EXPECT_STREQ(buf.data(), c.text) << c.value << " base " << c.base;
    EXPECT_TRUE(buf.guards_intact()) << c.value << " base " << c.base;
  }
}

// ---- Util_Base64Encode -----------------------------------------------------

struct Base64Case {
  const char* source;
  const char* encoded;
};

const Base64Case kBase64Cases[] = {
    {"Man", "TWFu"},          {"a", "YQ=="}, {"ab", "YWI="},       {"abcd", "YWJjZA=="},
    {"\xFF\xFE\x80", "//6A"}, {"", ""},      {"\xFB\xFF", "+/8="}, {"foobar", "Zm9vYmFy"},
};

size_t Base64Room(size_t n) { return 4 * ((n + 2) / 3) + 1; }

TEST(Base64Encode, Table) {
  for (const Base64Case& c : kBase64Cases) {
    Fenced out("", Base64Room(strlen(c.source)));
    Util_Base64Encode(c.source, out.data());  // the read-only overload
    EXPECT_STREQ(out.data(), c.encoded);
    EXPECT_TRUE(out.guards_intact()) << c.source;
  }
}

TEST(Base64Encode, StopsAtFirstZeroByte) {
  char source[] = "ab\0cd";
  Fenced out("", Base64Room(2));
  Util_Base64Encode(source, out.data());
  EXPECT_STREQ(out.data(), "YWI=");
  EXPECT_TRUE(out.guards_intact());
}

TEST(Base64Encode, LooksUpTheTableAtEveryCall) {
  static const char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
  char* const loaded = Base64Encoding;
  char out[16];
  Base64Encoding = const_cast<char*>(kUrlSafe);
  Util_Base64Encode(const_cast<char*>("\xFB\xFF"), out);
  Base64Encoding = loaded;
  EXPECT_STREQ(out, "-_8.");
  Util_Base64Encode(const_cast<char*>("\xFB\xFF"), out);
  EXPECT_STREQ(out, "+/8=");
}

// ---- Nicknames, '%' replacement, reversal ----------------------------------

TEST(ContainsInvalidNickChars, Table) {
  const struct {
    const char* name;
    int result;
  } cases[] = {
      {"Player_1", 0}, {"[AB]cd_9", 0}, {"", 0},  {"John Doe", 1}, {"a.b", 1}, {"ab\xE9", 1}, {"x-y", 1}, {"{a}", 1},
      {"a\\b", 1},     {"a^", 1},       {"`", 1}, {"\t", 1},       {"(1)", 1}, {"a=b", 1},    {"$", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(ContainsInvalidNickChars(c.name), c.result) << c.name;  // read-only overload
  EXPECT_EQ(
      ContainsInvalidNickChars(const_cast<char*>("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz[]_")),
      0);
}

TEST(ContainsInvalidNickChars, EveryByteAgainstTheSet) {
  const std::string allowed = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz[]_";
  ASSERT_EQ(allowed.size(), 65u);
  for (int c = 1; c < 256; ++c) {
    char name[] = {'a', static_cast<char>(c), 'b', 0};
    const int expected = allowed.find(static_cast<char>(c)) == std::string::npos ? 1 : 0;
    EXPECT_EQ(ContainsInvalidNickChars(name), expected) << "byte " << c;
  }
}

TEST(ReplaceBadChars, Table) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"100% %s %%", "100? ?s ??"}, {"", ""}, {"\xE9%", "\xE9?"}, {"no percent", "no percent"}};
  for (const auto& c : cases) {
    Fenced buf(c.in);
    ReplaceBadChars(buf.data());
    EXPECT_STREQ(buf.data(), c.out);
    EXPECT_TRUE(buf.guards_intact()) << c.in;
  }
}

TEST(Strrev, Table) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"abc", "cba"}, {"ab", "ba"}, {"a", "a"}, {"", ""}, {"abcd", "dcba"}, {"\xE9x", "x\xE9"}};
  for (const auto& c : cases) {
    Fenced buf(c.in);
    EXPECT_EQ(Util_strrev(buf.data()), buf.data());
    EXPECT_STREQ(buf.data(), c.out);
    EXPECT_TRUE(buf.guards_intact()) << c.in;
  }
  EXPECT_EQ(Util_strrev(nullptr), nullptr);
}

// ---- CanFileBeOpenedForReading ---------------------------------------------

TEST(CanFileBeOpenedForReading, ExistingMissingAndUnreadable) {
  char path[] = "/tmp/util_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(CanFileBeOpenedForReading(path), 1);
  if (geteuid() != 0) {  // root opens anything
    chmod(path, 0);
    EXPECT_EQ(CanFileBeOpenedForReading(path), 0);
  }
  unlink(path);
  EXPECT_EQ(CanFileBeOpenedForReading(path), 0);
  EXPECT_EQ(CanFileBeOpenedForReading(""), 0);
  EXPECT_EQ(CanFileBeOpenedForReading("/dev/null"), 1);  // the read-only overload
}

}  // namespace
