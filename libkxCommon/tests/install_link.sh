#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C program
# against the installed library twice: with pkg-config and with CMake's
# package. Usage: install_link.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/sbin/kxRedIro"

pcdir=$(dirname "$(find "$prefix" -name libkxCommon.pc)")
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$prefix/app" "$src/libkxCommon/tests/headers_c.c" \
  $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs libkxCommon)
"$prefix/app"

mkdir "$prefix/app-cmake"
cat >"$prefix/app-cmake/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(app C CXX)
find_package(kxCommon REQUIRED)
find_package(kxipc REQUIRED)
add_executable(app "$src/libkxCommon/tests/headers_c.c")
target_link_libraries(app PRIVATE kx::kxCommon)
add_executable(ipc "$src/libkxipc/tests/kxipc_c.c")
target_link_libraries(ipc PRIVATE kx::kxipc)
CMAKE
cmake -S "$prefix/app-cmake" -B "$prefix/app-cmake/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/app-cmake/build" >/dev/null
"$prefix/app-cmake/build/app"
"$prefix/app-cmake/build/ipc"
echo "installed libraries link with pkg-config and with CMake"
