# CPack post-build script: packs the staged release folder again so that the
# archive depends on the staged files' contents alone, not on who built it,
# when, or under which umask: entries sorted by name, every time stamp the
# release commit's time, owner and group 0 by number, modes 644 and 755
# (executables and folders), a gzip stream without a name or time stamp. Then
# writes SHA256SUMS beside the archive. Every way of making the archive runs
# CPack, so every way gets this.
#
# The time is SOURCE_DATE_EPOCH (seconds since 1970) when set, else the time
# of the source checkout's HEAD commit.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_CORE_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set and ${CPACK_CORE_SOURCE_DIR} is not a git checkout: "
                        "set SOURCE_DATE_EPOCH to the release's time in seconds since 1970")
  endif()
elseif(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${epoch}\", not a number of seconds since 1970")
endif()

list(LENGTH CPACK_PACKAGE_FILES count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one archive from CPack, got: ${CPACK_PACKAGE_FILES}")
endif()
get_filename_component(staged_parent "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
get_filename_component(staged_name "${CPACK_TEMPORARY_DIRECTORY}" NAME)
execute_process(
  COMMAND tar --format=gnu --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner
              --mode=u+rwX,go+rX,go-w -C "${staged_parent}" -cf - "${staged_name}"
  COMMAND gzip -n -9
  OUTPUT_FILE "${CPACK_PACKAGE_FILES}"
  COMMAND_ERROR_IS_FATAL ANY)

# CPack copies the archive from its working folder to the output folder after
# this script; the checksum names it as it will lie there.
set(output "${CPACK_OUTPUT_FILE_PREFIX}")
if(output STREQUAL "")
  set(output "${CPACK_PACKAGE_DIRECTORY}")
endif()
file(SHA256 "${CPACK_PACKAGE_FILES}" sum)
get_filename_component(archive_name "${CPACK_PACKAGE_FILES}" NAME)
file(WRITE "${output}/SHA256SUMS" "${sum}  ${archive_name}\n")
