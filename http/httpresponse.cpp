// Response parsing: header terminator, header values, Content-Length, status
// code and content type. Every read stays within the given length or the
// header's NUL; values are copied into bounded local buffers before strtol
// so that it never reads past the value (strtol would skip a line feed).
#include "httpresponse.h"

#include <cstdlib>
#include <cstring>

#include "util/runutil.h"

namespace httpresponse {

namespace {

// First occurrence of `pattern` in data[0, length), or -1.
int FindBytes(const char* data, int length, const char* pattern, int patternLength) {
  for (int i = 0; i + patternLength <= length; ++i) {
    const void* hit = memchr(data + i, pattern[0], length - i);
    if (!hit) return -1;
    i = static_cast<int>(static_cast<const char*>(hit) - data);
    if (i + patternLength > length) return -1;
    if (memcmp(data + i, pattern, patternLength) == 0) return i;
  }
  return -1;
}

// A stored header holds at most 1023 characters, so any value fits whole.
constexpr int kValueCopySize = 1024;
constexpr int kMaxContentTypeValue = 256;

}  // namespace

int FindHeaderEnd(const char* data, int length, int* terminatorLength) {
  int end = FindBytes(data, length, "\r\n\r\n", 4);
  if (end >= 0) {
    *terminatorLength = 4;
    return end;
  }
  end = FindBytes(data, length, "\n\n", 2);
  if (end >= 0) *terminatorLength = 2;
  return end;
}

bool FindHeaderValue(const char* header, const char* name, const char** value, int* valueLength) {
  if (!header || !name) return false;
  const char* match = Util_stristr(header, name);
  if (!match) return false;
  const char* start = match + strlen(name);
  // One character (the space after the colon) is skipped, unless the header
  // already ends there.
  if (*start) ++start;
  const char* end = strchr(start, '\n');
  if (!end) end = start + strlen(start);
  *value = start;
  *valueLength = static_cast<int>(end - start);
  return true;
}

bool ReadContentLength(const char* header, long* contentLength) {
  const char* value;
  int length;
  if (!FindHeaderValue(header, "CONTENT-LENGTH:", &value, &length)) return false;
  if (length > 0 && value[length - 1] == '\r') --length;
  char copy[kValueCopySize];
  if (length > kValueCopySize - 1) length = kValueCopySize - 1;
  memcpy(copy, value, length);
  copy[length] = '\0';
  *contentLength = strtol(copy, nullptr, 10);
  return true;
}

int ReadStatusCode(const char* header, int headerLength) {
  char digits[4] = {0, 0, 0, 0};
  for (int i = 0; i < 3 && 9 + i < headerLength; ++i) digits[i] = header[9 + i];
  return static_cast<int>(strtol(digits, nullptr, 10));
}

bool HasHttpPrefix(const char* header) { return strncmp(header, "HTTP", 4) == 0; }

int ClassifyContentType(const char* header) {
  const char* value;
  int length;
  if (!FindHeaderValue(header, "CONTENT-TYPE:", &value, &length)) return 2;
  if (length > kMaxContentTypeValue) return 2;
  char copy[kMaxContentTypeValue + 1];
  memcpy(copy, value, length);
  copy[length] = '\0';
  if (strstr(copy, "text/html")) return 2;
  if (strstr(copy, "text/plain")) return 1;
  return 0;
}

}  // namespace httpresponse
