#!/usr/bin/env python3
"""Upload receiver for the HTTP client tests.

Listens on 127.0.0.1:<port> (first argument) and answers every POST with a JSON report of
what arrived, parsed independently of the client with the standard library: for a
multipart/form-data body each part's name and file name (as hex of their raw bytes), size
and MD5, plus the parser's defect count; for any other body its size and MD5.
"""
import hashlib
import json
import sys
from email import policy
from email.parser import Parser
from http.server import BaseHTTPRequestHandler, HTTPServer


def raw_hex(text):
    # The body was read as latin-1, so each character is one raw byte.
    if text is None:
        return None
    return text.encode("latin-1").hex()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        ctype = self.headers.get("Content-Type", "")
        out = {"length": length, "received": len(body)}
        if ctype.startswith("multipart/form-data"):
            msg = Parser(policy=policy.compat32).parsestr(
                ("Content-Type: " + ctype + "\r\n\r\n") + body.decode("latin-1"))
            parts = []
            for part in msg.get_payload():
                data = part.get_payload(decode=True) or b""
                parts.append({
                    "name": raw_hex(part.get_param("name", header="content-disposition")),
                    "filename": raw_hex(part.get_filename()),
                    "size": len(data),
                    "md5": hashlib.md5(data).hexdigest(),
                })
            out["parts"] = parts
            out["defects"] = len(msg.defects)
        else:
            out["md5"] = hashlib.md5(body).hexdigest()
        data = json.dumps(out, sort_keys=True).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
