# CMake package of core.so for native code that uses it: the imported target
# core::core carries core.so and the include folder of its public headers.
# Every path is taken relative to this file, so the unpacked release archive
# works wherever it lies:
#   find_package(core CONFIG REQUIRED)  # CMAKE_PREFIX_PATH holds the archive's folder
#   target_link_libraries(app PRIVATE core::core)
get_filename_component(_core_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(CMAKE_SIZEOF_VOID_P AND NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(core_FOUND FALSE)
  string(CONCAT core_NOT_FOUND_MESSAGE
      "core.so is a 32-bit x86 library, but this project builds for ${CMAKE_SIZEOF_VOID_P}-byte pointers. "
      "Configure a new build folder for 32-bit x86 with the toolchain file that comes with core.so: "
      "-DCMAKE_TOOLCHAIN_FILE=${_core_prefix}/cmake/i386-linux-gnu.cmake")
  unset(_core_prefix)
  return()
endif()
if(NOT EXISTS "${_core_prefix}/core.so")
  set(core_FOUND FALSE)
  set(core_NOT_FOUND_MESSAGE "core.so is missing from ${_core_prefix}")
  unset(_core_prefix)
  return()
endif()

if(NOT TARGET core::core)
  add_library(core::core SHARED IMPORTED)
  # core.so has no lib prefix, so it is linked by its full path; its soname
  # is core.so, the name the server loads it under.
  set_target_properties(core::core PROPERTIES
    IMPORTED_LOCATION "${_core_prefix}/core.so"
    IMPORTED_SONAME "core.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_core_prefix}/include")
endif()
unset(_core_prefix)
