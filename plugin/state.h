// Process-wide state of the plugin, set by the entry points.
#pragma once

#include "amx/amx.h"

typedef void (*LogFunction)(const char* format, ...);

extern LogFunction logprintf;  // the host's printf-style log
extern void* ppPlayers;        // address of the host variable holding the HostGame
extern void* pGame;            // HostGame read from the game variable at AmxLoad
extern tagAMX* iCallback;      // most recently loaded script machine, or null
// Set by Load when the server is not the build the plugin was made for:
// from then on no host address is read or called.
extern bool hostBindingOff;
extern const AmxNativeEntry pluginNatives[];

cell n_AddServerBot(tagAMX* amx, cell* params);
void ResetBotsOffNotice();
