#include "tests/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr int kAcceptWaitMs = 5000;
constexpr int kReceiveTimeoutMs = 3000;
constexpr size_t kMaxRequest = 64 * 1024;
constexpr int kMaxReceives = 1000;

// A TCP socket bound to a loopback address (127.0.0.1 unless given) on an
// ephemeral port; stores the port.
int BoundLoopbackSocket(int* port, const char* host = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, host, &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127) abort();
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    abort();
  *port = ntohs(address.sin_port);
  return fd;
}

void SetReceiveTimeout(int fd, int milliseconds) {
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

// Declared request body length, 0 when none (the client writes "Content-length").
size_t DeclaredLength(const std::string& head) {
  size_t at = head.find("Content-length: ");
  return at == std::string::npos ? 0 : strtoul(head.c_str() + at + 16, nullptr, 10);
}

// The kernel's count of connections dropped for a full listen queue (in this
// network namespace); -1 when it cannot be read.
long ListenOverflows() {
  std::ifstream netstat("/proc/net/netstat");
  std::string names, values;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (names.compare(0, 7, "TcpExt:") != 0) continue;
    std::istringstream nameWords(names), valueWords(values);
    std::string name, value;
    while (nameWords >> name && valueWords >> value)
      if (name == "ListenOverflows") return strtol(value.c_str(), nullptr, 10);
  }
  return -1;
}

}  // namespace

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

void Poke(int port) {
  const int fd = ConnectLoopback(port);
  if (fd >= 0) close(fd);
}

ScriptedServer::ScriptedServer(ServerScript script) : script_(std::move(script)) {
  listener_ = BoundLoopbackSocket(&port_);
  if (listen(listener_, script_.queueFullMs > 0 ? 0 : 4) != 0) abort();
  if (script_.queueFullMs > 0) {
    // Backlog 0 holds one connection: this one, queued before any client's.
    queued_ = ConnectLoopback(port_);
    pollfd queued{listener_, POLLIN, 0};
    if (queued_ < 0 || poll(&queued, 1, kAcceptWaitMs) != 1) abort();
    overflowsBefore_ = ListenOverflows();
  }
  thread_ = std::thread(&ScriptedServer::Run, this);
}

ScriptedServer::~ScriptedServer() {
  Join();
  if (listener_ >= 0) close(listener_);
  if (queued_ >= 0) close(queued_);
}

std::string ScriptedServer::Url(const std::string& path) const { return "127.0.0.1:" + std::to_string(port_) + path; }

void ScriptedServer::Join() {
  if (thread_.joinable()) thread_.join();
}

bool ScriptedServer::HoldQueueFull() {
  for (int waited = 0; waited < kAcceptWaitMs && !connectHeldBack_; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    connectHeldBack_ = ListenOverflows() > overflowsBefore_;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(script_.queueFullMs));
  close(queued_);
  queued_ = -1;
  if (script_.refuseAfterQueueFull) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  int fd = accept(listener_, nullptr, nullptr);
  if (fd >= 0) close(fd);
  return true;
}

void ScriptedServer::Run() {
  if (script_.queueFullMs > 0 && !HoldQueueFull()) return;
  pollfd waiting{listener_, POLLIN, 0};
  if (poll(&waiting, 1, kAcceptWaitMs) != 1) return;
  int fd = accept(listener_, nullptr, nullptr);
  if (fd < 0) return;
  accepted_ = true;
  SetReceiveTimeout(fd, kReceiveTimeoutMs);

  // The request: its head up to the blank line, then a declared body.
  char buffer[4096];
  for (int i = 0; i < kMaxReceives && request_.size() < kMaxRequest; ++i) {
    size_t headEnd = request_.find("\r\n\r\n");
    if (headEnd != std::string::npos && request_.size() >= headEnd + 4 + DeclaredLength(request_.substr(0, headEnd)))
      break;
    ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
    if (count <= 0) break;
    request_.append(buffer, static_cast<size_t>(count));
  }

  for (size_t i = 0; i < script_.chunks.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script_.pauseMs));
    const std::string& chunk = script_.chunks[i];
    // The client may close early (an error, or the declared length is in).
    if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
  }

  if (script_.reset) {
    // Closing with a zero linger time sends RST rather than FIN.
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  } else if (script_.keepOpen) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
    for (int i = 0; i < kMaxReceives && std::chrono::steady_clock::now() < deadline; ++i) {
      ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
      if (count == 0 || (count < 0 && errno == ECONNRESET)) {
        clientClosedFirst_ = true;
        break;
      }
      if (count < 0) break;  // timed out
    }
  }
  close(fd);
}

RefusedPort::RefusedPort() { socket_ = BoundLoopbackSocket(&port_); }

RefusedPort::~RefusedPort() { close(socket_); }

SilentListener::SilentListener() {
  socket_ = BoundLoopbackSocket(&port_);
  if (listen(socket_, 4) != 0) abort();
}

SilentListener::~SilentListener() { close(socket_); }

bool SilentListener::HasPendingConnection(int waitMilliseconds) const {
  pollfd waiting{socket_, POLLIN, 0};
  return poll(&waiting, 1, waitMilliseconds) == 1;
}

int SilentListener::Accept(int waitMilliseconds) const {
  return HasPendingConnection(waitMilliseconds) ? accept(socket_, nullptr, nullptr) : -1;
}

IdentityServer::IdentityServer(const char* address) {
  listener_ = BoundLoopbackSocket(&port_, address);
  if (listen(listener_, 64) != 0) abort();
  identity_ = std::string(address) + ":" + std::to_string(port_);
  thread_ = std::thread(&IdentityServer::Run, this);
}

IdentityServer::~IdentityServer() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

bool IdentityServer::WaitServed(int count, int waitMilliseconds) const {
  for (int waited = 0; served_ < count && waited < waitMilliseconds; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return served_ >= count;
}

void IdentityServer::Run() {
  const std::string response =
      "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(identity_.size()) + "\r\n\r\n" + identity_;
  while (!stop_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 50) != 1) continue;
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    SetReceiveTimeout(fd, kReceiveTimeoutMs);
    // The request's head (in fixed storage: a served connection leaves the
    // heap as it was), then the answer.
    char request[4096];
    size_t received = 0;
    for (int i = 0; i < kMaxReceives && received < sizeof(request) - 1; ++i) {
      ssize_t count = recv(fd, request + received, sizeof(request) - 1 - received, 0);
      if (count <= 0) break;
      received += static_cast<size_t>(count);
      request[received] = '\0';
      if (strstr(request, "\r\n\r\n")) break;
    }
    send(fd, response.data(), response.size(), MSG_NOSIGNAL);
    close(fd);
    ++served_;
  }
}
