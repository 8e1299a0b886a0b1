#!/usr/bin/env python3
# Upload receiver for the HTTP client tests.
#
# Listens on 127.0.0.1:<port> (first argument) and answers every POST with a JSON report of
# what arrived, parsed independently of the client with the standard library: whether the
# body was as long as announced, and for a multipart/form-data body each part's name, file name and
# data (as hex of their raw bytes) plus the parser's defect count; for any other body its
# data as hex.
import json
import sys
from email import policy
from email.parser import Parser
from http.server import BaseHTTPRequestHandler, HTTPServer


def raw_hex(text):
    # The body was read as latin-1, so each character is one raw byte.
    return None if text is None else text.encode("latin-1").hex()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        ctype = self.headers.get("Content-Type", "")
        out = {"whole": len(body) == length}
        if ctype.startswith("multipart/form-data"):
            msg = Parser(policy=policy.compat32).parsestr(
                ("Content-Type: " + ctype + "\r\n\r\n") + body.decode("latin-1"))
            out["parts"] = [{
                "data": (part.get_payload(decode=True) or b"").hex(),
                "filename": raw_hex(part.get_filename()),
                "name": raw_hex(part.get_param("name", header="content-disposition")),
            } for part in msg.get_payload()]
            out["defects"] = len(msg.defects)
        else:
            out["data"] = body.hex()
        data = json.dumps(out, sort_keys=True).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
