// Scoreboard reply: RPC 155 with one 10-byte entry (id 16 bits, score 32,
// ping 32) per connected player, in ascending id order.
#include "plugin/scoreboard.h"

#include <cstdint>
#include <cstdlib>

#include "plugin/state.h"
#include "raknet/BitStream.h"

static const char kPublicName[] = "OnPlayerTabUpdate";

// Clients show a missing or absurd ping as lag; such players get a plausible one.
static int32_t ShownPing(int32_t ping) {
  uint32_t raw = static_cast<uint32_t>(ping);
  if (raw == 0 || raw > 65535) return std::rand() % 100 + 10;
  return ping;
}

static void WriteEntry(RakNet::BitStream& reply, int id, int32_t score, int32_t ping) {
  uint16_t id16 = static_cast<uint16_t>(id);
  reply.WriteBits(reinterpret_cast<const unsigned char*>(&id16), 16, true);
  reply.WriteBits(reinterpret_cast<const unsigned char*>(&score), 32, true);
  reply.WriteBits(reinterpret_cast<const unsigned char*>(&ping), 32, true);
}

static void RunPublic(cell requesterId) {
  // Cleared by AmxUnload, so this is either null or a live machine.
  tagAMX* machine = iCallback;
  int index = 0;
  if (!machine || amx_FindPublic(machine, kPublicName, &index) != 0) return;
  amx_Push(machine, requesterId);
  cell ignored = 0;
  amx_Exec(machine, &ignored, index);
}

void OnPlayerTabUpdate(RPCParameters* parameters) {
  // The network server comes from the HostGame the host holds now; the
  // player pool from the HostGame captured when the last script loaded.
  // Without either there is nobody to ask or nothing to list: no reply.
  void* currentGame = ppPlayers ? *static_cast<void**>(ppPlayers) : nullptr;
  void* server = currentGame ? host::NetworkServerOf(currentGame) : nullptr;
  void* pool = pGame ? host::PlayerPoolOf(pGame) : nullptr;
  if (!server || !pool) return;

  PlayerAddress sender = parameters->sender;
  int32_t requesterId = host::PlayerIdOf(server, sender);

  RakNet::BitStream reply;  // released on every way out, unwinding included
  for (int id = 0; id < host::kMaxPlayers; ++id) {
    if (!host::IsConnected(pool, id)) continue;
    PlayerAddress peer = host::AddressOf(server, id);
    int32_t ping = ShownPing(host::GetPing(server, peer));
    WriteEntry(reply, id, host::ScoreOf(pool, id), ping);
  }

  int rpcId = kScoreboardReplyRpc;
  host::SendRpc(server, &rpcId, &reply, kReplyPriority, kReplyReliability, kReplyOrderingChannel, sender,
                /*broadcast=*/false, /*shiftTimestamp=*/false);
  RunPublic(requesterId);
}
