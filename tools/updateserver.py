#!/usr/bin/env python3
"""Reference update server of ZELUpdate, for development and tests.

Serves a catalogue directory laid out as <catalogue>/<module>/<version>/<files>
on 127.0.0.1 and answers the service's JSON requests:

  POST <any path>        body: {"module":{"MODULE_VERSION":"..","CURRENT_VERSION":".."},..}
  GET  <path>/?a=<json>  the same text in the address, percent-encoded (a raw byte
                         stands for itself, as older services sent them)

Per module the answer holds "MODULE_VERSION": "CURRENT" when the asked version
is the newest one, otherwise the newest version and its "FILE" entries
"<address>;<size>;sha256=<digest>" (without the digest field when digests are
off). A file ".info.json" in a version folder adds its members (EXE_NAME,
TYPE, COMMENT, ... or a "FILE" of its own) to the module's answer. Unknown
modules get {"ERROR": "invalid module_name"}. Files are served under /files/
with Content-Length, HEAD and single byte ranges. Digests are computed once
per file and kept while its size and modification time stay the same.

A file ".server.json" in a module's folder switches the server's behaviour
for that module while it runs (it is read at every request):
  "digests": false            no digest fields for the module's files
  "wrong_digest": [names]     a well-formed digest of other bytes for these files
  "tamper": [names]           serve these files with their last byte changed
  "answer": "html"            answer a request naming the module with an HTML page
  "answer": "huge"            pad the module's COMMENT to "size" bytes (default 50 MB)
  "chunked": true             send the answer in chunks, without Content-Length
  "drip": SECONDS             send the answer one byte every SECONDS (the status line
                              and headers at once, unless "drip_headers": true)
  "members": N                add N members "Member000000".. {"MODULE_VERSION": "CURRENT"}
                              after the modules asked about
  "status": CODE              answer with this HTTP status and no body, with the reason
                              phrase "reason": "TEXT" when given (sent as it is, CR and LF
                              included)
  "signature": "none"         send no X-ZEL-Signature
  "signature": "changed"      sign the answer, then send it with one character
                              of a string value changed (it stays JSON)
  "signature": "foreign"      sign with a key made at the start that nobody trusts
  "signature": "nonce"        sign over other nonce bytes than the request's
  "signature": "request"      sign over the digest of another request text
  "signature": "malformed"    send a value that is not "<keyid>:<base64 of 64 bytes>"
                              ("header": "TEXT" sends this text instead)
  "key": N                    sign with the N-th --signing-key (from 0)
  "offer_lower": true         offer the newest version also to a service that asks
                              with a higher one (a server that rolls the module back)
When the modules of a request disagree, the first one naming a switch wins.

With --signing-key every 200 answer to a request carrying a well-formed
"X-ZEL-Nonce: <base64 of 32 bytes>" gets "X-ZEL-Signature: <keyid>:<base64 r||s>",
ECDSA P-256 with SHA-256 over nonce || SHA-256(request text) || answer body as
sent (see zelkeys.py); without the header or with another value there is no
signature. With keys the log line of each answer to a request ends with
"key=<keyid>" or "key=unsigned", and "signature=<switch>" when one applied.

Requests in absolute form ("GET http://host/path") are answered as well, so
the server also stands in for an HTTP proxy (--proxy-auth asks for basic
proxy credentials).
"""

import argparse
import base64
import hashlib
import json
import os
import re
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import zelkeys
except ImportError as _e:  # signing needs python3-cryptography; the rest does not
    zelkeys = None
    _zelkeys_error = _e


def parse_version(text):
    """Four-part numeric version as a tuple, or None when it is not one."""
    parts = text.split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() for p in parts):
        return None
    numbers = [int(p) for p in parts]
    if any(n > 65535 for n in numbers):
        return None
    return tuple(numbers + [0] * (4 - len(numbers)))


def parse_asked_version(text):
    """The client's version text; anything unreadable counts as 0."""
    numbers = []
    for part in (text or "").split(".")[:4]:
        m = re.match(r"\s*(\d+)", part)
        numbers.append(int(m.group(1)) & 0xFFFF if m else 0)
    return tuple(numbers + [0] * (4 - len(numbers)))


class Catalogue:
    def __init__(self, root, digests=True):
        self.root = root
        self.digests = digests
        self.digest_cache = {}
        self.digest_lock = threading.Lock()

    def control(self, module):
        """The module's switches from its ".server.json"; {} when none."""
        if not self.has_module(module):
            return {}
        path = os.path.join(self.root, module, ".server.json")
        try:
            with open(path, encoding="utf-8") as f:
                value = json.load(f)
            return value if isinstance(value, dict) else {}
        except (OSError, ValueError):
            return {}

    def digest(self, path):
        """SHA-256 of a file, computed once per size and modification time."""
        st = os.stat(path)
        key = (st.st_size, st.st_mtime_ns)
        with self.digest_lock:
            cached = self.digest_cache.get(path)
        if cached and cached[0] == key:
            return cached[1]
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
        value = h.hexdigest()
        with self.digest_lock:
            self.digest_cache[path] = (key, value)
        return value

    def versions(self, module):
        base = os.path.join(self.root, module)
        found = []
        for name in os.listdir(base):
            v = parse_version(name)
            if v is not None and os.path.isdir(os.path.join(base, name)):
                found.append((v, name))
        found.sort()
        return found

    def has_module(self, module):
        if not module or module in (".", "..") or "/" in module or "\x00" in module:
            return False
        return os.path.isdir(os.path.join(self.root, module))

    def answer(self, module, asked, base_url):
        if not self.has_module(module):
            return {"ERROR": "invalid module_name"}
        versions = self.versions(module)
        if not versions:
            return {"MODULE_VERSION": "CURRENT"}
        newest = versions[-1][0]
        current = parse_asked_version(asked)
        if current == newest or (current > newest and not self.control(module).get("offer_lower")):
            return {"MODULE_VERSION": "CURRENT"}
        name = versions[-1][1]
        folder = os.path.join(self.root, module, name)
        result = {"MODULE_VERSION": name}
        info_path = os.path.join(folder, ".info.json")
        if os.path.isfile(info_path):
            with open(info_path, encoding="utf-8") as f:
                result.update(json.load(f))
        control = self.control(module)
        digests = control.get("digests", self.digests)
        wrong = control.get("wrong_digest", [])
        files = []
        for entry in sorted(os.listdir(folder)):
            path = os.path.join(folder, entry)
            if entry.startswith(".") or not os.path.isfile(path):
                continue
            address = "%s/files/%s/%s/%s" % (base_url, urllib.parse.quote(module), urllib.parse.quote(name),
                                             urllib.parse.quote(entry))
            spec = "%s;%d" % (address, os.path.getsize(path))
            if digests:
                digest = self.digest(path)
                if entry in wrong:
                    digest = hashlib.sha256(b"other bytes than " + entry.encode("utf-8")).hexdigest()
                spec += ";sha256=" + digest
            files.append(spec)
        if files and "FILE" not in result:
            result["FILE"] = files
        return result

    def file_path(self, parts):
        if len(parts) != 3 or any(p in ("", ".", "..") or "/" in p or "\x00" in p for p in parts):
            return None
        path = os.path.join(self.root, *parts)
        return path if os.path.isfile(path) else None


def unescape_get(raw):
    """The request text of a GET address: every "%XX" is the byte it encodes
    (the service encodes every byte outside A-Z a-z 0-9 - . _ ~), any other
    byte is itself, "+" included: an older service sent quotes, braces and
    the like raw and encoded only blanks, ";" and bytes outside ASCII."""
    return urllib.parse.unquote_to_bytes(raw)


JSON_STRING = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"')


def change_one_character(body):
    """The body with one byte changed: a letter (its case) or a digit inside
    the first JSON string value holding one, so that the text stays JSON; in
    a text that is not JSON the first letter; else the last byte."""
    start = 3 if body.startswith(b"\xef\xbb\xbf") else 0
    try:
        json.loads(body[start:].decode("utf-8"))
        is_json = True
    except ValueError:
        is_json = False
    if is_json:
        for tried, m in enumerate(JSON_STRING.finditer(body, start)):
            if tried >= 100:
                break
            rest = body[m.end():m.end() + 64].lstrip()
            if rest.startswith(b":"):
                continue                    # a member name
            i = m.start() + 1
            while i < m.end() - 1:
                c = body[i]
                if c == 0x5C:               # skip escapes (\uXXXX and the short ones)
                    i += 6 if body[i + 1] == 0x75 else 2
                    continue
                if 0x30 <= c <= 0x39 or 0x41 <= c <= 0x5A or 0x61 <= c <= 0x7A:
                    changed = body[:i] + changed_character(c) + body[i + 1:]
                    try:
                        json.loads(changed[start:].decode("utf-8"))
                        return changed
                    except ValueError:
                        break
                i += 1
    m = re.search(rb"[A-Za-z]", body[start:])
    if m:
        i = start + m.start()
        return body[:i] + changed_character(body[i]) + body[i + 1:]
    return body[:-1] + bytes([body[-1] ^ 0x01]) if body else body


def changed_character(c):
    if 0x30 <= c <= 0x39:
        return bytes([0x30 + (c - 0x30 + 1) % 10])
    return bytes([c ^ 0x20])


def first_switch(controls, name, default=None):
    for control in controls.values():
        if name in control:
            return control[name]
    return default


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ZELUpdateServer/1.0"

    answer_note = None

    def log_message(self, fmt, *args):
        self.server.log("%s %s" % (self.address_string(), fmt % args))

    def log_request(self, code="-", size="-"):
        # Answers to requests tell which key signed them.
        note, self.answer_note = self.answer_note, None
        code = getattr(code, "value", code)
        self.log_message('"%s" %s %s%s', self.requestline, str(code), str(size), note or "")

    # ------------------------------------------------------------ helpers

    def target(self):
        """The raw request target as bytes (http.server decodes it as Latin-1)."""
        raw = self.path.encode("latin-1")
        if raw.lower().startswith(b"http://") or raw.lower().startswith(b"https://"):
            rest = raw.split(b"//", 1)[1]
            slash = rest.find(b"/")
            raw = rest[slash:] if slash >= 0 else b"/"
        return raw

    def proxy_request(self):
        return self.path.lower().startswith("http://")

    def send_body(self, status, body, content_type="application/json; charset=utf-8", length=None, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_chunked(self, body, content_type="application/json; charset=utf-8", headers=()):
        """The body in chunks of 64 KB, without Content-Length; a client that
        hangs up early ends the sending."""
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        try:
            for start in range(0, len(body), 65536):
                chunk = body[start:start + 65536]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def send_dripping(self, body, headers, interval, drip_headers):
        """A 200 answer sent one byte every `interval` seconds: the body, or
        with drip_headers the status line and headers as well; a client that
        hangs up ends the sending."""
        head = ["%s 200 OK" % self.protocol_version, "Content-Type: application/json; charset=utf-8",
                "Content-Length: %d" % len(body)] + ["%s: %s" % h for h in headers]
        head = ("\r\n".join(head) + "\r\n\r\n").encode("latin-1")
        self.log_request(200, len(body))
        self.close_connection = True
        try:
            if not drip_headers:
                self.wfile.write(head)
                self.wfile.flush()
                head = b""
            data = head + body
            for i in range(len(data)):
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                time.sleep(interval)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def record(self, name, data):
        if self.server.options.record_dir:
            path = os.path.join(self.server.options.record_dir, name)
            with open(path + ".tmp", "wb") as f:
                f.write(data)
            os.replace(path + ".tmp", path)

    def check_proxy_auth(self):
        expected = self.server.options.proxy_auth
        if not expected or not self.proxy_request():
            return True
        header = self.headers.get("Proxy-Authorization", "")
        want = "Basic " + base64.b64encode(expected.encode("utf-8")).decode("ascii")
        if header == want:
            return True
        self.send_response(407)
        self.send_header("Proxy-Authenticate", 'Basic realm="zel"')
        self.send_header("Content-Length", "0")
        self.end_headers()
        return False

    def base_url(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    def signed(self, text, body, controls):
        """The body to send and the headers that sign it, as the modules'
        switches want them; notes the key for the log line."""
        keys = self.server.keys
        if not keys:
            return body, []
        nonce = zelkeys.decode_nonce(self.headers.get("X-ZEL-Nonce"))
        if nonce is None:
            self.answer_note = " key=unsigned"
            return body, []
        mode = first_switch(controls, "signature")
        index = first_switch(controls, "key", 0)
        note = " signature=%s" % mode if mode else ""
        if mode == "none":
            self.answer_note = " key=unsigned" + note
            return body, []
        if not isinstance(index, int) or isinstance(index, bool) or not 0 <= index < len(keys):
            self.answer_note = " key=unsigned (no key %r)" % (index,)
            return body, []
        key = self.server.foreign_key if mode == "foreign" else keys[index]
        signed_nonce, signed_text = nonce, text
        if mode == "nonce":
            while signed_nonce == nonce:
                signed_nonce = os.urandom(zelkeys.NONCE_SIZE)
        elif mode == "request":
            signed_text = text + b" "
        value = zelkeys.signature_value(key, signed_nonce, signed_text, body)
        keyid = zelkeys.key_id(key)
        if mode == "changed":
            body = change_one_character(body)
        elif mode == "malformed":
            header = first_switch(controls, "header")
            if isinstance(header, str):
                value = header
            else:
                raw = base64.b64decode(value.split(":", 1)[1])
                value = "%s:%s" % (keyid, base64.b64encode(raw[:-1]).decode("ascii"))
        self.answer_note = " key=%s%s" % (keyid, note)
        return body, [("X-ZEL-Signature", value)]

    # ------------------------------------------------------------ requests

    def do_GET(self):
        self.record("last-target.bin", self.path.encode("latin-1"))
        self.record("last-headers.txt", str(self.headers).encode("latin-1", "replace"))
        if not self.check_proxy_auth():
            return
        target = self.target()
        if target.startswith(b"/files/"):
            return self.serve_file(target)
        marker = target.find(b"?a=")
        if marker < 0:
            return self.send_body(404, b"not found", "text/plain")
        text = unescape_get(target[marker + 3:])
        self.record("last-request.bin", text)
        self.answer_request(text)

    def do_HEAD(self):
        target = self.target()
        if target.startswith(b"/files/"):
            return self.serve_file(target)
        self.send_body(404, b"", "text/plain")

    def do_POST(self):
        self.record("last-target.bin", self.path.encode("latin-1"))
        self.record("last-headers.txt", str(self.headers).encode("latin-1", "replace"))
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        if not self.check_proxy_auth():
            return
        self.record("last-request.bin", body)
        self.answer_request(body)

    def answer_request(self, text):
        options = self.server.options
        self.answer_note = " key=unsigned" if self.server.keys else None
        if options.delay:
            time.sleep(options.delay)
        if options.status:
            return self.send_body(options.status, b"failure", "text/plain")
        if options.garbage:
            body, headers = self.signed(text, b"<html><body>\x00\xff not json at all", {})
            return self.send_body(200, body, "text/html", headers=headers)
        try:
            request = json.loads(text.decode("utf-8"))
            if not isinstance(request, dict):
                raise ValueError("not an object")
        except ValueError as e:
            return self.send_body(400, ("bad request: %s" % e).encode("utf-8"), "text/plain")
        controls = {module: self.server.catalogue.control(module) for module in request}
        status = first_switch(controls, "status")
        if isinstance(status, int) and not isinstance(status, bool):
            reason = first_switch(controls, "reason")
            self.send_response(status, reason if isinstance(reason, str) else None)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if any(c.get("answer") == "html" for c in controls.values()):
            body, headers = self.signed(text, b"<html><body><h1>Please sign in</h1></body></html>", controls)
            return self.send_body(200, body, "text/html", headers=headers)
        answer = {}
        for module, value in request.items():
            asked = value.get("MODULE_VERSION", "") if isinstance(value, dict) else ""
            answer[module] = self.server.catalogue.answer(module, asked, self.base_url())
            if options.huge:
                answer[module]["COMMENT"] = "x" * options.huge
            if controls[module].get("answer") == "huge":
                answer[module]["COMMENT"] = "x" * int(controls[module].get("size", 50000000))
        members = first_switch(controls, "members", 0)
        if isinstance(members, int) and not isinstance(members, bool):
            for i in range(members):
                answer["Member%06d" % i] = {"MODULE_VERSION": "CURRENT"}
        body = json.dumps(answer, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        if options.bom:
            body = b"\xef\xbb\xbf" + body
        body, headers = self.signed(text, body, controls)
        drip = first_switch(controls, "drip")
        if isinstance(drip, (int, float)) and not isinstance(drip, bool) and drip > 0:
            return self.send_dripping(body, headers, drip, bool(first_switch(controls, "drip_headers")))
        if options.chunked or any(c.get("chunked") for c in controls.values()):
            return self.send_chunked(body, headers=headers)
        if options.truncate:
            # Announces the whole answer, sends half of it and hangs up.
            self.send_response(200)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.send_body(200, body, headers=headers)

    def serve_file(self, target):
        raw = target[len(b"/files/"):].split(b"?")[0]
        parts = [urllib.parse.unquote_to_bytes(p).decode("utf-8", "replace") for p in raw.split(b"/")]
        path = self.server.catalogue.file_path(parts)
        options = self.server.options
        if path is None or (parts and parts[-1] in options.fail_file):
            return self.send_body(404, b"not found", "text/plain")
        size = os.path.getsize(path)
        start, end = 0, size - 1
        status = 200
        rng = self.headers.get("Range")
        if rng:
            m = re.fullmatch(r"bytes=(\d*)-(\d*)", rng.strip())
            if m and (m.group(1) or m.group(2)):
                if m.group(1):
                    start = int(m.group(1))
                    end = int(m.group(2)) if m.group(2) else size - 1
                else:
                    start = max(0, size - int(m.group(2)))
                end = min(end, size - 1)
                if start > end or start >= size:
                    self.send_response(416)
                    self.send_header("Content-Range", "bytes */%d" % size)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                status = 206
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Last-Modified", self.date_time_string(int(os.path.getmtime(path))))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        if self.command == "HEAD":
            return
        tampered = parts[-1] in self.server.catalogue.control(parts[0]).get("tamper", [])
        with open(path, "rb") as f:
            f.seek(start)
            position = start
            remaining = end - start + 1
            chunks = 10 if options.delay_files else 1
            step = max(1, (remaining + chunks - 1) // chunks)
            while remaining > 0:
                data = f.read(min(step, remaining))
                if not data:
                    break
                if tampered and position <= size - 1 < position + len(data):
                    # Other bytes on the way, the size unchanged.
                    data = bytearray(data)
                    data[size - 1 - position] ^= 0xFF
                    data = bytes(data)
                position += len(data)
                try:
                    self.wfile.write(data)
                    self.wfile.flush()
                except (BrokenPipeError, ConnectionResetError):
                    self.close_connection = True
                    return
                remaining -= len(data)
                if options.delay_files and remaining > 0:
                    time.sleep(options.delay_files / chunks)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, options):
        self.options = options
        self.catalogue = Catalogue(options.catalogue, digests=not options.no_digests)
        self.log_lock = threading.Lock()
        self.keys = []
        self.foreign_key = None
        if options.signing_key:
            if zelkeys is None:
                raise SystemExit("updateserver: --signing-key needs python3-cryptography (%s)" % _zelkeys_error)
            try:
                self.keys = [zelkeys.load_private_key(path) for path in options.signing_key]
            except (zelkeys.TrustError, OSError) as e:
                raise SystemExit("updateserver: %s" % e)
            self.foreign_key = zelkeys.new_private_key()
        super().__init__(("127.0.0.1", options.port), Handler)

    def log(self, text):
        line = "%s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), text)
        with self.log_lock:
            if self.options.log:
                with open(self.options.log, "a", encoding="utf-8") as f:
                    f.write(line)
            else:
                sys.stderr.write(line)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--catalogue", required=True, help="directory <module>/<version>/<files>")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    p.add_argument("--port-file", help="write the port number into this file")
    p.add_argument("--log", help="append the request log to this file (default: standard error)")
    p.add_argument("--record-dir", help="keep the last request target, headers and body here")
    p.add_argument("--status", type=int, default=0, help="answer every request with this HTTP status")
    p.add_argument("--garbage", action="store_true", help="answer with a body that is not JSON")
    p.add_argument("--truncate", action="store_true", help="send half of the announced answer, then hang up")
    p.add_argument("--huge", type=int, default=0, metavar="BYTES", help="pad every module with a COMMENT this long")
    p.add_argument("--bom", action="store_true", help="prefix the answer with a UTF-8 byte-order mark")
    p.add_argument("--chunked", action="store_true", help="send answers in chunks, without Content-Length")
    p.add_argument("--no-digests", action="store_true", help="send no SHA-256 digest fields")
    p.add_argument("--delay", type=float, default=0, metavar="SECONDS", help="wait before answering a request")
    p.add_argument("--fail-file", action="append", default=[], metavar="NAME", help="answer 404 for this file")
    p.add_argument("--delay-files", type=float, default=0, metavar="SECONDS",
                   help="spread the sending of each file over this time")
    p.add_argument("--proxy-auth", metavar="USER:PASSWORD",
                   help="require these basic credentials from requests in proxy (absolute) form")
    p.add_argument("--signing-key", action="append", default=[], metavar="FILE",
                   help="sign answers with this P-256 private key (PEM); repeatable, the first one signs "
                        "unless a module's \"key\" switch names another")
    options = p.parse_args()
    server = Server(options)
    port = server.server_address[1]
    if options.port_file:
        with open(options.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(options.port_file + ".tmp", options.port_file)
    server.log("listening on 127.0.0.1:%d, catalogue %s" % (port, options.catalogue))
    if server.keys:
        server.log("signing keys %s, foreign key %s" % (", ".join(zelkeys.key_id(k) for k in server.keys),
                                                       zelkeys.key_id(server.foreign_key)))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
