#!/bin/bash
# The native test layer, in two trees for the build host (clang):
# - ${ZEL_NATIVE_BUILD_DIR:-${ZEL_BUILD_DIR:-build}/native}: AddressSanitizer
#   and UndefinedBehaviorSanitizer, the GoogleTest cases and every fuzzer
#   for ZEL_FUZZ_SECONDS (15) each;
# - the same with "-tsan" appended: ThreadSanitizer, the GoogleTest cases
#   (the worker pool, the calls into clients and the job setup are driven
#   from several threads there).
# ZEL_NATIVE_JOBS (2) cores. Arguments go to both ctest runs (e.g.
# -R 'unit.|tsan.' for the tests alone); a filter may match in one tree only. The last line says "N passed, N failed"; the exit
# status is 0 only when all passed.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${ZEL_NATIVE_BUILD_DIR:-${ZEL_BUILD_DIR:-$root/build}/native}"
start=$(date +%s)
mkdir -p "$build"
rm -f "$build/summary.txt"
passed=0 failed=0 status=0
summary() {
    echo "native: $1 passed, $2 failed ($(( $(date +%s) - start )) s)" | tee "$build/summary.txt"
}

# tree DIR SANITIZER ARGS...: configures, builds and runs one tree; adds its
# counts to passed and failed.
tree() {
    local dir="$1" sanitizer="$2"
    shift 2
    mkdir -p "$dir"
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    [ -f "$dir/CMakeCache.txt" ] && generator=()
    if ! cmake -S "$root/tests/native" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
            -DZEL_NATIVE_SANITIZER="$sanitizer" \
            -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log"
        echo "native ($sanitizer): configuration failed"
        failed=$((failed + 1)) status=1
        return
    fi
    if ! cmake --build "$dir" -j"${ZEL_NATIVE_JOBS:-2}"; then
        echo "native ($sanitizer): build failed"
        failed=$((failed + 1)) status=1
        return
    fi
    local log="$dir/ctest.log"
    # A tree without tests is broken; with a filter (-R fuzz.answer) a tree
    # may have none that match (the ThreadSanitizer tree has no fuzzers).
    local none=error
    [ $# -eq 0 ] || none=ignore
    # Two at a time: the fuzzers are bounded by time, not by work.
    (cd "$dir" && ctest --output-on-failure --no-tests=$none -j"${ZEL_NATIVE_JOBS:-2}" "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || status=1
    # ctest's own line: "NN% tests passed, F tests failed out of T"; none
    # when the filter matched nothing here.
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ] && [ $none = ignore ] && [ "$rc" -eq 0 ]; then
        return
    elif [ -n "$line" ]; then
        local f t
        f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
        passed=$((passed + t - f)) failed=$((failed + f))
    else
        failed=$((failed + 1)) status=1
    fi
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Every race is reported, not only the first; a report fails its test
# (exit code 66).
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=0:second_deadlock_stack=1}"
tree "$build" address "$@"
tree "$build-tsan" thread "$@"
# A filter that matched nothing in either tree ran nothing: not a pass.
if [ $((passed + failed)) -eq 0 ]; then
    echo "native: no test matched"
    failed=1 status=1
fi
summary "$passed" "$failed"
exit $status
