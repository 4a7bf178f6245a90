// The response parser's pure functions, fed directly.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "http/httpresponse.h"
#include "tests/util_guard_page.h"

namespace {

using namespace httpresponse;

struct HeaderEndCase {
  std::string data;
  int length;  // bytes searched; -1: all of data
  int end;
  int terminator;
};

TEST(HttpParse, FindHeaderEnd) {
  const HeaderEndCase cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\nbody", -1, 15, 4},
      {"HTTP/1.0 200 OK\n\nbody", -1, 15, 2},
      {"A\n\nB\r\n\r\nC", -1, 4, 4},  // CR LF CR LF anywhere wins
      {"A\r\n\nB", -1, 2, 2},         // CR LF LF: the LF LF
      {"A\r\n\r", -1, -1, 0},
      {"HTTP/1.0 200 OK\r\n", -1, -1, 0},  // a line no terminator follows yet
      {"HTTP/1.0 200 OK\nServer: x", -1, -1, 0},
      {"", -1, -1, 0},
      {"\n\n", -1, 0, 2},
      {"\r\n\r\n", -1, 0, 4},
      {std::string("A\0B\r\n\r\n", 7), -1, 3, 4},  // NUL bytes are data
      {"AB\r\n\r\n", 5, -1, 0},                    // one byte short of the terminator
      {"AB\n\n\r\n\r\n", 7, 2, 2},                 // the later CR LF CR LF lies beyond the length
  };
  GuardedString page;  // the searched bytes end just before an inaccessible page
  for (const HeaderEndCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    int terminator = 0;
    int length = c.length < 0 ? static_cast<int>(c.data.size()) : c.length;
    EXPECT_EQ(FindHeaderEnd(page.place(c.data.data(), static_cast<size_t>(length)), length, &terminator), c.end);
    if (c.end >= 0) {
      EXPECT_EQ(terminator, c.terminator);
    }
  }
}

struct ContentLengthCase {
  const char* header;
  bool found;
  long value;
};

TEST(HttpParse, ReadContentLength) {
  // The value is read from its first 1023 characters.
  const std::string longest = "HTTP/1.0 200 OK\r\nContent-Length: " + std::string(1020, '0') + "345";
  const std::string tooLong = "HTTP/1.0 200 OK\r\nContent-Length: " + std::string(1021, '0') + "345";
  const ContentLengthCase cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 5", true, 5},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nServer: x", true, 5},
      {"HTTP/1.0 200 OK\r\ncontent-length: 42", true, 42},
      {"HTTP/1.0 200 OK\r\nContent-Length:123", true, 23},  // first digit skipped
      {"HTTP/1.0 200 OK\r\nContent-Length:\t 77", true, 77},
      {"HTTP/1.0 200 OK\r\nContent-Length: \n 9", true, 0},  // the value ends at the LF
      {"HTTP/1.0 200 OK\r\nContent-Length:", true, 0},       // header ends before the value
      {"HTTP/1.0 200 OK\nContent-Length:\r", true, 0},       // a CR alone after the colon
      {"HTTP/1.0 200 OK\r\nContent-Length: x12", true, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: -4", true, -4},
      {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999", true, LONG_MAX},
      {"HTTP/1.0 200 OK\r\nX-Content-Length: 8", true, 8},  // inside a longer name
      {"HTTP/1.0 200 OK\r\nContent-Type: text/html", false, 0},
      {longest.c_str(), true, 345},
      {tooLong.c_str(), true, 34},
  };
  for (const ContentLengthCase& c : cases) {
    SCOPED_TRACE(c.header);
    long value = -12345;
    EXPECT_EQ(ReadContentLength(c.header, &value), c.found);
    if (c.found) {
      EXPECT_EQ(value, c.value);
    }
  }
}

struct StatusCase {
  const char* header;
  int length;
  int code;
};

TEST(HttpParse, ReadStatusCode) {
  const StatusCase cases[] = {
      {"HTTP/1.0 200 OK", 15, 200}, {"HTTP/1.1 404 Not Found", 22, 404}, {"HTTP", 4, 0},
      {"HTTP/1.0 2", 10, 2},        {"HTTP/1.0 200 OK", 10, 2},  // characters beyond the header's length do not count
      {"HTTP/1.0  42", 12, 42},                                  // strtol skips the leading space
      {"HTTP/2 200 OK", 13, 0},     {"HTTP/1.0 2001", 13, 200},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(ReadStatusCode(c.header, c.length), c.code);
  }
}

TEST(HttpParse, HasHttpPrefix) {
  EXPECT_TRUE(HasHttpPrefix("HTTP"));
  EXPECT_TRUE(HasHttpPrefix("HTTP/1.0 200 OK"));
  EXPECT_FALSE(HasHttpPrefix("http/1.0 200 OK"));
  EXPECT_FALSE(HasHttpPrefix("HTT"));
  EXPECT_FALSE(HasHttpPrefix(""));
  EXPECT_FALSE(HasHttpPrefix(" HTTP"));
}

struct ContentTypeCase {
  std::string header;
  int type;
};

TEST(HttpParse, ClassifyContentType) {
  const std::string head = "HTTP/1.0 200 OK\r\n";
  const std::string value256 = "text/plain" + std::string(246, ';');
  const ContentTypeCase cases[] = {
      {head + "Content-Type: text/html; charset=utf-8\r\nServer: x", 2},
      {head + "Content-Type: TEXT/HTML; charset=utf-8", 0},
      {head + "content-type: text/plain", 1},
      {head + "Content-Type: text/plain; text/html", 2},
      {head + "Content-Type: image/png", 0},
      {head + "Content-Type:", 0},
      {head + "Server: x", 2},
      {head + "Content-Type: " + value256, 1},               // 256 characters: still read
      {head + "Content-Type: " + value256 + ";", 2},         // 257: too long
      {head + "Content-Type: " + value256 + "\r\nX: y", 2},  // the CR counts
  };
  for (const ContentTypeCase& c : cases) {
    SCOPED_TRACE(c.header.substr(0, 80));
    EXPECT_EQ(ClassifyContentType(c.header.c_str()), c.type);
  }
  // A value is read alone: a longer one read just before leaves nothing that counts.
  const std::string longer = head + "Content-Type: application/x; q=text/html", shorter = head + "Content-Type: a";
  const int types[] = {ClassifyContentType(longer.c_str()), ClassifyContentType(shorter.c_str())};
  EXPECT_EQ(types[0], 2);
  EXPECT_EQ(types[1], 0);
}

TEST(HttpParse, FindHeaderValue) {
  const char* header = "HTTP/1.0 200 OK\r\nServer: nginx\r\nETag: \"a\"";
  const char* value = nullptr;
  int length = -1;
  ASSERT_TRUE(FindHeaderValue(header, "server:", &value, &length));
  EXPECT_EQ(std::string(value, length), "nginx\r");
  ASSERT_TRUE(FindHeaderValue(header, "ETag:", &value, &length));
  EXPECT_EQ(std::string(value, length), "\"a\"");
  ASSERT_TRUE(FindHeaderValue(header, "\"a\"", &value, &length));  // at the very end
  EXPECT_EQ(length, 0);
  EXPECT_FALSE(FindHeaderValue(header, "Date:", &value, &length));
  EXPECT_FALSE(FindHeaderValue(header, "", &value, &length));
  EXPECT_FALSE(FindHeaderValue(header, nullptr, &value, &length));
  EXPECT_FALSE(FindHeaderValue(nullptr, "Server:", &value, &length));
}

}  // namespace
