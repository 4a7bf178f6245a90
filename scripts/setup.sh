#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzers and the benchmarks need
# on a Debian 12 machine. Safe to run again: it only installs what is missing.
set -euo pipefail

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

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: run as root (it installs Debian packages)" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-remove --no-install-recommends "${missing[@]}" >/dev/null
elif [ "${need_update:-0}" = 1 ]; then
  apt-get update -qq
fi
