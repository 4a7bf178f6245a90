// A scripted HTTP server for the client's tests: listens on 127.0.0.1 on an
// ephemeral port, accepts one connection, reads the request, sends the
// scripted chunks and then closes, resets the connection, or waits for the
// client to close first.
// Every wait is bounded: accept and receive time out, loops are capped.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// A connection to 127.0.0.1:port: its descriptor, or -1.
int ConnectLoopback(int port);
// Connects and closes at once, so that a server still waiting for a client
// stops waiting.
void Poke(int port);

struct ServerScript {
  std::vector<std::string> chunks;  // sent in order, with a short pause between
  bool keepOpen = false;            // after the chunks, wait for the client to close
  int pauseMs = 20;                 // between chunks
  bool reset = false;               // after the chunks, reset the connection (RST) instead
  // A slow listener: with queueFullMs, the listen queue is first held full
  // (backlog 0, one connection queued and not accepted), so a client's SYN is
  // dropped and sent again about a second later; queueFullMs after the first
  // drop, the server accepts the queued connection and serves the next, or
  // with refuseAfterQueueFull closes its listening socket, so the SYN sent
  // again is refused.
  int queueFullMs = 0;
  bool refuseAfterQueueFull = false;
};

class ScriptedServer {
 public:
  explicit ScriptedServer(ServerScript script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port><path>", the client's URL form.
  std::string Url(const std::string& path = "/") const;
  // Waits for the server thread; then the results below are final.
  void Join();

  bool accepted() const { return accepted_; }
  const std::string& request() const { return request_; }
  // With keepOpen: the client closed the connection before the server gave up.
  bool clientClosedFirst() const { return clientClosedFirst_; }
  // With queueFullMs: a connection attempt was dropped while the queue was full.
  bool connectHeldBack() const { return connectHeldBack_; }

 private:
  void Run();
  bool HoldQueueFull();  // false when the listener was closed instead

  ServerScript script_;
  int listener_ = -1;
  int queued_ = -1;  // the client end of the connection that fills the queue
  long overflowsBefore_ = 0;
  bool connectHeldBack_ = false;
  int port_ = 0;
  bool accepted_ = false;
  bool clientClosedFirst_ = false;
  std::string request_;
  std::thread thread_;
};

// A loopback port with nothing listening on it, reserved while the object
// lives (bound, not listening), so connecting to it is refused.
class RefusedPort {
 public:
  RefusedPort();
  ~RefusedPort();
  int port() const { return port_; }

 private:
  int socket_ = -1;
  int port_ = 0;
};

// A listening loopback socket that accepts only when asked; tells whether
// anyone tried to connect.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  int port() const { return port_; }
  bool HasPendingConnection(int waitMilliseconds) const;
  // The next connection's descriptor, or -1 when none came in time.
  int Accept(int waitMilliseconds) const;

 private:
  int socket_ = -1;
  int port_ = 0;
};

// A server on a chosen address of 127.0.0.0/8 that answers every connection,
// one after another, with a 200 response whose body names it
// ("<address>:<port>"), until it is destroyed.
class IdentityServer {
 public:
  explicit IdentityServer(const char* address);
  ~IdentityServer();
  IdentityServer(const IdentityServer&) = delete;
  IdentityServer& operator=(const IdentityServer&) = delete;

  int port() const { return port_; }
  const std::string& identity() const { return identity_; }
  int served() const { return served_; }
  // Waits until `count` connections were served and closed; false when they
  // were not within the time given.
  bool WaitServed(int count, int waitMilliseconds) const;

 private:
  void Run();

  int listener_ = -1;
  int port_ = 0;
  std::string identity_;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};
