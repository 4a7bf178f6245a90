// Facts about the one host build the plugin is bound to: fixed addresses,
// object offsets and the network server's operations. Everything the plugin
// knows about host memory is here, so the rest of the code never does
// pointer arithmetic on host objects itself.
#pragma once

#include <cstdint>
#include <cstring>

#include "plugin/host_exports.h"  // PlayerAddress, shared with the handler's shipped declaration

namespace RakNet {
class BitStream;
}

namespace host {

// Host variables and routines at fixed addresses.
constexpr uintptr_t kGameVariable = 0x0819C128;
constexpr uintptr_t kBotGameVariable = 0x081CA4BC;
constexpr uintptr_t kAddPlayerRoutine = 0x080D0660;
// The word this many bytes past the code address in plugin data entry 17 is
// the address of the host variable holding the HostGame pointer.
constexpr int kCodeEmbeddedAddressOffset = 10;

// HostGame words.
constexpr int kGamePlayerPoolOffset = 8;
constexpr int kGameNetworkServerOffset = 60;

// PlayerPool arrays, indexed by player id.
constexpr int kMaxPlayers = 500;
constexpr int kPoolScoreOffset = 2012;
constexpr int kPoolConnectedOffset = 75012;

// Network server operation table positions.
constexpr int kOpGetPing = 20;
constexpr int kOpSendRpc = 35;
constexpr int kOpPlayerIdOfAddress = 58;
constexpr int kOpAddressOfPlayerId = 59;

inline uint32_t ReadWord(const void* base, int offset) {
  uint32_t word;
  std::memcpy(&word, static_cast<const char*>(base) + offset, sizeof word);
  return word;
}

inline void* ReadPointer(const void* base, int offset) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(ReadWord(base, offset)));
}

// The HostGame pointer held by a host variable at a fixed address.
inline void* GameAt(uintptr_t variable) { return ReadPointer(reinterpret_cast<const void*>(variable), 0); }

inline void* PlayerPoolOf(const void* game) { return ReadPointer(game, kGamePlayerPoolOffset); }
inline void* NetworkServerOf(const void* game) { return ReadPointer(game, kGameNetworkServerOffset); }

inline bool IsConnected(const void* pool, int id) { return ReadWord(pool, kPoolConnectedOffset + 4 * id) != 0; }
inline int32_t ScoreOf(const void* pool, int id) {
  return static_cast<int32_t>(ReadWord(pool, kPoolScoreOffset + 4 * id));
}

// Network server operations: object first, arguments on the stack, caller pops.
template <typename Fn>
inline Fn Operation(void* server, int position) {
  void** table = *static_cast<void***>(server);
  return reinterpret_cast<Fn>(table[position]);
}

// The per-player operations, which the scoreboard looks up once per reply.
typedef int32_t (*GetPingOp)(void* server, PlayerAddress peer);
// Returned through a hidden result pointer that the callee pops, as the
// 32-bit ABI does for every structure result.
typedef PlayerAddress (*AddressOfOp)(void* server, int32_t id);

inline void SendRpc(void* server, int* rpcId, RakNet::BitStream* payload, int priority, int reliability,
                    char orderingChannel, PlayerAddress target, bool broadcast, bool shiftTimestamp) {
  typedef bool (*Fn)(void*, int*, RakNet::BitStream*, int, int, char, PlayerAddress, bool, bool);
  Operation<Fn>(server, kOpSendRpc)(server, rpcId, payload, priority, reliability, orderingChannel, target, broadcast,
                                    shiftTimestamp);
}

inline int32_t PlayerIdOf(void* server, PlayerAddress peer) {
  return Operation<int32_t (*)(void*, PlayerAddress)>(server, kOpPlayerIdOfAddress)(server, peer);
}

// The host's add-player routine; its result is not used.
inline void AddPlayer(void* pool, int32_t id, const char* name, const char* versionText) {
  typedef int (*Fn)(void*, int32_t, const char*, int, const char*, int);
  reinterpret_cast<Fn>(kAddPlayerRoutine)(pool, id, name, 0, versionText, 0);
}

}  // namespace host
