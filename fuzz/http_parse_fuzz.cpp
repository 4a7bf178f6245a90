// The response parser's pure functions on arbitrary bytes: the terminator
// search against std::string::find, and the header-value readers on the
// header in front of it (or on the whole input as a NUL-terminated text).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/httpresponse.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const int length = static_cast<int>(size);
  const std::string all(bytes, size);

  int terminator = 0;
  const int end = httpresponse::FindHeaderEnd(bytes, length, &terminator);
  const size_t crlf = all.find("\r\n\r\n"), lflf = all.find("\n\n");
  if (crlf != std::string::npos) {
    Check(end == static_cast<int>(crlf) && terminator == 4);
  } else if (lflf != std::string::npos) {
    Check(end == static_cast<int>(lflf) && terminator == 2);
  } else {
    Check(end == -1);
  }

  // An exact-size copy, so that any read past the NUL is caught.
  const size_t textLength = end >= 0 ? static_cast<size_t>(end) : size;
  std::vector<char> header(bytes, bytes + textLength);
  header.push_back('\0');
  const char* text = header.data();
  const int visible = static_cast<int>(strlen(text));

  long contentLength = 0;
  httpresponse::ReadContentLength(text, &contentLength);
  const int code = httpresponse::ReadStatusCode(text, static_cast<int>(textLength));
  Check(code >= -99 && code <= 999);
  const int type = httpresponse::ClassifyContentType(text);
  Check(type >= 0 && type <= 2);
  httpresponse::HasHttpPrefix(text);

  // A name taken from the header itself: its first line's first word.
  std::string name(text, strcspn(text, " \r\n"));
  const char* value = nullptr;
  int valueLength = -1;
  if (httpresponse::FindHeaderValue(text, name.c_str(), &value, &valueLength)) {
    Check(value >= text && valueLength >= 0 && value + valueLength <= text + visible);
    Check(memchr(value, '\n', valueLength) == nullptr);
  }
  return 0;
}
