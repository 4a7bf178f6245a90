// Plays the server for CHttpClient::HandleEntity: the input, cut into
// packets, is what the client receives on a connected socket pair, written by
// a writer thread that closes its end afterwards. One writer thread serves
// all inputs: a thread per input exhausts the 32-bit address space under ASan. Checks that every field stays
// within its size and that a failure leaves the response side alone.
//
// The socket pair is a Unix one: the target opens no network socket and so
// runs without a private network namespace.
//
// Input: byte 0 chooses the packet size (0: 2048; 1 to 15; else 8 times
// the byte, up to 2040); byte 1 adds that many times 512 filler bytes after the rest, so that
// bodies and headers beyond the buffers are cheap to reach.
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "http/httpclient.h"

namespace {

constexpr size_t kFillerUnit = 512;

size_t PacketSize(uint8_t selector) {
  if (selector == 0) return 2048;
  return selector < 16 ? selector : selector * 8u;
}

// What the server sends, in static storage: large heap blocks per input run
// out of the 32-bit address space under ASan with user-mode emulation.
constexpr size_t kMaxInput = 96 * 1024;
char input[kMaxInput + 255 * kFillerUnit];
size_t inputSize = 0;

void WritePackets(int fd, size_t packet) {
  for (size_t at = 0; at < inputSize; at += packet) {
    size_t size = inputSize - at < packet ? inputSize - at : packet;
    if (send(fd, input + at, size, MSG_NOSIGNAL) < 0) break;  // the client closed early
  }
  close(fd);
}

class Writer {
 public:
  Writer() {
    std::thread([this] { Serve(); }).detach();
  }
  void Start(int fd, size_t packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    packet_ = packet;
    busy_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
  }

 private:
  void Serve() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return busy_; });
      lock.unlock();
      WritePackets(fd_, packet_);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  int fd_ = -1;
  size_t packet_ = 1;
  bool busy_ = false;
};

void Check(bool condition) {
  if (!condition) abort();
}

const char kOldHeader[] = "old header";
const char kOldBody[] = "old body";

// The object lives in static storage: it is large, and a fresh one per input
// comes from placement new.
alignas(CHttpClient) unsigned char storage[sizeof(CHttpClient)];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size - 2 > kMaxInput) return 0;
  const size_t packet = PacketSize(data[0]);
  memcpy(input, data + 2, size - 2);
  memset(input + size - 2, 'x', data[1] * kFillerUnit);
  inputSize = size - 2 + data[1] * kFillerUnit;

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) abort();
  static Writer* writer = new Writer;  // lives as long as the process
  writer->Start(ends[1], packet);

  CHttpClient* client = new (storage) CHttpClient;
  strcpy(client->szResponseHeader, kOldHeader);
  client->iResponseHeaderLength = sizeof(kOldHeader) - 1;
  strcpy(client->szResponseBody, kOldBody);
  client->iResponseBodyLength = sizeof(kOldBody) - 1;
  client->iResponseCode = -7;
  client->iContentType = -7;
  client->iSocket = ends[0];
  client->HandleEntity();
  writer->Wait();

  Check(client->iSocket == -1);
  const int error = client->iError;
  Check(error == 0 || error == HTTP_ERROR_CONTENT_TOO_BIG || error == HTTP_ERROR_MALFORMED_RESPONSE ||
        error == HTTP_ERROR_INCOMPLETE_RESPONSE);
  if (error != 0) {
    Check(strcmp(client->szResponseHeader, kOldHeader) == 0);
    Check(strcmp(client->szResponseBody, kOldBody) == 0);
    Check(client->iResponseCode == -7 && client->iContentType == -7);
  } else {
    const int headerLength = client->iResponseHeaderLength;
    const int bodyLength = client->iResponseBodyLength;
    Check(headerLength >= 4 && headerLength < kHttpHeaderSize);
    Check(client->szResponseHeader[headerLength] == '\0');
    Check(memcmp(client->szResponseHeader, "HTTP", 4) == 0);
    Check(bodyLength >= 0 && bodyLength < kHttpBodySize);
    Check(client->szResponseBody[bodyLength] == '\0');
    Check(client->iContentType >= 0 && client->iContentType <= 2);
    Check(client->iResponseCode >= -99 && client->iResponseCode <= 999);
    // The stored header and body are the input's bytes around a terminator.
    Check(memcmp(input, client->szResponseHeader, headerLength) == 0);
    const size_t terminator = memcmp(input + headerLength, "\r\n\r\n", 4) == 0 ? 4 : 2;
    Check(headerLength + terminator + bodyLength <= inputSize);
    Check(memcmp(input + headerLength + terminator, client->szResponseBody, bodyLength) == 0);

    char value[kHttpHeaderSize];
    char name[] = "Content-Type:";
    if (client->GetHeaderValue(name, value, sizeof(value) - 1)) Check(strlen(value) < sizeof(value));
  }
  client->~CHttpClient();
  return 0;
}
