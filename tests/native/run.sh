#!/bin/bash
# The native test layer: configures and builds tests/native for the build
# host (clang, AddressSanitizer, UndefinedBehaviorSanitizer, libFuzzer) into
# ${ZEL_NATIVE_BUILD_DIR:-${ZEL_BUILD_DIR:-build}/native}, then runs its
# GoogleTest cases and every fuzzer for ZEL_FUZZ_SECONDS (15) each, on
# ZEL_NATIVE_JOBS (2) cores.
# Arguments go to ctest (e.g. -R unit. for the tests alone). The last line
# says "N passed, N failed"; the exit status is 0 only when all passed.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${ZEL_NATIVE_BUILD_DIR:-${ZEL_BUILD_DIR:-$root/build}/native}"
start=$(date +%s)
mkdir -p "$build"
rm -f "$build/summary.txt"
summary() {
    echo "native: $1 passed, $2 failed ($(( $(date +%s) - start )) s)" | tee "$build/summary.txt"
}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()
if ! cmake -S "$root/tests/native" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1; then
    cat "$build/configure.log"
    echo "native: configuration failed"
    summary 0 1
    exit 1
fi
if ! cmake --build "$build" -j"${ZEL_NATIVE_JOBS:-2}"; then
    echo "native: build failed"
    summary 0 1
    exit 1
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
log="$build/ctest.log"
cd "$build"
# Two at a time: the fuzzers are bounded by time, not by work.
ctest --output-on-failure --no-tests=error -j"${ZEL_NATIVE_JOBS:-2}" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
# ctest's own line: "NN% tests passed, F tests failed out of T".
line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    summary $((total - failed)) "$failed"
else
    summary 0 1
    status=1
fi
exit $status
