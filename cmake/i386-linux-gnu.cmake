# Everything this project builds is 32-bit x86: the host that loads the plugin is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)

# Some machines run a kernel without 32-bit user space support. There the
# 32-bit test programs run under qemu's user-mode emulation (Debian's
# qemu-user, installed by scripts/setup.sh); CTest prefixes them with it.
execute_process(COMMAND /lib/ld-linux.so.2 --version
                RESULT_VARIABLE core_native_i386 OUTPUT_QUIET ERROR_QUIET)
if(NOT core_native_i386 EQUAL 0)
  find_program(CORE_QEMU_I386 qemu-i386)
  if(NOT CORE_QEMU_I386)
    message(FATAL_ERROR "this kernel cannot run 32-bit programs and qemu-i386 is missing: run scripts/setup.sh")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORE_QEMU_I386})
endif()
