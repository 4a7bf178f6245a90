// Unloading core.so gives back what loading took. 40 cycles of dlopen and
// dlclose, with nothing called, and again with a whole session in each cycle
// (Load, AmxLoad, a scoreboard reply, an HTTP request, AmxUnload, Unload): from
// the 2nd cycle on, the heap in use is the same at the end of every cycle.
// Exact with malloc's per-thread cache off, which CTest sets.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "http/httpclient.h"
#include "testhost/host.h"
#include "tests/http_server.h"
#include "tests/soak_support.h"

using namespace testhost;

namespace {

constexpr int kCycles = 40;

int LoadedObjects() {
  int count = 0;
  dl_iterate_phdr([](dl_phdr_info*, size_t, void* n) { return ++*static_cast<int*>(n), 0; }, &count);
  return count;
}

// Runs the cycles; each must leave no object loaded. Prints the heap figures
// and expects the same one after every cycle from the 2nd on.
template <typename Cycle>
void ExpectHeapExactFromTheSecondCycle(const char* what, Cycle cycle) {
  const int objects = LoadedObjects();
  size_t heap[kCycles];
  int stayedLoaded = 0;
  for (int i = 0; i < kCycles; ++i) {
    cycle();
    if (LoadedObjects() != objects) ++stayedLoaded;
    heap[i] = soak::HeapInUse();
  }
  int differing = 0;
  for (int i = 2; i < kCycles; ++i) differing += heap[i] != heap[1];
  std::printf("reload %s: %d cycles, heap after the 1st %zu, 2nd %zu, 40th %zu bytes; %d later cycles differ\n", what,
              kCycles, heap[0], heap[1], heap[kCycles - 1], differing);
  EXPECT_EQ(stayedLoaded, 0) << what;
  EXPECT_EQ(differing, 0) << what;
}

TEST(Reload, NothingCalled) {
  const std::string path = DefaultPluginPath();
  int failed = 0;
  ExpectHeapExactFromTheSecondCycle("with nothing called", [&] {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library || dlclose(library) != 0) ++failed;
  });
  EXPECT_EQ(failed, 0);
}

TEST(Reload, WholeSessionInEachCycle) {
  IdentityServer web("127.0.0.1");
  const std::string url = "127.0.0.1:" + std::to_string(web.port()) + "/";
  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  game.SetPlayerPool(pool.address());
  game.SetNetworkServer(&server);
  for (int id = 0; id < 40; ++id) {
    pool.Connect(id, id);
    server.SetPing(id, id);
  }
  std::vector<char> clientStorage(sizeof(CHttpClient));
  std::vector<char> urlCopy(url.begin(), url.end() + 1);
  int wrong = 0, requests = 0;
  ExpectHeapExactFromTheSecondCycle("with a whole session", [&] {
    TestHost host(DefaultPluginPath());
    host.SetGameVariables(&game);
    ScriptMachine script("gamemode");
    script.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>&) { return 1; });
    const bool loaded = host.Supports() == 0x00010200u && host.Load() == 1 && host.AmxLoad(script) == 0;
    host.DeliverScoreboardRequest(NetworkServer::AddressOf(3));

    // The HTTP client as other native code calls it, through this instance's exports.
    auto construct = reinterpret_cast<void (*)(void*)>(host.Symbol("_ZN11CHttpClientC1Ev"));
    auto process = reinterpret_cast<int (*)(void*, int, char*, char*, char*)>(
        host.Symbol("_ZN11CHttpClient10ProcessURLEiPcS0_S0_"));
    auto destroy = reinterpret_cast<void (*)(void*)>(host.Symbol("_ZN11CHttpClientD1Ev"));
    construct(clientStorage.data());
    const int error = process(clientStorage.data(), HTTP_GET, urlCopy.data(), nullptr, nullptr);
    const auto* client = reinterpret_cast<const CHttpClient*>(clientStorage.data());
    const bool answered = error == 0 && web.identity() == client->szResponseBody;
    destroy(clientStorage.data());

    host.AmxUnload(script);
    host.Unload();
    if (!loaded || !answered || server.sends.size() != 1 || script.executions.size() != 1 || host.log.size() != 2)
      ++wrong;
    server.sends.clear();
    EngineTable::calls().clear();
    if (!web.WaitServed(++requests, 2000)) ++wrong;  // the server is done with the connection
  });
  EXPECT_EQ(wrong, 0);
}

}  // namespace
