// CHttpClient against a real server (nginx), with a real client (the curl
// command, HTTP/1.0) as the oracle for status, header lines and body.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/httpclient.h"
#include "tests/http_test_support.h"
#include "tests/nginx_fixture.h"
#include "tests/soak_support.h"

namespace {

using http_test::Get;

constexpr size_t kSmallFile = 1024;
constexpr size_t kLargeFile = 60 * 1024;
constexpr size_t kMaxCurlOutput = 256 * 1024;

struct Response {
  std::string header;  // up to the blank line, its terminator excluded
  std::string body;
};

// The curl command's view of a URL: -i for a GET, -I for a HEAD.
bool CurlFetch(const std::string& url, bool head, Response* response) {
  const std::string command = "curl -s --http1.0 --max-time 10 " + std::string(head ? "-I " : "-i ") + "http://" + url;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  std::string output;
  char buffer[4096];
  size_t count;
  while (output.size() < kMaxCurlOutput && (count = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    output.append(buffer, count);
  if (pclose(pipe) != 0) return false;
  size_t end = output.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  response->header = output.substr(0, end);
  response->body = output.substr(end + 4);
  return true;
}

// Header lines without the Date line, which may differ by a second.
std::vector<std::string> LinesWithoutDate(const std::string& header) {
  std::vector<std::string> lines;
  std::istringstream in(header);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Date:", 0) != 0) lines.push_back(line);
  return lines;
}

class HttpNginxTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!NginxFixture::Available()) return;
    server_ = new NginxFixture;
    std::string error;
    if (!server_->Start({{"1k.txt", GeneratedContent(kSmallFile, false)},
                         {"60k.bin", GeneratedContent(kLargeFile, true)},
                         {"index.html", "<html>index</html>\n"}},
                        &error)) {
      startError_ = error;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!NginxFixture::Available()) GTEST_SKIP() << NginxFixture::kBinary << " is not installed";
    ASSERT_TRUE(startError_.empty()) << startError_;
  }

  // Fetches with CHttpClient and with curl and compares what both saw.
  void CompareWithCurl(const std::string& path, int type, int expectedCode, int expectedContentType,
                       size_t expectedBodySize) {
    SCOPED_TRACE(path);
    const std::string url = server_->HostAndPath(path);
    auto client = std::make_unique<CHttpClient>();
    std::string urlCopy = url;
    ASSERT_EQ(client->ProcessURL(type, &urlCopy[0], nullptr, nullptr), 0);
    Response curl;
    ASSERT_TRUE(CurlFetch(url, type == HTTP_HEAD, &curl));

    const std::string header(client->szResponseHeader, client->iResponseHeaderLength);
    EXPECT_EQ(Get(client->iResponseCode), expectedCode);
    EXPECT_EQ(curl.header.substr(9, 3), std::to_string(expectedCode));
    EXPECT_EQ(LinesWithoutDate(header), LinesWithoutDate(curl.header));
    EXPECT_EQ(Get(client->iResponseHeaderLength), static_cast<int>(curl.header.size()));
    EXPECT_EQ(Get(client->iContentType), expectedContentType);

    const std::string body(client->szResponseBody, client->iResponseBodyLength);
    EXPECT_EQ(body.size(), expectedBodySize);
    EXPECT_TRUE(body == curl.body) << "bodies differ";
    EXPECT_EQ(client->szResponseBody[Get(client->iResponseBodyLength)], '\0');

    char length[16];
    char name[] = "Content-Length:";
    if (type != HTTP_HEAD) {
      ASSERT_TRUE(client->GetHeaderValue(name, length, sizeof(length) - 1));
      EXPECT_EQ(strtoul(length, nullptr, 10), expectedBodySize);
    }
  }

  static NginxFixture* server_;
  static std::string startError_;
};

NginxFixture* HttpNginxTest::server_ = nullptr;
std::string HttpNginxTest::startError_;

TEST_F(HttpNginxTest, SmallTextFile) { CompareWithCurl("/1k.txt", HTTP_GET, 200, CONTENT_TYPE_TEXT_PLAIN, kSmallFile); }

TEST_F(HttpNginxTest, LargeBinaryFile) { CompareWithCurl("/60k.bin", HTTP_GET, 200, CONTENT_TYPE_OTHER, kLargeFile); }

TEST_F(HttpNginxTest, Head) { CompareWithCurl("/60k.bin", HTTP_HEAD, 200, CONTENT_TYPE_OTHER, 0); }

TEST_F(HttpNginxTest, MissingPage) {
  Response curl;
  ASSERT_TRUE(CurlFetch(server_->HostAndPath("/missing.html"), false, &curl));
  CompareWithCurl("/missing.html", HTTP_GET, 404, CONTENT_TYPE_TEXT_HTML, curl.body.size());
}

TEST_F(HttpNginxTest, UrlWithoutPathGetsTheIndex) {
  CompareWithCurl("", HTTP_GET, 200, CONTENT_TYPE_TEXT_HTML, strlen("<html>index</html>\n"));
}

// Soak loop (CTest label soak): thousands of sequential requests, a fresh
// object each, descriptors and heap flat.
class HttpNginxSoak : public HttpNginxTest {};

TEST_F(HttpNginxSoak, SequentialRequests) {
  constexpr int kRequests = 3000;
  const std::string expected = GeneratedContent(kSmallFile, false);
  const std::string url = server_->HostAndPath("/1k.txt");
  int wrong = 0;
  auto request = [&] {
    auto client = std::make_unique<CHttpClient>();
    std::string urlCopy = url;
    if (client->ProcessURL(HTTP_GET, &urlCopy[0], nullptr, nullptr) != 0 || client->iResponseCode != 200 ||
        std::string(client->szResponseBody, client->iResponseBodyLength) != expected)
      ++wrong;
  };
  request();
  soak::Gauge gauge;
  for (int i = 0; i < kRequests; ++i) request();
  gauge.Report("nginx", kRequests, "requests");
  EXPECT_EQ(wrong, 0);
}

}  // namespace
