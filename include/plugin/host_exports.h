// What core.so exports for the server process itself: the scoreboard request
// handler, for the component that registers it with the server's network
// server, and GetGamePool. Both are C++ functions, exported under their
// decorated names (_Z17OnPlayerTabUpdateP13RPCParameters, _Z11GetGamePoolv),
// which the declarations below produce.
//
// The plugin entry points (Supports, Load, Unload, AmxLoad, AmxUnload,
// ProcessTick) are not declared here: the server's plugin loader finds them by
// their plain names, and a plugin that includes this header has entry points
// of those names itself.
//
// Both functions touch server memory: call them on the server's thread, from
// a plugin the server loads after core.so, on the server build core.so was
// made for.
#pragma once

#include <cstdint>

#include "core_sdk/export.h"

// A peer's identity on the network server: its 32-bit binary address, then
// its 16-bit port; 8 bytes in all, passed by value as two stack words.
struct PlayerAddress {
  uint32_t binaryAddress;
  uint16_t port;
};
static_assert(sizeof(PlayerAddress) == 8, "PlayerAddress is two 32-bit words");

// The record the network server hands to a remote procedure call handler, as
// far as the scoreboard handler reads it (the server's own record may go on
// after sender): 16 bytes, the fields in this order.
struct RPCParameters {
  unsigned char* input;             // the request's bytes (the handler does not read them)
  unsigned int numberOfBitsOfData;  // the request's length in bits
  PlayerAddress sender;             // who asked: the reply goes there
};
static_assert(sizeof(void*) != 4 || sizeof(RPCParameters) == 16, "RPCParameters as the network server lays it out");

// The handler of the scoreboard request. core.so does not register it: the
// component that registers the server's RPC handlers registers this one for
// the scoreboard request. Each call answers the sender with RPC 155 (priority
// 1, reliability 9, ordering channel 2): one 10-byte entry per connected
// player id 0 to 499, in ascending order (id 16 bits, score 32, ping 32, least
// significant byte first; a ping of 0 or above 65535 becomes a random one from
// 10 to 109), then runs the script public OnPlayerTabUpdate(playerid) with the
// sender's id in the most recently loaded script. Sends nothing before the
// first script has loaded, on another server build, or when the reply's
// memory cannot be had (that case is logged).
CORE_EXPORT void OnPlayerTabUpdate(RPCParameters* parameters);

// The server's game object, read from the server's game variable at each
// call (null while the server has none, and on another server build).
CORE_EXPORT void* GetGamePool();
