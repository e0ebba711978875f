#!/bin/bash
# Keys, certificates and signed programs for the tests of the service's trust
# checks. Everything is made on the test machine; nothing here is secret.
#   trust.sh make DIR              make the keys and certificates in DIR (once:
#                                  again only when this script is newer than DIR/.done)
#   trust.sh sign DIR WHO IN OUT   sign the Windows program IN as WHO (publisher
#                                  or foreign) with Authenticode (SHA-256) into OUT
#   trust.sh tamper IN OUT         copy IN to OUT with one byte of its DOS stub
#                                  changed: it still loads, its signature no longer fits
# DIR after make:
#   answer-a.pem answer-b.pem      answer signing keys (P-256)
#   answer-a.txt answer-b.txt      their UpdateKeys values (one line, no newline)
#   publisher.key publisher.crt    code-signing certificate "ZELUpdate Test Publisher"
#   foreign.key foreign.crt        code-signing certificate "ZELUpdate Test Foreign"
#   publisher.txt foreign.txt      their Publishers values (no newline)
set -eu
script="${BASH_SOURCE[0]}"
here=$(cd "$(dirname "$script")" && pwd)
zelkeys="$here/../../tools/zelkeys.py"
if [ -x /usr/bin/python3 ]; then py=/usr/bin/python3; else py=python3; fi

usage() {
    echo "usage: trust.sh make DIR | sign DIR publisher|foreign IN OUT | tamper IN OUT" >&2
    exit 2
}

fail() {
    echo "trust.sh: $*" >&2
    exit 1
}

make_certificate() {
    local dir=$1 who=$2 name=$3 value check
    rm -f "$dir/$who.key.tmp" "$dir/$who.crt.tmp"
    if ! (umask 077 && openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$name" \
            -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
            -keyout "$dir/$who.key.tmp" -out "$dir/$who.crt.tmp") >"$dir/$who.log" 2>&1; then
        cat "$dir/$who.log" >&2
        fail "openssl could not make the certificate $who"
    fi
    rm -f "$dir/$who.log"
    chmod 600 "$dir/$who.key.tmp"
    mv -f "$dir/$who.key.tmp" "$dir/$who.key"
    chmod 644 "$dir/$who.crt.tmp"
    mv -f "$dir/$who.crt.tmp" "$dir/$who.crt"
    value=$("$py" "$zelkeys" publisher "$dir/$who.crt")
    check=$(openssl x509 -pubkey -noout -in "$dir/$who.crt" | openssl pkey -pubin -outform der | sha256sum)
    check=${check%% *}
    [ -n "$value" ] && [ "$value" = "$check" ] || fail "the Publishers value of $who differs from openssl's: $value $check"
    printf '%s' "$value" >"$dir/$who.txt"
}

make_all() {
    local dir=$1 who value
    mkdir -p "$dir"
    exec 9>"$dir/.lock"
    flock 9
    if [ -f "$dir/.done" ] && [ "$dir/.done" -nt "$script" ]; then
        return 0
    fi
    rm -f "$dir/.done"
    for who in a b; do
        value=$("$py" "$zelkeys" newkey "$dir/answer-$who.pem") || fail "no answer key $who"
        [ -n "$value" ] || fail "no UpdateKeys value for answer key $who"
        printf '%s' "$value" >"$dir/answer-$who.txt"
    done
    make_certificate "$dir" publisher "ZELUpdate Test Publisher"
    make_certificate "$dir" foreign "ZELUpdate Test Foreign"
    touch "$dir/.done"
}

sign_file() {
    local dir=$1 who=$2 in=$3 out=$4 tmp
    case "$who" in
    publisher|foreign) ;;
    *) usage ;;
    esac
    [ -f "$dir/$who.crt" ] && [ -f "$dir/$who.key" ] || fail "$dir/$who.crt is missing (trust.sh make $dir)"
    [ -f "$in" ] || fail "$in is missing"
    tmp="$out.tmp$$"
    rm -f "$tmp"
    if ! osslsigncode sign -certs "$dir/$who.crt" -key "$dir/$who.key" -h sha256 -n "ZELUpdate test" \
            -in "$in" -out "$tmp" >"$tmp.log" 2>&1; then
        cat "$tmp.log" >&2
        rm -f "$tmp" "$tmp.log"
        fail "osslsigncode could not sign $in"
    fi
    rm -f "$tmp.log"
    mv -f "$tmp" "$out"
}

tamper_file() {
    "$py" - "$1" "$2" <<'EOF'
import os
import sys

source, target = sys.argv[1], sys.argv[2]
with open(source, "rb") as f:
    data = bytearray(f.read())


def u16(at):
    return int.from_bytes(data[at:at + 2], "little")


def u32(at):
    return int.from_bytes(data[at:at + 4], "little")


if data[:2] != b"MZ" or len(data) < 0x40:
    sys.exit("trust.sh: %s is not a Windows program" % source)
pe = u32(0x3C)
if data[pe:pe + 4] != b"PE\0\0":
    sys.exit("trust.sh: %s is not a Windows program" % source)

# The DOS stub is covered by the Authenticode digest and never run.
text = b"This program cannot be run in DOS mode"
at = data.find(text, 0x40, pe)
if at >= 0:
    at += text.index(b"DOS")
else:
    # Otherwise a zero byte of a section's padding beyond its virtual size,
    # outside the certificate table: covered by the digest, never loaded.
    optional = pe + 24
    sections = optional + u16(pe + 20)
    directories = optional + (96 if u16(optional) == 0x10B else 112)
    cert_start, cert_size = u32(directories + 4 * 8), u32(directories + 4 * 8 + 4)
    at = -1
    for n in range(u16(pe + 6)):
        entry = sections + 40 * n
        virtual_size, raw_size, raw_start = u32(entry + 8), u32(entry + 16), u32(entry + 20)
        for i in range(raw_start + virtual_size, min(raw_start + raw_size, len(data))):
            if data[i] == 0 and not cert_start <= i < cert_start + cert_size:
                at = i
                break
        if at >= 0:
            break
    if at < 0:
        sys.exit("trust.sh: no byte of %s to change safely" % source)
data[at] ^= 0x20 if 0x41 <= data[at] <= 0x5A or 0x61 <= data[at] <= 0x7A else 0x01
tmp = "%s.tmp%d" % (target, os.getpid())
with open(tmp, "wb") as f:
    f.write(data)
os.replace(tmp, target)
EOF
}

[ $# -ge 1 ] || usage
case "$1" in
make)
    [ $# -eq 2 ] || usage
    make_all "$2"
    ;;
sign)
    [ $# -eq 5 ] || usage
    sign_file "$2" "$3" "$4" "$5"
    ;;
tamper)
    [ $# -eq 3 ] || usage
    tamper_file "$2" "$3"
    ;;
*)
    usage
    ;;
esac
