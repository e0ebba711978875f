#!/bin/bash
# The main job: installs what is missing, builds, and runs one whole update
# under Wine:
#   - the reference update server offers version 3.1.0.7 of the module "Demo"
#     (a real NSIS installer) and a newer build of the service itself;
#   - the service is installed and started under Wine's service control
#     manager;
#   - a client application (zelctl watch) registers "Demo" 1.0.0.0, waits for
#     OnDownload, asks the service to install it and ends;
#   - the installer runs under the progress window (a screenshot is taken),
#     and the client is started again with its command line;
#   - at the stop the service replaces itself with the downloaded build.
# At the end it prints the client's output, the installed files, the log
# and where the screenshot lies.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export ZEL_BUILD_DIR="${ZEL_BUILD_DIR:-$root/build}"
build="$ZEL_BUILD_DIR"
demo="$build/demo"
setup="$build/tests/update_test/installers/demo-setup.exe"

"$root/scripts/wine-session.sh" "$build" start
. "$root/scripts/wine-env.sh"

server_pid=
finish() {
    timeout 60 wine taskkill /f /im zelctl.exe >/dev/null 2>&1 || true
    timeout 60 wine net stop ZELUpdate >/dev/null 2>&1 || true
    timeout 60 wine "$demo/service/ZELService.exe" /uninstall >/dev/null 2>&1 || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    "$root/scripts/wine-session.sh" "$build" stop
}
trap finish EXIT

log_text() { iconv -f cp1251 -t utf-8 "$demo"/service/Logs/US*.txt 2>/dev/null || true; }
# wait_log TEXT SECONDS: waits until the service log holds TEXT.
wait_log() {
    for _ in $(seq 1 "$2"); do
        log_text | grep -qF -- "$1" && return 0
        sleep 1
    done
    echo "demo: the log did not show \"$1\" within $2 s" >&2
    return 1
}

rm -rf "$demo"
mkdir -p "$demo/service" "$demo/client" "$demo/catalogue/Demo/3.1.0.7" "$demo/catalogue/ZELUPDATE/1.2.0.9"
cp "$setup" "$demo/catalogue/Demo/3.1.0.7/"
cp "$build/bin/next/ZELService.exe" "$demo/catalogue/ZELUPDATE/1.2.0.9/"
cp "$build/bin/ZELService.exe" "$demo/service/"
cp "$build/bin/zelctl.exe" "$demo/client/"
rm -rf "$WINEPREFIX/drive_c/ZELTest/update_demo_setup"

echo "=== Reference update server"
setsid python3 "$root/tools/updateserver.py" --catalogue "$demo/catalogue" --port-file "$demo/server.port" \
    --log "$demo/server.log" --delay-files 3 </dev/null >"$demo/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$demo/server.port" ] && break; sleep 0.1; done
port="$(cat "$demo/server.port")"
echo "http://127.0.0.1:$port/ serving $demo/catalogue"

echo "=== Service"
# A check every 5 seconds, with the debug lines.
printf 'URL=http://127.0.0.1:%s/\r\nPeriod=50000000\r\nLogLevel=63\r\n' "$port" >"$demo/service/.config"
timeout 60 wine "$demo/service/ZELService.exe" /install
timeout 60 wine net start ZELUpdate 2>&1 | iconv -f cp866 -t utf-8 || true

echo "=== Client: zelctl watch (registers Demo 1.0.0.0, installs on OnDownload)"
(cd "$demo/client" && timeout 200 wine zelctl.exe watch --name DemoClient --modules Demo=1.0.0.0 \
    --install-on-download --log client.log --seconds 120) || true

wait_log "Запускаем обновление:" 120
sleep 2
import -display "$DISPLAY" -window root "$demo/monitor.png"
wait_log "Installer Thread Successfully Terminated" 120
for _ in $(seq 1 30); do
    [ "$(grep -c '^Started: ' "$demo/client/client.log")" -ge 2 ] && break
    sleep 1
done
timeout 60 wine taskkill /f /im zelctl.exe >/dev/null 2>&1 || true

echo "=== Stopping the service (it replaces itself with the downloaded build)"
timeout 60 wine net stop ZELUpdate 2>&1 | iconv -f cp866 -t utf-8 || true
sleep 2
timeout 60 wine "$demo/service/ZELService.exe" /uninstall || true

echo "=== Client output ($demo/client/client.log; the second start is the restart)"
cat "$demo/client/client.log"
echo "=== Installed by the update (C:\\ZELTest\\update_demo_setup)"
ls -l "$WINEPREFIX/drive_c/ZELTest/update_demo_setup"
tr -d '\r' <"$WINEPREFIX/drive_c/ZELTest/update_demo_setup/cmdline.txt"
echo "=== Service log ($demo/service/Logs/)"
log_text
echo "=== Where to look"
echo "Log:        $demo/service/Logs/"
echo "Screenshot: $demo/monitor.png (the installer monitor while the installer ran)"
echo "Client:     $demo/client/client.log"
