#!/bin/bash
# The main job: installs what is missing, builds, creates the Wine prefix,
# installs the service, starts it under Wine's service control manager,
# stops it and shows its log.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export ZEL_BUILD_DIR="${ZEL_BUILD_DIR:-$root/build}"
"$root/scripts/wine-session.sh" "$ZEL_BUILD_DIR" start
. "$root/scripts/wine-env.sh"
demo="$ZEL_BUILD_DIR/demo"
rm -rf "$demo"; mkdir -p "$demo"
cp "$ZEL_BUILD_DIR/bin/ZELService.exe" "$demo/"
printf 'LogLevel=63\r\n' > "$demo/.config"
timeout 60 wine "$demo/ZELService.exe" /install
timeout 60 wine net start ZELUpdate 2>&1 | iconv -f cp866 -t utf-8 || true
sleep 5
timeout 60 wine sc query ZELUpdate | iconv -f cp866 -t utf-8 || true
timeout 60 wine net stop ZELUpdate 2>&1 | iconv -f cp866 -t utf-8 || true
sleep 2
timeout 60 wine "$demo/ZELService.exe" /uninstall || true
"$root/scripts/wine-session.sh" "$ZEL_BUILD_DIR" stop
echo "=== Log: $demo/Logs/"
iconv -f cp1251 -t utf-8 "$demo"/Logs/US*.txt
