// Sequential GETs of a 1 KiB and a 60 KiB file from a private nginx:
// CHttpClient::ProcessURL on a fresh object per request against libcurl's
// easy interface with a fresh handle per request, both HTTP/1.0 without
// keep-alive, in the same run. Prints the requests-per-second ratios.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "http/httpclient.h"
#include "tests/loopback_only.h"
#include "tests/nginx_fixture.h"

namespace {

constexpr size_t kSmallFile = 1024;
constexpr size_t kLargeFile = 60 * 1024;

NginxFixture* server = nullptr;

// libcurl hands the body over in pieces; keep it in a buffer as large as the
// client's, so both do the same work with the bytes.
struct Body {
  char data[kHttpBodySize];
  size_t size;
};

size_t KeepBody(char* data, size_t size, size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  size_t bytes = size * count;
  if (body->size + bytes > sizeof(body->data)) return 0;  // aborts the transfer
  memcpy(body->data + body->size, data, bytes);
  body->size += bytes;
  return bytes;
}

void ClientGet(benchmark::State& state, const char* path, size_t expected) {
  std::string url = server->HostAndPath(path);
  InstructionMeter meter;
  for (auto _ : state) {
    CHttpClient client;
    int error = client.ProcessURL(HTTP_GET, &url[0], nullptr, nullptr);
    if (error != 0 || client.iResponseCode != 200 || client.iResponseBodyLength != static_cast<int>(expected)) {
      state.SkipWithError("CHttpClient request failed");
      break;
    }
    benchmark::DoNotOptimize(client.szResponseBody[expected - 1]);
  }
  meter.Stop(state);
  state.SetItemsProcessed(state.iterations());
}

void CurlGet(benchmark::State& state, const char* path, size_t expected) {
  const std::string url = "http://" + server->HostAndPath(path);
  static Body body;
  InstructionMeter meter;
  for (auto _ : state) {
    body.size = 0;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, KeepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    CURLcode result = curl_easy_perform(easy);
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK || code != 200 || body.size != expected) {
      state.SkipWithError("libcurl request failed");
      break;
    }
    benchmark::DoNotOptimize(body.data[expected - 1]);
  }
  meter.Stop(state);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  if (!OnlyLoopback())
    fprintf(stderr,
            "http_bench: not in a private network namespace (run it through scripts/netns): "
            "its traffic stays on 127.0.0.1 by its addresses alone\n");
  if (!NginxFixture::Available()) {
    fprintf(stderr, "http_bench: %s is not installed\n", NginxFixture::kBinary);
    return 1;
  }
  NginxFixture nginx;
  std::string error;
  if (!nginx.Start({{"1k.txt", GeneratedContent(kSmallFile, false)}, {"60k.bin", GeneratedContent(kLargeFile, true)}},
                   &error)) {
    fprintf(stderr, "http_bench: nginx did not start: %s\n", error.c_str());
    return 1;
  }
  server = &nginx;
  curl_global_init(CURL_GLOBAL_DEFAULT);

  struct Case {
    const char* size;
    const char* path;
    size_t bytes;
  };
  const Case cases[] = {{"1KiB", "/1k.txt", kSmallFile}, {"60KiB", "/60k.bin", kLargeFile}};
  for (const Case& c : cases) {
    benchmark::RegisterBenchmark((std::string("CHttpClient/") + c.size).c_str(), ClientGet, c.path, c.bytes)
        ->UseRealTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark((std::string("libcurl/") + c.size).c_str(), CurlGet, c.path, c.bytes)
        ->UseRealTime()
        ->MinTime(2.0);
  }

  RatioReporter reporter(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::vector<RatioRow> rows;
  for (const Case& c : cases) {
    const std::string client = std::string("CHttpClient/") + c.size, curl = std::string("libcurl/") + c.size;
    const double clientTime = reporter.Time(client), curlTime = reporter.Time(curl);
    if (clientTime > 0 && curlTime > 0)
      printf("%-6s CHttpClient %8.0f req/s, libcurl %8.0f req/s, rate ratio %.2f (%s)\n", c.size, 1 / clientTime,
             1 / curlTime, curlTime / clientTime, reporter.Method().c_str());
    rows.push_back({std::string("GET ") + c.size + ", CHttpClient / libcurl", client, curl});
  }
  reporter.PrintRatios(rows);
  curl_global_cleanup();
  benchmark::Shutdown();
  return 0;
}
