// CHttpClient from core.so against scripted loopback servers: the request
// texts, the reception rules, the error codes and the socket's lifecycle.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/httpclient.h"
#include "tests/http_server.h"
#include "tests/http_test_support.h"
#include "tests/soak_support.h"

// The client's name lookup through the dynamic linker, interposed here: while
// armed it reports ERANGE for working storage below lookupNeeds bytes and
// records the sizes it was offered.
namespace {
std::atomic<size_t> lookupNeeds{0};
size_t lookupSizes[16];
std::atomic<int> lookupCalls{0};
}  // namespace

extern "C" int gethostbyname_r(const char* name, hostent* entry, char* storage, size_t size, hostent** result,
                               int* error) {
  using Lookup = int (*)(const char*, hostent*, char*, size_t, hostent**, int*);
  static const Lookup next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "gethostbyname_r"));
  if (lookupNeeds == 0) return next(name, entry, storage, size, result, error);
  const int call = lookupCalls++;
  if (call < 16) lookupSizes[call] = size;
  if (size >= lookupNeeds) return next(name, entry, storage, size, result, error);
  // A real lookup may use all the storage it is offered before it finds it
  // too small: a size announced larger than the storage shows here.
  memset(storage, 0x5A, size);
  *result = nullptr;
  *error = NETDB_INTERNAL;
  return ERANGE;
}

namespace {

using http_test::Get;

constexpr int kMaxStoredBody = kHttpBodySize - 1;      // 63999
constexpr int kMaxStoredHeader = kHttpHeaderSize - 1;  // 1023

std::unique_ptr<CHttpClient> NewClient() { return std::make_unique<CHttpClient>(); }

// ProcessURL with string arguments; a null pointer stays null.
int Fetch(CHttpClient& client, int type, std::string url, const char* data = nullptr, const char* referer = nullptr) {
  std::string dataCopy = data ? data : "", refererCopy = referer ? referer : "";
  return client.ProcessURL(type, &url[0], data ? &dataCopy[0] : nullptr, referer ? &refererCopy[0] : nullptr);
}

// Marks the response side so a test can see that a failed reception left it alone.
void MarkResponseSide(CHttpClient& client) {
  strcpy(client.szResponseHeader, "previous header");
  client.iResponseHeaderLength = 15;
  strcpy(client.szResponseBody, "previous body");
  client.iResponseBodyLength = 13;
  client.iResponseCode = 777;
  client.iContentType = 1;
}

void ExpectResponseSideMarked(const CHttpClient& client) {
  EXPECT_STREQ(client.szResponseHeader, "previous header");
  EXPECT_EQ(Get(client.iResponseHeaderLength), 15);
  EXPECT_STREQ(client.szResponseBody, "previous body");
  EXPECT_EQ(Get(client.iResponseBodyLength), 13);
  EXPECT_EQ(Get(client.iResponseCode), 777);
  EXPECT_EQ(Get(client.iContentType), 1);
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

const std::string kOk = "HTTP/1.0 200 OK\r\n\r\n";

// ---------------------------------------------------------------------------

struct RequestCase {
  const char* name;
  int type;
  const char* path;  // appended to "127.0.0.1:<port>"
  const char* data;
  const char* referer;
  const char* expected;
};

TEST(HttpClientRequest, TextsAreExact) {
  const std::string referer255(kHttpMaxReferer, 'r');
  const std::string referer255Text = "GET / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://" +
                                     referer255 + "\r\nHost: 127.0.0.1\r\n\r\n";
  const RequestCase cases[] = {
      {"GET with query and referer", HTTP_GET, "/index.html?a=1&b=2", nullptr, "ref.example.test/page",
       "GET /index.html?a=1&b=2 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\n"
       "Referer: http://ref.example.test/page\r\nHost: 127.0.0.1\r\n\r\n"},
      {"HEAD, null referer", HTTP_HEAD, "/x", nullptr, nullptr,
       "HEAD /x HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n\r\n"},
      {"POST with data", HTTP_POST, "/form", "a=1&b=%20", "r",
       "POST /form HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://r\r\nHost: 127.0.0.1\r\n"
       "Content-type: application/x-www-form-urlencoded\r\nContent-length: 9\r\n\r\na=1&b=%20"},
      {"POST without data", HTTP_POST, "/form", "", nullptr,
       "POST /form HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n"
       "Content-type: application/x-www-form-urlencoded\r\nContent-length: 0\r\n\r\n"},
      {"URL without a slash", HTTP_GET, "", nullptr, "",
       "GET / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n\r\n"},
      {"GET ignores data", HTTP_GET, "/g", "ignored", nullptr,
       "GET /g HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n\r\n"},
      // Only control characters are refused: spaces and bytes above 0x7F go as they stand, and so does
      // the POST body, line breaks and all.
      {"spaces and high bytes", HTTP_GET, "/a b\x80\xFF", nullptr, "r e\xE9",
       "GET /a b\x80\xFF HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://r e\xE9\r\n"
       "Host: 127.0.0.1\r\n\r\n"},
      {"POST body with line breaks", HTTP_POST, "/f", "a=1\r\nb=\t2\n", nullptr,
       "POST /f HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n"
       "Content-type: application/x-www-form-urlencoded\r\nContent-length: 10\r\n\r\na=1\r\nb=\t2\n"},
      {"referer of 255", HTTP_GET, "/", nullptr, referer255.c_str(), referer255Text.c_str()},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({{kOk}});
    auto client = NewClient();
    EXPECT_EQ(Fetch(*client, c.type, server.Url(c.path), c.data, c.referer), 0);
    server.Join();
    EXPECT_EQ(server.request(), c.expected);
    EXPECT_STREQ(client->szHost, "127.0.0.1");
    EXPECT_EQ(Get(client->usPort), server.port());
    EXPECT_EQ(Get(client->iResponseCode), 200);
    EXPECT_EQ(Get(client->iSocket), -1);
  }
}

struct UrlCase {
  const char* url;
  const char* host;
  int port;
  const char* path;
};

TEST(HttpClientRequest, UrlSplit) {
  const UrlCase cases[] = {
      {"example.test", "example.test", 80, "/"},
      {"example.test:8080/a/b?q=1", "example.test", 8080, "/a/b?q=1"},
      {"example.test:/x", "example.test", 0, "/x"},
      {"example.test:70000/", "example.test", 4464, "/"},
      // Split as written; Process refuses these.
      {"example.test:99999/", "example.test", 34463, "/"},
      {"example.test:-1/", "example.test", 65535, "/"},
      {"example.test/a\r\nb", "example.test", 80, "/a\r\nb"},
      {"http://example.test/x", "http", 0, "//example.test/x"},
      {"/only/path", "", 80, "/only/path"},
      {"host/p:1", "host", 80, "/p:1"},
      {"host: 12abc/", "host", 12, "/"},
  };
  auto client = NewClient();
  MarkResponseSide(*client);
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.url);
    std::string url = c.url;
    client->InitRequest(HTTP_GET, &url[0], nullptr, nullptr);
    EXPECT_STREQ(client->szHost, c.host);
    EXPECT_EQ(Get(client->usPort), c.port);
    EXPECT_STREQ(client->szPath, c.path);
    EXPECT_EQ(Get(client->iRequestType), HTTP_GET);
  }
  ExpectResponseSideMarked(*client);
  EXPECT_EQ(Get(client->iError), 0);
  EXPECT_EQ(Get(client->iSocket), -1);
}

// Arguments at their limits are taken whole; one character more, a null
// where a string is needed, or an unknown type refuses the request (7) and
// leaves the request side cleared, of an earlier request too.
struct LimitCase {
  const char* name;
  int type;
  std::string url;
  bool nullData;
  std::string data;
  std::string referer;
  bool accepted;
};

TEST(HttpClientRequest, ArgumentLimits) {
  const std::string host255(kHttpMaxHostPart, 'h');
  const LimitCase cases[] = {
      {"URL of 510", HTTP_GET, "h/" + std::string(kHttpMaxUrl - 2, 'p'), false, "", "", true},
      {"URL of 511", HTTP_GET, "h/" + std::string(kHttpMaxUrl - 1, 'p'), false, "", "", false},
      {"host part of 255", HTTP_GET, host255 + "/x", false, "", "", true},
      {"host part of 256", HTTP_GET, host255 + "h/x", false, "", "", false},
      {"host part of 256 without slash", HTTP_GET, host255 + "h", false, "", "", false},
      {"referer of 255", HTTP_GET, "h/", false, "", std::string(kHttpMaxReferer, 'r'), true},
      {"referer of 256", HTTP_GET, "h/", false, "", std::string(kHttpMaxReferer + 1, 'r'), false},
      {"POST data of 16383", HTTP_POST, "h/", false, std::string(kHttpMaxPostData, 'd'), "", true},
      {"POST data of 16384", HTTP_POST, "h/", false, std::string(kHttpMaxPostData + 1, 'd'), "", false},
      {"null POST data", HTTP_POST, "h/", true, "", "", false},
      {"POST, URL of 511", HTTP_POST, "h/" + std::string(kHttpMaxUrl - 1, 'p'), false, "d", "", false},
      {"type 0", 0, "h/", false, "", "", false},
      {"type 4", 4, "h/", false, "", "", false},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = NewClient();
    client->InitRequest(HTTP_POST, "earlier:8080/p", "d=1", "earlier.test/");
    std::string url = c.url, data = c.data, referer = c.referer;
    client->InitRequest(c.type, &url[0], c.nullData ? nullptr : &data[0], &referer[0]);
    EXPECT_EQ(Get(client->usPort), c.accepted ? 80 : 0);
    if (c.accepted) {
      EXPECT_EQ(Get(client->iError), 0);
      EXPECT_EQ(Get(client->iRequestType), c.type);
      EXPECT_EQ(std::string(client->szHost) + client->szPath, c.url);
      EXPECT_EQ(client->szReferer, c.referer);
      EXPECT_EQ(client->szPostData, c.type == HTTP_POST ? c.data : "");
    } else {
      EXPECT_EQ(Get(client->iError), HTTP_ERROR_BAD_REQUEST);
      EXPECT_EQ(Get(client->iRequestType), 0);
      EXPECT_STREQ(client->szHost, "");
      EXPECT_STREQ(client->szPath, "");
      EXPECT_STREQ(client->szPostData, "");
      EXPECT_STREQ(client->szReferer, "");
    }
    // Nothing spills into the response side next to the request fields.
    EXPECT_EQ(client->szResponseHeader[0], '\0');
    EXPECT_EQ(client->szReferer[kHttpMaxReferer], '\0');
  }
  auto client = NewClient();
  EXPECT_EQ(client->ProcessURL(HTTP_GET, nullptr, nullptr, nullptr), HTTP_ERROR_BAD_REQUEST);
}

// POST data for which the whole request text to 127.0.0.1, path "/", no
// referer, is exactly textLength characters (the data has five digits).
std::string PostDataForTextOf(int textLength, std::string* text) {
  const std::string head =
      "POST / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: TAVO/0.221\r\nReferer: http://\r\nHost: 127.0.0.1\r\n"
      "Content-type: application/x-www-form-urlencoded\r\nContent-length: ";
  const size_t dataLength = textLength - head.size() - 5 - 4;
  const std::string data(dataLength, 'd');
  *text = head + std::to_string(dataLength) + "\r\n\r\n" + data;
  return data;
}

// The request text is built in 16384 bytes: one of 16383 characters goes out whole.
TEST(HttpClientRequest, RequestTextOf16383CharactersIsSentWhole) {
  std::string text;
  const std::string data = PostDataForTextOf(kHttpRequestBufferSize - 1, &text);
  ASSERT_EQ(text.size(), size_t{kHttpRequestBufferSize - 1});
  ScriptedServer server({{kOk}});
  auto client = NewClient();
  EXPECT_EQ(Fetch(*client, HTTP_POST, server.Url(), data.c_str()), 0);
  server.Join();
  EXPECT_EQ(server.request(), text);
}

struct RefusedCase {
  const char* name;
  int type;
  std::string url;  // "PORT" stands for the server's port
  std::string data;
  std::string referer;
  long portShift = 0;  // added to the server's port in place of PORT
};

// Requests refused (7) before anything is resolved or sent: a text beyond
// 16383 characters, an unknown type, a control character in the host, path
// or referer (it would split the request), a port out of range (its low 16
// bits would reach another port: here the server's own).
TEST(HttpClientRequest, RefusedRequestsDoNotConnect) {
  const std::string longData(kHttpMaxPostData, 'd');  // within its limit, yet the text is too long
  std::string text;
  const std::string exactData = PostDataForTextOf(kHttpRequestBufferSize, &text);  // one character too many
  const std::string injected = "X-Injected: 1";
  const RefusedCase cases[] = {
      {"request text over 16383", HTTP_POST, "127.0.0.1:PORT/", longData, ""},
      {"request text of 16384", HTTP_POST, "127.0.0.1:PORT/", exactData, ""},
      {"type 9", 9, "127.0.0.1:PORT/", "", ""},
      {"path with CR LF", HTTP_GET, "127.0.0.1:PORT/x\r\n" + injected, "", ""},
      {"path with a lone LF", HTTP_GET, "127.0.0.1:PORT/x\n" + injected, "", ""},
      {"path with a second request", HTTP_GET, "127.0.0.1:PORT/x HTTP/1.0\r\n" + injected + "\r\n\r\nGET /smuggled", "",
       ""},
      {"GET referer with CR LF", HTTP_GET, "127.0.0.1:PORT/x", "", "r\r\n" + injected},
      {"GET referer with LF", HTTP_GET, "127.0.0.1:PORT/x", "", "r\n" + injected},
      {"HEAD referer with CR LF", HTTP_HEAD, "127.0.0.1:PORT/x", "", "r\r\n" + injected},
      {"HEAD referer with LF", HTTP_HEAD, "127.0.0.1:PORT/x", "", "r\n" + injected},
      {"POST path with CR LF", HTTP_POST, "127.0.0.1:PORT/x\r\n" + injected, "a=1", ""},
      {"path with a tab", HTTP_GET, "127.0.0.1:PORT/x\ty", "", ""},
      {"path with DEL", HTTP_GET, "127.0.0.1:PORT/x\x7Fy", "", ""},
      {"referer with DEL", HTTP_GET, "127.0.0.1:PORT/x", "", "r\x7F"},
      {"host with CR LF", HTTP_GET, "127.0.0.1\r\n" + injected + ":PORT/x", "", ""},
      {"host starting with a tab", HTTP_GET, "\t127.0.0.1:PORT/x", "", ""},
      {"referer starting with LF", HTTP_GET, "127.0.0.1:PORT/x", "", "\n" + injected},
      {"port 0", HTTP_GET, "127.0.0.1:0/", "", ""},
      {"port 65536", HTTP_GET, "127.0.0.1:65536/", "", ""},
      {"port 99999", HTTP_GET, "127.0.0.1:99999/", "", ""},
      {"port -1", HTTP_GET, "127.0.0.1:-1/", "", ""},
      {"port 70000 after an empty host", HTTP_GET, ":70000/", "", ""},
      {"the server's port + 65536", HTTP_GET, "127.0.0.1:PORT/", "", "", 65536},
      {"the server's port - 65536", HTTP_GET, "127.0.0.1:PORT/", "", "", -65536},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({{kOk}});
    std::string url = c.url;
    const size_t placeholder = url.find("PORT");
    if (placeholder != std::string::npos) url.replace(placeholder, 4, std::to_string(server.port() + c.portShift));
    const int descriptors = soak::OpenDescriptors();
    lookupCalls = 0;
    lookupNeeds = 1;  // counts every lookup, all of them given room
    auto client = NewClient();
    EXPECT_EQ(Fetch(*client, c.type, url, c.data.c_str(), c.referer.c_str()), HTTP_ERROR_BAD_REQUEST);
    lookupNeeds = 0;
    EXPECT_EQ(lookupCalls, 0);
    EXPECT_EQ(Get(client->iSocket), -1);
    EXPECT_EQ(soak::OpenDescriptors(), descriptors);
    Poke(server.port());
    server.Join();
    EXPECT_EQ(server.request(), "");
  }
  // Fields the caller changed after InitRequest: the type; the port, which
  // then no longer agrees with the URL's port text behind the host; that text
  // (read to the field's last byte); the host, path and referer filled to the
  // end, without their NUL.
  const struct {
    const char* name;
    void (*patch)(CHttpClient&);
  } patches[] = {
      {"type 5", [](CHttpClient& c) { c.iRequestType = 5; }},
      {"port 0", [](CHttpClient& c) { c.usPort = 0; }},
      {"URL port text behind the host running to the field's end, 65536 past the port",
       [](CHttpClient& c) {
         const std::string text = std::to_string(c.usPort + 65536L);
         memset(c.szHost + 10, '0', sizeof c.szHost - 10);
         memcpy(c.szHost + sizeof c.szHost - text.size(), text.data(), text.size());
       }},
      {"host without NUL", [](CHttpClient& c) { memset(c.szHost, 'h', sizeof c.szHost); }},
      {"path without NUL", [](CHttpClient& c) { memset(c.szPath, 'p', sizeof c.szPath); }},
      {"referer without NUL", [](CHttpClient& c) { memset(c.szReferer, 'r', sizeof c.szReferer); }},
  };
  for (const auto& p : patches) {
    SCOPED_TRACE(p.name);
    auto patched = NewClient();
    ScriptedServer server({{kOk}});
    std::string copy = server.Url();
    patched->InitRequest(HTTP_GET, &copy[0], nullptr, nullptr);
    p.patch(*patched);
    patched->Process();
    EXPECT_EQ(Get(patched->iError), HTTP_ERROR_BAD_REQUEST);
    Poke(server.port());
    server.Join();
    EXPECT_EQ(server.request(), "");
  }
}

// The lowest and the highest port are taken as written: the request goes to
// them (refused there, since this test holds the port without listening).
TEST(HttpClientRequest, PortsOf1And65535AreUsed) {
  for (const unsigned short port : {1, 65535}) {
    SCOPED_TRACE(port);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      std::printf("port %d is in use or privileged here: not tried\n", port);
      continue;
    }
    auto client = NewClient();
    EXPECT_EQ(Fetch(*client, HTTP_GET, "127.0.0.1:" + std::to_string(port) + "/"), HTTP_ERROR_CANT_CONNECT);
    EXPECT_EQ(Get(client->usPort), port);
    close(fd);
  }
}

// ---------------------------------------------------------------------------

struct ResponseCase {
  const char* name;
  std::vector<std::string> chunks;
  bool keepOpen;
  int error;
  int code = 0;
  std::string header = "";
  std::string body = "";
  int contentType = 0;
  bool reset = false;  // the server resets the connection after its chunks
  int type = HTTP_GET;
};

std::string Status(const std::string& headerLines) { return "HTTP/1.0 200 OK\r\n" + headerLines; }

// Server behaviours, hostile ones included, and what the client makes of them.
std::vector<ResponseCase> ResponseCases() {
  const std::string maxBody(kMaxStoredBody, 'b');
  const std::string header1023 = "HTTP/1.0 200 OK\r\nX: " + std::string(kMaxStoredHeader - 20, 'v');
  return {
      {"declared length ends reception",
       {Status("Content-Length: 5\r\n\r\nhello")},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 5",
       "hello",
       2},
      {"terminator and body split over chunks",
       {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n", "\r\nhello", "world"},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 10",
       "helloworld",
       2},
      {"63999 declared",
       {Status("Content-Length: 63999\r\n\r\n") + maxBody},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 63999",
       maxBody,
       2},
      {"64000 declared", {Status("Content-Length: 64000\r\n\r\nabc")}, true, HTTP_ERROR_CONTENT_TOO_BIG},
      {"digit lost without space",
       {Status("Content-Length:123\r\n\r\n") + std::string(23, 'x')},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length:123",
       std::string(23, 'x'),
       2},
      {"LF LF", {"HTTP/1.0 200 OK\nServer: t\n\nbody"}, false, 0, 200, "HTTP/1.0 200 OK\nServer: t", "body", 2},
      {"CR LF CR LF before an earlier LF LF",
       {"HTTP/1.0 200 OK\nA: b\n\nfirst\r\n\r\nsecond"},
       false,
       0,
       200,
       "HTTP/1.0 200 OK\nA: b\n\nfirst",
       "second",
       2},
      {"LF LF taken before a later CR LF CR LF arrives",
       {"HTTP/1.0 200 OK\n\nbody", "\r\n\r\nmore"},
       false,
       0,
       200,
       "HTTP/1.0 200 OK",
       "body\r\n\r\nmore",
       2},
      {"no length: until close", {kOk, "part1", "part2"}, false, 0, 200, "HTTP/1.0 200 OK", "part1part2", 2},
      // Whole at the end of the header, whatever length is declared.
      {"HEAD: declared length, no body",
       {Status("Content-Length: 100000\r\n\r\n")},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 100000",
       "",
       2,
       false,
       HTTP_HEAD},
      {"204 with a declared length",
       {"HTTP/1.0 204 No Content\r\nContent-Length: 10\r\n\r\n"},
       true,
       0,
       204,
       "HTTP/1.0 204 No Content\r\nContent-Length: 10",
       "",
       2},
      {"204 with bytes after the header",
       {"HTTP/1.0 204 No Content\r\n\r\nxyz"},
       true,
       0,
       204,
       "HTTP/1.0 204 No Content",
       "",
       2},
      {"HEAD answered with the declared body",
       {Status("Content-Length: 3\r\n\r\nabc")},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 3",
       "",
       2,
       false,
       HTTP_HEAD},
      // An interim 100 is the response: the final one behind it is not read.
      {"100 Continue, then a final response",
       {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
       true,
       0,
       100,
       "HTTP/1.1 100 Continue",
       "",
       2},
      {"304 with a declared length",
       {"HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n"},
       true,
       0,
       304,
       "HTTP/1.0 304 Not Modified\r\nContent-Length: 10",
       "",
       2},
      // Cut transfers.
      {"declared length cut by a close",
       {Status("Content-Length: 1000\r\n\r\n") + std::string(500, 'b')},
       false,
       HTTP_ERROR_INCOMPLETE_RESPONSE},
      {"reset before the header",
       {"HTTP/1.0 200 OK\r\nServer: t"},
       false,
       HTTP_ERROR_INCOMPLETE_RESPONSE,
       0,
       "",
       "",
       0,
       true},
      {"reset after the header", {kOk}, false, HTTP_ERROR_INCOMPLETE_RESPONSE, 0, "", "", 0, true},
      {"reset mid-body, length declared",
       {Status("Content-Length: 1000\r\n\r\n") + std::string(500, 'b')},
       false,
       HTTP_ERROR_INCOMPLETE_RESPONSE,
       0,
       "",
       "",
       0,
       true},
      {"reset mid-body, no length",
       {kOk, std::string(500, 'b')},
       false,
       HTTP_ERROR_INCOMPLETE_RESPONSE,
       0,
       "",
       "",
       0,
       true},
      {"more sent than declared",
       {Status("Content-Length: 2\r\n\r\nabcdef")},
       false,
       0,
       200,
       "HTTP/1.0 200 OK\r\nContent-Length: 2",
       "abcdef",
       2},
      {"closed before the blank line", {Status("Server: t\r\n")}, false, HTTP_ERROR_MALFORMED_RESPONSE},
      {"lower-case protocol", {"http/1.0 200 OK\r\n\r\n"}, false, HTTP_ERROR_MALFORMED_RESPONSE},
      {"HTTP alone", {"HTTP\r\n\r\n"}, false, 0, 0, "HTTP", "", 2},
      {"404 over HTTP/1.1",
       {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
       true,
       0,
       404,
       "HTTP/1.1 404 Not Found\r\nContent-Length: 0",
       "",
       2},
      {"text/plain, name in lower case",
       {Status("content-type: text/plain\r\n\r\nx")},
       false,
       0,
       200,
       "HTTP/1.0 200 OK\r\ncontent-type: text/plain",
       "x",
       1},
      {"name inside a longer name",
       {Status("X-Original-Content-Length: 3\r\n\r\nabc")},
       true,
       0,
       200,
       "HTTP/1.0 200 OK\r\nX-Original-Content-Length: 3",
       "abc",
       2},
      // Beyond the buffers.
      {"63999 undeclared", {kOk, maxBody}, false, 0, 200, "HTTP/1.0 200 OK", maxBody, 2},
      {"64000 undeclared", {kOk, maxBody + "b"}, false, HTTP_ERROR_CONTENT_TOO_BIG},
      {"header of 1023", {header1023 + "\r\n\r\n"}, false, 0, 200, header1023, "", 2},
      {"header of 1023, blank line split", {header1023 + "\r\n\r", "\n"}, false, 0, 200, header1023, "", 2},
      {"header of 1024", {header1023 + "v\r\n\r\n"}, false, HTTP_ERROR_MALFORMED_RESPONSE},
      {"header of 1024, blank line short of its last byte",
       {header1023 + "v\r\n\r"},
       true,
       HTTP_ERROR_MALFORMED_RESPONSE},
      // An empty header is a header: the body's limit holds behind it.
      {"blank line first, then 70000 bytes", {"\r\n\r\n" + std::string(70000, 'b')}, false, HTTP_ERROR_CONTENT_TOO_BIG},
      {"endless header", {"HTTP/1.0 200 OK\r\n" + std::string(70000, 'h')}, true, HTTP_ERROR_MALFORMED_RESPONSE},
  };
}

TEST(HttpClientResponse, Cases) {
  for (const ResponseCase& c : ResponseCases()) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({c.chunks, c.keepOpen, 20, c.reset});
    auto client = NewClient();
    MarkResponseSide(*client);
    EXPECT_EQ(Fetch(*client, c.type, server.Url()), c.error);
    server.Join();
    EXPECT_EQ(Get(client->iSocket), -1);
    // The client ends the reception itself: it does not wait for a close.
    if (c.keepOpen) {
      EXPECT_TRUE(server.clientClosedFirst());
    }
    if (c.error != 0) {
      ExpectResponseSideMarked(*client);
      continue;
    }
    EXPECT_EQ(Get(client->iResponseCode), c.code);
    EXPECT_EQ(Get(client->iResponseHeaderLength), static_cast<int>(c.header.size()));
    EXPECT_EQ(std::string(client->szResponseHeader, Get(client->iResponseHeaderLength) + 1), c.header + '\0');
    EXPECT_EQ(Get(client->iResponseBodyLength), static_cast<int>(c.body.size()));
    EXPECT_EQ(std::string(client->szResponseBody, Get(client->iResponseBodyLength) + 1), c.body + '\0');
    EXPECT_EQ(Get(client->iContentType), c.contentType);
  }
}

// A server sending far more than it declared: the body stops at the room
// left, which still holds the whole declared length.
TEST(HttpClientResponse, ExcessBeyondDeclaredLengthIsCutAtTheBuffer) {
  ScriptedServer server({{Status("Content-Length: 63000\r\n\r\n") + std::string(70000, 'x')}, true});
  auto client = NewClient();
  EXPECT_EQ(Fetch(*client, HTTP_GET, server.Url()), 0);
  server.Join();
  EXPECT_GE(Get(client->iResponseBodyLength), 63000);
  EXPECT_LE(Get(client->iResponseBodyLength), kMaxStoredBody);
  EXPECT_EQ(client->szResponseBody[Get(client->iResponseBodyLength)], '\0');
  EXPECT_EQ(Get(client->iResponseHeaderLength), static_cast<int>(strlen(client->szResponseHeader)));
}

std::atomic<int> alarms{0};
void CountAlarm(int) { ++alarms; }

// Runs `requests` on a thread of its own, the only one a timer signals, every
// 0.5 ms (SIGALRM, whose handler the caller installs).
template <typename Requests>
void UnderSignalStorm(Requests requests) {
  std::thread thread([&] {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return;
    const itimerspec every{{0, 500000}, {0, 500000}};
    timer_settime(timer, 0, &every, nullptr);
    requests();
    timer_delete(timer);
  });
  thread.join();
}

// A signal storm on the requesting thread, as interval timers and profilers
// in a server make it: every 0.5 ms, with a handler installed without
// SA_RESTART, so connect, send and recv are interrupted. Bodies dribbled in
// 200-byte pieces, with and without a declared length, still arrive whole,
// and a connect that stays pending for a second ends as the server decides.
// The requests run on a thread of their own, the only one the timer signals:
// the servers' threads are started and joined undisturbed (user-mode
// emulation fails a join by a thread that has handled a signal).
TEST(HttpClientResponse, SignalsDoNotCutTransfers) {
  constexpr int kBatches = 4, kPerBatch = 10, kBodyBytes = 20000, kPieceBytes = 200;
  std::string body(kBodyBytes, '\0');
  for (int i = 0; i < kBodyBytes; ++i) body[i] = static_cast<char>('a' + i % 26);
  struct sigaction action {
  }, previous{};
  action.sa_handler = CountAlarm;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  alarms = 0;
  int whole = 0;
  for (int batch = 0; batch < kBatches; ++batch) {
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (int i = 0; i < kPerBatch; ++i) {
      const bool declared = i % 2 == 1;
      std::vector<std::string> chunks{declared ? Status("Content-Length: 20000\r\n\r\n") : kOk};
      for (int at = 0; at < kBodyBytes; at += kPieceBytes) chunks.push_back(body.substr(at, kPieceBytes));
      servers.push_back(std::make_unique<ScriptedServer>(ServerScript{chunks, declared, /*pauseMs=*/1}));
    }
    UnderSignalStorm([&] {
      for (auto& server : servers) {
        auto client = NewClient();
        if (Fetch(*client, HTTP_GET, server->Url()) == 0 &&
            std::string(client->szResponseBody, Get(client->iResponseBodyLength)) == body)
          ++whole;
      }
    });
  }
  // A connect held pending through the storm (the slow listener drops its
  // SYN) is waited for to its end: the server's answer, or, the listener
  // closed meanwhile, the refusal (error 3, the socket closed).
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "connect refused while pending" : "connect pending");
    ScriptedServer server({{Status("Content-Length: 2\r\n\r\nok")}, true, 1, false, /*queueFullMs=*/300, refused});
    int error = -1, socket = 0;
    std::string received;
    UnderSignalStorm([&] {
      auto client = NewClient();
      error = Fetch(*client, HTTP_GET, server.Url());
      received.assign(client->szResponseBody, Get(client->iResponseBodyLength));
      socket = client->iSocket;
    });
    server.Join();
    EXPECT_TRUE(server.connectHeldBack());
    EXPECT_EQ(error, refused ? HTTP_ERROR_CANT_CONNECT : 0);
    EXPECT_EQ(received, refused ? "" : "ok");
    EXPECT_EQ(socket, -1);
  }
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(whole, kBatches * kPerBatch);
  EXPECT_GT(alarms, kBatches * kPerBatch * 10);  // the storm did reach the requests
}

TEST(HttpClientResponse, ErrorCodeIsSticky) {
  RefusedPort refused;
  auto client = NewClient();
  EXPECT_EQ(Fetch(*client, HTTP_GET, "127.0.0.1:" + std::to_string(refused.port()) + "/"), HTTP_ERROR_CANT_CONNECT);
  ScriptedServer server({{Status("Content-Length: 2\r\n\r\nok")}});
  EXPECT_EQ(Fetch(*client, HTTP_GET, server.Url()), HTTP_ERROR_CANT_CONNECT);
  EXPECT_EQ(Get(client->iResponseCode), 200);
  EXPECT_STREQ(client->szResponseBody, "ok");
}

struct HeaderValueCase {
  const char* name;
  int largest;
  bool found;
  const char* value;
};

TEST(HttpClientResponse, GetHeaderValue) {
  const HeaderValueCase cases[] = {
      {"Server:", 10, true, "test\r"},  // middle line keeps its CR
      {"server:", 5, true, "test\r"},   // exactly as long as allowed
      {"Server:", 4, false, nullptr},   // one longer
      {"X-Len:", 5, true, "12345"},     // last line: no CR
      {"Len:", 5, true, "12345"},       // found inside a longer name
      {"X-Len", 6, true, " 12345"},     // without colon: the colon is the skipped character
      {"12345", 0, true, ""},           // header ends right after the name
      {"Missing:", 100, false, nullptr},
      {"", 100, false, nullptr},
      {"Server:", -1, false, nullptr},
  };
  auto client = NewClient();
  strcpy(client->szResponseHeader, "HTTP/1.0 200 OK\r\nServer: test\r\nX-Len: 12345");
  for (const HeaderValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    char out[32];
    memset(out, '#', sizeof(out));
    std::string name = c.name;
    EXPECT_EQ(client->GetHeaderValue(&name[0], out, c.largest), c.found);
    if (c.found) {
      EXPECT_STREQ(out, c.value);
      EXPECT_EQ(out[strlen(c.value) + 1], '#');  // nothing written past the NUL
    } else {
      EXPECT_EQ(out[0], '#');  // destination untouched
    }
  }
  char server[] = "Server:";
  EXPECT_FALSE(client->GetHeaderValue(server, nullptr, 100));
}

// The header's inline overloads for literals and NULL, run: the POST data
// and the referer differ, so a swap shows; so does a changed size.
TEST(HttpClientRequest, ReadOnlyOverloadsKeepEachArgumentInPlace) {
  const struct {
    int (*call)(CHttpClient&, const char* url);
    const char* referer;
    const char* body;
  } fetches[] = {
      {[](CHttpClient& c, const char* url) { return c.ProcessURL(HTTP_POST, url, "a=1", "ref.test/"); }, "ref.test/",
       "a=1"},
      {[](CHttpClient& c, const char* url) { return c.ProcessURL(HTTP_POST, url, "a=1", NULL); }, "", "a=1"},
      {[](CHttpClient& c, const char* url) { return c.ProcessURL(HTTP_GET, url, NULL, "ref.test/"); }, "ref.test/", ""},
      {[](CHttpClient& c, const char* url) { return c.ProcessURL(HTTP_GET, url, 0, 0); }, "", ""},
  };
  for (const auto& f : fetches) {
    SCOPED_TRACE(std::string(f.referer) + " / " + f.body);
    ScriptedServer server({{kOk}});
    auto client = NewClient();
    EXPECT_EQ(f.call(*client, server.Url().c_str()), 0);
    server.Join();
    const std::string& request = server.request();
    EXPECT_NE(request.find(std::string("\r\nReferer: http://") + f.referer + "\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), f.body) << request;
  }
  const struct {
    void (*call)(CHttpClient&);
    const char* data;
    const char* referer;
  } inits[] = {
      {[](CHttpClient& c) { c.InitRequest(HTTP_POST, "h/", "a=1", "ref.test/"); }, "a=1", "ref.test/"},
      {[](CHttpClient& c) { c.InitRequest(HTTP_POST, "h/", "a=1", NULL); }, "a=1", ""},
      {[](CHttpClient& c) { c.InitRequest(HTTP_GET, "h/", NULL, "ref.test/"); }, "", "ref.test/"},
  };
  for (const auto& i : inits) {
    auto client = NewClient();
    i.call(*client);
    EXPECT_STREQ(client->szHost, "h");
    EXPECT_STREQ(client->szPostData, i.data);
    EXPECT_STREQ(client->szReferer, i.referer);
  }
  auto client = NewClient();
  strcpy(client->szResponseHeader, "HTTP/1.0 200 OK\r\nX-Len: 12345");
  char out[8] = "";
  EXPECT_FALSE(client->GetHeaderValue("X-Len:", out, 4));
  EXPECT_TRUE(client->GetHeaderValue("X-Len:", out, 5));
  EXPECT_STREQ(out, "12345");
  char four[5] = "", five[6] = "";  // the array form takes its size less one
  EXPECT_FALSE(client->GetHeaderValue("X-Len:", four));
  EXPECT_TRUE(client->GetHeaderValue("X-Len:", five));
  EXPECT_STREQ(five, "12345");
}

// ---------------------------------------------------------------------------

TEST(HttpClientConnection, UnresolvableHostIsError1) {
  auto unnamed = NewClient();
  EXPECT_FALSE(unnamed->Connect(nullptr, 80));
  EXPECT_EQ(Get(unnamed->iError), HTTP_ERROR_BAD_HOST);
  // Outside a loopback-only namespace the lookup would ask the machine's resolvers.
  if (!OnlyLoopback()) GTEST_SKIP() << "no private network namespace: the lookup would leave the machine";
  // A host part of the longest length is sent to the lookup whole.
  for (const std::string& host : {std::string("no-such-host.invalid"), std::string(kHttpMaxHostPart, 'h')}) {
    auto client = NewClient();
    EXPECT_EQ(Fetch(*client, HTTP_GET, host + "/"), HTTP_ERROR_BAD_HOST);
    EXPECT_EQ(Get(client->iSocket), -1);
  }
}

// Also with standard input closed, as a daemon may run: the socket is then
// descriptor 0, and is closed all the same.
TEST(HttpClientConnection, RefusedPortIsError3AndClosesTheSocket) {
  RefusedPort refused;
  const int input = dup(STDIN_FILENO);
  for (const bool inputClosed : {false, true}) {
    SCOPED_TRACE(inputClosed ? "standard input closed" : "standard input open");
    if (inputClosed) close(STDIN_FILENO);
    const int before = soak::OpenDescriptors();
    auto client = NewClient();
    EXPECT_EQ(Fetch(*client, HTTP_GET, "127.0.0.1:" + std::to_string(refused.port())), HTTP_ERROR_CANT_CONNECT);
    EXPECT_EQ(Get(client->iSocket), -1);
    EXPECT_EQ(soak::OpenDescriptors(), before);
  }
  EXPECT_FALSE(IsOpen(STDIN_FILENO));
  if (input >= 0) {
    dup2(input, STDIN_FILENO);
    close(input);
  }
}

// A null text is refused (error 4). A failed send keeps the socket open
// (error 4), raises no SIGPIPE, and the socket is closed by the next Connect
// or by the destructor, never leaked.
TEST(HttpClientConnection, FailedSendDoesNotLeakTheSocket) {
  SilentListener listener;
  auto client = NewClient();
  std::string host = "127.0.0.1";
  ASSERT_TRUE(client->Connect(&host[0], listener.port()));
  EXPECT_FALSE(client->Send(nullptr));
  EXPECT_EQ(Get(client->iError), HTTP_ERROR_CANT_WRITE);
  client->iError = HTTP_ERROR_NONE;  // the failures below set it again
  int peer = listener.Accept(2000);
  ASSERT_GE(peer, 0);
  linger reset{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  close(peer);
  pollfd hangup{client->iSocket, POLLIN, 0};
  ASSERT_EQ(poll(&hangup, 1, 2000), 1);

  char text[] = "x";
  EXPECT_FALSE(client->Send(text));
  EXPECT_FALSE(client->Send(text));  // the second one would raise SIGPIPE
  EXPECT_EQ(Get(client->iError), HTTP_ERROR_CANT_WRITE);
  const int socket = client->iSocket;
  ASSERT_GE(socket, 0);
  EXPECT_TRUE(IsOpen(socket));

  const int open = soak::OpenDescriptors();
  RefusedPort refused;  // one descriptor more
  EXPECT_FALSE(client->Connect(&host[0], refused.port()));
  EXPECT_EQ(soak::OpenDescriptors(), open);  // the old socket went with the failed attempt

  ASSERT_TRUE(client->Connect("127.0.0.1", listener.port()));  // the read-only overload
  const int second = client->iSocket;
  client.reset();
  EXPECT_FALSE(IsOpen(second));
}

// After the reception closed the socket, CloseConnection must not close a
// descriptor that has since been given the same number.
TEST(HttpClientConnection, CloseAfterReceptionLeavesOtherDescriptorsAlone) {
  ScriptedServer server({{kOk}});
  auto client = NewClient();
  std::string host = "127.0.0.1";
  ASSERT_TRUE(client->Connect(&host[0], server.port()));
  const int used = client->iSocket;
  char request[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(client->Send(request));
  client->HandleEntity();
  server.Join();
  EXPECT_EQ(Get(client->iSocket), -1);
  EXPECT_EQ(Get(client->iError), 0);

  int other = dup(STDERR_FILENO);  // likely takes the number just freed
  ASSERT_GE(other, 0);
  EXPECT_EQ(other, used);
  client->CloseConnection();
  client->CloseConnection();
  EXPECT_TRUE(IsOpen(other));
  close(other);
}

// A lookup that needs more than the stack storage gets heap storage, doubling,
// and gives it back, whether the name resolves or, never fitting, ends in
// error 1 at 1 MiB. Against a refused port: no server thread takes heap.
TEST(HttpClientConnection, LookupStorageGrowsOnTheHeapAndIsGivenBack) {
  RefusedPort refused;
  const std::string url = "127.0.0.1:" + std::to_string(refused.port()) + "/";
  int callsToFit = 0, callsToGiveUp = 0;
  auto lookups = [&] {
    lookupCalls = 0;
    lookupNeeds = 10000;
    EXPECT_EQ(Fetch(*NewClient(), HTTP_GET, url), HTTP_ERROR_CANT_CONNECT);  // resolved
    callsToFit = lookupCalls.exchange(0);
    lookupNeeds = SIZE_MAX;
    EXPECT_EQ(Fetch(*NewClient(), HTTP_GET, url), HTTP_ERROR_BAD_HOST);
    callsToGiveUp = lookupCalls;
    lookupNeeds = 0;
  };
  lookups();  // the heap's own first-use state
  const size_t heap = soak::HeapInUse();
  lookups();
  EXPECT_EQ(soak::HeapInUse(), heap);
  EXPECT_EQ(callsToFit, 4);
  ASSERT_EQ(callsToGiveUp, 10);
  for (int i = 0; i < callsToGiveUp; ++i) EXPECT_EQ(lookupSizes[i], size_t{2048} << i);
}

TEST(HttpClientConnection, RecvRefusesANegativeSize) {
  auto client = NewClient();
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(client->Recv(buffer, -1), -1);
  EXPECT_EQ(client->Recv(nullptr, 4), -1);  // nor a null buffer
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(Get(client->iError), 0);
}

// ---------------------------------------------------------------------------
// Soak loops (CTest label soak): many requests, descriptors and heap flat.

// Threads with their own objects, alternating between two servers on
// different loopback addresses, one named and one given by number: every
// answer comes from the server asked, none fails.
TEST(HttpSoak, ThreadsWithTheirOwnClients) {
  constexpr int kThreads = 8;
  constexpr int kRequests = 200;
  IdentityServer first("127.0.0.1"), second("127.0.0.2");
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;
  const bool named = getaddrinfo("localhost", nullptr, &hints, &found) == 0 &&
                     reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
  if (found) freeaddrinfo(found);
  const std::string urls[2] = {(named ? "localhost:" : "127.0.0.1:") + std::to_string(first.port()) + "/",
                               "127.0.0.2:" + std::to_string(second.port()) + "/"};
  const std::string identities[2] = {first.identity(), second.identity()};
  std::atomic<int> failed{0}, misrouted{0};
  // One object per thread, for all its requests; the objects and the URLs
  // are made here, so the threads themselves leave the heap to the C library.
  std::vector<std::unique_ptr<CHttpClient>> clients;
  for (int t = 0; t < kThreads; ++t) clients.push_back(NewClient());
  std::atomic<int> together{0};
  auto run = [&](int requests, bool meet) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        CHttpClient& client = *clients[t];
        char url[2][64];
        for (int which = 0; which < 2; ++which) snprintf(url[which], sizeof(url[which]), "%s", urls[which].c_str());
        for (int i = 0; i < requests; ++i) {
          const int which = (t + i) % 2;
          const std::string& identity = identities[which];
          if (client.ProcessURL(HTTP_GET, url[which], nullptr, nullptr) != 0 || client.iResponseCode != 200)
            ++failed;
          else if (Get(client.iResponseBodyLength) != static_cast<int>(identity.size()) ||
                   memcmp(client.szResponseBody, identity.data(), identity.size()) != 0)
            ++misrouted;
          if (meet && i == 0) {
            ++together;
            while (together < kThreads) std::this_thread::yield();
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  // A first round whose threads all meet after their first request: the C
  // library's resolver keeps a table of the threads that use it, which grows
  // to the most threads at once and stays.
  run(2, true);
  const bool warmedUp = first.WaitServed(kThreads, 2000) && second.WaitServed(kThreads, 2000);
  soak::Gauge gauge;
  run(kRequests, false);
  // The servers close their last connections after the clients have their answers.
  EXPECT_TRUE(warmedUp && first.WaitServed(kThreads * (kRequests + 2) / 2, 2000) &&
              second.WaitServed(kThreads * (kRequests + 2) / 2, 2000));
  gauge.Report(named ? "threads (localhost, 127.0.0.2)" : "threads (127.0.0.1, 127.0.0.2)", kThreads * kRequests,
               "requests");
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(misrouted, 0);
}

// Every server behaviour of the response table, round after round.
TEST(HttpSoak, HostileServers) {
  constexpr int kRounds = 100;
  const std::vector<ResponseCase> cases = ResponseCases();
  int requests = 0, wrong = 0;
  auto round = [&] {
    for (const ResponseCase& c : cases) {
      ScriptedServer server({c.chunks, c.keepOpen, /*pauseMs=*/1, c.reset});
      auto client = NewClient();
      if (Fetch(*client, c.type, server.Url()) != c.error || (c.error == 0 && client->iResponseCode != c.code)) ++wrong;
      ++requests;
    }
  };
  round();
  soak::Gauge gauge;
  requests = 0;
  for (int i = 0; i < kRounds; ++i) round();
  gauge.Report("hostile servers", requests, "requests");
  EXPECT_EQ(wrong, 0);
}

}  // namespace
