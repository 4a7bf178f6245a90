#!/usr/bin/env bash
# The release as its readers meet it: one version everywhere, and an archive
# README that asks for nothing but the archive.
#
#   check_release.sh <project version> <CHANGELOG.md> <repository README.md> <archive folder>
#
# The changelog's top released entry ("## X.Y.Z (YYYY-MM-DD)", below an
# "## Unreleased" if there is one) is the project version. The archive in the
# folder (made by check_sdk.sh package) and its pkg-config file carry that
# version; the README.md it holds names no repository command (scripts/, a
# CMake preset, ctest) and states the same oldest C library as the
# repository's README; the script include lies alone in script-include/.
set -euo pipefail
version=$1
changelog=$2
readme=$3
folder=$4
fail=0

top=$(awk '/^## / && $0 != "## Unreleased" { print; exit }' "$changelog")
if [[ $top =~ ^##\ ([0-9]+\.[0-9]+\.[0-9]+)\ \([0-9]{4}-[0-9]{2}-[0-9]{2}\)$ ]]; then
  if [ "${BASH_REMATCH[1]}" != "$version" ]; then
    echo "the changelog's top released entry is ${BASH_REMATCH[1]}, the project version $version"
    fail=1
  fi
else
  echo "the changelog's top released entry is not \"## X.Y.Z (YYYY-MM-DD)\": ${top:-none}"
  fail=1
fi

name=core-$version-linux-x86
archive=$folder/$name.tar.gz
if [ ! -f "$archive" ]; then
  echo "no $name.tar.gz in $folder:"
  ls "$folder"
  exit 1
fi
if ! tar -xOzf "$archive" "$name/lib/pkgconfig/core.pc" | grep -qx "Version: $version"; then
  echo "the archive's core.pc does not state Version: $version"
  fail=1
fi

shipped=$(mktemp)
trap 'rm -f "$shipped"' EXIT
tar -xOzf "$archive" "$name/README.md" >"$shipped"
if grep -nE 'scripts/|--preset|CMakePresets|(^|[^[:alnum:]_-])ctest([^[:alnum:]_-]|$)' "$shipped"; then
  echo "the archive's README names the repository's commands (lines above): the archive cannot run them"
  fail=1
fi

# The script include: alone in a folder of script includes, under a name and
# guard that no include of the script language's standard library uses, and
# no script include among the C++ headers (a compiler given include/ tries the
# bare name first, finds the header folder core/ and hangs). The archive's
# README tells how to include it.
listing=$(tar -tzf "$archive")
standard='core|float|string|file|time|console|datagram|args|fixed|rational|process|default'
script_includes=$(sed -n "s|^$name/script-include/\(..*\)|\1|p" <<<"$listing")
if [ "$script_includes" != core_plugin.inc ]; then
  echo "the archive's script-include/ holds \"${script_includes//$'\n'/ }\", not core_plugin.inc alone"
  fail=1
elif tar -xOzf "$archive" "$name/script-include/core_plugin.inc" | grep -qE "^#define _($standard)_included\b"; then
  echo "core_plugin.inc uses the include guard of a standard library include"
  fail=1
fi
if grep "^$name/include/.*\.inc$" <<<"$listing"; then
  echo "the archive's include/ holds script includes (above): it is for the C++ headers"
  fail=1
fi
if ! grep -q 'script-include/core_plugin.inc' "$shipped" || ! grep -q '#include <core_plugin>' "$shipped"; then
  echo "the archive's README does not name script-include/core_plugin.inc and #include <core_plugin>"
  fail=1
fi

. "$(dirname "$0")/glibc_versions.sh"
ours=$(stated_glibc_floor "$readme")
theirs=$(stated_glibc_floor "$shipped")
if [ -z "$theirs" ] || [ "$theirs" != "$ours" ]; then
  echo "the archive's README states C library ${theirs:-no version}, the repository's ${ours:-no version}"
  fail=1
fi

[ $fail -eq 0 ] && echo "release $version: changelog, archive name, core.pc and the archive's own README agree; the script include is script-include/core_plugin.inc"
exit $fail
