// The test host's demo: what a server operator would see when the server
// loads core.so, a script adds bots and players ask for the scoreboard.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testhost/host.h"

using namespace testhost;

namespace {

void PrintAddPlayerCalls(TestHost& host, size_t from) {
  for (size_t i = from; i < host.addPlayerCalls.size(); ++i) {
    const AddPlayerCall& c = host.addPlayerCalls[i];
    std::printf("  host add-player: pool=%p id=%d name=%s version=\"%s\"\n", c.pool, c.id,
                c.nameIsNull ? "(null)" : ("\"" + c.name + "\"").c_str(), c.version.c_str());
  }
}

void AddBot(TestHost& host, ScriptMachine& script, PlayerPool& pool, int id, const std::string& name) {
  size_t before = host.addPlayerCalls.size();
  cell result = script.CallNative("AddServerBot", {id, script.AllocString(name)});
  std::printf("script: AddServerBot(%d, \"%s\") returned %d\n", id, name.c_str(), result);
  PrintAddPlayerCalls(host, before);
  if (host.addPlayerCalls.size() > before) pool.Connect(id, 0);  // the host enters the bot, with no ping
}

struct Player {
  int id;
  const char* name;
  int32_t score;
  int32_t ping;
};

void PrintReply(const RpcSend& send, NetworkServer& server) {
  std::printf("host: RPC %d to port %u, %d bits (priority %d, reliability %d, channel %d)\n", send.rpcId,
              send.target.port, send.bitsUsed, send.priority, send.reliability, send.orderingChannel);
  std::printf("   id   score   ping\n");
  for (size_t at = 0; at + 10 <= send.payload.size(); at += 10) {
    const unsigned char* p = &send.payload[at];
    int id = p[0] | p[1] << 8;
    int32_t score, ping;
    std::memcpy(&score, p + 2, 4);
    std::memcpy(&ping, p + 6, 4);
    uint32_t hostPing = static_cast<uint32_t>(server.PingOf(NetworkServer::AddressOf(id)));
    const char* note = hostPing == 0 || hostPing > 65535 ? "  (random: the host had no usable ping)" : "";
    std::printf("  %3d  %6d  %5d%s\n", id, score, ping, note);
  }
  std::printf("  payload:");
  for (size_t i = 0; i < send.payload.size(); ++i) std::printf("%s%02X", i % 20 == 0 ? "\n    " : " ", send.payload[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = argc > 1 ? argv[1] : DefaultPluginPath();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  game.SetPlayerPool(pool.address());
  game.SetNetworkServer(&server);

  std::printf("host: loading plugin %s\n", plugin.c_str());
  TestHost host(plugin, /*echoLog=*/true);
  host.SetGameVariables(&game);

  uint32_t supports = host.Supports();
  std::printf("host: Supports() = 0x%08" PRIX32 " (interface 0x%04" PRIX32 "%s)\n", supports, supports & 0xFFFF,
              supports & 0x10000 ? ", registers script natives" : "");
  host.Load();

  ScriptMachine script("gamemode");
  int registered = host.AmxLoad(script);
  std::printf("host: script machine '%s' loaded, amx_Register returned %d, natives:", script.name().c_str(),
              registered);
  for (const auto& native : script.natives) std::printf(" %s", native.first.c_str());
  std::printf("\n\n");

  script.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>& args) {
    std::printf("script: OnPlayerTabUpdate(%d) called\n", args.at(0));
    return cell{1};
  });

  std::printf("-- players connect --\n");
  const std::vector<Player> players = {
      {0, "Alice", 12, 45}, {2, "Bob", 7, 0}, {5, "Carol", -3, 70000}, {9, "Dave", 120, 65535}, {11, "Erin", 0, -1},
  };
  for (const Player& p : players) {
    pool.Connect(p.id, p.score);
    server.SetPing(p.id, p.ping);
    std::printf("host: player %d %-6s score %4d, ping %d\n", p.id, p.name, p.score, p.ping);
  }

  std::printf("\n-- bots --\n");
  AddBot(host, script, pool, 20, "Bot_Alpha");
  AddBot(host, script, pool, 21, "Bot_Beta");
  AddBot(host, script, pool, 499, "Bot_Last");
  AddBot(host, script, pool, 30, "");
  std::printf("host: the HostGame loses its player pool for a moment\n");
  game.SetPlayerPool(nullptr);
  AddBot(host, script, pool, 31, "Bot_Late");
  game.SetPlayerPool(pool.address());

  std::printf("\n-- player 2 (Bob) opens the scoreboard --\n");
  std::printf("host: delivering the request to OnPlayerTabUpdate\n");
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(2));
  if (!server.sends.empty()) PrintReply(server.sends.back(), server);

  std::printf("\nhost: unloading\n");
  host.AmxUnload(script);
  host.Unload();
  return 0;
}
