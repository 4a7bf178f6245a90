#!/usr/bin/env bash
# Static checks: one clang-format style for all C++ sources, and cppcheck and
# clang-tidy (.clang-tidy) with nothing to report on the plugin's own sources.
set -euo pipefail
root=$1
build=$2
cd "$root"
plugin_sources=$(find plugin amx raknet http util -name '*.cpp' | sort)
all_sources=$(find include plugin amx raknet http util testhost tests bench fuzz examples -name '*.cpp' -o -name '*.h' | sort)

status=0
if ! clang-format --dry-run -Werror $all_sources; then
  echo "lint: clang-format would change the files above"
  status=1
fi
if ! cppcheck --quiet --error-exitcode=1 --platform=unix32 --std=c++17 --enable=warning,performance,portability \
    --inline-suppr --suppress=missingIncludeSystem -I . -I include plugin amx raknet http util; then
  echo "lint: cppcheck found problems"
  status=1
fi
if ! clang-tidy -p "$build" --quiet $plugin_sources; then
  echo "lint: clang-tidy found problems"
  status=1
fi
[ $status -eq 0 ] && echo "lint: clang-format, cppcheck and clang-tidy report nothing"
exit $status
