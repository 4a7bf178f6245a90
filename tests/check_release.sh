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
# repository's README; the script include lies alone in script-include/,
# and no entry at the top or in include/ has a standard script include's
# name. The archive holds the repository's MIT LICENSE, was packed
# reproducibly, and its example asks for this version; both READMEs name the
# licence, put core.so before the plugins built against it and have a
# Troubleshooting entry for every line the plugin's sources log.
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

# The repository's root: its README's folder.
root=$(dirname "$readme")
doc_name() { if [ "$1" = "$readme" ]; then echo "the repository's README"; else echo "the archive's README"; fi; }

# No entry at the top or directly in include/ has a standard script
# include's bare name: a script compiler opens the bare name before
# name.inc, and reads a folder of that name forever.
clash=$(awk -F/ -v std="^($standard)\$" '$2 ~ std || ($2 == "include" && $3 ~ std)' <<<"$listing")
if [ -n "$clash" ]; then
  echo "the archive has entries named after a standard script include (a script compiler hangs on them):"
  echo "$clash"
  fail=1
fi

# The licence in the archive as in the repository, named by both READMEs.
if ! tar -xOzf "$archive" "$name/LICENSE" | cmp -s - "$root/LICENSE" || ! grep -q '^MIT License$' "$root/LICENSE"; then
  echo "the archive's LICENSE is missing or differs from the repository's MIT LICENSE"
  fail=1
fi
# Both READMEs: the licence, and where core.so goes among the plugins.
for doc in "$readme" "$shipped"; do
  for phrase in 'MIT licence' '`LICENSE`' 'before any plugin built against it'; do
    grep -qF "$phrase" "$doc" || { echo "$(doc_name "$doc") does not say \"$phrase\""; fail=1; }
  done
done

# Reproducible: every entry owned by 0/0 and stamped with the release time
# (SOURCE_DATE_EPOCH, else the HEAD commit's), gzip without name or time.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
odd=$(tar --numeric-owner --utc --full-time -tvzf "$archive" | awk -v stamp="$stamp" '$2 != "0/0" || $4 " " $5 != stamp')
if [ -n "$odd" ]; then
  echo "archive entries not owned by 0/0 or not stamped $stamp:"
  echo "$odd" | head -5
  fail=1
fi
if [ "$(head -c 8 "$archive" | od -An -tx1 | tr -d ' ')" != 1f8b080000000000 ]; then
  echo "the archive's gzip header carries a name or a time stamp"
  fail=1
fi

# The example asks find_package for this release.
if ! tar -xOzf "$archive" "$name/examples/consumer/CMakeLists.txt" |
    grep -qE "^find_package\(core ${version%.*} CONFIG REQUIRED\)"; then
  echo "the archive's example does not ask find_package for core ${version%.*}"
  fail=1
fi

# Every line core.so can log has an entry in both READMEs' Troubleshooting
# (the line as printed, any value of a %-conversion in its place).
missing=$(perl - "$readme" "$shipped" "$root"/plugin/*.cpp "$root"/plugin/host/*.cpp <<'PERL'
local $/;
my @docs = map { open my $in, '<', $_ or die "$_: $!"; my ($t) = <$in> =~ /^## Troubleshooting\n(.*?)(?=^## |\z)/ms;
                 [$_, $t // ''] } splice @ARGV, 0, 2;
my $str = qr/"(?:[^"\\]|\\.)*"/;
for my $file (@ARGV) {
  open my $in, '<', $file or die "$file: $!";
  my $text = <$in>;
  my %named;
  $named{$1} = $2 while $text =~ /\b(k\w+)\[\]\s*=\s*((?:$str\s*)+)/g;
  while ($text =~ /\blogprintf\(\s*((?:$str\s*)+|k\w+\b)?/g) {
    my $arg = defined $1 && exists $named{$1} ? $named{$1} : $1;
    if (!defined $arg || $arg !~ /^"/) { print "$file: a logprintf call whose text is not a literal\n"; next; }
    (my $line = join '', $arg =~ /"((?:[^"\\]|\\.)*)"/g) =~ s/\s+$//;
    (my $pattern = quotemeta $line) =~ s/\\%[-0-9.]*[a-zA-Z]/.+/g;
    for my $doc (@docs) { print "$doc->[0]: \"$line\"\n" if $doc->[1] !~ /$pattern/m; }
  }
}
PERL
)
if [ -n "$missing" ]; then
  echo "log lines without a Troubleshooting entry:"
  sed "s|^$readme:|the repository's README:|; s|^$shipped:|the archive's README:|" <<<"$missing"
  fail=1
fi

[ $fail -eq 0 ] && echo "release $version: changelog, archive name, core.pc and the archive's own README agree; the script include is script-include/core_plugin.inc; no standard include name at the top or in include/; LICENSE in both places; the archive reproducible (0/0, $stamp, bare gzip); every log line in both Troubleshooting sections"
exit $fail
