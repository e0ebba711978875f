#!/usr/bin/env python3
"""Keys and trust values of ZELUpdate, for administrators and tests.

The service trusts the update server's answers signed with one of the keys
in its UpdateKeys setting, and installers signed by one of its Publishers:

  zelkeys.py newkey OUT.pem      make an answer signing key (P-256, PKCS8 PEM,
                                 mode 0600) and print its UpdateKeys value
  zelkeys.py pubkey KEY.pem      print the UpdateKeys value of a private or
                                 public key: base64 of the 65-byte point 04||X||Y
  zelkeys.py keyid KEY.pem       print the key's id: lower-case hex of the first
                                 8 bytes of SHA-256 over that point
  zelkeys.py publisher CERT      print the Publishers value of a certificate (PEM
                                 or DER): hex SHA-256 of its SubjectPublicKeyInfo
  zelkeys.py sign KEY.pem NONCE_B64 REQUEST_FILE BODY_FILE
                                 print the X-ZEL-Signature value of an answer

An answer's signature is ECDSA P-256 with SHA-256 over
nonce (32 bytes) || SHA-256(request text) || answer body, written as
"<keyid>:<base64 of r||s>" (r and s 32 bytes each, big-endian).

The reference update server imports this module for its signatures.
"""

import argparse
import base64
import binascii
import hashlib
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import Prehashed, decode_dss_signature, encode_dss_signature

NONCE_SIZE = 32
SIGNATURE_SIZE = 64


class TrustError(ValueError):
    """A key or certificate this tool cannot use."""


# ------------------------------------------------------------------ keys

def _check_curve(key, path):
    if not isinstance(key, (ec.EllipticCurvePrivateKey, ec.EllipticCurvePublicKey)) or \
            not isinstance(key.curve, ec.SECP256R1):
        raise TrustError("%s: not a P-256 key" % path)
    return key


def load_private_key(path):
    """A P-256 private key from a PEM file (PKCS8 or traditional, unencrypted)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except (ValueError, TypeError) as e:
        raise TrustError("%s: not an unencrypted PEM private key (%s)" % (path, e))
    return _check_curve(key, path)


def load_public_key(path):
    """The P-256 public key of a PEM file holding a private or a public key."""
    with open(path, "rb") as f:
        data = f.read()
    if b"PRIVATE KEY-----" in data:
        return load_private_key(path).public_key()
    try:
        key = serialization.load_pem_public_key(data)
    except ValueError as e:
        raise TrustError("%s: not a PEM key (%s)" % (path, e))
    return _check_curve(key, path)


def new_private_key():
    return ec.generate_private_key(ec.SECP256R1())


def private_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _public(key):
    return key.public_key() if isinstance(key, ec.EllipticCurvePrivateKey) else key


def public_point(key):
    """The 65-byte uncompressed point 04||X||Y of a private or public key."""
    return _public(key).public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def update_keys_value(key):
    return base64.b64encode(public_point(key)).decode("ascii")


def key_id(key):
    return hashlib.sha256(public_point(key)).digest()[:8].hex()


# ------------------------------------------------------------ signatures

def decode_nonce(text):
    """The 32 nonce bytes of an X-ZEL-Nonce value; None when it is not one."""
    if text is None:
        return None
    text = text.strip()
    try:
        raw = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None
    if len(raw) != NONCE_SIZE or base64.b64encode(raw).decode("ascii") != text:
        return None
    return raw


def message_digest(nonce, request_text, body):
    """SHA-256 over nonce || SHA-256(request text) || body, the value signed."""
    h = hashlib.sha256()
    h.update(nonce)
    h.update(hashlib.sha256(request_text).digest())
    h.update(body)
    return h.digest()


def sign_digest(key, digest):
    """r||s (64 bytes) of an ECDSA signature over a SHA-256 digest."""
    der = key.sign(digest, ec.ECDSA(Prehashed(hashes.SHA256())))
    r, s = decode_dss_signature(der)
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def signature_value(key, nonce, request_text, body):
    """The X-ZEL-Signature value "<keyid>:<base64 r||s>" of an answer."""
    raw = sign_digest(key, message_digest(nonce, request_text, body))
    return "%s:%s" % (key_id(key), base64.b64encode(raw).decode("ascii"))


def verify_value(keys, value, nonce, request_text, body):
    """The keyid of the key in `keys` whose signature `value` is, or None when
    it is malformed, names no such key or does not match."""
    by_id = {key_id(k): _public(k) for k in keys}
    keyid, sep, b64 = (value or "").partition(":")
    if not sep or keyid not in by_id:
        return None
    try:
        raw = base64.b64decode(b64, validate=True)
    except (binascii.Error, ValueError):
        return None
    if len(raw) != SIGNATURE_SIZE:
        return None
    der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    try:
        by_id[keyid].verify(der, message_digest(nonce, request_text, body), ec.ECDSA(Prehashed(hashes.SHA256())))
    except Exception:
        return None
    return keyid


# ----------------------------------------------------------- publishers

def _der_item(data, pos):
    """(tag, start of contents, end of contents) of the DER item at pos."""
    if pos + 2 > len(data):
        raise TrustError("truncated DER")
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise TrustError("bad DER length")
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise TrustError("truncated DER")
    return tag, pos, pos + length


def subject_public_key_info(cert):
    """The SubjectPublicKeyInfo of a certificate exactly as it is encoded in it."""
    tbs = cert.tbs_certificate_bytes
    tag, pos, end = _der_item(tbs, 0)
    if tag != 0x30:
        raise TrustError("bad certificate")
    tag, start, stop = _der_item(tbs, pos)
    if tag == 0xA0:                     # [0] version
        pos = stop
    # serial number, signature algorithm, signer name, validity, subject name
    for _ in range(5):
        tag, start, stop = _der_item(tbs, pos)
        pos = stop
    tag, start, stop = _der_item(tbs, pos)
    if tag != 0x30:
        raise TrustError("bad certificate")
    return tbs[pos:stop]


def load_certificate(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        if b"-----BEGIN CERTIFICATE-----" in data:
            return x509.load_pem_x509_certificate(data)
        return x509.load_der_x509_certificate(data)
    except ValueError as e:
        raise TrustError("%s: not a certificate (%s)" % (path, e))


def publisher_value(cert):
    return hashlib.sha256(subject_public_key_info(cert)).hexdigest()


# ------------------------------------------------------------------ CLI

def write_private_key(path, key):
    """Writes the key readable by its owner only; replaces the file at once."""
    tmp = "%s.tmp%d" % (path, os.getpid())
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.fchmod(fd, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(private_pem(key))
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    c = sub.add_parser("newkey", help="make an answer signing key, print its UpdateKeys value")
    c.add_argument("out", metavar="OUT.pem")
    c = sub.add_parser("pubkey", help="print the UpdateKeys value of a key")
    c.add_argument("key", metavar="KEY.pem")
    c = sub.add_parser("keyid", help="print the id of a key")
    c.add_argument("key", metavar="KEY.pem")
    c = sub.add_parser("publisher", help="print the Publishers value of a certificate")
    c.add_argument("cert", metavar="CERT")
    c = sub.add_parser("sign", help="print the X-ZEL-Signature value of an answer")
    c.add_argument("key", metavar="KEY.pem")
    c.add_argument("nonce", metavar="NONCE_B64")
    c.add_argument("request", metavar="REQUEST_FILE")
    c.add_argument("body", metavar="BODY_FILE")
    args = p.parse_args(argv)
    try:
        if args.command == "newkey":
            key = new_private_key()
            write_private_key(args.out, key)
            print(update_keys_value(key))
        elif args.command == "pubkey":
            print(update_keys_value(load_public_key(args.key)))
        elif args.command == "keyid":
            print(key_id(load_public_key(args.key)))
        elif args.command == "publisher":
            print(publisher_value(load_certificate(args.cert)))
        elif args.command == "sign":
            key = load_private_key(args.key)
            nonce = decode_nonce(args.nonce)
            if nonce is None:
                raise TrustError("the nonce is not base64 of %d bytes" % NONCE_SIZE)
            with open(args.request, "rb") as f:
                request_text = f.read()
            with open(args.body, "rb") as f:
                body = f.read()
            print(signature_value(key, nonce, request_text, body))
    except (TrustError, OSError) as e:
        sys.stderr.write("zelkeys: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
