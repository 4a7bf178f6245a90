// The scoreboard request handler, registered with the host's network server
// by the host side; the plugin only exports it.
#pragma once

#include "core/export.h"
#include "plugin/host/host.h"

// What the network server hands to a remote procedure call handler.
struct RPCParameters {
  unsigned char* input;             // the request's bytes (not read)
  unsigned int numberOfBitsOfData;  // the request's length in bits
  PlayerAddress sender;
};

// The remote procedure call that carries the scoreboard to a player.
constexpr int kScoreboardReplyRpc = 155;
constexpr int kReplyPriority = 1;
constexpr int kReplyReliability = 9;
constexpr char kReplyOrderingChannel = 2;

// Answers a player's scoreboard request with every connected player's id,
// score and ping, then runs the script public OnPlayerTabUpdate(playerid).
CORE_EXPORT void OnPlayerTabUpdate(RPCParameters* parameters);
