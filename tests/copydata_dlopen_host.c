/* A host that loads core.so as a server loads its plugins, with
   dlopen(RTLD_LOCAL), and copies an empty stream, then a one-bit stream with
   CopyData, calling the exported functions by their linker names. Built as C,
   the process holds no C++ runtime: CopyData must fall back to the
   plugin's own allocator. Built as C++ (copydata_dlopen_ownnew.cpp), the
   host has its own operator new[] and delete[], and the copies must come
   from its new[].
   Usage: host path/to/core.so; exit status 0 when the copy is right. */
#include <dlfcn.h>
#include <stdio.h>

typedef void (*StreamMethod)(void* stream);
typedef int (*CopyDataMethod)(const void* stream, unsigned char** copy);

/* The C++ host checks that its new[] made the copy and releases it (it skips
   where a memory checker replaces its new[]); the C host, which has no
   delete[], keeps it and checks that the process still has no C++ runtime. */
#ifdef __cplusplus
bool HostSkips();
bool HostTakesCopy(unsigned char* copy);
#else
static int HostSkips(void) { return 0; }
unsigned char* keptCopies[2];
static int HostTakesCopy(unsigned char* copy) {
  keptCopies[keptCopies[0] != NULL] = copy;
  return dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD) == NULL;
}
#endif

int main(int argc, char** argv) {
  static unsigned int stream[276 / sizeof(unsigned int)]; /* a RakNet::BitStream: 276 bytes */
  void* plugin;
  StreamMethod construct, writeOne, destroy;
  CopyDataMethod copyData;
  unsigned char* copy = NULL;
  int bits, emptyBits;
  if (HostSkips()) return 0;
  plugin = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
  if (!plugin) {
    fprintf(stderr, "usage: %s path/to/core.so (%s)\n", argv[0], argc == 2 ? dlerror() : "no path");
    return 2;
  }
  construct = (StreamMethod)dlsym(plugin, "_ZN6RakNet9BitStreamC1Ev");
  writeOne = (StreamMethod)dlsym(plugin, "_ZN6RakNet9BitStream6Write1Ev");
  destroy = (StreamMethod)dlsym(plugin, "_ZN6RakNet9BitStreamD1Ev");
  copyData = (CopyDataMethod)dlsym(plugin, "_ZNK6RakNet9BitStream8CopyDataEPPh");
  if (!construct || !writeOne || !destroy || !copyData) return 2;

  construct(stream);
  emptyBits = copyData(stream, &copy); /* no bits, yet an array */
  if (emptyBits != 0 || !copy || !HostTakesCopy(copy)) {
    fprintf(stderr, "CopyData of an empty stream gave %d bits, %s\n", emptyBits, copy ? "an array" : "no array");
    return 1;
  }
  copy = NULL;
  writeOne(stream);
  bits = copyData(stream, &copy);
  destroy(stream);
  if (bits != 1 || !copy || copy[0] != 0x80 || !HostTakesCopy(copy)) {
    fprintf(stderr, "CopyData gave %d bits, the first %#x, or the host could not take the copy\n", bits,
            copy ? copy[0] : 0u);
    return 1;
  }
  dlclose(plugin);
  puts("copydata: one bit copied from core.so loaded with dlopen(RTLD_LOCAL)");
  return 0;
}
