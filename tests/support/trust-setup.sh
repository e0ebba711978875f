#!/bin/bash
# The trust material of one test run: keys and certificates (trust.sh make)
# and the signed, foreign-signed and changed copies of the programs the
# tests hand to the service.
#   trust-setup.sh TRUST_DIR BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
build=$2
"$here/trust.sh" make "$dir"
variants() {  # variants SOURCE NAME: NAME-signed.exe, NAME-foreign.exe, NAME-tampered.exe
    "$here/trust.sh" sign "$dir" publisher "$1" "$dir/$2-signed.exe"
    "$here/trust.sh" sign "$dir" foreign "$1" "$dir/$2-foreign.exe"
    "$here/trust.sh" tamper "$dir/$2-signed.exe" "$dir/$2-tampered.exe"
}
variants "$build/tests/store_test/data/a.exe" stub
variants "$build/tests/update_test/installers/demo-setup.exe" demo
variants "$build/bin/next/ZELService.exe" next
