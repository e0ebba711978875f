#!/bin/bash
# Runs the reference update server for the end-to-end update tests.
#   server.sh start|stop OUT_DIR SERVER_SCRIPT [SERVER OPTIONS...]
# The server answers from OUT_DIR/catalogue, which the tests fill while it
# runs (it reads the folders at every request); the port goes to
# OUT_DIR/server.port, each request to OUT_DIR/server.log, the last request's
# target, headers and text to OUT_DIR/record/. Files named missing.exe are
# answered 404.
set -u
out=$2
pidfile="$out/server.pid"
# Debian's own Python: it has python3-cryptography for signed answers.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

stop() {
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
    rm -f "$pidfile" "$out/server.port"
}

case "$1" in
start)
    stop
    mkdir -p "$out/catalogue" "$out/record"
    rm -f "$out/server.log" "$out"/record/*
    setsid "$python" "$3" --catalogue "$out/catalogue" --port-file "$out/server.port" \
        --log "$out/server.log" --record-dir "$out/record" --delay-files 3 --fail-file missing.exe "${@:4}" \
        </dev/null >"$out/server.out" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 1 100); do
        [ -s "$out/server.port" ] && exit 0
        sleep 0.1
    done
    echo "the update server did not start:" >&2
    cat "$out/server.out" >&2
    stop
    exit 1
    ;;
stop)
    stop
    exit 0
    ;;
esac
echo "usage: server.sh start|stop OUT_DIR SERVER_SCRIPT" >&2
exit 2
