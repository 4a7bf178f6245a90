#include "tests/nginx_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

constexpr int kStartAttempts = 3;  // a new port each time: another process may take the free one
constexpr int kReadyPolls = 200;
constexpr int kPollMs = 25;

// A port that was free a moment ago on 127.0.0.1.
int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::string Config(const std::string& dir, int port) {
  const std::string temp = dir + "/tmp/";
  // As root nginx hands its temporary directories to an unprivileged user,
  // which a user namespace (scripts/netns) may not map: keep them root's.
  const std::string user = geteuid() == 0 ? "user root root;\n" : "";
  return user +
         "worker_processes 1;\n"
         "pid " +
         dir +
         "/nginx.pid;\n"
         "error_log " +
         dir +
         "/error.log;\n"
         "events { worker_connections 128; }\n"
         "http {\n"
         "  access_log off;\n"
         "  client_body_temp_path " +
         temp +
         "body;\n"
         "  proxy_temp_path " +
         temp +
         "proxy;\n"
         "  fastcgi_temp_path " +
         temp +
         "fastcgi;\n"
         "  uwsgi_temp_path " +
         temp +
         "uwsgi;\n"
         "  scgi_temp_path " +
         temp +
         "scgi;\n"
         "  types { text/html html; text/plain txt; }\n"
         "  default_type application/octet-stream;\n"
         "  server {\n"
         "    listen 127.0.0.1:" +
         std::to_string(port) +
         ";\n"
         "    server_name localhost;\n"
         "    root " +
         dir +
         "/www;\n"
         "  }\n"
         "}\n";
}

}  // namespace

bool NginxFixture::Available() { return access(kBinary, X_OK) == 0; }

NginxFixture::~NginxFixture() { Stop(); }

std::string NginxFixture::HostAndPath(const std::string& path) const {
  return "127.0.0.1:" + std::to_string(port_) + path;
}

bool NginxFixture::Start(const Files& files, std::string* error) {
  char pattern[] = "/tmp/nginx_fixture.XXXXXX";
  if (!mkdtemp(pattern)) {
    *error = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  if (mkdir((dir_ + "/www").c_str(), 0755) != 0 || mkdir((dir_ + "/tmp").c_str(), 0755) != 0) {
    *error = "mkdir failed";
    return false;
  }
  for (const auto& file : files) {
    if (!WriteFile(dir_ + "/www/" + file.first, file.second)) {
      *error = "cannot write " + file.first;
      return false;
    }
  }
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (Launch(error)) return true;
  }
  return false;
}

bool NginxFixture::Launch(std::string* error) {
  port_ = FreeLoopbackPort();
  const std::string config = dir_ + "/nginx.conf";
  if (port_ == 0 || !WriteFile(config, Config(dir_, port_))) {
    *error = "cannot prepare the configuration";
    return false;
  }
  const std::string errorLog = dir_ + "/error.log";
  pid_ = fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    int log = open((dir_ + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    execl(kBinary, "nginx", "-p", dir_.c_str(), "-c", config.c_str(), "-e", errorLog.c_str(), "-g",
          "daemon off; master_process off;", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int poll = 0; poll < kReadyPolls; ++poll) {
    if (Accepts(port_)) return true;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream log(errorLog);
      std::string last, line;
      while (std::getline(log, line)) last = line;
      *error = "nginx exited: " + last;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  StopProcess();
  *error = "nginx did not accept connections in time";
  return false;
}

void NginxFixture::Stop() {
  StopProcess();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }
}

void NginxFixture::StopProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    bool ended = false;
    for (int poll = 0; poll < kReadyPolls && !ended; ++poll) {
      int status;
      ended = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
}

std::string GeneratedContent(size_t size, bool binary) {
  std::string content(size, '\0');
  uint32_t state = 2463534242u;  // xorshift: varied, reproducible bytes
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    content[i] = binary ? static_cast<char>(state & 0xFF) : static_cast<char>(' ' + state % 95);
  }
  return content;
}
