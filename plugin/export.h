// Marks a declaration as part of core.so's exported interface. The build
// hides everything else, and the linker's export list (plugin/exports.txt)
// keeps the dynamic symbol table to exactly the intended names.
#pragma once

#define CORE_EXPORT __attribute__((visibility("default")))
