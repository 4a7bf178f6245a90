// The test host's demo: what a server operator would see when the server
// loads core.so, a script adds bots and players ask for the scoreboard.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
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

// The demo's gamemode: compiled and run on the real script engine, or played
// by the test host's model (which calls the native as the gamemode would).
struct Gamemode {
  ScriptMachine* model = nullptr;
  CompiledScript* compiled = nullptr;

  void AddBot(int id, const std::string& name) {
    if (compiled) {
      if (compiled->RunPublic("AddBot", {id, name}) != kEngineOk) std::printf("host: the gamemode's AddBot failed\n");
      return;
    }
    cell result = model->CallNative("AddServerBot", {id, model->AllocString(name)});
    std::printf("script: AddServerBot(%d, \"%s\") returned %d\n", id, name.c_str(), result);
  }
};

void AddBot(TestHost& host, Gamemode& gamemode, PlayerPool& pool, int id, const std::string& name) {
  size_t before = host.addPlayerCalls.size();
  gamemode.AddBot(id, name);
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

// A file in the folder of the program run as `program`.
std::string BesideProgram(const std::string& program, const char* name) {
  const size_t slash = program.rfind('/');
  return (slash == std::string::npos ? std::string() : program.substr(0, slash + 1)) + name;
}

}  // namespace

// testhost [core.so [gamemode.amx]]: with a compiled gamemode, the script
// runs on the real script engine where it is installed. Without one, the
// gamemode the build compiled beside the test host is taken, where it is.
int main(int argc, char** argv) {
  std::string plugin = argc > 1 ? argv[1] : DefaultPluginPath();
  std::string compiledGamemode = argc > 2 ? argv[2] : BesideProgram(argv[0], "gamemode.amx");
  if (argc <= 2 && access(compiledGamemode.c_str(), R_OK) != 0) compiledGamemode.clear();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  game.SetPlayerPool(pool.address());
  game.SetNetworkServer(&server);

  std::printf("host: loading plugin %s\n", plugin.c_str());
  TestHost host(plugin, /*echoLog=*/true);
  host.SetGameVariables(&game);

  std::optional<RealEngine> engine;
  std::optional<CompiledScript> compiled;
  ScriptMachine model("gamemode");
  Gamemode gamemode;
  if (!compiledGamemode.empty()) {
    engine.emplace();
    compiled.emplace(*engine, compiledGamemode, "gamemode");
  }
  if (compiled && compiled->loaded()) {
    std::printf("host: script engine: the real abstract machine (libembryo.so.1), running %s\n",
                compiledGamemode.c_str());
    host.SetEngineTable(engine->entries());
    gamemode.compiled = &*compiled;
  } else {
    std::string why = !engine ? "no compiled gamemode: the script compiler was not installed at build time"
                      : !engine->available() ? engine->why()
                                             : "cannot load " + compiledGamemode;
    std::printf("host: script engine: the test host's model (%s)\n", why.c_str());
    gamemode.model = &model;
  }

  uint32_t supports = host.Supports();
  std::printf("host: Supports() = 0x%08" PRIX32 " (interface 0x%04" PRIX32 "%s)\n", supports, supports & 0xFFFF,
              supports & 0x10000 ? ", registers script natives" : "");
  host.Load();

  int registered = gamemode.compiled ? host.AmxLoad(*gamemode.compiled) : host.AmxLoad(model);
  std::printf("host: script machine 'gamemode' loaded, amx_Register returned %d, natives:", registered);
  if (gamemode.compiled) {
    for (const std::string& native : gamemode.compiled->natives) std::printf(" %s", native.c_str());
  } else {
    for (const auto& native : model.natives) std::printf(" %s", native.first.c_str());
  }
  std::printf("\n\n");

  model.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>& args) {
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
  AddBot(host, gamemode, pool, 20, "Bot_Alpha");
  AddBot(host, gamemode, pool, 21, "Bot_Beta");
  AddBot(host, gamemode, pool, 499, "Bot_Last");
  AddBot(host, gamemode, pool, 30, "");
  std::printf("host: the HostGame loses its player pool for a moment\n");
  game.SetPlayerPool(nullptr);
  AddBot(host, gamemode, pool, 31, "Bot_Late");
  game.SetPlayerPool(pool.address());

  std::printf("\n-- player 2 (Bob) opens the scoreboard --\n");
  std::printf("host: delivering the request to OnPlayerTabUpdate\n");
  // Printed as it is sent, so before the script public that runs after it.
  server.onSent = [&server](const RpcSend& send) { PrintReply(send, server); };
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(2));

  std::printf("\nhost: unloading\n");
  if (gamemode.compiled) {
    host.AmxUnload(*gamemode.compiled);
  } else {
    host.AmxUnload(model);
  }
  host.Unload();
  return 0;
}
