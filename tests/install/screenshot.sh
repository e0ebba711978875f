#!/bin/bash
# A picture of the installer monitor while a real (slow) NSIS installer runs
# under it, taken from the X display of the build tree's Wine session.
#   screenshot.sh BUILD_DIR OUTPUT.png
# Fails when the run does not end in order or the picture is blank.
set -u
build="$(cd "$1" && pwd)"
out="$2"
src="$(cd "$(dirname "$0")/../.." && pwd)"
ZEL_BUILD_DIR="$build"; export ZEL_BUILD_DIR
. "$src/scripts/wine-env.sh"
if [ ! -f "$ZEL_WINE_STATE/session" ]; then
    "$src/scripts/wine-session.sh" "$build" start
    . "$src/scripts/wine-env.sh"
fi
fail() { echo "screenshot: $*" >&2; exit 1; }
[ -n "${DISPLAY:-}" ] || fail "no X display"
command -v import >/dev/null && command -v identify >/dev/null || fail "imagemagick is missing"

work="$build/tests/install_screenshot"
app="$work/app"
rm -rf "$app" "$work/target"
mkdir -p "$app/Files/beta" "$(dirname "$out")"
cp "$build/tests/install_driver/ZELService.exe" "$app/" || fail "no driver"
cp "$build/tests/install_test/samples/slow.exe" "$app/Files/beta/" || fail "no sample installer"

ZEL_TEST_TARGET="$(timeout 60 winepath -w "$work/target" 2>/dev/null)"; export ZEL_TEST_TARGET

timeout 120 wine "$app/ZELService.exe" /runinstaller 0 0 beta=0.0.0.0 </dev/null >"$work/driver.out" 2>&1 &
driver=$!

log_text() { cat "$app"/Logs/*.txt 2>/dev/null | iconv -f cp1251 -t utf-8 2>/dev/null; }
started=no
for _ in $(seq 1 150); do
    if log_text | grep -q 'Запускаем обновление:'; then started=yes; break; fi
    sleep 0.2
done
[ $started = yes ] || { kill $driver 2>/dev/null; fail "the installer was not started"; }
# The installer pauses 2.5 s before each file: by now the first one is
# being extracted.
sleep 3.8
rm -f "$out"
import -window root "$out" || fail "import failed"
wait $driver
status=$?

[ $status -eq 0 ] || fail "driver ended with $status"
log="$(log_text)"
echo "$log"
echo "$log" | grep -q 'Код завершения: 0' || fail "the installer did not run"
echo "$log" | grep -q 'Принудительно' && fail "the monitor had to be terminated"
[ -s "$out" ] || fail "no picture"
spread="$(identify -format '%[fx:standard_deviation]' "$out")"
echo "picture $out, standard deviation $spread"
awk -v s="$spread" 'BEGIN { exit !(s > 0.01) }' || fail "the picture is blank"
