#!/usr/bin/python3
"""Differential test of the first part of multipart/form-data bodies against python-multipart.

Bodies come from real curl -F uploads (captured by a loopback server started here), from
Python's email package (multipart/form-data, HTTP policy) and from an encoder written the
way urllib3's encode_multipart_formdata writes forms. Each body is fed to the multipart
reader through request_diff_driver --multipart, chunked at every split point when it is
small and at random ones when it is large, and to python-multipart's MultipartParser. The
boundary found in the Content-Type value, the first part's head fields and its content
must be the same, byte for byte. Bodies have no preamble: python-multipart takes none.

  /usr/bin/python3 multipart_diff.py --driver build/tests/http/server/request_diff_driver \
      --forms 40 --seed 1
"""
import argparse
import email.encoders
import email.policy
import json
import logging
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

import multipart.multipart as pm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from request_diff import TCHAR, cut, pick  # noqa: E402

logging.getLogger("multipart").setLevel(logging.ERROR)  # its warnings on refused bytes

SMALL = 2048  # bodies up to this size are split at every offset
CURL_DASHES = b"-" * 26  # curl's delimiters: "--" and a boundary of 24 dashes and hex


def content(rng, size, delimiter):
    """size bytes that come close to the delimiter (CR LF, dashes, a start of it, all of it
    followed by something else) without being one."""
    out, n = [], 0
    while n < size:
        piece = pick(rng, [
            (6, rng.randbytes(rng.randint(1, 4096))),
            (1, b"\r\n"), (1, b"--"), (1, b"\r\n--"), (1, b"\r"), (1, b"\n"),
            (2, delimiter[:rng.randint(1, len(delimiter) - 1)]),
            (1, delimiter + rng.choice([b"x", b"-x", b"\rx", b" \r\n"])),
        ])
        out.append(piece)
        n += len(piece)
    return b"".join(out)[:size]


def text(rng, size):
    return bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 -\r\n") for _ in range(size))


def file_size(rng):
    return pick(rng, [(3, rng.randint(0, 64)), (3, rng.randint(65, SMALL)),
                      (2, rng.randint(SMALL + 1, 65536)), (1, rng.randint(65537, 1 << 18))])


class Capture:
    """A loopback server that keeps the Content-Type and body of each request it gets."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(30)
        self.port = self.sock.getsockname()[1]

    def take(self):
        conn, _ = self.sock.accept()
        with conn:
            conn.settimeout(30)
            data = b""
            while b"\r\n\r\n" not in data:
                more = conn.recv(65536)
                if not more:
                    raise RuntimeError("curl closed before its head was complete")
                data += more
            head, _, body = data.partition(b"\r\n\r\n")
            fields = dict(line.split(b": ", 1) for line in head.split(b"\r\n")[1:])
            fields = {k.lower(): v for k, v in fields.items()}
            length = int(fields[b"content-length"])
            while len(body) < length:
                more = conn.recv(65536)
                if not more:
                    raise RuntimeError("curl closed inside its body")
                body += more
            conn.sendall(b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n")
        return fields[b"content-type"], body


def curl_form(rng, capture, tmp, large):
    """A form curl builds: 1 to 100 fields, one of them a file, the file first or not;
    large: a file of 512 KiB to 1 MiB."""
    count = pick(rng, [(5, rng.randint(1, 5)), (2, rng.randint(6, 30)), (1, rng.randint(31, 100))])
    at = 0 if rng.random() < 0.5 else rng.randrange(count)
    args = ["curl", "-sS", "--max-time", "30", "-H", "Expect:", "-o", "/dev/null"]
    if rng.random() < 0.3:
        args += ["-H", "Content-Type: multipart/form-data; charset=utf-8"]
    for i in range(count):
        if i == at:
            path = os.path.join(tmp, "file%d.bin" % i)
            with open(path, "wb") as f:
                size = rng.randint(1 << 19, 1 << 20) if large else file_size(rng)
                f.write(content(rng, size, b"\r\n" + CURL_DASHES))
            args += ["-F", "upload%d=@%s" % (i, path)]
        else:
            args += ["--form-string", b"f%d=" % i + text(rng, rng.randint(0, 200))]
    result = {}
    server = threading.Thread(target=lambda: result.update(form=capture.take()))
    server.start()
    subprocess.run(args + ["http://127.0.0.1:%d/" % capture.port], check=True, timeout=60)
    server.join(60)
    return result["form"]


def boundary(rng):
    return pick(rng, [
        (2, rng.randbytes(16).hex().encode()),  # urllib3
        (2, bytes(rng.choice(b"0123456789abcdefABCDEF-_") for _ in range(rng.randint(1, 70)))),
        (1, bytes(rng.choice(b"0123456789azAZ'()+_,-./:=? ") for _ in range(rng.randint(1, 69))) +
         b"z"),
    ])


def content_type(rng, b):
    token = all(c in TCHAR for c in b)
    param = b if token and rng.random() < 0.6 else b'"' + b + b'"'
    return pick(rng, [(4, b"multipart/form-data; boundary=" + param),
                      (1, b"multipart/form-data; boundary=" + param + b"; charset=utf-8"),
                      (1, b"multipart/form-data;charset=utf-8;  boundary=" + param),
                      (1, b"multipart/form-data; boundary = " + param)])


def urllib3_form(rng):
    """Fields written as urllib3's encode_multipart_formdata writes them."""
    b = boundary(rng)
    delimiter = b"\r\n--" + b
    out = []
    for i in range(rng.randint(1, 6)):
        out.append(b"--%s\r\n" % b)
        disposition = b'Content-Disposition: form-data; name="field%d"' % i
        if rng.random() < 0.5:
            out.append(disposition + b'; filename="name %d.dat"\r\n' % i)
            out.append(b"Content-Type: application/octet-stream\r\n\r\n")
        else:
            out.append(disposition + b"\r\n\r\n")
        out.append(content(rng, file_size(rng), delimiter) + b"\r\n")
    out.append(b"--%s--\r\n" % b)
    return content_type(rng, b), b"".join(out)


def email_form(rng):
    """A form written by Python's email package with the HTTP policy (CRLF line ends)."""
    b = b"=" * 15 + str(rng.randrange(10**18)).encode() + b"=="
    msg = MIMEMultipart("form-data", boundary=b.decode())
    for i in range(rng.randint(1, 5)):
        if rng.random() < 0.5:
            part = MIMEText(text(rng, rng.randint(0, 3000)).decode(), "plain",
                            rng.choice(["utf-8", "us-ascii"]))
        else:
            part = MIMEApplication(content(rng, file_size(rng), b"\r\n--" + b),
                                   _encoder=rng.choice([email.encoders.encode_base64,
                                                        email.encoders.encode_noop]))
            part.add_header("Content-Disposition", "form-data", name="f%d" % i,
                            filename="f%d.bin" % i)
        if "Content-Disposition" not in part:
            part.add_header("Content-Disposition", "form-data", name="t%d" % i)
        msg.attach(part)
    raw = msg.as_bytes(policy=email.policy.HTTP)
    head, _, body = raw.partition(b"\r\n\r\n")
    ctype = [x for x in head.split(b"\r\n") if x.lower().startswith(b"content-type:")][0]
    return ctype.split(b":", 1)[1].strip(), body


def reference(ctype, body, splits):
    """python-multipart's boundary, first part head fields and content, and whether the
    part ended."""
    _, params = pm.parse_options_header(ctype)
    b = params[b"boundary"]
    part = {"fields": [], "content": [], "done": False, "n": 0}
    name, value = [], []

    def on_header_end():
        if part["n"] == 1:
            part["fields"].append([b"".join(name), b"".join(value).strip(b" \t")])
        name.clear()
        value.clear()

    def on_part_end():
        if part["n"] == 1:
            part["done"] = True

    callbacks = {
        "on_part_begin": lambda: part.update(n=part["n"] + 1),
        "on_header_field": lambda d, s, e: name.append(d[s:e]),
        "on_header_value": lambda d, s, e: value.append(d[s:e]),
        "on_header_end": on_header_end,
        "on_part_data": lambda d, s, e: part["content"].append(d[s:e]) if part["n"] == 1 else 0,
        "on_part_end": on_part_end,
    }
    parser = pm.MultipartParser(b, callbacks)
    try:
        for chunk in cut(body, splits):
            parser.write(chunk)
    except pm.MultipartParseError:
        if not part["done"]:  # what comes after the first part does not matter here
            raise
    return b, part["fields"], b"".join(part["content"]), part["done"]


def split_sets(rng, body):
    if len(body) <= SMALL:
        return [[]] + [[p] for p in range(1, len(body))] + [list(range(1, len(body)))]
    return [[]] + [sorted(rng.sample(range(1, len(body)), rng.randint(1, 20))) for _ in range(8)]


def encode(ctype, body, splits):
    return (struct.pack("<I", len(ctype)) + ctype + struct.pack("<I", len(body)) + body +
            struct.pack("<I", len(splits)) + struct.pack("<%dI" % len(splits), *splits))


def check(driver, rng, source, ctype, body):
    """Mismatch descriptions for one form (none when ours matches the reference), and the
    number of cases it made."""
    try:
        b, fields, data, done = reference(ctype, body, [])
    except pm.MultipartParseError as e:
        return ["%s (Content-Type %r, body %r...): python-multipart refuses the first part: %s" %
                (source, ctype, body[:200], e)], 0
    sets = split_sets(rng, body)
    if reference(ctype, body, sets[-1]) != (b, fields, data, done):
        return ["%s: python-multipart itself differs with splits %r" % (source, sets[-1][:20])], 0
    # The part head as received: from the first delimiter line's end to its blank line.
    head = body[len(b) + 4:body.index(b"\r\n\r\n") + 4]
    want = (b, head, fields, data, done)
    proc = subprocess.run([driver, "--multipart"],
                          input=b"".join(encode(ctype, body, s) for s in sets),
                          capture_output=True, check=True, timeout=300)
    lines = proc.stdout.decode().splitlines()
    bad = []
    if len(lines) != len(sets):
        bad.append("driver answered %d of %d cases" % (len(lines), len(sets)))
    for splits, line in zip(sets, lines):
        got = json.loads(line)
        if got.get("form") != 1:
            bad.append("no boundary found (%r)" % got)
            break
        mine = (bytes.fromhex(got["boundary"]), bytes.fromhex(got["head"] or ""),
                [[bytes.fromhex(n), bytes.fromhex(v)] for n, v in got["fields"] or []],
                bytes.fromhex(got["content"]), got["verdict"] == "done")
        if mine != want:
            what = [k for k, x, y in zip(("boundary", "head text", "head fields", "content",
                                          "end"), mine, want) if x != y]
            bad.append("%s differ(s), verdict %s, splits %r" % (
                "/".join(what), got["verdict"], splits[:20]))
            if len(bad) >= 3:
                break
    return ["%s (Content-Type %r, %d bytes, body %r...): %s" % (
        source, ctype, len(body), body[:200], x) for x in bad], len(sets)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--driver", required=True)
    ap.add_argument("--forms", type=int, default=40, help="forms of each source")
    ap.add_argument("--seed", type=int, default=1)
    opts = ap.parse_args()
    rng = random.Random(opts.seed)
    sources = {"curl": lambda: curl_form(rng, capture, tmp, totals["curl"][0] == 0),
               "email": lambda: email_form(rng), "urllib3": lambda: urllib3_form(rng)}
    totals = {source: [0, 0] for source in sources}
    failures = []
    capture = Capture()
    with capture.sock, tempfile.TemporaryDirectory() as tmp:
        for i in range(opts.forms * len(sources)):
            source = list(sources)[i % len(sources)]
            ctype, body = sources[source]()
            bad, cases = check(opts.driver, rng, source, ctype, body)
            totals[source][0] += 1
            totals[source][1] += cases
            failures += bad
    for source, (forms, cases) in totals.items():
        print("%-8s forms: %d, cases: %d" % (source, forms, cases))
    print("mismatches: %d" % len(failures))
    for f in failures[:10]:
        print(f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
