// The wildcard rule stated recursively ('*' any run, '?' one character, the
// whole text must match): an oracle for the iterative matcher. Exponential in
// the number of '*', so callers keep their inputs short.
#pragma once

inline bool WildcardMatches(const char* pattern, const char* text) {
  if (*pattern == '*') return WildcardMatches(pattern + 1, text) || (*text && WildcardMatches(pattern, text + 1));
  if (!*text) return !*pattern;
  return (*pattern == '?' || *pattern == *text) && WildcardMatches(pattern + 1, text + 1);
}
