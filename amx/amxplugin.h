// The host's script-engine function table, as the forwarders in amxplugin.cpp
// reach it. Internal to core.so: the plugin's Load stores the table here.
#pragma once

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
