#!/usr/bin/env bash
# Runs scripts/setup.sh against strict stand-ins for apt-get, dpkg and
# dpkg-query, without the network: a mirror in mid-sync (an index that never
# downloads), 32-bit/64-bit version skew (a combined install refused as held
# broken), a package that cannot be had at all, and an ordinary user. The
# stand-ins print what apt prints and keep the installed packages in a file.
# Usage: check_setup.sh <setup.sh>
set -euo pipefail
setup=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
# apt-get stand-in. STANDIN_MODE: skew (a combined install refused unless
# -t names a suite), chain (any install of more than one package refused),
# refuse:PKG (PKG can never be installed), locked (another apt job holds the
# lock until it ends: only an install that waits for it gets through).
echo "apt-get $*" >>"$STANDIN/calls"
if [ "$1" = update ]; then
  # The other indexes come in, for the architectures dpkg knows by now.
  cat "$STANDIN/arches" >"$STANDIN/indexed" 2>/dev/null || true
  cat >&2 <<'MSG'
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
    - SHA256:5aa58ea44688978d17b28ffab762d89251fefc64aa2548ac43e228e5fd91d903
   Release file created at: Mon, 07 Dec 2026 23:22:40 +0000
E: Some index files failed to download. They have been ignored, or old ones used instead.
MSG
  exit 100
fi
[ "$1" = install ] || { echo "E: stand-in knows no '$1'" >&2; exit 100; }
shift
suite="" pkgs=() waits=false yes=false
while [ $# -gt 0 ]; do
  case $1 in
    -t) suite=$2; shift 2 ;;
    -o) [[ $2 =~ ^DPkg::Lock::Timeout=[1-9] ]] && waits=true; shift 2 ;;
    -y | -qq) yes=true; shift ;;
    -*) shift ;;
    *) pkgs+=("$1"); shift ;;
  esac
done
# As apt does with no terminal to ask on: without -y (or -qq) it aborts.
$yes || { echo "Do you want to continue? [Y/n] Abort."; exit 1; }
for p in "${pkgs[@]}"; do
  [[ $p =~ ^[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?$ ]] || { echo "E: Unable to locate package $p" >&2; exit 100; }
  # A foreign architecture's packages are known once an update has read its index.
  [[ $p != *:i386 ]] || grep -qx i386 "$STANDIN/indexed" 2>/dev/null ||
    { echo "E: Unable to locate package $p" >&2; exit 100; }
done
if [ "$STANDIN_MODE" = locked ] && ! $waits; then
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
  exit 100
fi
broken() {
  cat <<'MSG'
Some packages could not be installed. This may mean that you have
requested an impossible situation or if you are using the unstable
distribution that some required packages have not yet been created
or been moved out of Incoming.
The following information may help to resolve the situation:

The following packages have unmet dependencies:
 libssl-dev:i386 : Depends: libssl3:i386 (= 3.0.20-1~deb12u2) but it is not going to be installed
MSG
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100
}
case $STANDIN_MODE in
  skew) [ -n "$suite" ] || broken ;;
  chain) [ ${#pkgs[@]} -eq 1 ] || broken ;;
  refuse:*)
    for p in "${pkgs[@]}"; do
      [ "$p" != "${STANDIN_MODE#refuse:}" ] || { echo "E: Unable to locate package $p" >&2; exit 100; }
    done ;;
esac
printf '%s\n' "${pkgs[@]}" >>"$STANDIN/installed"
EOF

cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# dpkg-query -W -f='${Status}' PKG: installed only if the stand-in installed it.
p=${!#}
grep -qx -- "$p" "$STANDIN/installed" 2>/dev/null || { echo "dpkg-query: no packages found matching $p" >&2; exit 1; }
printf 'install ok installed'
EOF

cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STANDIN/arches" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$STANDIN/arches" ;;
  *) echo "dpkg: stand-in knows no '$1'" >&2; exit 2 ;;
esac
EOF

cat >"$work/bin/id" <<'EOF'
#!/bin/sh
echo "${STANDIN_UID:-0}"
EOF

cat >"$work/bin/sleep" <<'EOF'
#!/bin/sh
echo "sleep $*" >>"$STANDIN/calls"
EOF
chmod +x "$work/bin/"*

fail=0
# run NAME MODE UID EXPECTED_STATUS [PRESET_INSTALLED...]: runs setup.sh (with
# the argument $setup_arg, if set) and leaves its output in $out and the
# stand-ins' record in $STANDIN.
run() {
  local name=$1 status=0
  export STANDIN=$work/$name STANDIN_MODE=$2 STANDIN_UID=$3
  mkdir "$STANDIN"
  printf '%s\n' "${@:5}" >"$STANDIN/installed"
  out=$(PATH="$work/bin:$PATH" SETUP_RETRY_PAUSE=7 bash "$setup" ${setup_arg:-} 2>&1) || status=$?
  if [ "$status" != "$4" ]; then
    echo "FAIL $name: setup.sh exited $status, expected $4; it printed:"
    echo "$out"
    fail=1
  fi
}
expect() {  # expect NAME DESCRIPTION COMMAND...
  local name=$1 what=$2
  shift 2
  if ! "$@"; then
    echo "FAIL $name: $what; setup.sh printed:"
    echo "$out"
    fail=1
  fi
}
all_installed() {
  local p
  for p in g++-multilib nginx libc6-dbg:i386 libembryo1:i386 libssl-dev:i386; do
    grep -qx -- "$p" "$STANDIN/installed" || return 1
  done
}
needed=$(sed -n '/^packages=(/,/^)/p' "$setup" | sed 's/#.*//; s/^packages=(//; s/)$//' | tr -s ' \n' '\n' |
  grep -v '^$')

run skew skew 0 0
expect skew "apt-get update tried 3 times, with the pause between tries" \
  test "$(grep -oE '^(apt-get update|sleep 7)' "$STANDIN/calls" | paste -sd /)" = \
  "apt-get update/sleep 7/apt-get update/sleep 7/apt-get update"
expect skew "one warning naming the failing index" \
  test "$(grep -c 'warning:.*binary-i386/Packages.xz (File has unexpected size' <<<"$out")" = 1
expect skew "each combined install (needed, extras) retried once with the main suite's versions" \
  test "$(grep -c 'apt-get install' "$STANDIN/calls")/$(grep -c 'apt-get install .* -t [a-z]' "$STANDIN/calls")" = 4/2
expect skew "everything installed" all_installed
expect skew "what it installs, and the fallback to the main suite, said" \
  grep -q "^setup: installing g++-multilib .*setup: one install failed; trying the [a-z]* suite's versions" <<<"${out//$'\n'/ }"
expect skew "the i386 architecture added" grep -qx i386 "$STANDIN/arches"

run chain chain 0 0
expect chain "packages installed one at a time" all_installed

run locked locked 0 0
expect locked "everything installed once the other apt job's lock is free" all_installed

# The demo's set: its three packages and the script engine, qemu-user only
# where this kernel cannot run 32-bit programs itself, nothing else.
demo_set="cmake g++-multilib libembryo-bin libembryo1:i386 ninja-build"
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || demo_set="$demo_set qemu-user"
setup_arg=demo run demo skew 0 0
expect demo "the demo's packages only" \
  test "$(grep -v '^$' "$STANDIN/installed" | sort | paste -sd ' ')" = "$demo_set"

setup_arg=everything run bad-argument skew 0 2
expect bad-argument "the usage, and no apt-get call" \
  test ! -e "$STANDIN/calls" -a "$out" = "usage: setup.sh [demo]"

run refused refuse:nginx 0 1
expect refused "a line naming the package and apt's reason" \
  grep -q '^setup: cannot install nginx: E: Unable to locate package nginx$' <<<"$out"

run extra-refused refuse:libssl-dev:i386 0 0
expect extra-refused "a warning that the parts needing it are left out" \
  grep -q 'cannot install libssl-dev:i386' <<<"$out"
expect extra-refused "the parts left out said" grep -q 'warning: the parts that need the packages above are left out' <<<"$out"

# shellcheck disable=SC2086
run user-complete skew 1000 0 $needed libembryo-bin libembryo1:i386 libbenchmark-dev:i386 \
  libcurl4-openssl-dev:i386 libssl-dev:i386
expect user-complete "no apt-get call and nothing printed" test ! -e "$STANDIN/calls" -a -z "$out"

# shellcheck disable=SC2086
run user-no-extras skew 1000 0 $needed
expect user-no-extras "a note on the extras only root can install, and no apt-get call" \
  test ! -e "$STANDIN/calls" -a "${out:0:56}" = "setup: note: not installed, and only root can install th"

run user-missing skew 1000 1
expect user-missing "no apt-get call" test ! -e "$STANDIN/calls"
expect user-missing "the missing packages named" grep -q '^setup: missing Debian packages: g++-multilib .*; run this as root' <<<"$out"

[ $fail -eq 0 ] && echo "setup: mirror in mid-sync, version skew, package by package, refusals and an ordinary user all as expected"
exit $fail
