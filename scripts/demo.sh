#!/bin/bash
# The main job: installs what is missing, builds, and runs one whole update
# under Wine, with the publisher's keys pinned:
#   - a signing key for the answers and a code-signing certificate are made
#     (tests/support/trust.sh), the installer and the newer service build
#     are signed with it;
#   - the reference update server signs its answers and offers version
#     3.1.0.7 of the module "Demo" (a real NSIS installer) and a newer build
#     of the service itself;
#   - the service is installed from the package ZELUpdate-<version>.msi with
#     msiexec (registration, DCOM permissions, .config from the properties
#     with the answer key and the publisher pinned, start);
#   - a client application (zelctl watch) registers "Demo" 1.0.0.0, waits for
#     OnDownload, asks the service to install it and ends;
#   - the installer runs under the progress window (a screenshot is taken),
#     and the client is started again with its command line;
#   - at the stop the service replaces itself with the downloaded build;
#   - the package is removed again.
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
version="$(sed -n 's/^ZEL_VERSION:STRING=//p' "$build/CMakeCache.txt")"
package="$build/packages/ZELUpdate-$version.msi"

"$root/scripts/wine-session.sh" "$build" start
. "$root/scripts/wine-env.sh"

program_dir="$(timeout 60 winepath -u 'C:\Program Files (x86)\ZELUpdate' 2>/dev/null)"
# Removes the package, quietly when it is not there.
remove_package() { timeout 180 wine msiexec /x "$package" /qn </dev/null >/dev/null 2>&1 || true; }

server_pid=
finish() {
    timeout 60 wine taskkill /f /im zelctl.exe >/dev/null 2>&1 || true
    remove_package
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    "$root/scripts/wine-session.sh" "$build" stop
}
trap finish EXIT

log_text() { iconv -f cp1251 -t utf-8 "$program_dir"/Logs/US*.txt 2>/dev/null || true; }
# wait_log TEXT SECONDS: waits until the service log holds TEXT.
wait_log() {
    for _ in $(seq 1 "$2"); do
        log_text | grep -qF -- "$1" && return 0
        sleep 1
    done
    echo "demo: the log did not show \"$1\" within $2 s" >&2
    return 1
}

remove_package
rm -rf "$demo"
mkdir -p "$demo/service" "$demo/client" "$demo/catalogue/Demo/3.1.0.7" "$demo/catalogue/ZELUPDATE/1.2.0.9"
echo "=== Keys and signatures ($demo/trust)"
trust="$root/tests/support/trust.sh"
"$trust" make "$demo/trust"
"$trust" sign "$demo/trust" publisher "$setup" "$demo/catalogue/Demo/3.1.0.7/demo-setup.exe"
"$trust" sign "$demo/trust" publisher "$build/bin/next/ZELService.exe" "$demo/catalogue/ZELUPDATE/1.2.0.9/ZELService.exe"
update_key="$(cat "$demo/trust/answer-a.txt")"
publisher="$(cat "$demo/trust/publisher.txt")"
echo "UpdateKeys=$update_key"
echo "Publishers=$publisher"
cp "$build/bin/zelctl.exe" "$demo/client/"
rm -rf "$WINEPREFIX/drive_c/ZELTest/update_demo_setup"

echo "=== Reference update server"
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
setsid "$python" "$root/tools/updateserver.py" --catalogue "$demo/catalogue" --port-file "$demo/server.port" \
    --log "$demo/server.log" --delay-files 3 --signing-key "$demo/trust/answer-a.pem" </dev/null >"$demo/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$demo/server.port" ] && break; sleep 0.1; done
port="$(cat "$demo/server.port")"
echo "http://127.0.0.1:$port/ serving $demo/catalogue"

echo "=== Service: msiexec /i $(basename "$package") (log $demo/msiexec.log)"
# A check every 5 seconds, with the debug lines.
timeout 180 wine msiexec /i "$package" /qn "URL=http://127.0.0.1:$port/" PERIOD=50000000 LOGLEVEL=63 \
    "UPDATEKEYS=$update_key" "PUBLISHERS=$publisher" \
    /l*v "$(winepath -w "$demo/msiexec.log")" </dev/null >/dev/null 2>&1
iconv -f cp1251 -t utf-8 "$demo/msiexec.log" | grep -a 'ZELUpdate: ' | tr -d '\r' || true
echo "$program_dir/.config:"
tr -d '\r' <"$program_dir/.config"

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
cp -r "$program_dir/Logs" "$demo/service/"

echo "=== Client output ($demo/client/client.log; the second start is the restart)"
cat "$demo/client/client.log"
echo "=== Installed by the update (C:\\ZELTest\\update_demo_setup)"
ls -l "$WINEPREFIX/drive_c/ZELTest/update_demo_setup"
tr -d '\r' <"$WINEPREFIX/drive_c/ZELTest/update_demo_setup/cmdline.txt"
echo "=== Signed answers the server sent ($demo/server.log)"
grep -c ' key=' "$demo/server.log" || true
echo "=== Service log ($demo/service/Logs/)"
log_text
echo "=== Removing the package: msiexec /x $(basename "$package")"
remove_package
[ -e "$program_dir" ] && echo "left behind: $program_dir" || echo "nothing left in $program_dir"
echo "=== Where to look"
echo "Log:        $demo/service/Logs/"
echo "Screenshot: $demo/monitor.png (the installer monitor while the installer ran)"
echo "Client:     $demo/client/client.log"
