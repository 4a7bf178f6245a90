// Every failure point of the C library calls core.so makes, tried once. The
// test binary interposes those calls (core.so reaches them through the
// dynamic linker), counts the ones whose caller lies inside core.so and fails
// the N-th of a kind, for N = 1, 2, ... until a run no longer reaches it, in
// every scenario of the table below and in every realistic way the call can
// fail. Each run must leave heap and descriptors as they were and give either
// the undisturbed result or the failure the scenario documents; EINTR and
// short counts must come out whole. Calls from the test's own servers and
// libraries are not counted and never fail.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "http/httpclient.h"
#include "raknet/BitStream.h"
#include "testhost/host.h"
#include "tests/http_server.h"
#include "tests/http_test_support.h"
#include "tests/soak_support.h"
#include "tests/valgrind_support.h"
#include "util/runutil.h"

// AddressSanitizer's allocator cannot be interposed: there the test skips, as
// it does under valgrind, whose allocator stands in for the interposed one.
#if defined(__SANITIZE_ADDRESS__)
#define FAULT_SWEEP 0
#else
#define FAULT_SWEEP 1
#endif

#if FAULT_SWEEP

namespace sweep {

enum Kind {
  kMalloc,
  kCalloc,
  kRealloc,
  kNewArray,
  kSocket,
  kConnect,
  kSend,
  kRecv,
  kLookup,
  kFopen,
  kOpen,
  kRead,
  kKinds
};
const char* const kKindNames[kKinds] = {"malloc",          "calloc",  "realloc", "operator new[] (nothrow)",
                                        "socket",          "connect", "send",    "recv",
                                        "gethostbyname_r", "fopen",   "open",    "read"};

// How the armed call fails.
enum Effect {
  kError,           // fails at once with `error`
  kErrorAfterCall,  // makes the real call, then reports `error` (an interrupted connect goes on)
  kShortCount,      // passes on half the bytes asked for and returns that count
  kOneByte,         // passes on one byte of those asked for and returns 1
  kStorageTooSmall  // the lookup's storage is too small (ERANGE)
};

struct Variant {
  Kind kind;
  Effect effect;
  int error;
  bool whole;  // the result must equal the undisturbed run's
  const char* name;
};

const Variant kVariants[] = {
    {kMalloc, kError, ENOMEM, false, "null, ENOMEM"},
    {kCalloc, kError, ENOMEM, false, "null, ENOMEM"},
    {kRealloc, kError, ENOMEM, false, "null, ENOMEM"},
    {kNewArray, kError, ENOMEM, false, "null"},
    {kSocket, kError, EMFILE, false, "-1, EMFILE"},
    {kSocket, kError, ENOMEM, false, "-1, ENOMEM"},
    {kConnect, kError, ECONNREFUSED, false, "-1, ECONNREFUSED"},
    {kConnect, kErrorAfterCall, EINTR, true, "-1, EINTR, connecting on"},
    {kSend, kError, EPIPE, false, "-1, EPIPE"},
    {kSend, kError, EINTR, true, "-1, EINTR"},
    {kSend, kShortCount, 0, true, "short count"},
    {kSend, kOneByte, 0, true, "one byte"},
    {kRecv, kError, ECONNRESET, false, "-1, ECONNRESET"},
    {kRecv, kError, EINTR, true, "-1, EINTR"},
    {kRecv, kShortCount, 0, true, "short count"},
    {kRecv, kOneByte, 0, true, "one byte"},
    {kLookup, kError, HOST_NOT_FOUND, false, "no result, HOST_NOT_FOUND"},
    {kLookup, kStorageTooSmall, ERANGE, true, "ERANGE, storage too small"},
    {kFopen, kError, ENOMEM, false, "null, ENOMEM"},
    {kFopen, kError, EMFILE, false, "null, EMFILE"},
    // The memory map read at Load: where it cannot be read the host is
    // trusted, exactly as where it can and all is well.
    {kOpen, kError, ENOENT, true, "-1, ENOENT"},
    {kOpen, kError, EMFILE, true, "-1, EMFILE"},
    {kRead, kError, EIO, true, "-1, EIO"},
    {kRead, kError, EINTR, true, "-1, EINTR"},
    {kRead, kShortCount, 0, true, "short count"},
    {kRead, kOneByte, 0, true, "one byte"},
};

// Code ranges of every mapped copy of core.so (the linked one and those the
// test host loads), taken while nothing counts; setting `counting` publishes
// them to the test's server threads, whose calls are checked too.
struct Range {
  uintptr_t begin, end;
};
Range coreCode[8];
int coreRanges = 0;

std::atomic<bool> counting{false};
int calls[kKinds];  // calls from core.so in this run, touched on its thread only
const Variant* armed = nullptr;
int armedAt = 0;
bool fired = false;

void FindCore() {
  coreRanges = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        const size_t length = std::strlen(info->dlpi_name);
        if (length < 8 || std::strcmp(info->dlpi_name + length - 8, "/core.so") != 0) return 0;
        for (int i = 0; i < info->dlpi_phnum && coreRanges < 8; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X))
            coreCode[coreRanges++] = {info->dlpi_addr + segment.p_vaddr,
                                      info->dlpi_addr + segment.p_vaddr + segment.p_memsz};
        }
        return 0;
      },
      nullptr);
}

// The armed variant when this call is the one to fail, else null. Counts
// the call when it comes from core.so.
const Variant* Due(Kind kind, const void* caller) {
  if (!counting.load(std::memory_order_acquire)) return nullptr;
  const uintptr_t at = reinterpret_cast<uintptr_t>(caller);
  bool inCore = false;
  for (int i = 0; i < coreRanges; ++i) inCore = inCore || (at >= coreCode[i].begin && at < coreCode[i].end);
  if (!inCore || ++calls[kind] != armedAt || !armed || armed->kind != kind) return nullptr;
  fired = true;
  return armed;
}

// Counts core.so's calls while it lives.
struct Counting {
  Counting() {
    FindCore();
    counting = true;
  }
  ~Counting() { counting = false; }
};

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool IsShort(const Variant& v) { return v.effect == kShortCount || v.effect == kOneByte; }

// The bytes a short count passes on.
size_t ShortLength(const Variant& v, size_t length) {
  if (v.effect == kOneByte) return length > 0 ? 1 : 0;
  return length > 1 ? length / 2 : length;
}

}  // namespace sweep

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);
extern "C" void __libc_free(void* p);

extern "C" void* malloc(size_t size) {
  if (sweep::Due(sweep::kMalloc, __builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
  if (sweep::Due(sweep::kCalloc, __builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* p, size_t size) {
  if (sweep::Due(sweep::kRealloc, __builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_realloc(p, size);
}

// The array a stream hands out (CopyData) may come from the process's nothrow
// array operator; its delete[] pairs with it.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (sweep::Due(sweep::kNewArray, __builtin_return_address(0))) return nullptr;
  return __libc_malloc(size ? size : 1);
}
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }

extern "C" int socket(int domain, int type, int protocol) {
  static const auto next = sweep::Next<int (*)(int, int, int)>("socket");
  if (const sweep::Variant* v = sweep::Due(sweep::kSocket, __builtin_return_address(0))) return errno = v->error, -1;
  return next(domain, type, protocol);
}

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
  static const auto next = sweep::Next<int (*)(int, const sockaddr*, socklen_t)>("connect");
  if (const sweep::Variant* v = sweep::Due(sweep::kConnect, __builtin_return_address(0))) {
    if (v->effect == sweep::kErrorAfterCall) next(fd, address, length);
    return errno = v->error, -1;
  }
  return next(fd, address, length);
}

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags) {
  static const auto next = sweep::Next<ssize_t (*)(int, const void*, size_t, int)>("send");
  if (const sweep::Variant* v = sweep::Due(sweep::kSend, __builtin_return_address(0))) {
    if (sweep::IsShort(*v)) return next(fd, data, sweep::ShortLength(*v, length), flags);
    return errno = v->error, -1;
  }
  return next(fd, data, length, flags);
}

extern "C" ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  static const auto next = sweep::Next<ssize_t (*)(int, void*, size_t, int)>("recv");
  if (const sweep::Variant* v = sweep::Due(sweep::kRecv, __builtin_return_address(0))) {
    if (sweep::IsShort(*v)) return next(fd, buffer, sweep::ShortLength(*v, length), flags);
    return errno = v->error, -1;
  }
  return next(fd, buffer, length, flags);
}

extern "C" int gethostbyname_r(const char* name, hostent* entry, char* storage, size_t size, hostent** result,
                               int* error) {
  static const auto next =
      sweep::Next<int (*)(const char*, hostent*, char*, size_t, hostent**, int*)>("gethostbyname_r");
  if (const sweep::Variant* v = sweep::Due(sweep::kLookup, __builtin_return_address(0))) {
    *result = nullptr;
    if (v->effect == sweep::kStorageTooSmall) return *error = NETDB_INTERNAL, ERANGE;
    *error = v->error;
    return 0;
  }
  return next(name, entry, storage, size, result, error);
}

extern "C" FILE* fopen(const char* path, const char* mode) {
  static const auto next = sweep::Next<FILE* (*)(const char*, const char*)>("fopen");
  if (const sweep::Variant* v = sweep::Due(sweep::kFopen, __builtin_return_address(0)))
    return errno = v->error, nullptr;
  return next(path, mode);
}

// Named through assembler labels: the fortified headers define inline
// wrappers under the plain names.
extern "C" int SweepOpen(const char* path, int flags, ...) __asm__("open");
extern "C" int SweepOpen(const char* path, int flags, ...) {
  static const auto next = sweep::Next<int (*)(const char*, int, ...)>("open");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  if (const sweep::Variant* v = sweep::Due(sweep::kOpen, __builtin_return_address(0))) return errno = v->error, -1;
  return next(path, flags, mode);
}

extern "C" ssize_t SweepRead(int fd, void* buffer, size_t length) __asm__("read");
extern "C" ssize_t SweepRead(int fd, void* buffer, size_t length) {
  static const auto next = sweep::Next<ssize_t (*)(int, void*, size_t)>("read");
  if (const sweep::Variant* v = sweep::Due(sweep::kRead, __builtin_return_address(0))) {
    if (sweep::IsShort(*v)) return next(fd, buffer, sweep::ShortLength(*v, length));
    return errno = v->error, -1;
  }
  return next(fd, buffer, length);
}

namespace {

using namespace testhost;
using sweep::Variant;

// 64-bit FNV-1a, to compare long byte runs in a short line.
std::string Digest(const void* data, size_t length) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) h = (h ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
  char text[40];
  std::snprintf(text, sizeof text, "%zu bytes #%016llx", length, static_cast<unsigned long long>(h));
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
    lines.push_back(text.substr(from, at - from));
  lines.push_back(text.substr(from));
  return lines;
}

// What the host saw of a plugin run: a line per step with its result, the log
// lines and the bots it added.
struct HostView {
  TestHost& host;
  std::string& out;
  size_t logSeen = 0, botsSeen = 0;
  void Step(const char* what, long result) {
    out += std::string(what) + " -> " + std::to_string(result) + "; log [";
    for (; logSeen < host.log.size(); ++logSeen) out += host.log[logSeen] + "|";
    out += "]; bots [";
    for (; botsSeen < host.addPlayerCalls.size(); ++botsSeen)
      out += std::to_string(host.addPlayerCalls[botsSeen].id) + " " + host.addPlayerCalls[botsSeen].name + " " +
             host.addPlayerCalls[botsSeen].version + "|";
    out += "]\n";
  }
};

// Load, AmxLoad, a bot with a short name and one with a 300-character name
// (which the native copies to the heap), Unload.
const char kLongBotStep[] = "AddServerBot(4, 300 characters)";
void PluginLifecycle(std::string& out) {
  HostGame game;
  PlayerPool pool;
  game.SetPlayerPool(pool.address());
  TestHost host(DefaultPluginPath());
  host.SetGameVariables(&game);
  ScriptMachine script("gamemode");
  const cell shortName = script.AllocString("Bot"), longName = script.AllocString(std::string(300, 'n'));
  HostView view{host, out};
  {
    sweep::Counting counting;
    view.Step("Load", host.Load());
    view.Step("AmxLoad", host.AmxLoad(script));
    view.Step("AddServerBot(3, short)", script.CallNative("AddServerBot", {3, shortName}));
    view.Step(kLongBotStep, script.CallNative("AddServerBot", {4, longName}));
    host.Unload();
    view.Step("Unload", 0);
  }
  std::vector<EngineCall>().swap(EngineTable::calls());
}

// The long name's copy could not be had: that bot alone is missing, with a
// log line saying so.
bool PluginLifecycleFailed(const std::string& got, const std::string& clean, const Variant&) {
  std::string expected;
  for (const std::string& line : Lines(clean)) {
    if (line.rfind(kLongBotStep, 0) == 0)
      expected +=
          std::string(kLongBotStep) + " -> 1; log [Error. AddServerBot: no memory for a 300-character name|]; bots []";
    else
      expected += line;
    expected += '\n';
  }
  expected.pop_back();
  return got == expected;
}

// A scoreboard request with all 500 players connected, a fifth of them
// without a ping (so given a random one from a fixed seed).
constexpr int kRequester = 17;
void ScoreboardReply(std::string& out) {
  HostGame game;
  NetworkServer server;
  PlayerPool pool;
  game.SetNetworkServer(&server);
  game.SetPlayerPool(pool.address());
  for (int id = 0; id < kMaxPlayers; ++id) {
    pool.Connect(id, id * 7 - 1000);
    server.SetPing(id, id % 5 == 0 ? 0 : 10 + id);
  }
  TestHost host(DefaultPluginPath());
  host.SetGameVariables(&game);
  ScriptMachine script("gamemode");
  script.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>&) { return 1; });
  host.Load();
  host.AmxLoad(script);
  host.log.clear();
  std::srand(5);
  {
    sweep::Counting counting;
    host.DeliverScoreboardRequest(NetworkServer::AddressOf(kRequester));
  }
  out += "sends [";
  for (const RpcSend& send : server.sends)
    out += "rpc " + std::to_string(send.rpcId) + " to port " + std::to_string(send.target.port) + ", " +
           std::to_string(send.bitsUsed) + " bits, " + Digest(send.payload.data(), send.payload.size()) + "|";
  out += "]; publics [";
  for (const ScriptMachine::Execution& e : script.executions)
    out += e.publicName + "(" + std::to_string(e.args.empty() ? -1 : e.args[0]) + ")|";
  out += "]; log [";
  for (const std::string& line : host.log) out += line + "|";
  out += "]";
  std::vector<EngineCall>().swap(EngineTable::calls());
}

bool ScoreboardReplyFailed(const std::string& got, const std::string&, const Variant&) {
  return got == "sends []; publics []; log [Error. OnPlayerTabUpdate: out of memory, no scoreboard sent to playerid " +
                    std::to_string(kRequester) + "|]";
}

std::string StreamState(const char* name, const RakNet::BitStream& s, const unsigned char* callerBuffer) {
  const char* buffer = !s.data                    ? "no"
                       : s.data == s.inlineBuffer ? "inline"
                       : s.data == callerBuffer   ? "caller's"
                                                  : "heap";
  char text[160];
  std::snprintf(text, sizeof text, "%s: used %d, allocated %d, read %d, %s, %s buffer, ", name, s.numberOfBitsUsed,
                s.numberOfBitsAllocated, s.readOffset, s.copyData ? "owns" : "borrows", buffer);
  return text + Digest(s.data, s.data ? (s.numberOfBitsUsed + 7) / 8 : 0);
}

// Bit streams: growth onto the heap and on it, a stream on a caller's buffer
// written past its end, AssertCopyData, CopyData and stream-to-stream copies.
// A line per step with every stream's state; a step that changes nothing (a
// dropped write) ends the run.
void BitStreamWork(std::string& out) {
  using RakNet::BitStream;
  unsigned char pattern[300], small[8], large[300];
  for (int i = 0; i < 300; ++i) pattern[i] = large[i] = static_cast<unsigned char>(i * 37 + 11);
  for (int i = 0; i < 8; ++i) small[i] = static_cast<unsigned char>(0xA0 + i);
  BitStream grown, onSmall(small, sizeof small, false), onLarge(large, sizeof large, false), target;
  target.Write1();
  target.Write0();
  target.Write1();
  unsigned char* copy = nullptr;
  int copyBits = 0;
  const auto state = [&] {
    return StreamState("grown", grown, nullptr) + "; " + StreamState("on small", onSmall, small) + "; small " +
           Digest(small, sizeof small) + "; " + StreamState("on large", onLarge, large) + "; large " +
           Digest(large, sizeof large) + "; " + StreamState("target", target, nullptr) + "; copy " +
           std::to_string(copyBits) + " bits, " + (copy ? Digest(copy, (copyBits + 7) / 8) : "none");
  };
  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"WriteBits 515", [&] { grown.WriteBits(pattern, 515, true); }},
      {"Write 64 bytes", [&] { grown.Write(reinterpret_cast<const char*>(pattern), 64); }},
      {"WriteAlignedBytes 100", [&] { grown.WriteAlignedBytes(pattern, 100); }},
      {"Write1", [&] { grown.Write1(); }},
      {"Write 200 bytes", [&] { grown.Write(reinterpret_cast<const char*>(pattern + 50), 200); }},
      {"WriteBits 2007", [&] { grown.WriteBits(pattern, 2007, true); }},
      // At a byte boundary, so that a dropped block leaves the stream exactly
      // as it was (off one, the alignment would stay, as with a count of 0).
      {"WriteAlignedBytes 300", [&] { grown.WriteAlignedBytes(pattern, 300); }},
      {"past the end of a caller's buffer", [&] { onSmall.WriteBits(pattern, 24, true); }},
      {"AssertCopyData", [&] { onLarge.AssertCopyData(); }},
      {"CopyData", [&] { copyBits = grown.CopyData(&copy); }},
      {"Write(stream, 3000)", [&] { target.Write(&grown, 3000); }},
      {"Write(stream)", [&] { target.Write(&onLarge); }},
  };
  std::string before = state();
  out += "start: " + before;
  {
    sweep::Counting counting;
    for (const auto& step : steps) {
      step.second();
      const std::string after = state();
      out += std::string("\n") + step.first + ": " + after;
      if (after == before) break;
      before = after;
    }
  }
  delete[] copy;
}

// The write that needed memory was dropped whole: every step before it as in
// the undisturbed run, that step leaving every stream as it was.
bool BitStreamWorkFailed(const std::string& got, const std::string& clean, const Variant&) {
  const std::vector<std::string> gotLines = Lines(got), cleanLines = Lines(clean);
  const size_t last = gotLines.size() - 1;
  if (last == 0 || last >= cleanLines.size()) return false;
  for (size_t i = 0; i < last; ++i)
    if (gotLines[i] != cleanLines[i]) return false;
  const auto stateOf = [](const std::string& line) { return line.substr(line.find(": ") + 2); };
  const std::string label = cleanLines[last].substr(0, cleanLines[last].find(": "));
  return gotLines[last].rfind(label + ": ", 0) == 0 && stateOf(gotLines[last]) == stateOf(gotLines[last - 1]);
}

// The stored body and its NUL, within the field.
size_t BodyBytes(const CHttpClient& c) {
  const int length = c.iResponseBodyLength;
  return length >= 0 && length < kHttpBodySize ? static_cast<size_t>(length) + 1 : 0;
}

// A request against a local server whose response declares its length and
// carries 5000 body bytes (none for HEAD), so the reply takes several receives.
void HttpRequest(int type, std::string& out) {
  std::string body(5000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i * 7 % 26);
  ServerScript script;
  script.chunks = {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5000\r\n\r\n" +
                   (type == HTTP_HEAD ? std::string() : body)};
  ScriptedServer server(script);
  std::string url = server.Url("/sweep?q=1"), data = "name=value&x=y", referer = "sweep.test/start";
  auto client = std::make_unique<CHttpClient>();
  {
    sweep::Counting counting;
    client->ProcessURL(type, &url[0], &data[0], &referer[0]);
  }
  const CHttpClient& c = *client;
  const int error = c.iError;
  out += "error " + std::to_string(error) + ", ";
  const bool untouched = c.szResponseHeader[0] == 0 && c.szResponseBody[0] == 0 && c.iResponseHeaderLength == 0 &&
                         c.iResponseBodyLength == 0 && c.iResponseCode == 0 && c.iContentType == 0;
  if (error != HTTP_ERROR_NONE && untouched) {
    out += "response side untouched";
  } else {
    out += "code " + std::to_string(c.iResponseCode) + ", content type " + std::to_string(c.iContentType) +
           ", header " + std::to_string(c.iResponseHeaderLength) + " [" + c.szResponseHeader + "], body " +
           std::to_string(c.iResponseBodyLength) + ": " + Digest(c.szResponseBody, BodyBytes(c));
  }
  client.reset();  // closes a socket left open after a failed send
  Poke(server.port());
  server.Join();
  if (error == HTTP_ERROR_NONE) out += "\nrequest as received: [" + server.request() + "]";
}

// The error code each hard failure documents; the response side stays
// untouched.
bool HttpRequestFailed(const std::string& got, const std::string&, const Variant& v) {
  int code = -1;
  switch (v.kind) {
    case sweep::kLookup:
      code = HTTP_ERROR_BAD_HOST;
      break;
    case sweep::kSocket:
      code = HTTP_ERROR_NO_SOCKET;
      break;
    case sweep::kConnect:
      code = HTTP_ERROR_CANT_CONNECT;
      break;
    case sweep::kSend:
      code = HTTP_ERROR_CANT_WRITE;
      break;
    case sweep::kRecv:
      code = HTTP_ERROR_INCOMPLETE_RESPONSE;
      break;
    default:
      return false;
  }
  return got == "error " + std::to_string(code) + ", response side untouched";
}

void FileCheck(std::string& out) {
  char path[] = "/tmp/fault-sweep-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, "x", 1) != 1) out += "(no file) ";
  close(fd);
  int result;
  {
    sweep::Counting counting;
    result = CanFileBeOpenedForReading(path);
  }
  unlink(path);
  out += "result " + std::to_string(result);
}

bool FileCheckFailed(const std::string& got, const std::string&, const Variant&) { return got == "result 0"; }

struct Scenario {
  const char* name;
  std::function<void(std::string&)> run;  // appends what the caller observed
  // Whether a result is the failure this scenario documents for the variant.
  bool (*documented)(const std::string& got, const std::string& clean, const Variant& v);
  const char* cleanHas;  // the undisturbed result holds this
};

const Scenario kScenarios[] = {
    {"Load/AmxLoad/AddServerBot/Unload", PluginLifecycle, PluginLifecycleFailed,
     "300 characters) -> 1; log []; bots [4 nnn"},
    {"scoreboard reply, 500 players", ScoreboardReply, ScoreboardReplyFailed, "rpc 155 to port 7017, 40000 bits"},
    {"bit streams", BitStreamWork, BitStreamWorkFailed, "target: used 5403, allocated 6006"},
    {"HTTP GET", [](std::string& out) { HttpRequest(HTTP_GET, out); }, HttpRequestFailed,
     "error 0, code 200, content type 1, header 63"},
    {"HTTP POST", [](std::string& out) { HttpRequest(HTTP_POST, out); }, HttpRequestFailed,
     "Content-length: 14\r\n\r\nname=value&x=y]"},
    {"HTTP HEAD", [](std::string& out) { HttpRequest(HTTP_HEAD, out); }, HttpRequestFailed, "body 0: 1 bytes"},
    {"CanFileBeOpenedForReading", FileCheck, FileCheckFailed, "result 1"},
};

struct Outcome {
  std::string result;
  int calls[sweep::kKinds];
  bool fired;
  size_t heapBefore, heapAfter;
  int descriptorsBefore, descriptorsAfter;
};

// One run of a scenario with the nth call of the variant's kind failed (none
// for a null variant). The result's storage is reserved up front, so that
// the heap figures see the scenario alone.
Outcome RunOnce(const Scenario& scenario, const Variant* variant, int nth) {
  Outcome o;
  o.result.reserve(64 * 1024);
  std::memset(sweep::calls, 0, sizeof sweep::calls);
  sweep::armed = variant;
  sweep::armedAt = nth;
  sweep::fired = false;
  o.descriptorsBefore = soak::OpenDescriptors();
  o.heapBefore = soak::HeapInUse();
  scenario.run(o.result);
  o.heapAfter = soak::HeapInUse();
  o.descriptorsAfter = soak::OpenDescriptors();
  sweep::armed = nullptr;
  std::memcpy(o.calls, sweep::calls, sizeof o.calls);
  o.fired = sweep::fired;
  return o;
}

TEST(FaultSweep, EveryFailurePointOfCoreSoLibraryCallsTriedOnce) {
  if (UnderValgrind()) GTEST_SKIP() << "valgrind replaces the allocator these interposers would count";
  for (const Scenario& scenario : kScenarios) {
    // One-time allocations of the libraries involved (a second load of the
    // plugin still takes some) are made before the figures count.
    for (int warmUp = 0; warmUp < 2; ++warmUp) RunOnce(scenario, nullptr, 0);
    const Outcome clean = RunOnce(scenario, nullptr, 0);
    ASSERT_NE(clean.result.find(scenario.cleanHas), std::string::npos) << scenario.name << ":\n" << clean.result;
    EXPECT_EQ(clean.heapAfter, clean.heapBefore) << scenario.name;
    EXPECT_EQ(clean.descriptorsAfter, clean.descriptorsBefore) << scenario.name;
    int cleanCalls = 0;
    for (int count : clean.calls) cleanCalls += count;
    EXPECT_GT(cleanCalls, 0) << scenario.name << ": no call from core.so was seen, so none was tried";
    int points[sweep::kKinds] = {};
    for (const Variant& v : sweep::kVariants) {
      for (int n = 1; n <= 100; ++n) {
        const Outcome o = RunOnce(scenario, &v, n);
        if (!o.fired && n > clean.calls[v.kind]) break;
        if (o.fired && n > points[v.kind]) points[v.kind] = n;
        const std::string what = std::string(scenario.name) + ": " + sweep::kKindNames[v.kind] + " call " +
                                 std::to_string(n) + " failed with " + v.name;
        EXPECT_EQ(o.heapAfter, o.heapBefore) << what;
        EXPECT_EQ(o.descriptorsAfter, o.descriptorsBefore) << what;
        const bool accepted =
            o.result == clean.result || (o.fired && !v.whole && scenario.documented(o.result, clean.result, v));
        EXPECT_TRUE(accepted) << what << "\ngot:\n" << o.result << "\nundisturbed:\n" << clean.result;
        EXPECT_LT(n, 100) << what << ": a run that keeps reaching further calls";
      }
    }
    for (int kind = 0; kind < sweep::kKinds; ++kind)
      std::printf("fault sweep, %s: %s, %d failure points\n", scenario.name, sweep::kKindNames[kind], points[kind]);
  }
}

}  // namespace

#else

TEST(FaultSweep, EveryFailurePointOfCoreSoLibraryCallsTriedOnce) {
  GTEST_SKIP() << (UnderValgrind() ? "valgrind" : "the sanitizer") << "'s allocator cannot be interposed";
}

#endif
