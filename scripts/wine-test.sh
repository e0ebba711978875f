#!/bin/bash
# Runs one GoogleTest executable of this build tree under Wine (called by
# wine-run.sh, which exports ZEL_BUILD_DIR), and runs the tests that did not
# pass once more, in a fresh Wine session.
#
# Why: Wine 8.0's COM and BITS fail now and then under this suite's load,
# whatever the program does (docs/wine.md: a proxy's call
# returning a made-up HRESULT, BITS's svchost hanging in an interface's
# unregistration, BITS not answering for minutes). Such a fault stays in
# the session: the tests after it fail too. A test that fails again in a
# new session fails the run; one that passes the second time passes, and
# is reported with its first failure in $ZEL_BUILD_DIR/retried.txt, which
# scripts/test.sh prints at the end, so that nothing is hidden.
#   wine-test.sh PROGRAM [ARGS...]      (ZEL_TEST_RETRY=0: no second run)
set -u
. "$(dirname "$0")/wine-env.sh"
limit="${ZEL_WINE_TIMEOUT:-900}"
program="$1"
name="$(basename "$program" .exe)"
first="$ZEL_WINE_STATE/$name.first.out"

timeout -k 10 "$limit" wine "$@" 2>&1 | tee "$first"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] && exit 0
[ "${ZEL_TEST_RETRY:-1}" = 0 ] && exit "$status"
for a in "${@:2}"; do
    case "$a" in --gtest_list_tests | --gtest_repeat* | --gtest_filter*) exit "$status" ;; esac
done

# A new session first: whatever Wine fault ended the run stays in the old one.
"$(dirname "$0")/wine-session.sh" "$ZEL_BUILD_DIR" stop
"$(dirname "$0")/wine-session.sh" "$ZEL_BUILD_DIR" start
. "$(dirname "$0")/wine-env.sh"
# Every test of the run (GTEST_FILTER still applies), less those that passed.
all=$(timeout -k 10 120 wine "$program" --gtest_list_tests 2>/dev/null | tr -d '\r' |
      awk '/^[^ ]/ { suite = $1; next } /^  [^ ]/ { print suite $1 }')
passed=$(tr -d '\r' <"$first" | sed -n 's/^\[       OK \] \([^ ]*\) (.*/\1/p')
again=$(comm -23 <(echo "$all" | sort -u) <(echo "$passed" | sort -u) | grep -v '^$' | paste -sd: -)
[ -n "$again" ] || exit "$status"

echo
echo "[ SECOND RUN ] $name ended with $status; in a new Wine session: ${again//:/ }"
timeout -k 10 "$limit" wine "$program" "${@:2}" --gtest_filter="$again"
second=$?

{
    if [ "$second" -eq 0 ]; then
        echo "$name: passed only on a second run, in a new Wine session: ${again//:/ }"
    else
        echo "$name: failed twice (also in a new Wine session): ${again//:/ }"
    fi
    echo "  first run (failures):"
    tr -d '\r' <"$first" | awk '
        /^\[ RUN      \]/ { buf = $0; open = 1; next }
        open { buf = buf "\n" $0 }
        /^\[       OK \]/ { open = 0 }
        open && /^\[  (FAILED  \]|HUNG    \])/ { print buf; open = 0 }
        END { if (open) print buf }' | head -80 | sed 's/^/    /'
} >>"$ZEL_BUILD_DIR/retried.txt"
exit "$second"
