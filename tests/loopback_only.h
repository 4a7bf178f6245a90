// Whether this process runs in a network namespace whose only interface is
// loopback (as scripts/netns makes): there nothing sent can leave the
// machine, a name lookup included.
#pragma once

#include <ifaddrs.h>
#include <net/if.h>

inline bool OnlyLoopback() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool only = true;
  for (const ifaddrs* i = interfaces; i; i = i->ifa_next) only = only && (i->ifa_flags & IFF_LOOPBACK);
  freeifaddrs(interfaces);
  return only;
}
