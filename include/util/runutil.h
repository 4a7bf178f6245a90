// String, URL and encoding utilities over zero-terminated 8-bit strings.
// Letter case is ASCII only and case-insensitive operations fold to upper
// case. Output buffers carry no size: each function states the room needed.
#pragma once

#include "core/export.h"

// The Base64 alphabet (64 characters, then the pad character), looked up at
// every call of Util_Base64Encode.
CORE_EXPORT extern char* Base64Encoding;

CORE_EXPORT void Util_UrlUnencode(char* text);
CORE_EXPORT char Util_toupper(char c);
CORE_EXPORT char* Util_stristr(const char* haystack, const char* needle);
CORE_EXPORT void Util_strupr(char* text);
CORE_EXPORT int Util_wildcmp(char* pattern, char* text);
CORE_EXPORT int Util_strnicmp(const char* first, const char* second, unsigned int count);
// out needs 34 bytes for any value and base.
CORE_EXPORT char* Util_itoa(int value, char* out, int base);
// out needs 4 * ceil(n / 3) + 1 bytes for a source of n bytes.
CORE_EXPORT void Util_Base64Encode(char* source, char* out);
CORE_EXPORT int ContainsInvalidNickChars(char* name);
CORE_EXPORT void ReplaceBadChars(char* text);
CORE_EXPORT int CanFileBeOpenedForReading(char* path);
CORE_EXPORT char* Util_strrev(char* text);
