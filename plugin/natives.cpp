// The script native AddServerBot(playerid, const name[]).
#include <cstdlib>

#include "plugin/host/host.h"
#include "plugin/state.h"

// Version text the host stores for every bot.
static const char kBotVersionText[] = "0.3.7-kestrilo-bot";

// Names shorter than this are copied onto the stack. A script can pass a name
// of any length, so longer ones go to the heap: the host receives the whole
// name and the host thread's stack use stays bounded.
constexpr int kStackNameBytes = 256;

static void AddBot(cell playerId, const char* name) {
  void* game = host::GameAt(host::kBotGameVariable);
  void* pool = game ? host::PlayerPoolOf(game) : nullptr;
  if (!pool) {
    logprintf("Error. pPlayerPool is null");
    return;
  }
  host::AddPlayer(pool, playerId, name, kBotVersionText);
}

// On another server build the native adds nothing and says so once per Load.
static bool botsOffNoticed = false;
void ResetBotsOffNotice() { botsOffNoticed = false; }

cell n_AddServerBot(tagAMX* amx, cell* params) {
  if (hostBindingOff) {
    if (!botsOffNoticed) logprintf("Error. AddServerBot: bots are off on this server build, no bot is added");
    botsOffNoticed = true;
    return 1;
  }
  cell playerId = params[1];
  cell* address = nullptr;
  int length = 0;
  amx_GetAddr(amx, params[2], &address);
  if (address) amx_StrLen(address, &length);

  // The host's add-player routine needs a name; an empty one adds nothing.
  if (length <= 0) {
    logprintf("Error. AddServerBot: empty name, no bot added for playerid %d", static_cast<int>(playerId));
    return 1;
  }

  alignas(16) char stackName[kStackNameBytes];
  size_t size = static_cast<size_t>(length) + 1;
  char* name = size <= sizeof stackName ? stackName : static_cast<char*>(std::malloc(size));
  if (!name) {
    logprintf("Error. AddServerBot: no memory for a %d-character name", length);
    return 1;
  }
  amx_GetString(name, address, 0, size);
  AddBot(playerId, name);
  if (name != stackName) std::free(name);
  return 1;
}
