#!/usr/bin/env bash
# The release archive as an SDK, checked the way a plugin author uses it.
#
#   check_sdk.sh package <cpack> <build folder> <output folder>
#     makes the release archive of the build folder in the output folder,
#     twice: both must be the same bytes, and SHA256SUMS beside it verify.
#   check_sdk.sh cmake|pkg-config|asan|own-new <output folder> <c++ compiler> <run32> <forbidden folder>
#     unpacks that archive into an empty temporary folder, builds the example
#     it carries (examples/consumer) from a copy in that folder, with the
#     archive's CMake package or with its pkg-config file, checks that
#     nothing in the build refers to the forbidden folder (the repository, so
#     also its build trees), runs the program against a local HTTP server and
#     compares its output. cmake first checks that the package refuses a
#     64-bit build, then builds with the archive's toolchain file and a
#     project's own CMAKE_CXX_FLAGS (strict warnings as errors,
#     AddressSanitizer and UndefinedBehaviorSanitizer), which must add to the
#     32-bit target. asan and own-new build the example's copydata.cpp
#     with the pkg-config file instead, with AddressSanitizer or with the
#     program's own operator new[] and delete[], and run it: the caller's
#     delete[] must release CopyData's arrays cleanly.
#
# With a private network namespace available (unshare -n), the whole check
# runs in one, with only its own loopback interface.
set -euo pipefail

mode=$1
if [ "$mode" = package ]; then
  # Twice, a second apart and under different umasks (the staged folders'
  # times and modes differ): the archive must come out byte for byte the
  # same, and its SHA256SUMS must verify it.
  rm -rf "$4"
  (umask 077 && "$2" --config "$3/CPackConfig.cmake" -B "$4/first" >/dev/null)
  sleep 1
  (umask 022 && "$2" --config "$3/CPackConfig.cmake" -B "$4" >/dev/null)
  archive=$(cd "$4" && ls core-*-linux-x86.tar.gz)
  cmp "$4/first/$archive" "$4/$archive" || { echo "two builds of $archive differ"; exit 1; }
  (cd "$4" && sha256sum --quiet -c SHA256SUMS) || { echo "SHA256SUMS does not verify $archive"; exit 1; }
  rm -rf "$4/first"
  echo "$4/$archive: the same bytes from two builds, SHA256SUMS verifies"
  exit 0
fi

if [ -z "${CORE_SDK_NETNS:-}" ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  exec env CORE_SDK_NETNS=1 unshare -n bash "$0" "$@"
fi
[ -n "${CORE_SDK_NETNS:-}" ] && ip link set lo up

archives=("$2"/core-*-linux-x86.tar.gz)
cxx=$3
run32=$4
forbidden=$5
[ ${#archives[@]} -eq 1 ] && [ -f "${archives[0]}" ] || { echo "no single release archive in $2"; exit 1; }

work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Nothing from the environment may point the build elsewhere.
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH PKG_CONFIG_LIBDIR LD_LIBRARY_PATH CPATH CPLUS_INCLUDE_PATH LIBRARY_PATH

mkdir "$work/unpacked"
tar -xzf "${archives[0]}" -C "$work/unpacked"
sdk=$(echo "$work"/unpacked/core-*-linux-x86)
cp -r "$sdk/examples/consumer" "$work/src"

if [ "$mode" = cmake ]; then
  configure=(cmake -S "$work/src" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$sdk"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
  toolchain=$sdk/cmake/i386-linux-gnu.cmake
  # Without the archive's toolchain file the build is 64-bit: the package
  # refuses it and names that file.
  if "${configure[@]}" -B "$work/build64" >"$work/build64.log" 2>&1 ||
      ! grep -qF -- "-DCMAKE_TOOLCHAIN_FILE=$toolchain" "$work/build64.log"; then
    echo "a 64-bit build of the example did not fail with the package's message:"
    cat "$work/build64.log"
    exit 1
  fi
  # With it, a project's own flags (strict warnings, sanitizers) add to the
  # 32-bit target.
  own_flags='-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wcast-qual'
  own_flags+=' -Wzero-as-null-pointer-constant -Wundef -Werror -fsanitize=address,undefined -fno-omit-frame-pointer'
  "${configure[@]}" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_CXX_FLAGS="$own_flags" \
    >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
  cmake --build "$work/build" >>"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
  grep -qx "core_DIR:PATH=$sdk/lib/cmake/core" "$work/build/CMakeCache.txt" ||
    { echo "the CMake package was not taken from the archive:"; grep core_DIR "$work/build/CMakeCache.txt"; exit 1; }
  program=$work/build/core_consumer
  readelf -d "$program" | grep -q 'NEEDED.*libasan' || { echo "the project's own CMAKE_CXX_FLAGS were lost"; exit 1; }
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || export ASAN_OPTIONS=detect_leaks=0
else
  flags=$(PKG_CONFIG_PATH="$sdk/lib/pkgconfig" pkg-config --cflags --libs core)
  mkdir "$work/build"
  echo "$flags" >"$work/build/flags"  # checked below with the rest of the build
  source=main.cpp
  case $mode in
    asan) source=copydata.cpp extra=(-fsanitize=address -fno-omit-frame-pointer) ;;
    own-new) source=copydata.cpp extra=(-DREPLACE_ARRAY_NEW) ;;
    *) extra=() ;;
  esac
  # shellcheck disable=SC2086  # the flags are words
  "$cxx" -std=c++11 -Wall -Wextra -Werror "${extra[@]}" -o "$work/build/core_consumer" "$work/src/$source" $flags
  program=$work/build/core_consumer
  export LD_LIBRARY_PATH=$sdk
fi

if grep -rlF "$forbidden" "$work/build" "$work/src"; then
  echo "the files above refer to $forbidden: the build did not use the archive alone"
  exit 1
fi
if ! readelf -d "$program" | grep -q 'NEEDED.*\[core\.so\]'; then
  echo "$program does not load core.so"
  exit 1
fi

if [ "$mode" = asan ] || [ "$mode" = own-new ]; then
  # Leak checking stops the world with ptrace, which user-mode emulation lacks.
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || export ASAN_OPTIONS=detect_leaks=0
  status=0
  timeout 120 "$run32" "$program" >"$work/output" 2>&1 || status=$?
  if [ $status -ne 0 ] || [ "$(cat "$work/output")" != "copydata: both copies released with delete[]" ]; then
    echo "copydata (built with $mode) exited with $status; its output:"
    cat "$work/output"
    exit 1
  fi
  echo "sdk ($mode): CopyData's arrays released with the program's delete[]"
  exit 0
fi

mkdir "$work/www"
printf 'Hello from the test server.\n' >"$work/www/hello.txt"
# The log exists before the server starts: its redirection happens in the
# background, after the polling below may have begun.
: >"$work/server.log"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >>"$work/server.log" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^Serving HTTP on 127\.0\.0\.1 port \([0-9]*\) .*/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the HTTP server did not start:"; cat "$work/server.log"; exit 1; }

cat >"$work/expected" <<'EOF'
bitstream: 104 bits: BC 58 03 FC 08 63 6F 6E 73 75 6D 65 72
bitstream: read back kind 5, counter 300, delta -2, name "consumer"
bitstream: typed, 113 bits: id 7, score -1200, ping 40, away 1, ratio 0.75
util: Base64 of "core SDK" is "Y29yZSBTREs="
util: "name=Bot_Alice%21&note=hello+world" decodes to "name=Bot_Alice!&note=hello world"
util: "*.txt" matches "notes.txt": 1, "Bot_*" matches "Player": 0
util: -255 in base 16 is "-FF"
http: status 200, content type 1, 28 bytes
http: Content-Type: text/plain
http: body: Hello from the test server.
EOF
status=0
timeout 120 "$run32" "$program" "127.0.0.1:$port/hello.txt" >"$work/output" 2>&1 || status=$?
if [ $status -ne 0 ] || ! diff "$work/expected" "$work/output"; then
  echo "the example (built with $mode) exited with $status; its output:"
  cat "$work/output"
  exit 1
fi
echo "sdk ($mode): the example built from the archive alone ran against core.so$([ -n "${CORE_SDK_NETNS:-}" ] && echo ' in a private network namespace')"
