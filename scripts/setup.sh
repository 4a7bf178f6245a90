#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzers and the benchmarks need
# on a Debian 12 machine. Safe to run again: it only installs what is missing.
# "setup.sh demo" installs only what the demo needs: the 32-bit compiler,
# CMake and Ninja (and qemu-user where the kernel cannot run 32-bit programs).
set -euo pipefail

demo_packages=(g++-multilib cmake ninja-build)
packages=(
  g++-multilib cmake ninja-build make binutils googletest python3
  qemu-user                           # runs the 32-bit programs where the kernel cannot
  clang-format clang-tidy cppcheck    # style and static checks
  clang libclang-rt-14-dev            # libFuzzer and sanitizer runtimes for -m32
  nginx curl                          # real server and client used as HTTP oracles
  pkg-config                          # SDK check: the pkg-config consumer
  iproute2                            # loopback up in the tests' private network namespaces
  valgrind libc6-dbg:i386             # memcheck of the 32-bit demo
  libbenchmark-dev:i386 libcurl4-openssl-dev:i386 libssl-dev:i386
)

case ${1:-all} in
  demo) packages=("${demo_packages[@]}") ;;
  all) ;;
  *) echo "usage: setup.sh [demo]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: run as root (it installs Debian packages)" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

# Installs those of the packages given that are missing.
install_missing() {
  local missing=() p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    need_update=0
    apt-get install -y -qq --no-remove --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

install_missing "${packages[@]}"
# The 32-bit loader comes with the compiler: only now can it tell whether
# the kernel runs 32-bit programs, or the demo needs the emulator.
if [ "${1:-all}" = demo ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  install_missing qemu-user
fi
if [ "${need_update:-0}" = 1 ]; then
  apt-get update -qq
fi
