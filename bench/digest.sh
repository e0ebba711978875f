#!/bin/bash
# What checking a download against its SHA-256 costs next to the download:
# a 100 MB file from the reference update server through Wine's BITS, then
# the check the job callback makes (hash in blocks, compare, move into
# place). Ratios come from the same runs; medians; the load beside them.
#   bench/digest.sh [BUILD_DIR] [RUNS] [MEGABYTES]
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
runs="${2:-5}"
megabytes="${3:-100}"
work="$build/bench/digest"
cmake --build "$build" --target digestbench -j2 >/dev/null

rm -rf "$work"
mkdir -p "$work/catalogue/Bench/1.0.0.1" "$work/store"
file="$work/catalogue/Bench/1.0.0.1/bench.bin"
head -c "${megabytes}M" /dev/urandom >"$file"
digest="$(sha256sum "$file" | cut -d' ' -f1)"

python3 "$root/tools/updateserver.py" --catalogue "$work/catalogue" --port-file "$work/server.port" \
    --log "$work/server.log" </dev/null >"$work/server.out" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; "$root/scripts/wine-session.sh" "$build" stop' EXIT
for _ in $(seq 1 100); do [ -s "$work/server.port" ] && break; sleep 0.1; done
port="$(cat "$work/server.port")"

"$root/scripts/wine-session.sh" "$build" start
echo "digest check of a ${megabytes} MB download, $runs runs, $(nproc) cores"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
winepath="$(ZEL_BUILD_DIR="$build" . "$root/scripts/wine-env.sh"; wine winepath -w "$work/store" 2>/dev/null | tr -d '\r')"
"$build/wine-run.sh" "$build/bin/digestbench.exe" "http://127.0.0.1:$port/files/Bench/1.0.0.1/bench.bin" \
    "$digest" "$winepath" "$runs"
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
