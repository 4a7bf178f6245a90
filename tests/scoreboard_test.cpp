// The scoreboard handler through the real core.so: the host delivers a
// request as its network server would and records every send. Outside the
// sanitizer build the test binary interposes malloc and realloc (core.so
// calls them through the dynamic linker) to fail large requests on demand
// and to know the size of the reply's heap buffer.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "raknet/BitStream.h"
#include "testhost/host.h"
#include "tests/soak_support.h"
#include "tests/valgrind_support.h"

#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

namespace {
size_t failFrom = SIZE_MAX;  // heap requests of at least this many bytes fail
struct Block {
  const void* p;
  size_t bytes;
} handedOut[16];  // the latest blocks handed out, newest at count - 1
unsigned count = 0;

void* Note(void* p, size_t bytes) {
  if (p) handedOut[count++ % 16] = {p, bytes};
  return p;
}

// The size asked for a live block handed out lately. Valgrind's allocator,
// which stands in for the one above, reports it itself.
size_t BlockBytes(const void* p) {
  if (UnderValgrind()) return malloc_usable_size(const_cast<void*>(p));
  for (unsigned i = 1; i <= 16 && i <= count; ++i)
    if (handedOut[(count - i) % 16].p == p) return handedOut[(count - i) % 16].bytes;
  return 0;
}
}  // namespace

extern "C" void* malloc(size_t size) { return Note(size >= failFrom ? nullptr : __libc_malloc(size), size); }
extern "C" void* realloc(void* p, size_t size) {
  return Note(size >= failFrom ? nullptr : __libc_realloc(p, size), size);
}
#else
// The sanitizer's allocator reports exactly the size asked for.
static size_t BlockBytes(const void* p) { return malloc_usable_size(const_cast<void*>(p)); }
#endif

using namespace testhost;

namespace {

constexpr int kEntryBytes = 10;
constexpr int kMinShownPing = 10;
constexpr int kMaxShownPing = 109;

struct Entry {
  int id;
  int32_t score;
  int32_t ping;
};

std::vector<Entry> Decode(const std::vector<unsigned char>& payload) {
  std::vector<Entry> entries;
  for (size_t at = 0; at + kEntryBytes <= payload.size(); at += kEntryBytes) {
    const unsigned char* p = &payload[at];
    Entry e;
    e.id = p[0] | p[1] << 8;
    e.score = static_cast<int32_t>(p[2] | p[3] << 8 | p[4] << 16 | static_cast<uint32_t>(p[5]) << 24);
    e.ping = static_cast<int32_t>(p[6] | p[7] << 8 | p[8] << 16 | static_cast<uint32_t>(p[9]) << 24);
    entries.push_back(e);
  }
  return entries;
}

// Two HostGames: the one the host holds now (network server route, through
// the variable embedded in the code address) and the one the game variable
// held at AmxLoad (player pool route). Mixing the routes up fails the tests.
class ScoreboardTest : public ::testing::Test {
 protected:
  ScoreboardTest() : host(DefaultPluginPath()), script("gamemode") {
    current.SetNetworkServer(&server);
    current.SetPlayerPool(decoyPool.address());
    loaded.SetNetworkServer(&decoyServer);
    loaded.SetPlayerPool(pool.address());
    host.SetPlayersVariable(&current);
    host.SetGameVariable(&loaded);
    host.SetBotGameVariable(&loaded);
    decoyPool.Connect(42, 4242);
    script.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>&) { return 1; });
    host.Load();
    host.AmxLoad(script);
  }

  void Request(int requester) { host.DeliverScoreboardRequest(NetworkServer::AddressOf(requester)); }

  const RpcSend& OnlySend() {
    EXPECT_TRUE(decoyServer.sends.empty());
    EXPECT_EQ(server.sends.size(), 1u);
    return server.sends.back();
  }

  HostGame current, loaded;
  NetworkServer server, decoyServer;
  PlayerPool pool, decoyPool;
  TestHost host;
  ScriptMachine script;
};

TEST_F(ScoreboardTest, TwoPlayersByteForByte) {
  pool.Connect(0, 5);
  server.SetPing(0, 40);
  pool.Connect(3, -1);
  server.SetPing(3, 0);
  Request(0);
  const RpcSend& send = OnlySend();
  ASSERT_EQ(send.payload.size(), 20u);
  EXPECT_EQ(send.bitsUsed, 160);
  const std::vector<unsigned char> head = {0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x28, 0x00,
                                           0x00, 0x00, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<unsigned char>(send.payload.begin(), send.payload.begin() + 16), head);
  EXPECT_GE(send.payload[16], 0x0A);
  EXPECT_LE(send.payload[16], 0x6D);
  EXPECT_EQ(std::vector<unsigned char>(send.payload.begin() + 17, send.payload.end()),
            (std::vector<unsigned char>{0, 0, 0}));
}

TEST_F(ScoreboardTest, SendArgumentsAndThePublic) {
  pool.Connect(7, 70);
  server.SetPing(7, 77);
  Request(7);
  const RpcSend& send = OnlySend();
  EXPECT_EQ(send.rpcId, 155);
  EXPECT_EQ(send.priority, 1);
  EXPECT_EQ(send.reliability, 9);
  EXPECT_EQ(send.orderingChannel, 2);
  EXPECT_EQ(send.target.binaryAddress, NetworkServer::AddressOf(7).binaryAddress);
  EXPECT_EQ(send.target.port, NetworkServer::AddressOf(7).port);
  EXPECT_FALSE(send.broadcast);
  EXPECT_FALSE(send.shiftTimestamp);
  // The requester is listed like anyone else.
  std::vector<Entry> entries = Decode(send.payload);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, 7);
  EXPECT_EQ(entries[0].ping, 77);
  ASSERT_EQ(script.executions.size(), 1u);
  EXPECT_EQ(script.executions[0].publicName, "OnPlayerTabUpdate");
  EXPECT_EQ(script.executions[0].args, std::vector<cell>{7});
}

TEST_F(ScoreboardTest, NoConnectedPlayerStillSendsAnEmptyReplyAndRunsThePublic) {
  Request(12);
  const RpcSend& send = OnlySend();
  EXPECT_EQ(send.bitsUsed, 0);
  EXPECT_TRUE(send.payload.empty());
  ASSERT_EQ(script.executions.size(), 1u);
  EXPECT_EQ(script.executions[0].args, std::vector<cell>{12});
}

TEST_F(ScoreboardTest, PingsOutsideOneTo65535AreReplaced) {
  const struct {
    int32_t ping;
    bool kept;
  } cases[] = {{1, true}, {65535, true}, {300, true}, {0, false}, {65536, false}, {-1, false}, {INT32_MIN, false}};
  int id = 0;
  for (const auto& c : cases) {
    pool.Connect(id, id);
    server.SetPing(id, c.ping);
    ++id;
  }
  Request(0);
  std::vector<Entry> entries = Decode(OnlySend().payload);
  ASSERT_EQ(entries.size(), std::size(cases));
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(cases[i].ping);
    if (cases[i].kept) {
      EXPECT_EQ(entries[i].ping, cases[i].ping);
    } else {
      EXPECT_GE(entries[i].ping, kMinShownPing);
      EXPECT_LE(entries[i].ping, kMaxShownPing);
    }
  }
}

TEST_F(ScoreboardTest, OnlyConnectedIdsBelow500InAscendingOrder) {
  for (int id : {499, 250, 0, 1}) pool.Connect(id, id * 3);
  pool.Connect(2, 9);
  pool.Disconnect(2);
  for (int id = 500; id < 510; ++id) pool.SetWord(75012 + 4 * id, 1);  // whatever the host holds past 499
  Request(1);
  std::vector<Entry> entries = Decode(OnlySend().payload);
  ASSERT_EQ(entries.size(), 4u);
  const int expected[] = {0, 1, 250, 499};
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].id, expected[i]);
    EXPECT_EQ(entries[i].score, expected[i] * 3);
  }
}

TEST_F(ScoreboardTest, ReplyMovesToTheHeapFromThe26thEntryAndHoldsAll500) {
  for (int players : {25, 26, 500}) {
    SCOPED_TRACE(players);
    server.sends.clear();
    for (int id = 0; id < players; ++id) {
      pool.Connect(id, 1000 + id);
      server.SetPing(id, 20 + id);
    }
    Request(0);
    const RpcSend& send = OnlySend();
    EXPECT_EQ(send.payloadInline, players <= 25);
    std::vector<Entry> entries = Decode(send.payload);
    ASSERT_EQ(entries.size(), static_cast<size_t>(players));
    EXPECT_EQ(send.bitsUsed, players * kEntryBytes * 8);
    for (int id = 0; id < players; ++id) {
      EXPECT_EQ(entries[id].id, id);
      EXPECT_EQ(entries[id].score, 1000 + id);
      EXPECT_EQ(entries[id].ping, 20 + id);
    }
  }
}

TEST_F(ScoreboardTest, NetworkServerFollowsTheHostsCurrentGame) {
  HostGame next;
  NetworkServer nextServer;
  next.SetNetworkServer(&nextServer);
  host.SetPlayersVariable(&next);
  pool.Connect(1, 1);
  Request(1);
  EXPECT_TRUE(server.sends.empty());
  ASSERT_EQ(nextServer.sends.size(), 1u);
  EXPECT_EQ(Decode(nextServer.sends[0].payload).size(), 1u);
}

TEST_F(ScoreboardTest, PlayerPoolIsTheOneCapturedAtTheLastAmxLoad) {
  pool.Connect(1, 11);
  HostGame later;
  PlayerPool laterPool;
  later.SetPlayerPool(laterPool.address());
  laterPool.Connect(2, 22);
  host.SetGameVariable(&later);  // not yet captured
  Request(1);
  ASSERT_EQ(Decode(server.sends.back().payload).at(0).id, 1);
  ScriptMachine another("filterscript");
  host.AmxLoad(another);
  Request(1);
  ASSERT_EQ(Decode(server.sends.back().payload).at(0).id, 2);
}

TEST_F(ScoreboardTest, PublicRunsInTheMachineLoadedLast) {
  ScriptMachine second("second");
  second.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>&) { return 0; });
  host.AmxLoad(second);
  Request(3);
  EXPECT_TRUE(script.executions.empty());
  ASSERT_EQ(second.executions.size(), 1u);
  EXPECT_EQ(second.executions[0].args, std::vector<cell>{3});
  // Unloading another machine keeps the callback.
  host.AmxUnload(script);
  Request(4);
  EXPECT_EQ(second.executions.size(), 2u);
}

TEST_F(ScoreboardTest, ScriptWithoutThePublicGetsNoCall) {
  ScriptMachine plain("plain");
  host.AmxLoad(plain);
  Request(3);
  EXPECT_EQ(server.sends.size(), 1u);
  EXPECT_TRUE(plain.executions.empty());
  EXPECT_TRUE(script.executions.empty());
}

TEST_F(ScoreboardTest, AfterTheCallbackMachineIsUnloadedTheReplyIsSentWithoutAPublic) {
  host.AmxUnload(script);
  EngineTable::calls().clear();
  Request(5);
  EXPECT_EQ(server.sends.size(), 1u);
  EXPECT_TRUE(script.executions.empty());
  for (const EngineCall& call : EngineTable::calls()) EXPECT_NE(call.position, 9) << "FindPublic on a freed machine";
}

TEST_F(ScoreboardTest, NoReplyWithoutNetworkServerOrPlayerPool) {
  current.SetNetworkServer(nullptr);
  Request(1);
  host.SetPlayersVariable(nullptr);
  Request(1);
  host.SetPlayersVariable(&current);
  current.SetNetworkServer(&server);
  loaded.SetPlayerPool(nullptr);
  Request(1);
  EXPECT_TRUE(server.sends.empty());
  EXPECT_TRUE(decoyServer.sends.empty());
  EXPECT_TRUE(script.executions.empty());
}

TEST(ScoreboardWindows, BeforeLoadAndBeforeTheFirstAmxLoadNothingIsSent) {
  HostGame game;
  NetworkServer server;
  PlayerPool pool;
  game.SetNetworkServer(&server);
  game.SetPlayerPool(pool.address());
  pool.Connect(0, 1);
  TestHost host(DefaultPluginPath());
  host.SetGameVariable(&game);
  host.SetPlayersVariable(&game);
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(0));  // before Load
  host.Load();
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(0));  // before any AmxLoad
  EXPECT_TRUE(server.sends.empty());
  ScriptMachine script("late");
  host.AmxLoad(script);
  host.DeliverScoreboardRequest(NetworkServer::AddressOf(0));
  EXPECT_EQ(server.sends.size(), 1u);
}

// What the host can read of a stream: counts, flags, the size of its heap
// buffer (0 on the inline buffer) and the used bytes.
typedef std::tuple<int, int, int, bool, size_t, std::vector<unsigned char>> StreamState;

StreamState StateOf(const RakNet::BitStream& s) {
  const bool onInline = s.data == s.inlineBuffer;
  return StreamState(s.numberOfBitsUsed, s.numberOfBitsAllocated, s.readOffset, s.copyData,
                     onInline ? 0 : BlockBytes(s.data),
                     std::vector<unsigned char>(s.data, s.data + (s.numberOfBitsUsed + 7) / 8));
}

// The reply leaves the stream as writing each field with the exported
// WriteBits does, from the same host data and the same rand seed: random
// players (around the inline limit and the growth points, up to all 500, and
// players 0 to 24 and 499, whose last entry finds the inline buffer full),
// scores and pings, missing and out-of-range pings included. A reply that
// does not come back within the alarm's time never will: the alarm ends the
// test binary.
TEST_F(ScoreboardTest, ReplyIsTheFieldByFieldBuild) {
  StreamState sent;
  server.onSend = [&sent](const unsigned char* stream) {
    sent = StateOf(*reinterpret_cast<const RakNet::BitStream*>(stream));
  };
  std::mt19937 random(11);
  std::vector<int> ids(kMaxPlayers);
  const int32_t pingsToReplace[] = {0, 65536, -1, INT32_MIN};
  for (int round = 0; round < 120; ++round) {
    const int counts[] = {0, 1, 25, 26, 52, 53, 104, 105, 209, 210, 419, 420, 500, 26};
    const int players = round < 14 ? counts[round] : static_cast<int>(random() % (kMaxPlayers + 1));
    for (int id = 0; id < kMaxPlayers; ++id) ids[id] = id;
    if (round == 13)
      ids[25] = kMaxPlayers - 1;
    else
      std::shuffle(ids.begin(), ids.end(), random);
    std::sort(ids.begin(), ids.begin() + players);
    std::vector<int32_t> scores(players), pings(players);
    for (int id = 0; id < kMaxPlayers; ++id) pool.Disconnect(id);
    for (int i = 0; i < players; ++i) {
      scores[i] = static_cast<int32_t>(random());
      pings[i] = random() % 4 == 0 ? pingsToReplace[random() % 4] : static_cast<int32_t>(random() % 65535 + 1);
      pool.Connect(ids[i], scores[i]);
      server.SetPing(ids[i], pings[i]);
    }
    std::srand(round);
    alarm(30);
    Request(0);
    alarm(0);
    ASSERT_EQ(server.sends.size(), static_cast<size_t>(round + 1));

    std::srand(round);
    RakNet::BitStream reference;
    for (int i = 0; i < players; ++i) {
      const uint16_t id16 = static_cast<uint16_t>(ids[i]);
      const uint32_t raw = static_cast<uint32_t>(pings[i]);
      const int32_t ping = raw == 0 || raw > 65535 ? std::rand() % 100 + 10 : pings[i];
      reference.WriteBits(reinterpret_cast<const unsigned char*>(&id16), 16, true);
      reference.WriteBits(reinterpret_cast<const unsigned char*>(&scores[i]), 32, true);
      reference.WriteBits(reinterpret_cast<const unsigned char*>(&ping), 32, true);
    }
    ASSERT_EQ(sent, StateOf(reference)) << players << " players, round " << round;
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// When the reply's buffer cannot be had, nothing of it goes out and no
// public runs; one log line says so and nothing stays allocated.
TEST_F(ScoreboardTest, NoReplyAtAllWhenItsMemoryCannotBeHad) {
  if (UnderValgrind()) GTEST_SKIP() << "valgrind's allocator stands in for the failing one";
  for (int id = 0; id < 30; ++id) pool.Connect(id, id);
  Request(4);  // the host looks the handler up
  server.sends.clear();
  script.executions.clear();
  host.log.clear();  // keeps room for a line
  const size_t before = soak::HeapInUse();
  failFrom = 4096;  // the reply needs more, what the host records less
  Request(4);
  failFrom = SIZE_MAX;
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0], "Error. OnPlayerTabUpdate: out of memory, no scoreboard sent to playerid 4");
  host.log.clear();
  EXPECT_EQ(soak::HeapInUse(), before);
  EXPECT_TRUE(server.sends.empty());
  EXPECT_TRUE(script.executions.empty());
  Request(4);  // memory is back
  EXPECT_EQ(Decode(OnlySend().payload).size(), 30u);
}

// The reply stream is released even when a host operation unwinds through
// the handler (the sanitizer build checks leaks by itself).
TEST_F(ScoreboardTest, ReplyStreamIsReleasedWhenTheSendThrows) {
  for (int id = 0; id < 100; ++id) pool.Connect(id, id);  // large enough to live on the heap
  server.throwOnSend = true;
  EXPECT_THROW(Request(0), std::runtime_error);  // warm up the exception machinery
  const size_t before = soak::HeapInUse();
  for (int i = 0; i < 20; ++i) EXPECT_THROW(Request(0), std::runtime_error);
  EXPECT_EQ(soak::HeapInUse(), before);
}
#endif

// Soak loop (CTest label soak): replies to a full server, one request after
// another; heap flat.
class ScoreboardSoak : public ScoreboardTest {};

TEST_F(ScoreboardSoak, RepliesToFiveHundredPlayers) {
  constexpr int kReplies = 3000;
  for (int id = 0; id < kMaxPlayers; ++id) {
    pool.Connect(id, id);
    server.SetPing(id, id % 3 == 0 ? 0 : id);  // a third shown with a random ping
  }
  int wrong = 0;
  auto reply = [&](int i) {
    server.sends.clear();
    script.executions.clear();
    EngineTable::calls().clear();
    Request(i % kMaxPlayers);
    if (server.sends.size() != 1 || server.sends[0].bitsUsed != kMaxPlayers * kEntryBytes * 8 ||
        script.executions.size() != 1)
      ++wrong;
  };
  reply(0);
  soak::Gauge gauge;
  for (int i = 0; i < kReplies; ++i) reply(i);
  gauge.Report("scoreboard (500 players)", kReplies, "replies");
  EXPECT_EQ(wrong, 0);
}

}  // namespace
