#!/bin/bash
# Configures and builds the tree into ${ZEL_BUILD_DIR:-build}.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZEL_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
