// String, URL and encoding utilities.
#include "util/runutil.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char kBase64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kBase64Pad = 64;

// True if c lies in the count characters from first on.
constexpr bool in_range(unsigned c, unsigned first, unsigned count) { return c - first < count; }

// The ASCII upper-case fold; the locale never takes part.
constexpr unsigned char fold(unsigned char c) { return in_range(c, 'a', 26) ? c - 32 : c; }

// Escape digits: '0'..'9', 'A'..'F' and 'a'..'f' give their hex value; any
// other character gives 0, so a malformed escape still yields one defined byte.
constexpr unsigned hex_value(unsigned char c) {
  return in_range(c, '0', 10) ? c - '0' : in_range(c, 'A', 6) ? c - 'A' + 10 : in_range(c, 'a', 6) ? c - 'a' + 10 : 0;
}

// hex_value of every byte.
struct HexTable {
  unsigned char value[256];
};

constexpr HexTable MakeHexTable() {
  HexTable t{};
  for (unsigned c = 0; c < 256; ++c) t.value[c] = static_cast<unsigned char>(hex_value(static_cast<unsigned char>(c)));
  return t;
}

constexpr HexTable kHex = MakeHexTable();

}  // namespace

char* Base64Encoding = const_cast<char*>(kBase64Table);

// Bytes above '+' (letters, digits and most punctuation) are copied on the
// first branch; '%', '+', the terminator and the few other bytes up to '+'
// take the slower way. Nothing changes before the first '%' or '+', so that
// part is only scanned, not rewritten.
void Util_UrlUnencode(char* text) {
  unsigned char* in = reinterpret_cast<unsigned char*>(text);
  for (;; ++in) {
    const unsigned char c = *in;
    if (c > '+') continue;
    if (c == '%' || c == '+') break;
    if (!c) return;
  }
  unsigned char* out = in;
  for (;; ++in) {
    unsigned char c = *in;
    if (c <= '+') {
      if (c == '%') {
        // An escape cut short by the end of the string is dropped; checking
        // in[1] first keeps the read of in[2] within the string.
        if (!in[1] || !in[2]) break;
        c = static_cast<unsigned char>(kHex.value[in[1]] << 4 | kHex.value[in[2]]);
        in += 2;
      } else if (c == '+') {
        c = ' ';
      } else if (!c) {
        break;
      }
    }
    *out++ = c;
  }
  *out = 0;
}

char Util_toupper(char c) { return static_cast<char>(fold(static_cast<unsigned char>(c))); }

void Util_strupr(char* text) {
  for (; *text; ++text) *text = Util_toupper(*text);
}

namespace {

// The fold of every byte, twice. The second copy differs only at 0, where it
// holds 'a', a value no fold gives: looking the first string's byte up in
// the first copy and the second string's in the second, a pair compares
// equal only when both folds are equal and not the terminator, so one
// comparison per position covers the difference and both terminators.
struct FoldTables {
  unsigned char first[256];
  unsigned char second[256];
};

constexpr FoldTables MakeFoldTables() {
  FoldTables t{};
  for (unsigned c = 0; c < 256; ++c) t.first[c] = t.second[c] = fold(static_cast<unsigned char>(c));
  t.second[0] = 'a';
  return t;
}

constexpr FoldTables kFold = MakeFoldTables();

// The result at a position where the two table entries differ: 0 when both
// bytes are terminators, else the difference of the folds as signed bytes.
inline int fold_difference(unsigned char a, unsigned char b) {
  return static_cast<signed char>(kFold.first[a]) - static_cast<signed char>(kFold.first[b]);
}

// Whether the needle's bytes from b on match the haystack's from a on,
// compared as in Util_strnicmp with the needle's bytes looked up in the
// second table: the comparison stops at the first unequal pair, at the
// haystack's terminator or at the needle's, which is the match. Kept out of
// line so that the scan for the first byte keeps its few values in registers.
__attribute__((noinline)) bool rest_matches(const unsigned char* a, const unsigned char* b) {
  while (kFold.first[*a] == kFold.second[*b]) ++a, ++b;
  return !*b;
}

}  // namespace

// Leftmost occurrence, as a scan of every start position would find it; the
// first needle byte's fold is looked for directly before the rest of the
// needle is compared.
char* Util_stristr(const char* haystack, const char* needle) {
  const unsigned char first = kFold.first[static_cast<unsigned char>(*needle)];
  if (!first) return nullptr;
  const unsigned char* rest = reinterpret_cast<const unsigned char*>(needle) + 1;
  for (const unsigned char* h = reinterpret_cast<const unsigned char*>(haystack);; ++h) {
    const unsigned char c = *h;
    if (kFold.first[c] != first) {
      if (!c) return nullptr;
    } else if (rest_matches(h + 1, rest)) {
      return reinterpret_cast<char*>(const_cast<unsigned char*>(h));
    }
  }
}

// Four positions per step while the count allows, then one at a time. Each
// position is read only after every earlier one held no terminator in either
// string, so neither string is read past its terminator or the count.
int Util_strnicmp(const char* first, const char* second, unsigned int count) {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(first);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(second);
  for (unsigned blocks = count / 4; blocks; --blocks, a += 4, b += 4) {
    if (kFold.first[a[0]] != kFold.second[b[0]]) return fold_difference(a[0], b[0]);
    if (kFold.first[a[1]] != kFold.second[b[1]]) return fold_difference(a[1], b[1]);
    if (kFold.first[a[2]] != kFold.second[b[2]]) return fold_difference(a[2], b[2]);
    if (kFold.first[a[3]] != kFold.second[b[3]]) return fold_difference(a[3], b[3]);
  }
  for (unsigned rest = count % 4; rest; --rest, ++a, ++b)
    if (kFold.first[*a] != kFold.second[*b]) return fold_difference(*a, *b);
  return 0;
}

// Greedy match with one resume point: after a mismatch the last '*' is made
// to swallow one more text character, which suffices for '*' and '?' alone.
int Util_wildcmp(char* pattern, char* text) {
  const char* p = pattern;
  const char* t = text;
  while (*t && *p != '*') {
    if (*p != *t && *p != '?') return 0;
    ++p, ++t;
  }
  const char* resume = nullptr;  // pattern position after the last '*'
  const char* retry = nullptr;   // text position that '*' swallows up to next
  while (*t) {
    if (*p == '*') {
      if (!*++p) return 1;
      resume = p;
      retry = t + 1;
    } else if (*p == *t || *p == '?') {
      ++p, ++t;
    } else {
      p = resume;
      t = retry++;
    }
  }
  while (*p == '*') ++p;
  return !*p;
}

namespace {

constexpr char digit_char(uint32_t d) { return static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10); }

// Digit characters for every base up to 35, two-digit groups for bases 10
// and 16, and the powers of ten that settle a decimal length.
struct DigitTables {
  char digits[36];
  char decimal_pairs[200];  // "00" to "99"
  char hex_pairs[512];      // "00" to "FF"
  uint32_t powers_of_ten[10];
};

constexpr DigitTables MakeDigitTables() {
  DigitTables t{};
  for (uint32_t d = 0; d < 36; ++d) t.digits[d] = digit_char(d);
  for (uint32_t n = 0; n < 100; ++n) {
    t.decimal_pairs[2 * n] = digit_char(n / 10);
    t.decimal_pairs[2 * n + 1] = digit_char(n % 10);
  }
  for (uint32_t n = 0; n < 256; ++n) {
    t.hex_pairs[2 * n] = digit_char(n >> 4);
    t.hex_pairs[2 * n + 1] = digit_char(n & 15);
  }
  uint32_t power = 1;
  for (int i = 0; i < 10; ++i, power *= 10) t.powers_of_ten[i] = power;
  return t;
}

constexpr DigitTables kDigits = MakeDigitTables();

// Each writer puts the digits of v at out, most significant first, and the
// terminator after them; the length is settled first, so nothing past the
// terminator is written.

void write_decimal(uint32_t v, char* out) {
  // v | 1 makes 0 one digit long and changes no other length (every power
  // of ten from 10 on is even). bits * 1233 / 4096 is the length minus one,
  // or the length when the value reaches the next power of ten.
  const uint32_t w = v | 1;
  const uint32_t estimate = (32 - __builtin_clz(w)) * 1233 >> 12;
  char* p = out + estimate + (w >= kDigits.powers_of_ten[estimate]);
  *p = 0;
  while (v >= 100) {
    const uint32_t q = v / 100;
    p -= 2;
    memcpy(p, &kDigits.decimal_pairs[2 * (v - q * 100)], 2);
    v = q;
  }
  if (v >= 10)
    memcpy(p - 2, &kDigits.decimal_pairs[2 * v], 2);
  else
    p[-1] = static_cast<char>('0' + v);
}

void write_hex(uint32_t v, char* out) {
  char* p = out + (35 - __builtin_clz(v | 1)) / 4;
  *p = 0;
  while (v >= 256) {
    p -= 2;
    memcpy(p, &kDigits.hex_pairs[2 * (v & 255)], 2);
    v >>= 8;
  }
  if (v >= 16)
    memcpy(p - 2, &kDigits.hex_pairs[2 * v], 2);
  else
    p[-1] = kDigits.digits[v];
}

// v is not 0.
void write_power_of_two(uint32_t v, unsigned shift, char* out) {
  const unsigned bits = 32 - __builtin_clz(v);
  char* p = out + (bits + shift - 1) / shift;
  *p = 0;
  const uint32_t mask = (1u << shift) - 1;
  do *--p = kDigits.digits[v & mask];
  while (v >>= shift);
}

// Least significant digit first, then reversed in place.
void write_any_base(uint32_t v, uint32_t base, char* out) {
  char* p = out;
  do *p++ = kDigits.digits[v % base];
  while (v /= base);
  *p = 0;
  for (--p; out < p; ++out, --p) {
    const char t = *out;
    *out = *p;
    *p = t;
  }
}

}  // namespace

// Bases above 35 (and so every negative base) give an empty string. Base 1
// has no positional digits: it formats 0 as "0" and refuses every other
// value with an empty string, so the call ends and writes at most 2 bytes.
char* Util_itoa(int value, char* out, int base) {
  const uint32_t b = static_cast<uint32_t>(base);
  char* p = out;
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (b == 10 || b == 0) {
    if (value < 0) {
      *p++ = '-';
      magnitude = 0u - magnitude;
    }
    write_decimal(magnitude, p);
    return out;
  }
  if (b > 35 || (b == 1 && value != 0)) {
    *out = 0;
    return out;
  }
  if (value < 0) {
    *p++ = '-';
    magnitude = 0u - magnitude;
  }
  if (b == 16) {
    write_hex(magnitude, p);
  } else if (magnitude == 0) {
    p[0] = '0';
    p[1] = 0;
  } else if ((b & (b - 1)) == 0) {
    write_power_of_two(magnitude, __builtin_ctz(b), p);
  } else {
    write_any_base(magnitude, b, p);
  }
  return out;
}

namespace {

// Encodes the group at s, reading it byte by byte up to the source's end. A
// whole group moves s and out on and gives true; at the end of the source the
// last characters, the padding and the terminator are written and the result
// is false.
inline bool encode_group_checked(const unsigned char*& s, char*& out, const char* table) {
  const uint32_t a = s[0];
  if (!a) {
    *out = 0;
    return false;
  }
  out[0] = table[a >> 2];
  const uint32_t b = s[1];
  if (!b) {
    out[1] = table[(a & 3) << 4];
    out[2] = out[3] = table[kBase64Pad];
    out[4] = 0;
    return false;
  }
  out[1] = table[(a & 3) << 4 | b >> 4];
  const uint32_t c = s[2];
  if (!c) {
    out[2] = table[(b & 15) << 2];
    out[3] = table[kBase64Pad];
    out[4] = 0;
    return false;
  }
  out[2] = table[(b & 15) << 2 | c >> 6];
  out[3] = table[c & 63];
  s += 3;
  out += 4;
  return true;
}

}  // namespace

// The first eight groups (24 bytes) are encoded as they are read, so a short
// source costs no length scan. Beyond them the length is taken (the source
// ends at its first zero byte) and the whole groups are encoded without a
// test per byte, each read as four bytes (the fourth at most the terminator)
// and taken most significant byte first; the last bytes go through the
// checked encoder.
void Util_Base64Encode(char* source, char* out) {
  const char* table = Base64Encoding;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(source);
#pragma GCC unroll 8
  for (int group = 0; group < 8; ++group)
    if (!encode_group_checked(s, out, table)) return;
  const size_t rest = strlen(reinterpret_cast<const char*>(s));
  for (const unsigned char* const end = s + (rest - rest % 3); s != end; s += 3, out += 4) {
    uint32_t group;
    memcpy(&group, s, 4);
    group = __builtin_bswap32(group);
    out[0] = table[group >> 26];
    out[1] = table[group >> 20 & 63];
    out[2] = table[group >> 14 & 63];
    out[3] = table[group >> 8 & 63];
  }
  encode_group_checked(s, out, table);
}

int ContainsInvalidNickChars(char* name) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    const unsigned char c = *p;
    const bool valid = in_range(c, '0', 10) || in_range(fold(c), 'A', 26) || c == '[' || c == ']' || c == '_';
    if (!valid) return 1;
  }
  return 0;
}

void ReplaceBadChars(char* text) {
  for (; *text; ++text)
    if (*text == '%') *text = '?';
}

int CanFileBeOpenedForReading(char* path) {
  FILE* file = fopen(path, "r");
  if (!file) return 0;
  fclose(file);
  return 1;
}

char* Util_strrev(char* text) {
  if (!text) return nullptr;
  const size_t len = strlen(text);
  if (len < 2) return text;
  for (char *front = text, *back = text + len - 1; front < back; ++front, --back) {
    const char t = *front;
    *front = *back;
    *back = t;
  }
  return text;
}
