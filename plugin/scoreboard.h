// The scoreboard request handler, registered with the host's network server
// by the host side; the plugin only exports it. Its declaration and
// RPCParameters are the shipped header's.
#pragma once

#include "plugin/host/host.h"
#include "plugin/host_exports.h"

// The remote procedure call that carries the scoreboard to a player.
constexpr int kScoreboardReplyRpc = 155;
constexpr int kReplyPriority = 1;
constexpr int kReplyReliability = 9;
constexpr char kReplyOrderingChannel = 2;
