// Whether the host addresses the plugin reads and calls lie in memory mapped
// with the access it needs. Another server build keeps other things at those
// addresses, or nothing: reading them would crash the server. The answer
// comes from the process's own memory map (/proc/self/maps), which needs no
// signal handler and changes nothing in the process.
#pragma once

#include <cstdint>

namespace host {

// A host address that is not mapped as the plugin needs it.
struct UnmappedAddress {
  const char* what;  // "the game variable", ...
  uintptr_t address;
  const char* access;  // "readable", "writable" or "executable"
};

// False, with *problem naming the first one, when PluginData entry 17 (the
// code address given to Load) or the word 10 bytes past it is not readable,
// the game variable or the bot game variable not writable, or the add-player
// routine not executable. True when all are, and also when the memory map
// cannot be read (no /proc): the host is then trusted.
bool HostAddressesMapped(const void* codeAddress, UnmappedAddress* problem);

}  // namespace host
