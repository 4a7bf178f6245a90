// String, URL and encoding utilities over zero-terminated 8-bit strings.
// Letter case is ASCII only and case-insensitive operations fold to upper
// case. Every buffer belongs to the caller; nothing is allocated or kept.
// Output buffers carry no size: each function states the room needed, and
// the in-place functions never lengthen their string. Only Util_strrev
// accepts a null pointer. The functions report nothing but their results.
// Any number of threads may call them at once on distinct buffers. The
// functions that take a char* they only read accept read-only strings
// (literals, say) too, through the overloads below them
// (core_sdk/readonly_text.h). The functions that write into a string or an
// output buffer refuse a string literal at compile time (deleted overloads;
// a literal would otherwise pass as char* with only a warning, and writing
// it crashes). Those functions are overloaded, so taking one's address needs
// its type: static_cast<int (*)(char*, char*)>(&Util_wildcmp).
#pragma once

#include "core_sdk/export.h"
#include "core_sdk/readonly_text.h"

// Room for Util_itoa's output: 32 digits, a sign and the terminator.
constexpr int kUtilItoaBufferSize = 34;

// Room for Util_Base64Encode's output from a source of sourceLength bytes:
// four characters per started group of three bytes, and the terminator.
constexpr int UtilBase64BufferSize(int sourceLength) { return 4 * ((sourceLength + 2) / 3) + 1; }

// The Base64 alphabet (64 characters, then the pad character), looked up at
// every call of Util_Base64Encode; repointing it changes the alphabet. It is
// a plain pointer without any lock: repoint it (or change the table) only
// while no thread encodes.
CORE_EXPORT extern char* Base64Encoding;

// Decodes in place: '+' becomes a space and every '%' takes the two
// characters after it as one hex-coded byte.
CORE_EXPORT void Util_UrlUnencode(char* text);
template <typename Text, core_sdk_detail::IfReadOnly<Text> = 0>
void Util_UrlUnencode(Text text) = delete;  // writes its string: not a literal
CORE_EXPORT char Util_toupper(char c);
// The leftmost case-insensitive occurrence of needle in haystack, or null
// (also for an empty needle or haystack).
CORE_EXPORT char* Util_stristr(const char* haystack, const char* needle);
CORE_EXPORT void Util_strupr(char* text);
template <typename Text, core_sdk_detail::IfReadOnly<Text> = 0>
void Util_strupr(Text text) = delete;  // writes its string: not a literal
// 1 when the whole text matches the pattern ('*' any run, '?' one
// character, case-sensitive), else 0.
CORE_EXPORT int Util_wildcmp(char* pattern, char* text);
template <typename Pattern, typename Text, core_sdk_detail::IfText<Pattern, Text> = 0>
int Util_wildcmp(Pattern pattern, Text text) {
  return Util_wildcmp(core_sdk_detail::Unconst(pattern), core_sdk_detail::Unconst(text));
}
// Compares at most count characters ignoring case: 0 when equal, else the
// difference of the first unequal pair after folding to upper case.
CORE_EXPORT int Util_strnicmp(const char* first, const char* second, unsigned int count);
// Writes value in base 2 to 35 (0 means 10) into out, which holds
// kUtilItoaBufferSize bytes, and returns out; another base gives "".
CORE_EXPORT char* Util_itoa(int value, char* out, int base);
template <typename Out, core_sdk_detail::IfReadOnly<Out> = 0>
char* Util_itoa(int value, Out out, int base) = delete;
// Encodes source up to its first zero byte into out, which holds
// UtilBase64BufferSize(strlen(source)) bytes; padded with '=', no line
// breaks. The first zero byte ends the source: data that holds a 0 byte
// cannot be encoded whole.
CORE_EXPORT void Util_Base64Encode(char* source, char* out);
template <typename Source, core_sdk_detail::IfText<Source> = 0>
void Util_Base64Encode(Source source, char* out) {
  Util_Base64Encode(core_sdk_detail::Unconst(source), out);
}
template <typename Source, typename Out, core_sdk_detail::IfReadOnly<Out> = 0>
void Util_Base64Encode(Source source, Out out) = delete;
// 1 when the name holds a character other than 0-9, A-Z, a-z, '[', ']' or
// '_', else 0.
CORE_EXPORT int ContainsInvalidNickChars(char* name);
template <typename Name, core_sdk_detail::IfText<Name> = 0>
int ContainsInvalidNickChars(Name name) {
  return ContainsInvalidNickChars(core_sdk_detail::Unconst(name));
}
// Replaces every '%' with '?' in place.
CORE_EXPORT void ReplaceBadChars(char* text);
template <typename Text, core_sdk_detail::IfReadOnly<Text> = 0>
void ReplaceBadChars(Text text) = delete;  // writes its string: not a literal
// 1 when the file opens for reading, else 0 (the reason is not reported).
CORE_EXPORT int CanFileBeOpenedForReading(char* path);
template <typename Path, core_sdk_detail::IfText<Path> = 0>
int CanFileBeOpenedForReading(Path path) {
  return CanFileBeOpenedForReading(core_sdk_detail::Unconst(path));
}
// Reverses the string in place and returns it; null gives null.
CORE_EXPORT char* Util_strrev(char* text);
template <typename Text, core_sdk_detail::IfReadOnly<Text> = 0>
char* Util_strrev(Text text) = delete;  // writes its string: not a literal
