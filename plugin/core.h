// The entry points the host's plugin loader calls, under their plain names.
#pragma once

#include <cstdint>

#include "amx/amx.h"
#include "core_sdk/export.h"
#include "plugin/host_exports.h"  // GetGamePool

// Bits of the Supports() answer.
constexpr uint32_t kPluginInterfaceVersion = 0x0200;
constexpr uint32_t kSupportsScriptNatives = 0x10000;

// Plugin data entries the plugin reads.
constexpr int kPluginDataLog = 0;
constexpr int kPluginDataAmxFunctions = 16;
constexpr int kPluginDataCodeAddress = 17;

extern "C" {
CORE_EXPORT uint32_t Supports();
CORE_EXPORT int Load(void** pluginData);
CORE_EXPORT void Unload();
CORE_EXPORT int AmxLoad(tagAMX* amx);
CORE_EXPORT int AmxUnload(tagAMX* amx);
CORE_EXPORT void ProcessTick();
}
