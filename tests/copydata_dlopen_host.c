/* A host that loads core.so as a server loads its plugins, with
   dlopen(RTLD_LOCAL), and takes a copy of a one-bit stream with CopyData,
   calling the exported functions by their linker names.
   Built as C, the process holds no C++ runtime: CopyData must fall back to
   the plugin's own allocator. Built as C++ (copydata_dlopen_ownnew.cpp), the
   host replaces operator new[] and delete[], and the copy must come from its
   new[]. Usage: host path/to/core.so; exit status 0 when the copy is right. */
#include <dlfcn.h>
#include <stdio.h>

typedef void (*StreamMethod)(void* stream);
typedef int (*CopyDataMethod)(const void* stream, unsigned char** copy);

/* The host takes the copy: the C++ host checks that its new[] made it and
   releases it with its delete[]; the C host, which has no delete[], keeps
   it, and checks that the process still holds no C++ runtime. The C++ host
   skips where a memory checker replaces its new[]. */
#ifdef __cplusplus
bool HostSkips();
bool HostTakesCopy(unsigned char* copy);
#else
static int HostSkips(void) { return 0; }
unsigned char* keptCopy;
static int HostTakesCopy(unsigned char* copy) {
  keptCopy = copy;
  if (!dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD)) return 1;
  fputs("a C++ runtime is loaded in this C host\n", stderr);
  return 0;
}
#endif

static void* Find(void* plugin, const char* name) {
  void* found = dlsym(plugin, name);
  if (!found) fprintf(stderr, "core.so does not export %s\n", name);
  return found;
}

int main(int argc, char** argv) {
  static unsigned int stream[276 / sizeof(unsigned int)]; /* a RakNet::BitStream: 276 bytes */
  void* plugin;
  StreamMethod construct, writeOne, destroy;
  CopyDataMethod copyData;
  unsigned char* copy = NULL;
  int bits;
  if (HostSkips()) return 0;
  if (argc != 2) {
    fprintf(stderr, "usage: %s path/to/core.so\n", argv[0]);
    return 2;
  }
  plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!plugin) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 2;
  }
  construct = (StreamMethod)Find(plugin, "_ZN6RakNet9BitStreamC1Ev");
  writeOne = (StreamMethod)Find(plugin, "_ZN6RakNet9BitStream6Write1Ev");
  destroy = (StreamMethod)Find(plugin, "_ZN6RakNet9BitStreamD1Ev");
  copyData = (CopyDataMethod)Find(plugin, "_ZNK6RakNet9BitStream8CopyDataEPPh");
  if (!construct || !writeOne || !destroy || !copyData) return 2;

  construct(stream);
  writeOne(stream);
  bits = copyData(stream, &copy);
  destroy(stream);
  if (bits != 1 || !copy || copy[0] != 0x80) {
    fprintf(stderr, "CopyData gave %d bits, first byte %#x\n", bits, copy ? copy[0] : 0u);
    return 1;
  }
  if (!HostTakesCopy(copy)) return 1;
  dlclose(plugin);
  puts("copydata: one bit copied from core.so loaded with dlopen(RTLD_LOCAL)");
  return 0;
}
