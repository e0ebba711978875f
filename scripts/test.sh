#!/bin/bash
# Installs what is missing, builds everything and runs every test under Wine.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${ZEL_BUILD_DIR:-$root/build}"
cd "$build"
status=0
ctest --output-on-failure "$@" || status=$?
"$root/scripts/wine-session.sh" "$build" stop || true
exit $status
