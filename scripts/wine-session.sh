#!/bin/bash
# Starts or stops the Wine session (and the X server) of one build tree.
#   wine-session.sh BUILD_DIR start|stop
# "start" creates the private prefix on first use, restarts it once so that
# the services installed by the prefix set-up are known, then keeps one
# persistent wineserver and an Xvfb display for the whole run.
set -u
ZEL_BUILD_DIR="$(cd "$1" && pwd)"; export ZEL_BUILD_DIR
. "$(dirname "$0")/wine-env.sh"
exec 9>"$ZEL_WINE_STATE/lock"
flock 9

start_xvfb() {
    if [ -f "$ZEL_WINE_STATE/xvfb.pid" ] && kill -0 "$(cat "$ZEL_WINE_STATE/xvfb.pid")" 2>/dev/null; then
        return
    fi
    command -v Xvfb >/dev/null || return
    local n
    for n in $(seq 91 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$ZEL_WINE_STATE/xvfb.log" 2>&1 9>&- &
        echo $! >"$ZEL_WINE_STATE/xvfb.pid"
        for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        echo ":$n" >"$ZEL_WINE_STATE/display"
        export DISPLAY=":$n"
        return
    done
}

case "$2" in
start)
    # Wine runs the 32-bit programs in 32-bit Linux processes. A kernel with
    # its IA-32 emulation turned off refuses them ("Exec format error"), and
    # every test would fail one by one, each after its own time-out.
    # A tree built for x86_64 needs none (cmake/mingw.cmake).
    if [ "$ZEL_ARCH" != x86_64 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        echo "wine-session.sh: this machine cannot run 32-bit Linux programs, and so no Wine of 32-bit" \
             "programs (the kernel's IA-32 emulation is off; dmesg may say \"32-bit emulation disabled\");" \
             "build the tree for x86_64 instead (ZEL_ARCH=x86_64 scripts/build.sh, docs/wine.md)" >&2
        exit 1
    fi
    start_xvfb
    if [ ! -f "$WINEPREFIX/.zel-ready" ]; then
        rm -rf "$WINEPREFIX"
        timeout 300 wineboot -i </dev/null >"$ZEL_WINE_STATE/wineboot.log" 2>&1 9>&-
        timeout 60 wineserver -k >/dev/null 2>&1 9>&-
        timeout 60 wineserver -w >/dev/null 2>&1 9>&-
        touch "$WINEPREFIX/.zel-ready"
    fi
    timeout 60 wineserver -p >/dev/null 2>&1 9>&-
    # The first command of a session starts services.exe, which keeps the
    # standard handles it was given: never a pipe.
    timeout 120 wine cmd /c exit </dev/null >"$ZEL_WINE_STATE/session.log" 2>&1 9>&-
    # Xvfb runs no window manager, and Wine's X11 driver waits two seconds
    # for one whenever a managed window is hidden: the installer monitor
    # would miss the installer's 2000 ms to close. Programs named
    # ZELService.exe keep their windows unmanaged, drawn by Wine itself.
    timeout 60 wine reg add 'HKCU\Software\Wine\AppDefaults\ZELService.exe\X11 Driver' /v Managed /d N /f \
        </dev/null >>"$ZEL_WINE_STATE/session.log" 2>&1 9>&-
    touch "$ZEL_WINE_STATE/session"
    exit 0
    ;;
stop)
    rm -f "$ZEL_WINE_STATE/session"
    timeout 60 wineserver -k >/dev/null 2>&1 9>&-
    timeout 60 wineserver -w >/dev/null 2>&1 9>&-
    if [ -f "$ZEL_WINE_STATE/xvfb.pid" ]; then
        kill "$(cat "$ZEL_WINE_STATE/xvfb.pid")" 2>/dev/null
        rm -f "$ZEL_WINE_STATE/xvfb.pid" "$ZEL_WINE_STATE/display"
    fi
    exit 0
    ;;
esac
echo "usage: wine-session.sh BUILD_DIR start|stop" >&2
exit 2
