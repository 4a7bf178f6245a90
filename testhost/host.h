// The test host: a stand-in for the game server that loads core.so the way
// the server does and plays the server's side of the binary interface.
//
// It maps the host variables and the add-player routine at their fixed
// addresses, hands the plugin a PluginData array (log function, script-engine
// table, the code address that embeds the HostGame variable's address), and
// provides HostGame, PlayerPool and NetworkServer objects laid out as the
// host lays them out. Only one TestHost may exist at a time, since the fixed
// addresses are process-wide.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testhost/real_engine.h"
#include "testhost/script_machine.h"

namespace testhost {

struct PlayerAddress {
  uint32_t binaryAddress;
  uint16_t port;
};

// The record the network server hands to an RPC handler.
struct RpcParameters {
  unsigned char* input;
  uint32_t numberOfBitsOfData;
  PlayerAddress sender;
};

constexpr uintptr_t kGameVariable = 0x0819C128;
constexpr uintptr_t kBotGameVariable = 0x081CA4BC;
constexpr uintptr_t kAddPlayerRoutine = 0x080D0660;
constexpr int kMaxPlayers = 500;
constexpr int kPluginDataEntries = 32;

// A HostGame: PlayerPool pointer at byte 8, NetworkServer pointer at byte 60.
struct HostGame {
  uint32_t words[32] = {};
  void SetPlayerPool(void* pool);
  void SetNetworkServer(void* server);
};

// A PlayerPool: scores at byte 2012 + 4 * id, connected flags at 75012 + 4 * id.
class PlayerPool {
 public:
  PlayerPool();
  void Connect(int id, int32_t score);
  void Disconnect(int id);
  // Writes a flag or score the way the host would, also past id 499.
  void SetWord(int offset, uint32_t value);
  void* address() { return bytes_.data(); }

 private:
  std::vector<unsigned char> bytes_;
};

struct AddPlayerCall {
  void* pool;
  int32_t id;
  bool nameIsNull;
  std::string name;
  int32_t fourth;
  std::string version;
  int32_t sixth;
};

struct RpcSend {
  void* server;
  int rpcId;
  std::vector<unsigned char> payload;  // the stream's used bytes, read in place
  int bitsUsed;
  bool payloadInline;  // data pointed into the stream object itself
  int priority;
  int reliability;
  int orderingChannel;
  PlayerAddress target;
  bool broadcast;
  bool shiftTimestamp;
};

// A NetworkServer whose first word points to its operation table. Peer i has
// the address 127.0.0.1 with port 7000 + i.
class NetworkServer {
  [[maybe_unused]] void** table_;  // must stay the first member: the plugin reads it at offset 0

 public:
  NetworkServer();
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;
  void SetPing(int id, int32_t ping) { pings_[id] = ping; }
  int32_t PingOf(PlayerAddress address);
  static PlayerAddress AddressOf(int id);
  static int IdOf(PlayerAddress address);  // -1 when unknown
  std::vector<RpcSend> sends;
  bool throwOnSend = false;  // the send operation throws, as a failing host might
  // Called by the send operation with the payload stream, which it reads in place.
  std::function<void(const unsigned char* stream)> onSend;
  // Called by the send operation once the send is recorded.
  std::function<void(const RpcSend& send)> onSent;

 private:
  void* slots_[64];
  int32_t pings_[kMaxPlayers] = {};
};

// How the host maps the pages of its fixed addresses: by default as the
// server build the plugin was made for (the variables writable, the routine
// executable); another build may leave a page unmapped (kUnmapped) or map it
// with other access (mmap protection bits).
constexpr int kUnmapped = -1;
struct HostLayout {
  int gameVariable = 3;      // PROT_READ | PROT_WRITE
  int botGameVariable = 3;   // PROT_READ | PROT_WRITE
  int addPlayerRoutine = 7;  // PROT_READ | PROT_WRITE | PROT_EXEC
};

class TestHost {
 public:
  // Loads a fresh instance of the plugin at pluginPath (copied to a private
  // file, so every TestHost starts from zeroed plugin state). The variables'
  // setters write only where the layout maps a variable writable.
  explicit TestHost(const std::string& pluginPath, bool echoLog = false, HostLayout layout = {});
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The host variables.
  void SetGameVariable(HostGame* game);
  void SetBotGameVariable(HostGame* game);
  void SetPlayersVariable(HostGame* game);  // the one whose address entry 17 embeds
  // All three at the same HostGame, as a running server has them.
  void SetGameVariables(HostGame* game);

  // Entry points, called as the server calls them.
  uint32_t Supports();
  int Load();
  void Unload();
  int AmxLoad(ScriptMachine& machine);
  int AmxUnload(ScriptMachine& machine);
  int AmxLoad(CompiledScript& script);
  int AmxUnload(CompiledScript& script);
  void ProcessTick();
  void* GetGamePool();
  // Delivers a scoreboard request from a peer, as the network server would.
  void DeliverScoreboardRequest(PlayerAddress sender);

  void* Symbol(const char* name) const;
  void** pluginData() { return pluginData_; }
  EngineTable& engine() { return engine_; }
  // Hands the plugin another script-engine table (the real engine's) at Load.
  void SetEngineTable(void** entries) { pluginData_[16] = entries; }

  std::vector<std::string> log;
  std::vector<AddPlayerCall> addPlayerCalls;

 private:
  friend struct HostCallbacks;
  template <typename Fn>
  Fn Entry(const char* name) const;

  void* library_ = nullptr;
  std::string privateCopy_;
  bool echoLog_;
  EngineTable engine_;
  void* pluginData_[kPluginDataEntries] = {};
  unsigned char codeBlock_[16] = {};
  HostLayout layout_;
  HostGame* playersVariable_ = nullptr;
  void (*scoreboardHandler_)(RpcParameters*) = nullptr;  // looked up once, as a server registers it
};

// The default plugin path: $CORE_SO, else the path compiled in.
std::string DefaultPluginPath();

}  // namespace testhost
