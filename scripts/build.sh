#!/bin/bash
# Configures and builds the tree into ${ZEL_BUILD_DIR:-build}.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZEL_BUILD_DIR:-$root/build}"
# ZEL_ARCH=i686 or x86_64 picks the target (cmake/mingw.cmake).
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release ${ZEL_ARCH:+-DZEL_ARCH=$ZEL_ARCH} >/dev/null
cmake --build "$build" -j"$(nproc)"
