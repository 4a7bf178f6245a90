// The plugin's entry points, forwarders and bot native, exercised through the
// real core.so loaded by the test host.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testhost/host.h"
#include "tests/soak_support.h"

using namespace testhost;

// A same-named function in the host process: the plugin must keep calling its
// own forwarder (which goes through the engine table), never this one.
static int g_decoyCalls = 0;
extern "C" __attribute__((visibility("default"))) int amx_Register(void*, const void*, int) {
  ++g_decoyCalls;
  return -77;
}

// The C++ runtime's release of its start-up reserve, standing in for the
// shared runtime's: a plugin built against the shared runtime (the sanitizer
// build) binds to this one and must not call it when unloaded, since the
// reserve belongs to the whole process. A plugin with its own copy calls its own.
static int g_sharedRuntimeReleases = 0;
namespace __gnu_cxx {
void __freeres() noexcept { ++g_sharedRuntimeReleases; }
}  // namespace __gnu_cxx

// The plugin's open, interposed (through an assembler label: the fortified
// headers define an inline wrapper under the plain name). While set to
// kNoMap, the memory map cannot be opened, as on a system without /proc; set
// to a text, the map reads as that text.
static const char kNoMap[] = "";
static const char* g_procMaps = nullptr;
extern "C" int PluginTestOpen(const char* path, int flags, ...) __asm__("open");
extern "C" int PluginTestOpen(const char* path, int flags, ...) {
  static const auto next = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  if (g_procMaps && std::strcmp(path, "/proc/self/maps") == 0) {
    if (g_procMaps == kNoMap) return errno = ENOENT, -1;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    const ssize_t length = static_cast<ssize_t>(std::strlen(g_procMaps));
    const bool written = write(ends[1], g_procMaps, static_cast<size_t>(length)) == length;
    close(ends[1]);
    if (!written) close(ends[0]);
    return written ? ends[0] : (errno = EIO, -1);
  }
  return next(path, flags, mode);
}

namespace {

const char kLoadedLine[] = " Core plugin loaded                                            ";
const char kUnloadedLine[] = " Core plugin unloaded                                            ";
const char kBotVersion[] = "0.3.7-kestrilo-bot";

class PluginTest : public ::testing::Test {
 protected:
  PluginTest() : host(DefaultPluginPath()) {
    game.SetPlayerPool(pool.address());
    game.SetNetworkServer(&server);
    host.SetGameVariables(&game);
    EngineTable::calls().clear();
  }

  std::vector<EngineCall> CallsAt(int position) {
    std::vector<EngineCall> found;
    for (const EngineCall& c : EngineTable::calls())
      if (c.position == position) found.push_back(c);
    return found;
  }

  HostGame game;
  PlayerPool pool;
  NetworkServer server;
  TestHost host;
};

TEST_F(PluginTest, LifecycleAnswersAndLogLines) {
  EXPECT_EQ(host.Supports(), 0x00010200u);
  EXPECT_EQ(host.Load(), 1);
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0], kLoadedLine);
  EXPECT_EQ(host.log[0].size(), 63u);

  ScriptMachine script("a");
  EXPECT_EQ(host.AmxLoad(script), 0);
  host.ProcessTick();
  EXPECT_EQ(host.AmxUnload(script), 0);
  host.Unload();
  ASSERT_EQ(host.log.size(), 2u);
  EXPECT_EQ(host.log[1], kUnloadedLine);
  EXPECT_EQ(host.log[1].size(), 65u);
}

TEST(PluginUnload, LeavesTheProcessWideRuntimeReserveAlone) {
  { TestHost host(DefaultPluginPath()); }
  EXPECT_EQ(g_sharedRuntimeReleases, 0);
}

TEST_F(PluginTest, AmxLoadRegistersTheNativeTableAndPassesTheResultBack) {
  host.Load();
  ScriptMachine first("first"), second("second");
  second.registerResult = 17;
  EXPECT_EQ(host.AmxLoad(first), 0);
  EXPECT_EQ(host.AmxLoad(second), 17);

  for (ScriptMachine* m : {&first, &second}) {
    ASSERT_EQ(m->natives.size(), 1u) << m->name();
    EXPECT_EQ(m->natives[0].first, "AddServerBot");
  }
  std::vector<EngineCall> registers = CallsAt(33);
  ASSERT_EQ(registers.size(), 2u);
  EXPECT_EQ(registers[0].args[0], reinterpret_cast<uintptr_t>(first.handle()));
  EXPECT_EQ(registers[1].args[0], reinterpret_cast<uintptr_t>(second.handle()));
  EXPECT_EQ(static_cast<int32_t>(registers[0].args[2]), -1);
  // The same table both times, ended by a null pair after its one entry.
  EXPECT_EQ(registers[0].args[1], registers[1].args[1]);
  const char* const* table = reinterpret_cast<const char* const*>(registers[0].args[1]);
  EXPECT_STREQ(table[0], "AddServerBot");
  EXPECT_EQ(table[2], nullptr);
  EXPECT_EQ(table[3], nullptr);
}

TEST_F(PluginTest, PluginCallsItsOwnForwarderNotTheHostsSameNamedFunction) {
  host.Load();
  ScriptMachine script("s");
  g_decoyCalls = 0;
  EXPECT_EQ(host.AmxLoad(script), 0);
  EXPECT_EQ(g_decoyCalls, 0);
  EXPECT_EQ(CallsAt(33).size(), 1u);
}

TEST_F(PluginTest, GetGamePoolReadsTheGameVariableAtEachCall) {
  EXPECT_EQ(host.GetGamePool(), &game);  // before Load and before any AmxLoad
  HostGame other;
  host.SetGameVariable(&other);
  EXPECT_EQ(host.GetGamePool(), &other);
  host.SetGameVariable(nullptr);
  EXPECT_EQ(host.GetGamePool(), nullptr);
}

// The engine table positions and names the plugin forwards; position 2 has none.
const std::vector<std::pair<int, const char*>> kForwarders = {
    {0, "amx_Align16"},     {1, "amx_Align32"},      {3, "amx_Allot"},        {4, "amx_Callback"},
    {5, "amx_Cleanup"},     {6, "amx_Clone"},        {7, "amx_Exec"},         {8, "amx_FindNative"},
    {9, "amx_FindPublic"},  {10, "amx_FindPubVar"},  {11, "amx_FindTagId"},   {12, "amx_Flags"},
    {13, "amx_GetAddr"},    {14, "amx_GetNative"},   {15, "amx_GetPublic"},   {16, "amx_GetPubVar"},
    {17, "amx_GetString"},  {18, "amx_GetTag"},      {19, "amx_GetUserData"}, {20, "amx_Init"},
    {21, "amx_InitJIT"},    {22, "amx_MemInfo"},     {23, "amx_NameLength"},  {24, "amx_NativeInfo"},
    {25, "amx_NumNatives"}, {26, "amx_NumPublics"},  {27, "amx_NumPubVars"},  {28, "amx_NumTags"},
    {29, "amx_Push"},       {30, "amx_PushArray"},   {31, "amx_PushString"},  {32, "amx_RaiseError"},
    {33, "amx_Register"},   {34, "amx_Release"},     {35, "amx_SetCallback"}, {36, "amx_SetDebugHook"},
    {37, "amx_SetString"},  {38, "amx_SetUserData"}, {39, "amx_StrLen"},      {40, "amx_UTF8Check"},
    {41, "amx_UTF8Get"},    {42, "amx_UTF8Len"},     {43, "amx_UTF8Put"},
};

TEST_F(PluginTest, EveryForwarderReachesItsOwnPositionWithArgumentsAndResultIntact) {
  ASSERT_EQ(kForwarders.size(), 43u);
  EngineTable stubs(/*realOperations=*/false);
  host.pluginData()[16] = stubs.entries();
  host.Load();
  typedef uint32_t (*SixWords)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
  for (const auto& [position, name] : kForwarders) {
    SCOPED_TRACE(name);
    auto forwarder = reinterpret_cast<SixWords>(host.Symbol(name));
    ASSERT_NE(forwarder, nullptr);
    EngineTable::calls().clear();
    uint32_t base = 0x1000u * static_cast<uint32_t>(position);
    uint32_t result = forwarder(base + 1, 0xFFFFFFFFu, base + 3, 0x80000000u, base + 5, 0);
    EXPECT_EQ(result, StubResult(position));
    ASSERT_EQ(EngineTable::calls().size(), 1u);
    EXPECT_EQ(EngineTable::calls()[0].position, position);
    EXPECT_EQ(EngineTable::calls()[0].args,
              (std::vector<uint32_t>{base + 1, 0xFFFFFFFFu, base + 3, 0x80000000u, base + 5, 0}));
  }
}

TEST_F(PluginTest, ForwardersFollowTheTableLoadedLast) {
  EngineTable stubs(/*realOperations=*/false);
  host.pluginData()[16] = stubs.entries();
  host.Load();
  auto flags = reinterpret_cast<uint32_t (*)()>(host.Symbol("amx_Flags"));
  EXPECT_EQ(flags(), StubResult(12));
  // A table whose position 12 answers something else.
  void* other[kEngineTableSize];
  std::memcpy(other, stubs.entries(), sizeof other);
  other[12] = other[13];
  host.pluginData()[16] = other;
  host.Load();
  EXPECT_EQ(flags(), StubResult(13));
}

// PluginData entry 17 as the server gives it, null, or 12 bytes before an
// unreadable page (entry 17 itself readable, the word 10 bytes past it not).
enum Entry17 { kEntry17AsServer, kEntry17Null, kEntry17BeforeUnreadablePage };

struct BuildCase {
  const char* name;
  HostLayout layout;
  Entry17 entry17;
  const char* map;      // the memory map as the plugin reads it: the process's own (null), none (kNoMap), this text
  const char* problem;  // the address the log line names, or null where the plugin works as ever
};

// A memory map of one line: everything readable and executable, nothing writable.
#define MAP_NOTHING_WRITABLE "00000000-ffffffff r-xp 00000000 00:00 0"

// Another server build keeps other things at the fixed addresses, or
// nothing. The plugin loads, names the first address that is not as it
// needs it, and from then on touches no host address: a script still loads
// (native registered, amx_Register's result passed back), a bot and a
// scoreboard request do nothing. Where the memory map cannot be read or
// understood the host is trusted, as before.
TEST(PluginOnAnotherBuild, SaysSoOnceAndLeavesTheHostAlone) {
  constexpr int kRw = PROT_READ | PROT_WRITE;
  constexpr int kRwx = PROT_READ | PROT_WRITE | PROT_EXEC;
  const char* const kGameVariableProblem = "the game variable (0x0819C128) is not in mapped writable";
  const BuildCase cases[] = {
      {"the build it was made for", {}, kEntry17AsServer, nullptr, nullptr},
      {"no memory map: trusted", {}, kEntry17AsServer, kNoMap, nullptr},
      {"nothing at the fixed addresses",
       {kUnmapped, kUnmapped, kUnmapped},
       kEntry17AsServer,
       nullptr,
       "the game variable (0x0819C128) is not in mapped writable"},
      {"game variable read-only",
       {PROT_READ, kRw, kRwx},
       kEntry17AsServer,
       nullptr,
       "the game variable (0x0819C128) is not in mapped writable"},
      {"bot game variable unmapped",
       {kRw, kUnmapped, kRwx},
       kEntry17AsServer,
       nullptr,
       "the bot game variable (0x081CA4BC) is not in mapped writable"},
      {"add-player routine not executable",
       {kRw, kRw, kRw},
       kEntry17AsServer,
       nullptr,
       "the add-player routine (0x080D0660) is not in mapped executable"},
      {"entry 17 null", {}, kEntry17Null, nullptr, "PluginData entry 17 (0x00000000) is not in mapped readable"},
      {"word past entry 17 unreadable",
       {},
       kEntry17BeforeUnreadablePage,
       nullptr,
       "the word 10 bytes past PluginData entry 17 (0x%08X) is not in mapped readable"},
      // A map that leaves nothing writable is read, with addresses of any
      // width up to 16 digits and without its last newline; one with a line
      // that cannot be understood is not, and the host is trusted.
      {"map: nothing writable, addresses of 1 and 16 digits",
       {},
       kEntry17AsServer,
       "0000000000000000-00000000ffffffff r-xp 00000000 00:00 0\n0-1 r--p 00000000 00:00 0\n",
       kGameVariableProblem},
      {"map: the writable mapping begins at the game variable",
       {},
       kEntry17AsServer,
       "00000000-0819c128 r-xp 00000000 00:00 0\n0819c128-ffffffff rwxp 00000000 00:00 0\n",
       nullptr},
      {"map: last line unterminated", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE, kGameVariableProblem},
      {"map: empty", {}, kEntry17AsServer, "", nullptr},
      {"map: bad hex digit", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE "\n0000g000-00001000 r--p 0 0 0\n", nullptr},
      {"map: no start address", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE "\n-00001000 r--p 0 0 0\n", nullptr},
      {"map: no end address", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE "\n00000000- r--p 0 0 0\n", nullptr},
      {"map: 17 hex digits",
       {},
       kEntry17AsServer,
       MAP_NOTHING_WRITABLE "\n00000000000000000-00001000 r--p 0\n",
       nullptr},
      {"map: three permissions", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE "\n00000000-00001000 r-p 0 0 0\n", nullptr},
      {"map: line ends after the addresses",
       {},
       kEntry17AsServer,
       MAP_NOTHING_WRITABLE "\n00000000-00001000\n",
       nullptr},
      {"map: unterminated address", {}, kEntry17AsServer, MAP_NOTHING_WRITABLE "\n0000", nullptr},
      {"map: bad line first", {}, kEntry17AsServer, "x\n" MAP_NOTHING_WRITABLE "\n", nullptr},
  };
  char* pages = static_cast<char*>(mmap(nullptr, 8192, kRw, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + 4096, 4096, PROT_NONE), 0);
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostGame game;
    PlayerPool pool;
    NetworkServer server;
    game.SetPlayerPool(pool.address());
    game.SetNetworkServer(&server);
    pool.Connect(0, 5);
    TestHost host(DefaultPluginPath(), false, c.layout);
    host.SetGameVariables(&game);
    if (c.entry17 == kEntry17Null) host.pluginData()[17] = nullptr;
    if (c.entry17 == kEntry17BeforeUnreadablePage) host.pluginData()[17] = pages + 4096 - 12;

    g_procMaps = c.map;
    EXPECT_EQ(host.Load(), 1);
    g_procMaps = nullptr;
    ScriptMachine script("gamemode");
    script.registerResult = 17;
    script.DefinePublic("OnPlayerTabUpdate", [](const std::vector<cell>&) { return 1; });
    EXPECT_EQ(host.AmxLoad(script), 17);
    EXPECT_TRUE(script.HasNative("AddServerBot"));
    EXPECT_EQ(script.CallNative("AddServerBot", {3, script.AllocString("Bot_A")}), 1);
    const std::vector<std::string> logAfterFirstBot = host.log;
    EXPECT_EQ(script.CallNative("AddServerBot", {4, script.AllocString("Bot_B")}), 1);
    host.DeliverScoreboardRequest(NetworkServer::AddressOf(0));
    void* gamePool = host.GetGamePool();
    host.Unload();

    std::vector<std::string> log = {kLoadedLine, kUnloadedLine};
    if (!c.problem) {
      EXPECT_EQ(host.addPlayerCalls.size(), 2u);
      EXPECT_EQ(server.sends.size(), 1u);
      EXPECT_EQ(script.executions.size(), 1u);
      EXPECT_EQ(gamePool, &game);
    } else {
      char problem[160];
      std::snprintf(problem, sizeof problem, c.problem,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(pages + 4094)));
      log.insert(log.begin() + 1, {"Error. This server is not the build core.so was made for: " + std::string(problem) +
                                       " memory. Bots and the scoreboard are off.",
                                   "Error. AddServerBot: bots are off on this server build, no bot is added"});
      EXPECT_TRUE(host.addPlayerCalls.empty());
      EXPECT_TRUE(server.sends.empty());
      EXPECT_TRUE(script.executions.empty());
      EXPECT_EQ(gamePool, nullptr);
    }
    EXPECT_EQ(host.log, log);
    EXPECT_EQ(logAfterFirstBot, std::vector<std::string>(log.begin(), log.end() - 1)) << "said at the first bot";
    // Each Load says it once again.
    host.log.clear();
    g_procMaps = c.map;
    host.Load();
    g_procMaps = nullptr;
    script.CallNative("AddServerBot", {3, script.AllocString("Bot_A")});
    host.Unload();
    EXPECT_EQ(host.log, log) << "after the next Load";
  }
  munmap(pages, 8192);
}

class BotNativeTest : public PluginTest {
 protected:
  BotNativeTest() : script("bots") {
    host.Load();
    host.AmxLoad(script);
  }
  cell AddBot(cell id, const std::string& name) {
    return script.CallNative("AddServerBot", {id, script.AllocString(name)});
  }
  ScriptMachine script;
};

TEST_F(BotNativeTest, PassesPoolIdNameAndVersionToTheAddPlayerRoutine) {
  struct Case {
    cell id;
    std::string name;
  } cases[] = {{0, "Bot_Alice"},
               {499, "x"},
               {-1, "Neg"},
               {INT_MIN, "Min"},
               {70000, "Far"},
               // The longest name that goes on the native's stack, the shortest that goes to the heap.
               {1, std::string(255, 's')},
               {2, std::string(256, 'h')}};
  for (const Case& c : cases) {
    host.addPlayerCalls.clear();
    EXPECT_EQ(AddBot(c.id, c.name), 1);
    ASSERT_EQ(host.addPlayerCalls.size(), 1u) << c.name;
    const AddPlayerCall& call = host.addPlayerCalls[0];
    EXPECT_EQ(call.pool, pool.address());
    EXPECT_EQ(call.id, c.id);
    EXPECT_FALSE(call.nameIsNull);
    EXPECT_EQ(call.name, c.name);
    EXPECT_EQ(call.fourth, 0);
    EXPECT_EQ(call.version, kBotVersion);
    EXPECT_EQ(call.sixth, 0);
  }
}

TEST_F(BotNativeTest, ReadsTheNameThroughTheEngineWithRoomForTheTerminator) {
  AddBot(3, "x");
  std::vector<EngineCall> gets = CallsAt(17);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].args[2], 0u);  // 8-bit characters
  EXPECT_EQ(gets[0].args[3], 2u);  // one character and the zero
  EXPECT_EQ(gets[0].args[0] % 16, 0u) << "the name buffer is 16-byte aligned";
}

TEST_F(BotNativeTest, UsesTheBotGameVariableNotTheGameVariable) {
  HostGame botGame;
  PlayerPool botPool;
  botGame.SetPlayerPool(botPool.address());
  host.SetBotGameVariable(&botGame);
  AddBot(5, "Bot");
  ASSERT_EQ(host.addPlayerCalls.size(), 1u);
  EXPECT_EQ(host.addPlayerCalls[0].pool, botPool.address());
}

TEST_F(BotNativeTest, MissingPlayerPoolIsLoggedAndTheScriptStillGetsOne) {
  game.SetPlayerPool(nullptr);
  EXPECT_EQ(AddBot(1, "Bot"), 1);
  host.SetBotGameVariable(nullptr);  // no HostGame at all
  EXPECT_EQ(AddBot(2, "Bot"), 1);
  EXPECT_TRUE(host.addPlayerCalls.empty());
  ASSERT_EQ(host.log.size(), 3u);
  EXPECT_EQ(host.log[1], "Error. pPlayerPool is null");
  EXPECT_EQ(host.log[2], "Error. pPlayerPool is null");
}

TEST_F(BotNativeTest, EmptyNameAddsNoBotAndSaysSo) {
  EXPECT_EQ(AddBot(7, ""), 1);
  EXPECT_TRUE(host.addPlayerCalls.empty());
  ASSERT_EQ(host.log.size(), 2u);
  EXPECT_EQ(host.log[1], "Error. AddServerBot: empty name, no bot added for playerid 7");
}

TEST_F(BotNativeTest, BadScriptAddressIsTreatedAsAnEmptyName) {
  EXPECT_EQ(script.CallNative("AddServerBot", {4, 0x7FFFFFF0}), 1);
  EXPECT_TRUE(host.addPlayerCalls.empty());
}

// A name far larger than the thread's stack still reaches the host whole.
TEST_F(BotNativeTest, HugeNameKeepsStackUseBounded) {
  constexpr size_t kStackBytes = 64 * 1024;
  constexpr size_t kNameLength = 1024 * 1024;
  std::string name(kNameLength, 'n');
  name.back() = 'Z';
  cell address = script.AllocString(name);
  struct Job {
    ScriptMachine* script;
    cell address;
    cell result;
  } job{&script, address, 0};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackBytes);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  Job* j = static_cast<Job*>(p);
                  j->result = j->script->CallNative("AddServerBot", {9, j->address});
                  return nullptr;
                },
                &job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.result, 1);
  ASSERT_EQ(host.addPlayerCalls.size(), 1u);
  EXPECT_EQ(host.addPlayerCalls[0].name, name);
}

// Soak loop (CTest label soak): the host's whole lifecycle, over and over,
// with a bot added in each round, its name short or of 256 characters and
// more (those the native copies to the heap); heap flat.
class LifecycleSoak : public PluginTest {};

TEST_F(LifecycleSoak, LoadAmxLoadAmxUnloadUnload) {
  constexpr int kCycles = 5000;
  ScriptMachine script("gamemode");
  const size_t lengths[] = {3, 255, 256, 1000};
  cell names[std::size(lengths)];
  for (size_t n = 0; n < std::size(lengths); ++n) names[n] = script.AllocString(std::string(lengths[n], 'b'));
  int wrong = 0;
  auto cycle = [&](int i) {
    host.log.clear();
    host.addPlayerCalls.clear();
    EngineTable::calls().clear();
    script.natives.clear();
    const bool ok = host.Load() == 1 && host.AmxLoad(script) == 0 &&
                    script.CallNative("AddServerBot", {i % kMaxPlayers, names[i % std::size(names)]}) == 1 &&
                    host.AmxUnload(script) == 0;
    host.ProcessTick();
    host.Unload();
    if (!ok || host.log.size() != 2 || host.log[1] != kUnloadedLine || host.addPlayerCalls.size() != 1 ||
        host.addPlayerCalls[0].name.size() != lengths[i % std::size(lengths)])
      ++wrong;
    host.addPlayerCalls.clear();  // and the recorded name with it
  };
  cycle(0);
  soak::Gauge gauge;
  for (int i = 0; i < kCycles; ++i) cycle(i);
  gauge.Report("lifecycle", kCycles, "cycles");
  EXPECT_EQ(wrong, 0);
}

}  // namespace
