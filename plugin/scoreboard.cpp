// Scoreboard reply: RPC 155 with one 10-byte entry (id 16 bits, score 32,
// ping 32) per connected player, in ascending id order.
//
// Every entry starts on a byte boundary, so writing its fields bit by bit
// would store exactly the values' bytes in memory order. The handler stores
// those bytes straight into the stream's buffer instead, and leaves the
// stream as a field-by-field build leaves it: the same bytes and bit count,
// the inline buffer up to 25 entries, beyond that a heap buffer of the size
// the growth rule reaches and the matching allocated bit count.
#include "plugin/scoreboard.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plugin/state.h"
#include "raknet/BitStream.h"

static const char kPublicName[] = "OnPlayerTabUpdate";

namespace {

constexpr int kEntryBytes = 10;
constexpr int kEntryBits = 8 * kEntryBytes;
// An entry's fields in the order they are written (id, score, ping), in bits.
constexpr int kFieldBits[] = {16, 32, 32};

// The network server and its two per-player operations, looked up once: the
// host's operation table does not change while the server lives.
struct PingSource {
  void* server;
  host::AddressOfOp addressOf;
  host::GetPingOp getPing;
};

}  // namespace

// Clients show a missing or absurd ping as lag; such players get a plausible one.
__attribute__((noinline, cold)) static int32_t RandomPing() { return std::rand() % 100 + 10; }

// Stores an entry for every connected player id from `id` up to (not
// including) `end` at `out`, at most one per id; returns the end of the last.
__attribute__((noinline)) static unsigned char* PutEntries(unsigned char* out, int id, int end,
                                                           const PingSource* source, const void* pool) {
  for (; id < end; ++id) {
    if (!host::IsConnected(pool, id)) continue;
    const PlayerAddress peer = source->addressOf(source->server, id);
    int32_t ping = source->getPing(source->server, peer);
    if (static_cast<uint32_t>(ping) - 1 > 65534) ping = RandomPing();  // 0, or above 65535 unsigned
    const uint16_t id16 = static_cast<uint16_t>(id);
    const int32_t score = host::ScoreOf(pool, id);
    std::memcpy(out, &id16, sizeof id16);
    std::memcpy(out + 2, &score, sizeof score);
    std::memcpy(out + 6, &ping, sizeof ping);
    out += kEntryBytes;
  }
  return out;
}

// The growth rule as a field-by-field build of `entries` entries meets it,
// starting from `inlineBits` allocated bits: the end, in bits, of the field
// whose write grew the stream last, or 0 when it never grew. A write grows the
// stream when it ends past the allocated bits (all counts here are whole
// bytes), and the stream then allocates twice the bits it holds after it.
// Replaying the growth on the stream itself would reallocate and copy the
// reply at every step; this only finds where it ends.
static int LastGrowthEnd(int entries, int inlineBits) {
  int allocated = inlineBits, last = 0;
  for (;;) {
    // The first field to end past `allocated` is in the entry holding that bit.
    int end = allocated / kEntryBits * kEntryBits;
    for (int bits : kFieldBits) {  // GCOVR_EXCL_BR_LINE: the fields fill the entry, which ends past `allocated`
      end += bits;
      if (end > allocated) break;
    }
    if (end > entries * kEntryBits) return last;
    last = end;
    allocated = 2 * end;
  }
}

// Fills the empty default stream `reply` with an entry for every connected
// player id below 500. False when memory for it could not be had; the stream
// then holds part of the reply (and releases what it allocated).
static bool FillReply(RakNet::BitStream& reply, void* server, const void* pool) {
  const PingSource source = {server, host::Operation<host::AddressOfOp>(server, host::kOpAddressOfPlayerId),
                             host::Operation<host::GetPingOp>(server, host::kOpGetPing)};
  const int inlineBits = reply.numberOfBitsAllocated;
  unsigned char* out = reply.data;
  unsigned char* end = reply.data + (inlineBits >> 3);
  int id = 0;
  for (;;) {
    while (id < host::kMaxPlayers && !host::IsConnected(pool, id)) ++id;
    if (id == host::kMaxPlayers) break;
    // Player `id` has an entry. Each id gives at most one, so the next
    // `room` ids fit the buffer.
    int room = static_cast<int>(end - out) / kEntryBytes;
    if (room == 0) {
      // The inline buffer is full: a heap buffer, through the stream's own
      // growth, with room for an entry for every id to come.
      const int at = static_cast<int>(out - reply.data) * 8;
      room = host::kMaxPlayers - id;
      reply.numberOfBitsUsed = at;
      reply.AddBitsAndReallocate(room * kEntryBits);
      if (reply.numberOfBitsAllocated < at + room * kEntryBits) return false;
      out = reply.data + (at >> 3);
      end = reply.data + (reply.numberOfBitsAllocated >> 3);
    }
    const int stop = room < host::kMaxPlayers - id ? id + room : host::kMaxPlayers;
    out = PutEntries(out, id, stop, &source, pool);
    id = stop;
  }
  reply.numberOfBitsUsed = static_cast<int>(out - reply.data) * 8;

  // Down to the buffer a field-by-field build would have: shrinking keeps
  // the contents. Should even that fail, the larger buffer serves as well.
  const int last = LastGrowthEnd(reply.numberOfBitsUsed / kEntryBits, inlineBits);
  if (last > 0) {
    if (void* fitted = std::realloc(reply.data, static_cast<std::size_t>((2 * last + 7) >> 3))) {
      reply.data = static_cast<unsigned char*>(fitted);
      reply.numberOfBitsAllocated = 2 * last;
    }
  }
  return true;
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
  // Without either there is nobody to ask or nothing to list: no reply. On
  // another server build nothing is read at all.
  if (hostBindingOff) return;
  void* currentGame = ppPlayers ? *static_cast<void**>(ppPlayers) : nullptr;
  void* server = currentGame ? host::NetworkServerOf(currentGame) : nullptr;
  void* pool = pGame ? host::PlayerPoolOf(pGame) : nullptr;
  if (!server || !pool) return;

  PlayerAddress sender = parameters->sender;
  int32_t requesterId = host::PlayerIdOf(server, sender);

  RakNet::BitStream reply;  // released on every way out, unwinding included
  if (!FillReply(reply, server, pool)) {
    // A reply without its last players would mislead the client: none at all.
    if (logprintf)  // GCOVR_EXCL_BR_LINE: set at Load, which calls it; requests come later
      logprintf("Error. OnPlayerTabUpdate: out of memory, no scoreboard sent to playerid %d",
                static_cast<int>(requesterId));
    return;
  }

  int rpcId = kScoreboardReplyRpc;
  host::SendRpc(server, &rpcId, &reply, kReplyPriority, kReplyReliability, kReplyOrderingChannel, sender,
                /*broadcast=*/false, /*shiftTimestamp=*/false);
  RunPublic(requesterId);
}
