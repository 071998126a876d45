#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test this project.
# Silent and free when everything is present.
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
# The fuzz targets (fuzz/run.sh): clang and its libFuzzer runtime.
command -v clang++-14 >/dev/null 2>&1 || need="$need clang"
set -- /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a
[ -f "$1" ] || need="$need libclang-rt-14-dev"
[ -n "$need" ] || exit 0
echo "setup: installing$need" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $need >/dev/null
