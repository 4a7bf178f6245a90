// Script-engine types and the engine functions the plugin calls itself.
// The engine belongs to the host; every amx_* function here is a forwarder
// into the host's function table (see amxplugin.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t cell;

struct tagAMX;  // a script machine; its layout is the host's business

typedef cell (*AmxNative)(tagAMX* amx, cell* params);

// One entry of a native table; a table ends with an entry of two nulls.
struct AmxNativeEntry {
  const char* name;
  AmxNative function;
};

// Positions in the host's script-engine function table.
enum AmxTablePosition {
  kAmxExec = 7,
  kAmxFindPublic = 9,
  kAmxGetAddr = 13,
  kAmxGetString = 17,
  kAmxPush = 29,
  kAmxRegister = 33,
  kAmxStrLen = 39,
  kAmxTableSize = 44,
};

// Set by Load from the host's plugin data; read by every forwarder.
extern "C" void** pAMXFunctions;

extern "C" {
int amx_Register(tagAMX* amx, const AmxNativeEntry* list, int number);
int amx_GetAddr(tagAMX* amx, cell amx_addr, cell** phys_addr);
int amx_StrLen(const cell* cstring, int* length);
int amx_GetString(char* dest, const cell* source, int use_wchar, size_t size);
int amx_FindPublic(tagAMX* amx, const char* name, int* index);
int amx_Push(tagAMX* amx, cell value);
int amx_Exec(tagAMX* amx, cell* retval, int index);
}
