# Selects 32-bit x86 Linux, the target of core.so and of everything that
# links it (the server that loads it is 32-bit):
#   cmake -S <source> -B <build> -DCMAKE_TOOLCHAIN_FILE=<this file>
# A project's own flags (-DCMAKE_CXX_FLAGS=-fsanitize=address, say) add to
# -m32 instead of replacing it. g++ needs its multilib support (Debian:
# g++-multilib).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
foreach(kind C CXX ASM EXE_LINKER SHARED_LINKER MODULE_LINKER)
  set(CMAKE_${kind}_FLAGS_INIT "-m32")
  # Those initial flags apply only when the build folder has no flags yet;
  # flags given on the command line are already in the cache here and would
  # replace them, so -m32 goes in front of those.
  if(DEFINED CACHE{CMAKE_${kind}_FLAGS} AND NOT " $CACHE{CMAKE_${kind}_FLAGS} " MATCHES " -m32 ")
    set_property(CACHE CMAKE_${kind}_FLAGS PROPERTY VALUE "-m32 $CACHE{CMAKE_${kind}_FLAGS}")
  endif()
endforeach()
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)

# Some kernels run no 32-bit programs. There CTest and custom commands run
# them under qemu's user-mode emulation when qemu-i386 is installed.
execute_process(COMMAND /lib/ld-linux.so.2 --version
                RESULT_VARIABLE core_native_i386 OUTPUT_QUIET ERROR_QUIET)
if(NOT core_native_i386 EQUAL 0)
  find_program(CORE_QEMU_I386 qemu-i386)
  if(CORE_QEMU_I386)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CORE_QEMU_I386})
  endif()
endif()
