#!/bin/bash
# Serves a directory over HTTP on 127.0.0.1 for the download tests.
#   http-server.sh start|stop STATE_DIR
# start serves STATE_DIR/www on a free port and writes STATE_DIR/http.port
# and STATE_DIR/http.pid; stop ends that server.
set -u
state="$2"
case "$1" in
start)
    mkdir -p "$state/www"
    rm -f "$state/http.port" "$state/http.pid"
    python="$(command -v python3)" || { echo "python3 not found" >&2; exit 1; }
    setsid "$python" -u -m http.server --bind 127.0.0.1 --directory "$state/www" 0 \
        </dev/null >"$state/http.log" 2>&1 &
    echo $! >"$state/http.pid"
    for _ in $(seq 1 100); do
        port="$(sed -n 's/.* port \([0-9][0-9]*\).*/\1/p' "$state/http.log" | head -n 1)"
        if [ -n "$port" ]; then
            echo "$port" >"$state/http.port"
            exit 0
        fi
        kill -0 "$(cat "$state/http.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "the HTTP server did not start:" >&2
    cat "$state/http.log" >&2
    exit 1
    ;;
stop)
    if [ -f "$state/http.pid" ]; then
        kill "$(cat "$state/http.pid")" 2>/dev/null
        rm -f "$state/http.pid"
    fi
    rm -f "$state/http.port"
    exit 0
    ;;
esac
echo "usage: http-server.sh start|stop STATE_DIR" >&2
exit 2
