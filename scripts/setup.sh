#!/usr/bin/env bash
# Installs what the build, the tests, the fuzzers and the benchmarks need on a
# Debian 12 machine. Safe to run again: it only installs what is missing, and
# runs as any user when nothing is (root only to install).
# "setup.sh demo" installs only what the demo needs: the 32-bit compiler,
# CMake and Ninja (and qemu-user where the kernel cannot run 32-bit programs).
# Both also try the extras: the benchmarks' 32-bit peers and the real script
# compiler and engine. Without them the build leaves those parts out and says
# so, so an extra that cannot be had is a warning, not a failure.
# A package mirror in mid-sync is survived: an index that keeps failing to
# download is named in a warning and the others are used.
# Environment: SETUP_RETRY_PAUSE (seconds between apt-get update tries, 10).
set -euo pipefail

demo_packages=(g++-multilib cmake ninja-build)
packages=(
  g++-multilib cmake ninja-build make binutils googletest python3
  gcovr                               # line and branch coverage (scripts/coverage.sh)
  qemu-user                           # runs the 32-bit programs where the kernel cannot
  clang-format clang-tidy cppcheck    # style and static checks
  clang libclang-rt-14-dev            # libFuzzer and sanitizer runtimes for -m32
  nginx curl                          # real server and client used as HTTP oracles
  pkg-config                          # SDK check: the pkg-config consumer
  iproute2                            # loopback up in the tests' private network namespaces
  valgrind libc6-dbg:i386             # memcheck of the 32-bit demo
)
script_engine=(libembryo-bin libembryo1:i386)  # real script compiler and 32-bit abstract machine
extras=(
  "${script_engine[@]}"
  libbenchmark-dev:i386 libcurl4-openssl-dev:i386 libssl-dev:i386  # benchmarks and their peers
)

case ${1:-all} in
  demo) packages=("${demo_packages[@]}") extras=("${script_engine[@]}") ;;
  all) ;;
  *) echo "usage: setup.sh [demo]" >&2; exit 2 ;;
esac
update_tries=3
retry_pause=${SETUP_RETRY_PAUSE:-10}
updated=false

# Prints those of the packages given that are not installed.
missing() {
  local p
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || echo "$p"
  done
}

# apt-get update, tried a few times. An index that still fails (a mirror in
# mid-sync) is named in one warning; apt keeps the indexes that downloaded.
apt_update() {
  $updated && return 0
  updated=true
  local try out=""
  for ((try = 1; try <= update_tries; try++)); do
    out=$(apt-get update -qq 2>&1) && return 0
    [ "$try" -lt "$update_tries" ] && sleep "$retry_pause"
  done
  local failing
  failing=$(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' <<<"$out" | sed 's/ *\[IP:[^]]*\]//' |
    paste -sd ';' -)
  echo "setup: warning: apt-get update failed $update_tries times; going on with the indexes that" \
    "downloaded, without: ${failing:-$(grep '^E:' <<<"$out" | paste -sd ' ' -)}" >&2
}

# Installs the packages given; the last failure's reasons go to $apt_log.
# One combined install fails on a mirror in mid-sync, or where the machine's
# 64-bit libraries are at another version than the 32-bit index offers,
# although each package can be had: a Multi-Arch pair must carry one version.
# Then it takes the main suite's versions (-t), which carry both
# architectures, and last installs one package at a time. Prints the
# packages it could not install, with apt's reason, and fails if any.
apt_install() {
  local suite p failed=()
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # A fresh machine may be running its own daily apt job: wait for its lock.
  local apt=(apt-get install -y -qq --no-remove --no-install-recommends -o DPkg::Lock::Timeout=300)
  "${apt[@]}" "$@" >"$apt_log" 2>&1 && return 0
  if [ -n "$suite" ]; then
    echo "setup: one install failed; trying the $suite suite's versions, which carry both architectures" >&2
    "${apt[@]}" -t "$suite" "$@" >"$apt_log" 2>&1 && return 0
  fi
  for p in "$@"; do
    "${apt[@]}" ${suite:+-t "$suite"} "$p" >"$apt_log" 2>&1 && continue
    "${apt[@]}" "$p" >"$apt_log" 2>&1 && continue
    failed+=("$p")
    echo "setup: cannot install $p: $(grep -E '^E:| : Depends:' "$apt_log" | sed 's/^ *//' | paste -sd ' ' -)" >&2
  done
  [ ${#failed[@]} -eq 0 ]
}

# Installs what is missing of the packages given; as root only.
# Usage: install_missing needed|extra PACKAGES...
install_missing() {
  local kind=$1 todo
  shift
  mapfile -t todo < <(missing "$@")
  [ ${#todo[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    if [ "$kind" = extra ]; then
      echo "setup: note: not installed, and only root can install them: ${todo[*]}; the parts that need them are left out" >&2
      return 0
    fi
    echo "setup: missing Debian packages: ${todo[*]}; run this as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${todo[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if printf '%s\n' "${todo[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=false
  fi
  apt_update
  apt_install "${todo[@]}" && return 0
  if [ "$kind" = extra ]; then
    echo "setup: warning: the parts that need the packages above are left out" >&2
    return 0
  fi
  exit 1
}

apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
install_missing needed "${packages[@]}"
# The 32-bit loader comes with the compiler: only now can it tell whether
# the kernel runs 32-bit programs, or the demo needs the emulator.
if [ "${1:-all}" = demo ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  install_missing needed qemu-user
fi
install_missing extra "${extras[@]}"
