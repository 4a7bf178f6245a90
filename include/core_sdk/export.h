// Marks a declaration as part of core.so's exported interface. core.so is
// built with hidden visibility: only the names marked here, the amx_*
// forwarders and the plugin's entry points are visible to other code. For a
// program that uses core.so the mark only says that the definition lies in
// that shared object.
#pragma once

#define CORE_EXPORT __attribute__((visibility("default")))
