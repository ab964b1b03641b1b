#!/usr/bin/python3
"""tsa.py DIR: a time-stamp authority on 127.0.0.1, for the tests, that
answers both kinds of request Authenticode signing makes.

- RFC 3161 (`osslsigncode -ts`, `signtool /tr`): a POST of a DER
  TimeStampReq, Content-Type application/timestamp-query, is answered with
  the reply that `openssl ts -reply` makes.
- Authenticode, the older kind that Windows XP reads (`osslsigncode -t`,
  `signtool /t`): a POST of a base64 DER TimeStampRequest, which carries the
  signature to be stamped as its content's data, is answered with base64 of
  the PKCS #7 SignedData that `openssl cms -sign` makes over that data; its
  signer's information becomes the signature's countersignature.

Both are signed with DIR/tsa.key and DIR/tsa.crt, chained to DIR/ca.crt
(testbed/signing.sh writes them, and DIR/tsa.cnf). Writes the port it
listens on to DIR/tsa.port once it listens, and appends one line to
DIR/tsa.log for each request: "stamped KIND PATH" or "refused KIND PATH",
KIND being rfc3161 or authenticode. Runs until it is killed.
"""
import base64
import http.server
import os
import subprocess
import sys
import tempfile

from asn1crypto import cms, core

DIR = sys.argv[1]


class AuthenticodeRequest(core.Sequence):
    """Authenticode's TimeStampRequest: the signature's encrypted digest is
    the content's data."""
    _fields = [('type', core.ObjectIdentifier), ('content', cms.ContentInfo)]


def rfc3161(query, tmp):
    """The DER TimeStampResp to a DER TimeStampReq, or b'' when openssl refuses."""
    with open(os.path.join(tmp, 'query'), 'wb') as f:
        f.write(query)
    made = subprocess.run(
        ['openssl', 'ts', '-reply', '-config', 'tsa.cnf', '-queryfile', os.path.join(tmp, 'query'),
         '-inkey', 'tsa.key', '-signer', 'tsa.crt', '-chain', 'ca.crt',
         '-out', os.path.join(tmp, 'reply')], cwd=DIR, capture_output=True, check=False)
    return read(os.path.join(tmp, 'reply')) if made.returncode == 0 else b''


def authenticode(query, tmp):
    """Base64 of the SignedData over the request's data, or b'' when the
    request cannot be read or openssl refuses."""
    try:
        request = AuthenticodeRequest.load(base64.b64decode(query))
        data = request['content']['content'].native
    except (ValueError, TypeError):
        return b''
    if not isinstance(data, bytes):
        return b''
    with open(os.path.join(tmp, 'data'), 'wb') as f:
        f.write(data)
    made = subprocess.run(
        ['openssl', 'cms', '-sign', '-binary', '-nodetach', '-nosmimecap', '-md', 'sha256',
         '-in', os.path.join(tmp, 'data'), '-signer', 'tsa.crt', '-inkey', 'tsa.key', '-certfile', 'ca.crt',
         '-outform', 'DER', '-out', os.path.join(tmp, 'reply')], cwd=DIR, capture_output=True, check=False)
    return base64.b64encode(read(os.path.join(tmp, 'reply'))) if made.returncode == 0 else b''


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        rfc = self.headers.get('Content-Type', '') == 'application/timestamp-query'
        with tempfile.TemporaryDirectory() as tmp:
            reply = rfc3161(query, tmp) if rfc else authenticode(query, tmp)
        self.send_response(200 if reply else 500)
        self.send_header('Content-Type', 'application/timestamp-reply' if rfc else 'application/octet-stream')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
        with open(os.path.join(DIR, 'tsa.log'), 'a') as log:
            log.write('%s %s %s\n' % ('stamped' if reply else 'refused',
                                      'rfc3161' if rfc else 'authenticode', self.path))

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), Authority)
with open(os.path.join(DIR, 'tsa.port.new'), 'w') as f:
    f.write(f'{server.server_address[1]}\n')
os.rename(os.path.join(DIR, 'tsa.port.new'), os.path.join(DIR, 'tsa.port'))
server.serve_forever()
