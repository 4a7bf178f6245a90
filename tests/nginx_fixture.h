// A private nginx on 127.0.0.1 for tests and benchmarks: its own temporary
// prefix, configuration, pid and error log, access log off, and a root
// directory holding the given files. Runs in the foreground as a child
// process (daemon off, no master process) and is stopped by its pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class NginxFixture {
 public:
  using Files = std::vector<std::pair<std::string, std::string>>;  // name, content

  static constexpr const char* kBinary = "/usr/sbin/nginx";
  static bool Available();

  NginxFixture() = default;
  ~NginxFixture();
  NginxFixture(const NginxFixture&) = delete;
  NginxFixture& operator=(const NginxFixture&) = delete;

  // Starts the server and waits until it accepts connections. False, with
  // the reason in *error, when it did not come up in time.
  bool Start(const Files& files, std::string* error);
  void Stop();

  int port() const { return port_; }
  // "127.0.0.1:<port><path>"
  std::string HostAndPath(const std::string& path) const;

 private:
  bool Launch(std::string* error);
  void StopProcess();

  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

// Deterministic test content: `size` bytes; printable text, or every byte
// value (NUL included) when binary.
std::string GeneratedContent(size_t size, bool binary);
