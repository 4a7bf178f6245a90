#!/usr/bin/env bash
# Scripts as operators write them, compiled with the real script compiler
# (embryo_cc): the plugin's include alone, the script example of each README,
# the demo's gamemode and the real-engine test's script, with any warning or
# error failing; and one script that includes the standard default include, a
# stand-in for the standard library's core.inc (its include guard and one of
# its natives) and the plugin's include, using a name from each, so that the
# plugin's include can never again clash with a standard include; and with
# the C++ headers' folder on the path, #include <core> ends in an error.
#
#   check_scripts.sh <embryo_cc or empty> <script include folder> <README.md> <archive README source> <scripts...>
#
# Exits 77 (skipped) where the compiler is not installed.
set -euo pipefail
cc=$1
include=$2
readme=$3
archive_readme=$4
shift 4
if [ -z "$cc" ] || ! command -v "$cc" >/dev/null; then
  echo "script_compile: skipped: the script compiler embryo_cc is not installed (scripts/setup.sh installs it)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

# compile NAME SOURCE [include folders...]: with a time limit, since a
# compiler given a folder holding a directory of the include's name spins.
compile() {
  local name=$1 source=$2 status=0 folders=() folder
  shift 2
  for folder in "$@"; do folders+=(-i "$folder"); done
  timeout 60 "$cc" "$source" "${folders[@]}" -o "$work/$name.amx" >"$work/$name.log" 2>&1 || status=$?
  if [ $status -eq 124 ]; then
    echo "$name: the compiler did not finish within 60 s"
    fail=1
  elif [ $status -ne 0 ] || grep -qiE 'warning|error' "$work/$name.log"; then
    echo "$name: the compiler reported (exit status $status):"
    cat "$work/$name.log"
    fail=1
  fi
}

# The include with nothing else: its native called and its public defined.
printf '#include <core_plugin>\n\npublic OnPlayerTabUpdate(playerid)\n{\n    return AddServerBot(playerid, "B");\n}\n' \
  >"$work/include_alone.sma"
compile include_alone "$work/include_alone.sma" "$include"

for doc in "$readme" "$archive_readme"; do
  name=readme_example_$(basename "$(dirname "$doc")")_$(basename "$doc" .md)
  sed -n '/^```pawn$/,/^```$/p' "$doc" | sed '1d;$d' >"$work/$name.sma"
  if ! grep -q '#include <core_plugin>' "$work/$name.sma"; then
    echo "$doc: no script example including <core_plugin>"
    fail=1
  fi
  compile "$name" "$work/$name.sma" "$include"
done

for script in "$@"; do
  compile "$(basename "$script" .sma)" "$script" "$include"
done

mkdir "$work/standard"
cat >"$work/standard/core.inc" <<'INC'
#if defined _core_included
	#endinput
#endif
#define _core_included

native funcidx(const name[]);
INC
cat >"$work/beside_standard.sma" <<'SMA'
#include <default>
#include <core>
#include <core_plugin>

main()
{
    AddServerBot(numargs(), "Bot_Alice");
    return funcidx("OnPlayerTabUpdate");
}

public OnPlayerTabUpdate(playerid)
{
    return playerid;
}
SMA
compile beside_standard "$work/beside_standard.sma" "$work/standard" "$include"

# The C++ headers' folder (include/, beside script-include/) on the
# compiler's path by mistake: a script including <core> must end in an
# error, as no core.inc is there, and not hang on a folder of that name.
printf '#include <core>\n\nmain()\n{\n}\n' >"$work/cxx_headers.sma"
status=0
timeout 60 "$cc" "$work/cxx_headers.sma" -i "$(dirname "$include")/include" -o "$work/cxx_headers.amx" \
  >"$work/cxx_headers.log" 2>&1 || status=$?
if [ $status -eq 124 ]; then
  echo "cxx_headers: the compiler hung on include/ (no end within 60 s): a folder there has a standard include's name"
  fail=1
elif [ $status -eq 0 ]; then
  echo "cxx_headers: #include <core> compiled with the C++ headers' folder alone on the path"
  fail=1
fi

[ $fail -eq 0 ] && echo "script_compile: the include, both READMEs' examples, $# scripts and a script beside the standard includes compile clean; with include/ on the path <core> is an error, not a hang"
exit $fail
