#!/bin/sh
# Builds everything and runs every test under Wine, in this build's own prefix.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
# Then each fuzz target of the pure code for a short while; a crash fails the
# run and leaves its input in build/fuzz/crashes.
sh fuzz/run.sh 20
