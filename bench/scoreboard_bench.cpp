// Guest instructions (under the counter) and time per scoreboard reply with
// 500 connected players, through the test host and the real core.so, against
// an ideal reply measured in the same run: the same host operation calls,
// with the 10-byte entries stored straight into a preallocated buffer that
// the host reads through the stream layout, and no heap use at all.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "bench/ratio_reporter.h"
#include "testhost/host.h"

using namespace testhost;

namespace {

constexpr int kPlayers = 500;
constexpr int kEntryBytes = 10;

struct Fixture {
  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  ScriptMachine script{"bench"};
  TestHost host{DefaultPluginPath()};

  Fixture() {
    game.SetPlayerPool(pool.address());
    game.SetNetworkServer(&server);
    host.SetGameVariable(&game);
    host.SetPlayersVariable(&game);
    for (int id = 0; id < kPlayers; ++id) {
      pool.Connect(id, id * 7);
      server.SetPing(id, 30 + id % 200);
    }
    host.Load();
    host.AmxLoad(script);
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_PluginReply(benchmark::State& state) {
  Fixture& f = Shared();
  InstructionMeter meter;
  for (auto _ : state) {
    f.host.DeliverScoreboardRequest(NetworkServer::AddressOf(3));
    f.server.sends.clear();
    EngineTable::calls().clear();
  }
  meter.Stop(state);
}
BENCHMARK(BM_PluginReply)->UseRealTime();

// The same work with nothing but the host calls and plain stores.
void BM_IdealReply(benchmark::State& state) {
  Fixture& f = Shared();
  NetworkServer* server = &f.server;
  void** ops = *reinterpret_cast<void***>(server);
  auto playerIdOf = reinterpret_cast<int32_t (*)(void*, PlayerAddress)>(ops[58]);
  auto addressOf = reinterpret_cast<PlayerAddress (*)(void*, int32_t)>(ops[59]);
  auto getPing = reinterpret_cast<int32_t (*)(void*, PlayerAddress)>(ops[20]);
  auto send = reinterpret_cast<bool (*)(void*, int*, void*, int, int, char, PlayerAddress, bool, bool)>(ops[35]);
  auto findPublic = reinterpret_cast<int (*)(Machine*, const char*, int*)>(f.host.engine().entries()[9]);
  const unsigned char* pool = static_cast<const unsigned char*>(f.pool.address());
  static unsigned char buffer[kPlayers * kEntryBytes];
  unsigned char stream[276] = {};  // the stream layout the host reads: bits used, data pointer
  InstructionMeter meter;
  for (auto _ : state) {
    PlayerAddress sender = NetworkServer::AddressOf(3);
    int32_t requester = playerIdOf(server, sender);
    benchmark::DoNotOptimize(requester);
    unsigned char* out = buffer;
    for (int id = 0; id < kPlayers; ++id) {
      uint32_t connected;
      std::memcpy(&connected, pool + 75012 + 4 * id, 4);
      if (!connected) continue;
      int32_t ping = getPing(server, addressOf(server, id));
      uint16_t id16 = static_cast<uint16_t>(id);
      std::memcpy(out, &id16, 2);
      std::memcpy(out + 2, pool + 2012 + 4 * id, 4);
      std::memcpy(out + 6, &ping, 4);
      out += kEntryBytes;
    }
    int32_t bits = static_cast<int32_t>(out - buffer) * 8;
    unsigned char* data = buffer;
    std::memcpy(stream, &bits, 4);
    std::memcpy(stream + 12, &data, 4);
    int rpcId = 155;
    send(server, &rpcId, stream, 1, 9, 2, sender, false, false);
    int index;
    findPublic(f.script.handle(), "OnPlayerTabUpdate", &index);
    f.server.sends.clear();
    EngineTable::calls().clear();
  }
  meter.Stop(state);
}
BENCHMARK(BM_IdealReply)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double plugin = reporter.Time("BM_PluginReply"), ideal = reporter.Time("BM_IdealReply");
  if (plugin > 0 && ideal > 0)
    std::printf("\nscoreboard reply, 500 players: %.1f us, ideal %.1f us\n", 1e6 * plugin, 1e6 * ideal);
  reporter.PrintRatios({{"scoreboard reply, 500 players / ideal reply", "BM_PluginReply", "BM_IdealReply"}});
  benchmark::Shutdown();
  return 0;
}
