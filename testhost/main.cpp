// The test host's demo: what a server operator would see when the server
// loads core.so, a script adds bots and players ask for the scoreboard.
#include <cinttypes>
#include <cstdio>
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

void AddBot(TestHost& host, ScriptMachine& script, int id, const std::string& name) {
  size_t before = host.addPlayerCalls.size();
  cell result = script.CallNative("AddServerBot", {id, script.AllocString(name)});
  std::printf("script: AddServerBot(%d, \"%s\") returned %d\n", id, name.c_str(), result);
  PrintAddPlayerCalls(host, before);
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
  host.SetGameVariable(&game);
  host.SetBotGameVariable(&game);
  host.SetPlayersVariable(&game);

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

  std::printf("-- bots --\n");
  AddBot(host, script, 0, "Bot_Alice");
  AddBot(host, script, 1, "Bot_Bob");
  AddBot(host, script, 499, "Bot_Last");
  AddBot(host, script, 7, "");

  std::printf("\nhost: the HostGame loses its player pool\n");
  game.SetPlayerPool(nullptr);
  AddBot(host, script, 8, "Bot_Late");
  game.SetPlayerPool(pool.address());

  std::printf("\nhost: unloading\n");
  host.AmxUnload(script);
  host.Unload();
  return 0;
}
