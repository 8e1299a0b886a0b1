#!/bin/bash
# Installs the build tree into a scratch prefix, then builds and runs consumer.cpp
# against it twice: through pkg-config and through CMake's find_package(vnbase).
set -euo pipefail
build=$1 src=$2 work=$3 cxx=$4
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

test -f "$prefix/include/vnbase/vnbase.h"
test -f "$prefix/lib/pkgconfig/vnbase.pc"
test -f "$prefix/lib/cmake/vnbase/vnbaseConfig.cmake"
ls "$prefix"/lib/libvnbase.so.* >/dev/null

# 1. pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cxx" -std=c++17 -Wall -Wextra -Werror -o "$work/consumer_pc" "$src/consumer.cpp" \
    $(pkg-config --cflags vnbase) $(pkg-config --libs vnbase) -lcrypto -lz
LD_LIBRARY_PATH=$prefix/lib "$work/consumer_pc"

# 2. find_package
mkdir -p "$work/cmake-src" "$work/cmake-build"
cp "$src/consumer.cpp" "$work/cmake-src/"
cat >"$work/cmake-src/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(vnbase REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(consumer consumer.cpp)
target_link_libraries(consumer PRIVATE vnbase::vnbase OpenSSL::Crypto ZLIB::ZLIB)
CM
cmake -S "$work/cmake-src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >"$work/cmake.log"
cmake --build "$work/cmake-build" >>"$work/cmake.log"
"$work/cmake-build/consumer"
echo "consumer built and ran through pkg-config and find_package"
