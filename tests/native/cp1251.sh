#!/bin/sh
# cp1251.sh SOURCE COPY: the source as the cross compiler sees its narrow
# string literals (Windows-1251; clang reads UTF-8 only and cannot convert
# them itself), with a #line so that diagnostics name the source.
set -e
mkdir -p "$(dirname "$2")"
{ printf '#line 1 "%s"\n' "$1"; iconv -f UTF-8 -t CP1251 "$1"; } >"$2.part"
mv "$2.part" "$2"
