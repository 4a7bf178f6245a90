// Process-wide state of the plugin, set by the entry points.
#pragma once

#include "amx/amx.h"

typedef void (*LogFunction)(const char* format, ...);

extern LogFunction logprintf;  // the host's printf-style log
extern void* ppPlayers;        // address of the host variable holding the HostGame
extern void* pGame;            // HostGame read from the game variable at AmxLoad
extern tagAMX* iCallback;      // most recently loaded script machine, or null
extern const AmxNativeEntry pluginNatives[];

cell n_AddServerBot(tagAMX* amx, cell* params);
