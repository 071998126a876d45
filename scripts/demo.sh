#!/bin/sh
# The main job: builds the product and runs it under Wine.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
build/wine-run.sh build/bin/ruxhost.exe --exports
status=$?
build/wine-run.sh --stop
exit $status
