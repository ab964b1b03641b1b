#!/usr/bin/python3
"""tsa.py DIR: an RFC 3161 time-stamp authority on 127.0.0.1, for the tests.

Answers each HTTP POST of a time-stamp request with the reply that
`openssl ts -reply` makes with DIR/tsa.key, DIR/tsa.crt and DIR/tsa.cnf
(testbed/signing.sh writes them). Writes the port it listens on to
DIR/tsa.port once it listens, and appends one line to DIR/tsa.log for each
request answered. Runs until it is killed.
"""
import http.server
import os
import subprocess
import sys
import tempfile

DIR = sys.argv[1]


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, 'query'), 'wb') as f:
                f.write(query)
            made = subprocess.run(
                ['openssl', 'ts', '-reply', '-config', 'tsa.cnf', '-queryfile', os.path.join(tmp, 'query'),
                 '-inkey', 'tsa.key', '-signer', 'tsa.crt', '-chain', 'ca.crt',
                 '-out', os.path.join(tmp, 'reply')], cwd=DIR, capture_output=True, check=False)
            reply = b''
            if made.returncode == 0:
                with open(os.path.join(tmp, 'reply'), 'rb') as f:
                    reply = f.read()
        self.send_response(200 if reply else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
        with open(os.path.join(DIR, 'tsa.log'), 'a') as log:
            log.write(f'{"stamped" if reply else "refused"} {len(query)} bytes\n')

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), Authority)
with open(os.path.join(DIR, 'tsa.port.new'), 'w') as f:
    f.write(f'{server.server_address[1]}\n')
os.rename(os.path.join(DIR, 'tsa.port.new'), os.path.join(DIR, 'tsa.port'))
server.serve_forever()
