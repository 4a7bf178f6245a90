// A compiled script run through the real core.so on the real script engine
// (libembryo.so.1, compiled with embryo_cc): the bot native, the scoreboard's
// public and the machine's unload, as a server runs them. Skips where the
// compiler or the engine is not installed.
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testhost/host.h"

using namespace testhost;

namespace {

std::vector<cell> g_tabUpdates;     // requester ids the public was run with
std::vector<std::string> g_copies;  // amx_GetString results, by size
void** g_engineTable = nullptr;

cell RecordTabUpdate(Machine*, cell* params) {
  g_tabUpdates.push_back(params[1]);
  return 1;
}

// Copies the script's string through the engine table as the plugin reaches
// it, with destinations of 1, 4 and 64 bytes.
cell CopyInHost(Machine* amx, cell* params) {
  auto getAddr = reinterpret_cast<int (*)(Machine*, cell, cell**)>(g_engineTable[13]);
  auto getString = reinterpret_cast<int (*)(char*, const cell*, int, size_t)>(g_engineTable[17]);
  cell* text = nullptr;
  if (getAddr(amx, params[1], &text) != kEngineOk) return 0;
  for (size_t size : {1, 4, 64}) {
    std::string copy(size + 8, '#');  // bytes past size must stay untouched
    getString(copy.data(), text, 0, size);
    g_copies.push_back(copy);
  }
  return 1;
}

TEST(RealEngine, CompiledScriptThroughThePlugin) {
  RealEngine engine;
  if (!engine.available()) GTEST_SKIP() << engine.why();
  if (std::string(REAL_ENGINE_SCRIPT).empty()) GTEST_SKIP() << "embryo_cc was not installed at configure time";
  g_engineTable = engine.entries();

  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  game.SetPlayerPool(pool.address());
  game.SetNetworkServer(&server);
  TestHost host(DefaultPluginPath());
  host.SetGameVariables(&game);
  host.SetEngineTable(engine.entries());
  host.Load();

  auto script = std::make_unique<CompiledScript>(engine, REAL_ENGINE_SCRIPT, "test");
  ASSERT_TRUE(script->loaded()) << REAL_ENGINE_SCRIPT;
  script->AddNative("RecordTabUpdate", &RecordTabUpdate);
  script->AddNative("CopyInHost", &CopyInHost);
  ASSERT_EQ(host.AmxLoad(*script), kEngineOk);
  EXPECT_EQ(script->natives, std::vector<std::string>{"AddServerBot"});

  // Bots: names whole at any length; an empty name adds nothing and says so.
  std::string longName;
  for (int i = 0; i < 300; ++i) longName += static_cast<char>('a' + i % 26);
  cell result = 0;
  ASSERT_EQ(script->RunPublic("AddBot", {cell{490}, std::string("Bot_Alice")}, &result), kEngineOk);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(script->RunPublic("AddBot", {cell{491}, std::string("B")}, &result), kEngineOk);
  ASSERT_EQ(script->RunPublic("AddLongBot", {cell{492}, cell{300}}, &result), kEngineOk);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(script->RunPublic("AddBot", {cell{493}, std::string()}, &result), kEngineOk);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(host.addPlayerCalls.size(), 3u);
  const std::vector<std::pair<cell, std::string>> bots = {{490, "Bot_Alice"}, {491, "B"}, {492, longName}};
  for (size_t i = 0; i < bots.size(); ++i) {
    EXPECT_EQ(host.addPlayerCalls[i].id, bots[i].first);
    EXPECT_EQ(host.addPlayerCalls[i].name, bots[i].second);
    EXPECT_EQ(host.addPlayerCalls[i].version, "0.3.7-kestrilo-bot");
  }
  EXPECT_EQ(host.log.back(), "Error. AddServerBot: empty name, no bot added for playerid 493");

  // amx_GetString writes at most size bytes, the zero included.
  ASSERT_EQ(script->RunPublic("Copy", {std::string("Bot_Alice")}, &result), kEngineOk);
  EXPECT_EQ(g_copies, (std::vector<std::string>{std::string(1, '\0') + std::string(8, '#'),
                                                std::string("Bot", 4) + std::string(8, '#'),
                                                std::string("Bot_Alice", 10) + std::string(62, '#')}));

  // The scoreboard: RPC 155 to the requester, then the public, once, with its id.
  pool.Connect(0, 5);
  server.SetPing(0, 40);
  pool.Connect(3, -1);
  server.SetPing(3, 65535);
  size_t runsBeforeSend = 99;
  server.onSend = [&runsBeforeSend](const unsigned char*) { runsBeforeSend = g_tabUpdates.size(); };
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(3));
  ASSERT_EQ(server.sends.size(), 1u);
  EXPECT_EQ(server.sends[0].rpcId, 155);
  EXPECT_EQ(server.sends[0].target.port, NetworkServer::AddressOf(3).port);
  EXPECT_EQ(server.sends[0].payload, (std::vector<unsigned char>{0, 0, 5,    0,    0,    0,    40,   0,    0, 0,  //
                                                                 3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
  EXPECT_EQ(runsBeforeSend, 0u);
  EXPECT_EQ(g_tabUpdates, std::vector<cell>{3});

  // Unloaded and freed by the engine: the scoreboard is still sent, no public runs.
  EXPECT_EQ(host.AmxUnload(*script), 0);
  script.reset();
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(0));
  EXPECT_EQ(server.sends.size(), 2u);
  EXPECT_EQ(g_tabUpdates, std::vector<cell>{3});

  // The plugin used no entry the adapter refuses; one it forwards is refused and logged.
  EXPECT_TRUE(RealEngine::unsupportedCalls().empty());
  auto flags = reinterpret_cast<int (*)(Machine*, uint16_t*)>(host.Symbol("amx_Flags"));
  ASSERT_NE(flags, nullptr);
  uint16_t unused = 0;
  EXPECT_EQ(flags(nullptr, &unused), kEngineNotSupported);
  EXPECT_EQ(RealEngine::unsupportedCalls(), std::vector<std::string>{"amx_Flags (entry 12)"});
  host.Unload();
}

}  // namespace
