#!/bin/bash
# Starts or stops the update servers of the catalogue tests.
#   servers.sh start|stop OUT_DIR SERVER_SCRIPT [TRUST_DIR]
# OUT_DIR is the test program's directory: the catalogue, the port files
# (servers/NAME.port) and the recorded requests (record/) go there.
set -u
action=$1
out=$2
script=${3:-}
trust=${4:-}
servers="$out/servers"
# Debian's own Python: it has python3-cryptography for signed answers.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

stop_all() {
    local pidfile
    for pidfile in "$servers"/*.pid; do
        [ -f "$pidfile" ] || continue
        kill "$(cat "$pidfile")" 2>/dev/null
        rm -f "$pidfile"
    done
}

case "$action" in
start)
    stop_all
    rm -rf "$servers" "$out/record" "$out/record-signed" "$out/catalogue"
    mkdir -p "$servers" "$out/record"
    cat="$out/catalogue"
    mkdir -p "$cat/Alpha/1.0.0.5" "$cat/Alpha/1.0.0.9" "$cat/Alpha/1.0.0.10" "$cat/Бета/2.1.3.7" \
             "$cat/Empty" "$cat/Alpha/notaversion"
    head -c 1000 /dev/zero | tr '\0' 'A' >"$cat/Alpha/1.0.0.10/setup.exe"
    printf 'read me\n' >"$cat/Alpha/1.0.0.10/readme.txt"
    printf 'old' >"$cat/Alpha/1.0.0.9/setup.exe"
    printf 'beta' >"$cat/Бета/2.1.3.7/инсталлятор.exe"
    printf '{"EXE_NAME":"beta.exe","TYPE":"U","COMMENT":"Новая версия"}' >"$cat/Бета/2.1.3.7/.info.json"
    start_one() {
        local name=$1; shift
        setsid "$python" "$script" --catalogue "$cat" --port-file "$servers/$name.port" \
            --log "$servers/$name.log" "$@" </dev/null >"$servers/$name.out" 2>&1 &
        echo $! >"$servers/$name.pid"
    }
    start_one main --record-dir "$out/record"
    start_one s404 --status 404
    start_one s500 --status 500
    start_one garbage --garbage
    start_one truncated --truncate
    start_one huge --huge 4000000 --bom
    start_one chunked --chunked
    start_one toolarge --huge 30000000
    start_one toolarge-chunked --huge 30000000 --chunked
    start_one proxy --proxy-auth zel:secret
    # Signs with the trust fixture's two answer keys (the first by default).
    mkdir -p "$out/record-signed"
    start_one signed --record-dir "$out/record-signed" --signing-key "$trust/answer-a.pem" \
        --signing-key "$trust/answer-b.pem"
    for name in main s404 s500 garbage truncated huge chunked toolarge toolarge-chunked proxy signed; do
        for _ in $(seq 1 100); do
            [ -s "$servers/$name.port" ] && break
            sleep 0.1
        done
        if [ ! -s "$servers/$name.port" ]; then
            echo "server $name did not start" >&2
            cat "$servers/$name.out" >&2
            stop_all
            exit 1
        fi
    done
    exit 0
    ;;
stop)
    stop_all
    exit 0
    ;;
esac
echo "usage: servers.sh start|stop OUT_DIR SERVER_SCRIPT" >&2
exit 2
