#include "testhost/host.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testhost {
namespace {

TestHost* g_host = nullptr;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "testhost: %s\n", what.c_str());
  std::abort();
}

uint32_t Word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

template <typename T>
T& At(uintptr_t address) {
  return *reinterpret_cast<T*>(address);
}

static_assert(PROT_READ == 1 && PROT_WRITE == 2 && PROT_EXEC == 4, "HostLayout's defaults");

// The page of a fixed address, as this process maps it now: the host binary
// has its variables and routines there.
struct FixedPage {
  uintptr_t address;
  int protection = kUnmapped;

  void* page() const { return reinterpret_cast<void*>(address & ~static_cast<uintptr_t>(0xFFF)); }
  // A variable keeps no HostGame of an earlier host.
  void ClearWord() {
    if (protection != kUnmapped && (protection & PROT_WRITE)) At<uint32_t>(address) = 0;
  }
  // Maps or unmaps the page, or changes its access; a fresh page is filled
  // by `fill` while still writable.
  void Set(int wanted, void (*fill)() = nullptr) {
    if (wanted == protection) return;
    if (wanted == kUnmapped) {
      munmap(page(), 4096);
    } else if (protection == kUnmapped) {
      void* p = mmap(page(), 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (p != page()) Fail("cannot map the host page at " + std::to_string(Word(page())));
      if (fill) fill();
    }
    if (wanted != kUnmapped && mprotect(page(), 4096, wanted) != 0) Fail("mprotect failed");
    protection = wanted;
  }
};

FixedPage gameVariablePage{kGameVariable}, botGameVariablePage{kBotGameVariable}, addPlayerPage{kAddPlayerRoutine};

}  // namespace

// Functions the plugin calls as if they were the server's own.
struct HostCallbacks {
  static void Log(const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (!g_host) Fail("log line with no host loaded");
    g_host->log.push_back(line);
    if (g_host->echoLog_) std::printf("%s\n", line);
  }

  static int AddPlayer(void* pool, int32_t id, const char* name, int32_t fourth, const char* version, int32_t sixth) {
    if (!g_host) Fail("add-player call with no host loaded");
    g_host->addPlayerCalls.push_back(
        {pool, id, name == nullptr, name ? name : "", fourth, version ? version : "(null)", sixth});
    return 1;
  }
};

// The network server's operations, with the server's calling conventions:
// the object first, everything on the stack, the caller pops.
struct NetworkServerOps {
  static int32_t GetPing(NetworkServer* self, PlayerAddress peer) { return self->PingOf(peer); }

  static bool SendRpc(NetworkServer* self, int* rpcId, const unsigned char* stream, int priority, int reliability,
                      char orderingChannel, PlayerAddress target, bool broadcast, bool shiftTimestamp) {
    // Read the stream in place through its layout: bits used at byte 0, data pointer at byte 12.
    if (self->throwOnSend) throw std::runtime_error("send failed");
    if (self->onSend) self->onSend(stream);
    int32_t bitsUsed;
    const unsigned char* data;
    std::memcpy(&bitsUsed, stream, 4);
    std::memcpy(&data, stream + 12, 4);
    bool inlineData = data >= stream && data < stream + 276;
    RpcSend send{self,        *rpcId,          {},     bitsUsed,  inlineData,    priority,
                 reliability, orderingChannel, target, broadcast, shiftTimestamp};
    if (bitsUsed > 0) send.payload.assign(data, data + (bitsUsed + 7) / 8);
    self->sends.push_back(std::move(send));
    if (self->onSent) self->onSent(self->sends.back());
    return true;
  }

  static int32_t PlayerIdOf(NetworkServer*, PlayerAddress peer) {
    int id = NetworkServer::IdOf(peer);
    return id < 0 ? 0xFFFF : id;
  }

  static PlayerAddress AddressOf(NetworkServer*, int32_t id) { return NetworkServer::AddressOf(id); }

  [[noreturn]] static void Unexpected() { Fail("the plugin called a network server operation it has no use for"); }
};

void HostGame::SetPlayerPool(void* pool) { words[2] = Word(pool); }
void HostGame::SetNetworkServer(void* server) { words[15] = Word(server); }

PlayerPool::PlayerPool() : bytes_(80000, 0) {}
void PlayerPool::SetWord(int offset, uint32_t value) { std::memcpy(&bytes_[offset], &value, 4); }
void PlayerPool::Connect(int id, int32_t score) {
  SetWord(75012 + 4 * id, 1);
  SetWord(2012 + 4 * id, static_cast<uint32_t>(score));
}
void PlayerPool::Disconnect(int id) { SetWord(75012 + 4 * id, 0); }

NetworkServer::NetworkServer() : table_(slots_) {
  for (void*& slot : slots_) slot = reinterpret_cast<void*>(&NetworkServerOps::Unexpected);
  slots_[20] = reinterpret_cast<void*>(&NetworkServerOps::GetPing);
  slots_[35] = reinterpret_cast<void*>(&NetworkServerOps::SendRpc);
  slots_[58] = reinterpret_cast<void*>(&NetworkServerOps::PlayerIdOf);
  slots_[59] = reinterpret_cast<void*>(&NetworkServerOps::AddressOf);
}

PlayerAddress NetworkServer::AddressOf(int id) { return PlayerAddress{0x0100007F, static_cast<uint16_t>(7000 + id)}; }

int NetworkServer::IdOf(PlayerAddress address) {
  int id = address.port - 7000;
  if (address.binaryAddress != 0x0100007F || id < 0 || id >= kMaxPlayers) return -1;
  return id;
}

int32_t NetworkServer::PingOf(PlayerAddress address) {
  int id = IdOf(address);
  return id < 0 ? -1 : pings_[id];
}

std::string DefaultPluginPath() {
  const char* env = std::getenv("CORE_SO");
  return env ? env : CORE_SO_PATH;
}

TestHost::TestHost(const std::string& pluginPath, bool echoLog, HostLayout layout)
    : echoLog_(echoLog), layout_(layout) {
  if (g_host) Fail("only one test host at a time");
  gameVariablePage.ClearWord();
  botGameVariablePage.ClearWord();
  gameVariablePage.Set(layout.gameVariable);
  botGameVariablePage.Set(layout.botGameVariable);
  addPlayerPage.Set(layout.addPlayerRoutine, [] {
    // mov eax, HostCallbacks::AddPlayer; jmp eax -- the arguments stay where the caller put them.
    unsigned char* code = reinterpret_cast<unsigned char*>(kAddPlayerRoutine);
    uint32_t target = Word(reinterpret_cast<void*>(&HostCallbacks::AddPlayer));
    code[0] = 0xB8;
    std::memcpy(code + 1, &target, 4);
    code[5] = 0xFF;
    code[6] = 0xE0;
  });

  // A private copy gives a fresh plugin instance with zeroed state.
  char dir[] = "/tmp/testhost-XXXXXX";
  if (!mkdtemp(dir)) Fail("mkdtemp failed");
  privateCopy_ = std::string(dir) + "/core.so";
  {
    std::ifstream in(pluginPath, std::ios::binary);
    if (!in) Fail("cannot read " + pluginPath);
    std::ofstream out(privateCopy_, std::ios::binary);
    out << in.rdbuf();
  }
  library_ = dlopen(privateCopy_.c_str(), RTLD_NOW | RTLD_LOCAL);
  unlink(privateCopy_.c_str());
  rmdir(dir);
  if (!library_) Fail(std::string("dlopen: ") + dlerror());

  pluginData_[0] = reinterpret_cast<void*>(&HostCallbacks::Log);
  pluginData_[16] = engine_.entries();
  uint32_t variable = Word(&playersVariable_);
  std::memcpy(codeBlock_ + 10, &variable, 4);
  pluginData_[17] = codeBlock_;
  g_host = this;
}

TestHost::~TestHost() {
  if (library_) dlclose(library_);
  g_host = nullptr;
}

void TestHost::SetGameVariable(HostGame* game) {
  if (layout_.gameVariable != kUnmapped && (layout_.gameVariable & PROT_WRITE))
    At<uint32_t>(kGameVariable) = Word(game);
}
void TestHost::SetBotGameVariable(HostGame* game) {
  if (layout_.botGameVariable != kUnmapped && (layout_.botGameVariable & PROT_WRITE))
    At<uint32_t>(kBotGameVariable) = Word(game);
}
void TestHost::SetPlayersVariable(HostGame* game) { playersVariable_ = game; }
void TestHost::SetGameVariables(HostGame* game) {
  SetGameVariable(game);
  SetBotGameVariable(game);
  SetPlayersVariable(game);
}

void* TestHost::Symbol(const char* name) const { return dlsym(library_, name); }

template <typename Fn>
Fn TestHost::Entry(const char* name) const {
  void* p = Symbol(name);
  if (!p) Fail(std::string("plugin does not export ") + name);
  return reinterpret_cast<Fn>(p);
}

uint32_t TestHost::Supports() { return Entry<uint32_t (*)()>("Supports")(); }
int TestHost::Load() { return Entry<int (*)(void**)>("Load")(pluginData_); }
void TestHost::Unload() { Entry<void (*)()>("Unload")(); }
int TestHost::AmxLoad(ScriptMachine& m) { return Entry<int (*)(Machine*)>("AmxLoad")(m.handle()); }
int TestHost::AmxUnload(ScriptMachine& m) { return Entry<int (*)(Machine*)>("AmxUnload")(m.handle()); }
int TestHost::AmxLoad(CompiledScript& s) { return Entry<int (*)(Machine*)>("AmxLoad")(s.handle()); }
int TestHost::AmxUnload(CompiledScript& s) { return Entry<int (*)(Machine*)>("AmxUnload")(s.handle()); }
void TestHost::ProcessTick() { Entry<void (*)()>("ProcessTick")(); }
void* TestHost::GetGamePool() { return Entry<void* (*)()>("_Z11GetGamePoolv")(); }

void TestHost::DeliverScoreboardRequest(PlayerAddress sender) {
  unsigned char request[4] = {0xDE, 0xAD, 0xBE, 0xEF};  // the handler must not care
  RpcParameters parameters{request, 32, sender};
  if (!scoreboardHandler_)
    scoreboardHandler_ = Entry<void (*)(RpcParameters*)>("_Z17OnPlayerTabUpdateP13RPCParameters");
  scoreboardHandler_(&parameters);
}

}  // namespace testhost
