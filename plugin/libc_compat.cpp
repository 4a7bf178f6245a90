// The statically linked runtime refers to two thread functions that recent C
// libraries export under a 2021 symbol version. These definitions bind those
// references to the versions every C library has had since threads came to
// Linux (in the separate thread library on older machines), so the plugin
// loads on older servers too. pthread.h is not included: its declarations
// would clash with these definitions.
#include <cerrno>

typedef int OnceFlag;        // pthread_once_t
typedef unsigned int KeyId;  // pthread_key_t

extern "C" int LibcPthreadOnce(OnceFlag*, void (*)()) __attribute__((weak));
extern "C" int LibcPthreadKeyCreate(KeyId*, void (*)(void*)) __attribute__((weak));
__asm__(".symver LibcPthreadOnce, pthread_once@GLIBC_2.0");
__asm__(".symver LibcPthreadKeyCreate, __pthread_key_create@GLIBC_2.0");

extern "C" int pthread_once(OnceFlag* once, void (*init)()) {
  if (LibcPthreadOnce) return LibcPthreadOnce(once, init);  // GCOVR_EXCL_BR_LINE: always bound from C library 2.34 on
  // GCOVR_EXCL_START: only where a C library before 2.34 runs without its thread library
  // No thread library in the process, so it has exactly one thread.
  if (*once == 0) {
    *once = 1;
    init();
  }
  return 0;
  // GCOVR_EXCL_STOP
}

// GCOVR_EXCL_START: the runtime only takes its address, to tell whether the process has threads
extern "C" int __pthread_key_create(KeyId* key, void (*destructor)(void*)) {
  return LibcPthreadKeyCreate ? LibcPthreadKeyCreate(key, destructor) : ENOSYS;
}
// GCOVR_EXCL_STOP
