// Plugin lifecycle: the entry points and the process-wide state they fill.
#include "plugin/core.h"

#include "amx/amxplugin.h"
#include "plugin/host/address_check.h"
#include "plugin/host/host.h"
#include "plugin/state.h"

LogFunction logprintf = nullptr;
void* ppPlayers = nullptr;
void* pGame = nullptr;
tagAMX* iCallback = nullptr;
bool hostBindingOff = false;

const AmxNativeEntry pluginNatives[] = {
    {"AddServerBot", n_AddServerBot},
    {nullptr, nullptr},
};

// The host prints the log lines as given; the trailing spaces are part of them.
#define CORE_44_SPACES "                                            "
static const char kLoadedLine[] = " Core plugin loaded" CORE_44_SPACES;
static const char kUnloadedLine[] = " Core plugin unloaded" CORE_44_SPACES;
static_assert(sizeof kLoadedLine - 1 == 63, "loaded line is 63 characters");
static_assert(sizeof kUnloadedLine - 1 == 65, "unloaded line is 65 characters");

uint32_t Supports() { return kSupportsScriptNatives | kPluginInterfaceVersion; }

int Load(void** pluginData) {
  pAMXFunctions = static_cast<void**>(pluginData[kPluginDataAmxFunctions]);
  logprintf = reinterpret_cast<LogFunction>(pluginData[kPluginDataLog]);
  // Checked before anything is read through a host address: on another build
  // the plugin stays loaded, says so once and leaves the host alone.
  const void* codeAddress = pluginData[kPluginDataCodeAddress];
  host::UnmappedAddress problem = {};
  hostBindingOff = !host::HostAddressesMapped(codeAddress, &problem);
  ppPlayers = hostBindingOff ? nullptr : host::ReadPointer(codeAddress, host::kCodeEmbeddedAddressOffset);
  ResetBotsOffNotice();
  logprintf(kLoadedLine);
  if (hostBindingOff)
    logprintf(
        "Error. This server is not the build core.so was made for: %s (0x%08X) is not in mapped %s memory. "
        "Bots and the scoreboard are off.",
        problem.what, static_cast<unsigned>(problem.address), problem.access);
  return 1;
}

void Unload() { logprintf(kUnloadedLine); }

int AmxLoad(tagAMX* amx) {
  pGame = hostBindingOff ? nullptr : host::GameAt(host::kGameVariable);
  iCallback = amx;
  return amx_Register(amx, pluginNatives, -1);
}

int AmxUnload(tagAMX* amx) {
  // Forget the callback machine once the host frees it, so the scoreboard
  // handler never runs a public in a machine that no longer exists.
  if (amx == iCallback) iCallback = nullptr;
  return 0;
}

void ProcessTick() {}

void* GetGamePool() { return hostBindingOff ? nullptr : host::GameAt(host::kGameVariable); }
