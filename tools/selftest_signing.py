#!/usr/bin/env python3
"""Checks the signed answers of the reference update server.

Starts updateserver.py on 127.0.0.1 with two signing keys (and, for
comparison, with --bom --chunked and without keys), asks it by POST and by
GET with a fresh X-ZEL-Nonce, and checks every X-ZEL-Signature with the
cryptography package directly (not through zelkeys.py), for each of the
"signature" and "key" switches of a module's .server.json.

    /usr/bin/python3 tools/selftest_signing.py [-v]

Prints one line per failed check and exits with 1 when there was any.
"""

import base64
import hashlib
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "updateserver.py")
VERBOSE = "-v" in sys.argv[1:]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)
    elif VERBOSE:
        print("ok:   " + what)
    return condition


# ------------------------------------------------------ independent checking

def point(public):
    return public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def keyid_of(public):
    return hashlib.sha256(point(public)).hexdigest()[:16]


HEADER = re.compile(r"^([0-9a-f]{16}):([A-Za-z0-9+/]{86}==)$")


def split_header(value):
    """(keyid, r||s) of a well-formed X-ZEL-Signature value, else None."""
    m = HEADER.match(value or "")
    if not m:
        return None
    raw = base64.b64decode(m.group(2), validate=True)
    return (m.group(1), raw) if len(raw) == 64 else None


def verifies(public, raw, nonce, request_text, body):
    der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    message = nonce + hashlib.sha256(request_text).digest() + body
    try:
        public.verify(der, message, ec.ECDSA(hashes.SHA256()))
        return True
    except InvalidSignature:
        return False


# ------------------------------------------------------------------ servers

def start(work, name, *options):
    port_file = os.path.join(work, name + ".port")
    log = os.path.join(work, name + ".log")
    process = subprocess.Popen([sys.executable, SERVER, "--catalogue", os.path.join(work, "catalogue"),
                                "--port-file", port_file, "--log", log] + list(options),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for _ in range(100):
        if os.path.exists(port_file):
            with open(port_file) as f:
                return process, int(f.read()), log
        if process.poll() is not None:
            break
        time.sleep(0.1)
    process.kill()
    raise SystemExit("%s did not start: %s" % (name, process.stderr.read().decode("utf-8", "replace")))


UNRESERVED = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"


def escape_for_get(text, old=False):
    """The request text in an address the way the service writes it: every
    byte outside the unreserved characters encoded; an older service
    encoded only blanks, ";" and bytes outside printable ASCII."""
    out = bytearray()
    for c in text:
        if old:
            encode = c in (0x20, 0x3B) or c < 0x20 or c >= 0x80
        else:
            encode = c not in UNRESERVED
        out += b"%%%02X" % c if encode else bytes([c])
    return out.decode("ascii")


def ask(port, request_text, method="POST", nonce=True):
    """(status, headers, body, nonce bytes) of one request; "GET-old"
    escapes the text as an older service did."""
    raw_nonce = os.urandom(32)
    headers = {}
    if nonce is True:
        headers["X-ZEL-Nonce"] = base64.b64encode(raw_nonce).decode("ascii")
    elif nonce:
        headers["X-ZEL-Nonce"] = nonce
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        if method == "POST":
            headers["Content-Type"] = "application/json"
            connection.request("POST", "/zel/", body=request_text, headers=headers)
        else:
            connection.request("GET", "/zel/?a=" + escape_for_get(request_text, old=method == "GET-old"),
                               headers=headers)
        response = connection.getresponse()
        return response.status, response.headers, response.read(), raw_nonce
    finally:
        connection.close()


def request_for(*modules):
    return json.dumps({m: {"MODULE_VERSION": "1.0.0.0", "CURRENT_VERSION": "1.0.0.0"} for m in modules},
                      ensure_ascii=False).encode("utf-8")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def make_catalogue(root):
    switches = {
        "Plain": None,
        "Quiet": {"signature": "none"},
        "Changed": {"signature": "changed"},
        "Foreign": {"signature": "foreign"},
        "Nonce": {"signature": "nonce"},
        "Request": {"signature": "request"},
        "Malformed": {"signature": "malformed"},
        "Custom": {"signature": "malformed", "header": "garbage in the header"},
        "KeyOne": {"key": 1},
        "KeyNine": {"key": 9},
        "Html": {"answer": "html"},
        "Huge": {"answer": "huge", "size": 1000000},
        "Модуль": {"signature": "changed"},
    }
    for module, control in switches.items():
        folder = os.path.join(root, module, "1.0.0.7")
        write(os.path.join(folder, "setup.exe"), b"MZ" + bytes(500))
        write(os.path.join(folder, ".info.json"), json.dumps({"EXE_NAME": "setup.exe", "TYPE": "U",
                                                              "COMMENT": "Новая версия; \"quoted\"\n"}))
        if control is not None:
            write(os.path.join(root, module, ".server.json"), json.dumps(control))


# -------------------------------------------------------------------- checks

def main():
    work = tempfile.mkdtemp(prefix="zel-signing-")
    processes = []
    try:
        make_catalogue(os.path.join(work, "catalogue"))
        key_a = ec.generate_private_key(ec.SECP256R1())
        key_b = ec.generate_private_key(ec.SECP256R1())
        path_a, path_b = os.path.join(work, "a.pem"), os.path.join(work, "b.pem")
        write(path_a, key_a.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
        write(path_b, key_b.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                          serialization.NoEncryption()))
        pub_a, pub_b = key_a.public_key(), key_b.public_key()
        id_a, id_b = keyid_of(pub_a), keyid_of(pub_b)

        process, port, log = start(work, "signing", "--signing-key", path_a, "--signing-key", path_b)
        processes.append(process)
        process, port_bom, log_bom = start(work, "bom", "--signing-key", path_a, "--bom", "--chunked")
        processes.append(process)
        process, port_plain, log_plain = start(work, "plain")
        processes.append(process)

        def good(module, method, public=pub_a, keyid=id_a, port=port, text=None):
            text = text or request_for(module)
            status, headers, body, nonce = ask(port, text, method)
            parts = split_header(headers.get("X-ZEL-Signature"))
            what = "%s %s" % (module, method)
            check(status == 200, what + ": status 200")
            if check(parts is not None, what + ": well-formed signature"):
                check(parts[0] == keyid, what + ": keyid " + keyid)
                check(verifies(public, parts[1], nonce, text, body), what + ": signature verifies")
            return body

        foreign_id = None
        for method in ("POST", "GET", "GET-old"):
            good("Plain", method)
            good("KeyOne", method, pub_b, id_b, text=request_for("KeyOne", "KeyNine"))  # the first one wins
            good("KeyOne", method, pub_b, id_b)
            good("KeyOne", method, pub_b, id_b, text=request_for("Plain", "KeyOne"))
            html = good("Html", method)
            check(html.startswith(b"<html>"), "Html %s: the page" % method)
            huge = good("Huge", method)
            check(len(huge) > 1000000, "Huge %s: the padded answer" % method)
            bom = good("Plain", method, port=port_bom)
            check(bom.startswith(b"\xef\xbb\xbf"), "Plain %s: BOM signed with the body" % method)

            # Bytes that mean something in an address reach the signature
            # as the service wrote them ("%41" only when encoded: an older
            # service sent "%" raw).
            tricky = "1&a=2#x+b c;d/?\"{}" + ("" if method == "GET-old" else "%41")
            good("Plain", method, text=json.dumps({"Plain": {"MODULE_VERSION": "1.0.0.0", "CURRENT_VERSION": tricky}},
                                                  ensure_ascii=False).encode("utf-8"))

            for module in ("Quiet", "KeyNine"):
                status, headers, body, _ = ask(port, request_for(module), method)
                check(status == 200 and "X-ZEL-Signature" not in headers, "%s %s: unsigned" % (module, method))

            for nonce in (None, "", "AAAA", base64.b64encode(bytes(31)).decode(), "*" * 44,
                          base64.b64encode(bytes(32)).decode().rstrip("=")):
                status, headers, body, _ = ask(port, request_for("Plain"), method, nonce=nonce)
                check(status == 200 and "X-ZEL-Signature" not in headers,
                      "Plain %s: nonce %r answered, unsigned" % (method, nonce))

            status, headers, body, _ = ask(port_plain, request_for("Plain"), method)
            check(status == 200 and "X-ZEL-Signature" not in headers, "Plain %s: no keys, unsigned" % method)

            for module in ("Changed", "Модуль"):
                text = request_for(module)
                status, headers, body, nonce = ask(port, text, method)
                parts = split_header(headers.get("X-ZEL-Signature"))
                what = "%s %s" % (module, method)
                if check(parts is not None and parts[0] == id_a, what + ": signed with key a"):
                    check(not verifies(pub_a, parts[1], nonce, text, body), what + ": the body does not verify")
                try:
                    json.loads(body.decode("utf-8"))
                    check(True, what + ": still JSON")
                except ValueError:
                    check(False, what + ": still JSON")
                control = os.path.join(work, "catalogue", module, ".server.json")
                with open(control, "rb") as f:
                    saved = f.read()
                write(control, "{}")
                status, headers, original, _ = ask(port, text, method)
                write(control, saved)
                differing = [i for i in range(min(len(body), len(original))) if body[i] != original[i]]
                check(len(body) == len(original) and len(differing) == 1, what + ": one byte changed")
                if parts:
                    check(verifies(pub_a, parts[1], nonce, text, original), what + ": the original verifies")

            for module in ("Nonce", "Request"):
                text = request_for(module)
                status, headers, body, nonce = ask(port, text, method)
                parts = split_header(headers.get("X-ZEL-Signature"))
                what = "%s %s" % (module, method)
                if check(parts is not None and parts[0] == id_a, what + ": well-formed, key a"):
                    check(not verifies(pub_a, parts[1], nonce, text, body), what + ": does not verify")

            text = request_for("Foreign")
            status, headers, body, nonce = ask(port, text, method)
            parts = split_header(headers.get("X-ZEL-Signature"))
            if check(parts is not None and parts[0] not in (id_a, id_b), "Foreign %s: another keyid" % method):
                check(not verifies(pub_a, parts[1], nonce, text, body) and
                      not verifies(pub_b, parts[1], nonce, text, body), "Foreign %s: no trusted key" % method)
                check(foreign_id in (None, parts[0]), "Foreign %s: the same foreign key" % method)
                foreign_id = parts[0]

            for module, want in (("Malformed", None), ("Custom", "garbage in the header")):
                status, headers, body, _ = ask(port, request_for(module), method)
                value = headers.get("X-ZEL-Signature")
                check(status == 200 and value is not None and split_header(value) is None,
                      "%s %s: malformed header %r" % (module, method, value))
                if want:
                    check(value == want, "%s %s: the given text" % (module, method))

        # Downloads and errors are not signed; the log names the keys.
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", "/files/Plain/1.0.0.7/setup.exe")
        response = connection.getresponse()
        response.read()
        connection.close()
        check(response.status == 200 and "X-ZEL-Signature" not in response.headers, "download unsigned")
        status, headers, body, _ = ask(port, b"[1,2]", "POST")
        check(status == 400 and "X-ZEL-Signature" not in headers, "bad request unsigned")
        time.sleep(0.2)
        with open(log, encoding="utf-8") as f:
            lines = f.read().splitlines()
        check(any("foreign key %s" % foreign_id in line for line in lines), "log: the foreign key")
        check(any(line.endswith(" 200 - key=%s" % id_a) for line in lines), "log: key a")
        check(any(line.endswith(" 200 - key=%s" % id_b) for line in lines), "log: key b")
        check(any(line.endswith(" key=%s signature=foreign" % foreign_id) for line in lines), "log: foreign")
        check(any(line.endswith(" 200 - key=unsigned signature=none") for line in lines), "log: none")
        check(any(line.endswith(" 200 - key=unsigned") for line in lines), "log: unsigned")
        check(any(line.endswith('"GET /files/Plain/1.0.0.7/setup.exe HTTP/1.1" 200 -') for line in lines),
              "log: download line as before")
        check(any(line.endswith(" 400 - key=unsigned") for line in lines), "log: error unsigned")
        with open(log_plain, encoding="utf-8") as f:
            plain = f.read()
        check("key=" not in plain and '"POST /zel/ HTTP/1.1" 200 -\n' in plain, "log without keys as before")
    finally:
        for process in processes:
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed check(s)" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
