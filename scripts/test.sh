#!/bin/bash
# Installs what is missing, builds everything and runs every test: first the
# native layer on the build host (tests/native/run.sh: unit tests and
# fuzzers under the sanitizers, a few minutes), then every test under Wine.
# The Wine suite runs whatever the native layer gave; either failing fails
# the run. Arguments go to the Wine suite's ctest.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
native=0
"$root/tests/native/run.sh" || native=$?
native_summary=$(grep -h '^native: ' "${ZEL_NATIVE_BUILD_DIR:-${ZEL_BUILD_DIR:-$root/build}/native}/summary.txt" \
                 2>/dev/null || echo "native: no summary")
"$root/scripts/build.sh"
build="${ZEL_BUILD_DIR:-$root/build}"
cd "$build"
status=0
rm -f "$build/retried.txt"
ctest --output-on-failure "$@" || status=$?
# Tests that failed once and ran again in a new Wine session (wine-test.sh).
[ ! -f "$build/retried.txt" ] || cat "$build/retried.txt"
"$root/scripts/wine-session.sh" "$build" stop || true
echo "$native_summary"
[ $status -ne 0 ] || status=$native
exit $status
