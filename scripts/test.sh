#!/bin/sh
# Builds everything, checks the lock discipline with Clang's thread-safety
# analysis, and runs every test under Wine, in this build's own prefix.
# Each GoogleTest case is a ctest test of its own (ctest -R selects one); the
# release_* tests check what ships (build/ship). Then the shipped images are
# built a second time in another folder and must come out the same.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh test
sh scripts/thread-safety.sh test
echo "test: starting Wine (its first start creates build/wineprefix, which takes a few seconds)"
build/wine-run.sh --start
ctest --preset default
sh release/reproduce-build.sh test
# Then each fuzz target of the pure code for a short while; a crash fails the
# run and leaves its input in build/fuzz/crashes.
sh fuzz/run.sh 20
