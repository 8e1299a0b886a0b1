#!/usr/bin/python3
"""Differential test of the HTTP client's answer reader against h11.

Generates answers to "GET /a/b" (well-formed ones of many shapes, and mutated ones), feeds
each to response_diff_driver (our reader, as the client drives it) and to h11 (as a
client), chunk by chunk at the same split points, the connection ending after the bytes or
not, and compares the final status and head; for the statuses whose body the reader reads
(200, 204, 206, and 500 into memory) also the body, how the answer ended (complete, cut by
the close, malformed, or waiting for more), the bytes left after it and whether the
connection may be reused. For any other status the reader gives its verdict right after the
head, so only the head is compared, and the verdict is checked against the reader's status
policy. Our reader differs from h11 in a few deliberate ways; a disagreement counts as
explained only when the answer has the feature behind one of those ways and our side did
what that way means (RULES). Anything else is printed and makes the exit status 1.

With --socket N, N of the generated answers are instead served by a loopback origin in
pieces to the real HTTP client (the driver's --client mode, one download into memory per
answer); its completion code and buffer must be what the reader-level comparison predicts.
Requests after the first of an answer (a redirect, a retry) get a small complete answer.

Run with Debian's interpreter (h11 comes from python3-h11):
  /usr/bin/python3 response_diff.py --driver build/tests/http/client/response_diff_driver \
      --cases 20000 --seed 1
  /usr/bin/python3 response_diff.py --driver ... --socket 300 --seed 1
"""
import argparse
import json
import multiprocessing
import multiprocessing.pool
import random
import re
import socket
import struct
import subprocess
import sys
import threading
import time

import h11

MAX_HEAD = 10240  # what our reader takes for one head (each interim head too)
MAX_TRAILER = 2048
MAX_LENGTH = 2**63 - 1
BAD_CTL = frozenset(list(range(1, 9)) + list(range(0x0E, 0x20)) + [0x7F])
TCHAR = b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
BLANK_LINE = re.compile(rb"\n\r?\n")
BODY_STATUSES = (200, 204, 206, 500)  # read into a memory target
REDIRECTS = (301, 302, 303, 307, 308)
# The verdict and code right after the head for every other status (redirects: or fail 7).
POLICY = {304: ("done", 1), 401: ("fail", 3), 402: ("fail", 3), 404: ("fail", 7),
          503: ("fail", 8), 416: ("retry", 2)}
FOLLOW_BODY = b"follow-up"
FOLLOW = b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nConnection: close\r\n\r\n" + FOLLOW_BODY

# The deliberate differences. (A status whose body the reader does not read has only its
# head compared: that is no disagreement, and is counted apart as "status only".)
RULES = {
    "a": "a head (or an interim head) over 10240 bytes: ours fails",
    "b": "obs-fold in a head or in trailers: ours fails",
    "c": "control byte in a field value or reason phrase: ours fails",
    "d": "HTTP major version not 1: ours fails",
    "e": "Content-Length or chunk size above 2^63-1: ours fails",
    "f": "control byte or lone CR in a chunk extension: ours fails",
    "g": "trailer section over 2048 bytes: ours fails",
    "h": "101 Switching Protocols: ours fails with 2",
    "j": "206 whose Content-Range does not start at 0 or disagrees with its length: ours fails 2",
    "k": "bytes after a complete body: ours does not reuse the connection",
    "l": "cut where h11 waits for a line that cannot become valid: ours fails at once",
    "m": "HTTP/1.0 with Connection: keep-alive: ours reuses the connection, h11 never does",
    "n": "Transfer-Encoding and Content-Length together: ours does not reuse the connection",
    "o": "a head whose first byte cannot begin a status line: h11 fails at once, ours when the "
         "head is complete or the connection ends",
}

# ---------------------------------------------------------------------------------------
# Generation. An answer is built from parts (interim heads, status line, field lines, body)
# so that the odd variants can bend one part; the bytes may then get byte-level damage.


def pick(rng, table):
    """A choice from [(weight, value), ...]."""
    total = sum(w for w, _ in table)
    x = rng.uniform(0, total)
    for w, v in table:
        x -= w
        if x <= 0:
            return v
    return table[-1][1]


def rand_bytes(rng, n, text=False):
    if text:
        return bytes(rng.choice(b"abcdefghij klmnop\r\n-0123456789") for _ in range(n))
    return rng.randbytes(n)


def body_size(rng):
    return pick(rng, [(2, 0), (4, rng.randint(1, 64)), (3, rng.randint(65, 1024)),
                      (1, rng.randint(1025, 4096))])


def rand_case(rng, s):
    return bytes(c ^ 0x20 if chr(c).isalpha() and rng.random() < 0.3 else c for c in s)


STATUSES = [
    (30, (200, b"OK")), (4, (204, b"No Content")), (5, (206, b"Partial Content")),
    (4, (500, b"Internal Server Error")), (3, (304, b"Not Modified")),
    (2, (301, b"Moved Permanently")), (2, (302, b"Found")), (1, (303, b"See Other")),
    (1, (307, b"Temporary Redirect")), (1, (308, b"Permanent Redirect")),
    (2, (404, b"Not Found")), (1, (401, b"Unauthorized")), (1, (402, b"Payment Required")),
    (1, (503, b"Service Unavailable")), (1, (416, b"Range Not Satisfiable")),
    (1, (403, b"Forbidden")), (1, (418, b"I'm a teapot")), (1, (299, b"Odd")),
    (1, (599, b"")), (1, (999, b"Nine")),
]
# Relative ones only are followed in the socket run (the others would need a name lookup).
LOCATIONS = [(4, b"/new/place"), (2, b"../c"), (2, b"c?x=1"), (1, b"./d"), (1, b"?q"),
             (1, b"/a/b"), (1, b"b"), (1, b"http://h/x"), (1, b"//other:81/x"), (1, b""),
             (1, b"https://h/x"), (1, b"/p%20q#frag")]
INTERIM = [(3, b"HTTP/1.1 100 Continue\r\n\r\n"),
           (2, b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"),
           (1, b"HTTP/1.1 102 Processing\r\n\r\n"), (1, b"HTTP/1.0 199\r\nX: 1\r\n\r\n")]


def field_value(rng):
    return pick(rng, [
        (6, b"text/html; charset=utf-8"),
        (3, b"a b\tc"),
        (2, b""),
        (2, bytes([rng.randint(0x80, 0xFF) for _ in range(5)])),
        (2, b'"quoted \\" string"; x=y'),
        (2, bytes(rng.choice(TCHAR) for _ in range(rng.randint(1, 80)))),
        (1, b"x" * rng.randint(200, 900)),
    ])


def chunked(rng, body, first_line=None, trailers=b"", no_crlf=False):
    """body in the chunked coding; first_line replaces the first size line."""
    out, i = [], 0
    while i < len(body):
        n = min(len(body) - i, pick(rng, [(2, 1), (2, rng.randint(1, 40)),
                                          (3, rng.randint(1, 600)), (2, len(body))]))
        size = format(n, rng.choice("xX")).zfill(rng.choice([1, 1, 1, 4]))
        ext = pick(rng, [(8, b""), (1, b";a"), (1, b";name=value;x"), (1, b';q="a;b"'),
                         (1, b"  "), (1, b"; ext \t"), (1, b";\x80\xff")])
        line = first_line if first_line is not None and not out else size.encode() + ext
        out.append(line + b"\r\n" + body[i:i + n] + (b"XY" if no_crlf else b"\r\n"))
        i += n
    if first_line is not None and not out:
        out.append(first_line + b"\r\n")
    last = rng.choice([b"0", b"0", b"000", b"0;end", b"0 "])
    return b"".join(out) + last + b"\r\n" + trailers + b"\r\n"


class Answer:
    """One well-formed answer, kept in parts until bytes() so that a variant can bend one
    part of it."""

    def __init__(self, rng):
        self.rng = rng
        self.interim = [pick(rng, INTERIM) for _ in range(pick(rng, [(12, 0), (3, 1), (1, 2)]))]
        self.version_name = b"HTTP/"
        self.version = pick(rng, [(6, b"1.1"), (2, b"1.0")])
        self.status, self.reason = pick(rng, STATUSES)
        self.code = b"%03d" % self.status
        self.reason_sep = b" " if self.reason or rng.random() < 0.5 else b""
        self.fields = []
        for _ in range(rng.randint(0, 4)):
            name = pick(rng, [(3, b"Server"), (2, b"Content-Type"), (2, b"X-Custom-1"),
                              (1, b"Set-Cookie"), (1, b"Cache-Control"), (1, b"x!#$%&'*+.^_`|~")])
            sep = pick(rng, [(6, b": "), (2, b":"), (1, b":  \t"), (1, b":\t")])
            tail = pick(rng, [(6, b""), (1, b" "), (1, b"\t ")])
            self.fields.append(rand_case(rng, name) + sep + field_value(rng) + tail)
        conn = pick(rng, [(6, None), (2, b"keep-alive"), (2, b"close"), (1, b"Keep-Alive"),
                          (1, b"TE, close"), (1, b"upgrade")])
        if conn is not None:
            self.fields.append(rand_case(rng, b"Connection") + b": " + conn)
        if self.status in REDIRECTS:
            self.fields.append(b"Location: " + pick(rng, LOCATIONS))
        self.eol = b"\r\n"
        self.kind = pick(rng, [(5, "length"), (3, "chunked"), (2, "close"), (1, "none")])
        self.body = rand_bytes(rng, body_size(rng), rng.random() < 0.3)
        if self.status == 206:
            self.body = self.body or b"x"
            self.kind = pick(rng, [(6, "length"), (1, "chunked"), (1, "close")])
        self.range = None  # a Content-Range value other than the body's own (False: none)
        self.length = None  # a Content-Length value other than the body's own
        self.encoding = b"chunked"
        self.length_after = None  # both framings: the length after the encoding, or before
        self.chunk_args = {}
        self.trailers = b"X-Trailer: t\r\nExpires: 0\r\n" if rng.random() < 0.2 else b""
        self.after = b""  # bytes after the answer

    def bytes(self):
        rng, eol = self.rng, self.eol
        fields = list(self.fields)
        body = self.body
        if self.status == 206 and self.range is not False:
            n = len(self.body)
            fields.append(b"Content-Range: " + (self.range if self.range is not None else
                                                b"bytes 0-%d/%s" % (n - 1, rng.choice(
                                                    [b"%d" % n, b"%d" % (n + 7), b"*"]))))
        if self.kind == "chunked":
            body = chunked(rng, body, trailers=self.trailers, **self.chunk_args)
            fields.append(b"Transfer-Encoding: " + self.encoding)
            if self.length_after is not None:  # CL.TE or TE.CL
                length = b"Content-Length: %d" % rng.choice([len(body), len(self.body)])
                fields.insert(len(fields) - (0 if self.length_after else 1), length)
        elif self.kind == "length" or self.length is not None:
            fields.append(b"Content-Length: " + (self.length if self.length is not None
                                                 else b"%d" % len(body)))
        elif self.kind == "none":
            body = b""
        if rng.random() < 0.2 and not any(x[:1] in b" \t" for x in fields):
            rng.shuffle(fields)
        line = self.version_name + self.version + b" " + self.code + self.reason_sep + self.reason
        return (b"".join(self.interim) + eol.join([line] + fields) + eol + eol + body +
                self.after)


# Odd variants: name -> (weight, what it does to an Answer).


def length(value):
    def bend(a, rng):
        a.kind = "length"
        a.length = value(len(a.body), rng)
    return bend


def encoding(value, length_after=None):
    def bend(a, rng):
        a.kind = "chunked"
        a.encoding = value
        a.length_after = length_after
    return bend


def chunk(line=None, **args):
    def bend(a, rng):
        a.kind = "chunked"
        a.body = a.body or b"hello"
        a.chunk_args = dict(args, first_line=line(len(a.body), rng)) if line else args
    return bend


def trailer(value):
    def bend(a, rng):
        a.kind = "chunked"
        a.trailers = value(rng)
    return bend


def field(value):
    return lambda a, rng: a.fields.append(value(rng))


def fold(a, rng):
    at = rng.randint(0, len(a.fields))
    a.fields[at:at] = [b"X-Fold: a", rng.choice([b" b", b"\tb c", b"  "])]


def setattrs(**values):
    return lambda a, rng: a.__dict__.update(values)


def status(code, reason=b"X", sep=b" "):
    return setattrs(code=code, reason=reason, reason_sep=sep)


def content_range(value):
    def bend(a, rng):
        a.status, a.code, a.reason, a.reason_sep = 206, b"206", b"Partial", b" "
        a.body = a.body or b"x"
        a.range = value(len(a.body), rng)
    return bend


def interim(head):
    return lambda a, rng: a.interim.append(head(rng))


VARIANTS = {
    "cl_dup": (2, length(lambda n, rng: b"%d\r\nContent-Length: %d" % (n, n))),
    "cl_list": (2, length(lambda n, rng: b"%d, %d" % (n, n))),
    "cl_conflict": (2, length(lambda n, rng: b"%d\r\nContent-Length: %d" % (n, n + 1))),
    "cl_list_conflict": (2, length(lambda n, rng: rng.choice([b"%d,%d" % (n, n + 2),
                                                              b"%d, 0%d" % (n, n)]))),
    "cl_zeros": (1, length(lambda n, rng: b"00%d" % n)),
    "cl_huge": (2, length(lambda n, rng: b"%d" % rng.choice(
        [2**63, 2**64, 10**25, 2**63 + n, int("9" * rng.randint(20, 30))]))),
    "cl_max": (1, length(lambda n, rng: b"%d" % MAX_LENGTH)),
    "cl_sign": (1, length(lambda n, rng: rng.choice([b"+%d" % n, b"-1", b"-0"]))),
    "cl_alpha": (2, length(lambda n, rng: rng.choice([b"%dabc" % n, b"0x%x" % n, b"%d.0" % n,
                                                      b"%d %d" % (n, n)]))),
    "cl_empty": (1, length(lambda n, rng: b"")),
    "cl_long": (2, length(lambda n, rng: b"%d" % (n + rng.randint(1, 10)))),
    "cl_short": (2, length(lambda n, rng: b"%d" % max(0, n - rng.randint(1, 10)))),
    "te_identity": (2, encoding(b"chunked, identity")),
    "te_case": (1, encoding(b"Chunked")),
    "te_space": (1, encoding(b" chunked \t")),
    "te_two": (2, encoding(b"chunked\r\nTransfer-Encoding: chunked")),
    "te_gzip": (1, encoding(b"gzip, chunked")),
    "te_empty": (1, encoding(b"")),
    "te_colon": (1, lambda a, rng: a.fields.append(b"Transfer-Encoding : chunked")),
    "cl_te": (3, encoding(b"chunked", length_after=False)),
    "te_cl": (3, encoding(b"chunked", length_after=True)),
    "fold": (3, fold),
    "bare_lf": (3, setattrs(eol=b"\n")),
    "chunk_5g": (1, chunk(lambda n, rng: b"5g")),
    "chunk_0x": (1, chunk(lambda n, rng: b"0x5")),
    "chunk_neg": (1, chunk(lambda n, rng: b"-5")),
    "chunk_space": (1, chunk(lambda n, rng: b"%x ;a" % n)),
    "chunk_huge": (2, chunk(lambda n, rng: rng.choice([b"8000000000000000", b"ffffffffffffffff",
                                                        b"10000000000000000"]))),
    "chunk_digits": (1, chunk(lambda n, rng: b"0" * rng.randint(16, 21) + b"%x" % n)),
    "chunk_max": (1, chunk(lambda n, rng: b"7fffffffffffffff")),
    "chunk_ext_ctl": (2, chunk(lambda n, rng: b"%x;a=" % n + bytes([rng.choice(
        sorted(BAD_CTL) + [0])]) + b"b")),
    "chunk_ext_cr": (2, chunk(lambda n, rng: b"%x;a\rb" % n)),
    "chunk_lf": (2, chunk(lambda n, rng: b"%x\n" % n)),
    "chunk_no_crlf": (2, chunk(no_crlf=True)),
    "ctl_value": (3, field(lambda rng: b"X-Ctl: a" + bytes([rng.choice(sorted(BAD_CTL))]) + b"b")),
    "nul_value": (1, field(lambda rng: b"X-Ctl: a\0b")),
    "ctl_reason": (2, lambda a, rng: setattr(a, "reason", b"O" + bytes([rng.choice(
        sorted(BAD_CTL))]) + b"K")),
    "odd_reason": (1, lambda a, rng: setattr(a, "reason", rng.choice(
        [b"\x80\xff", b"a\tb", b"  ", b"O K ", b"\x00"]))),
    "no_reason": (2, setattrs(reason=b"", reason_sep=b"")),
    "empty_reason": (1, setattrs(reason=b"", reason_sep=b" ")),
    "status_odd": (2, lambda a, rng: status(rng.choice(
        [b"2000", b"20", b"2x0", b" 200", b"600", b"099", b"000", b"+20"]))(a, rng)),
    "v20": (2, setattrs(version=b"2.0")),
    "v12": (1, setattrs(version=b"1.2")),
    "v09": (1, setattrs(version=b"0.9")),
    "v_lower": (1, setattrs(version_name=b"http/")),
    "v_short": (1, setattrs(version=b"1")),
    "long_head": (3, field(lambda rng: b"Cookie: " + b"c" * rng.randint(9900, 10400))),
    "huge_head": (1, field(lambda rng: b"Cookie: " + b"c" * rng.randint(16300, 16600))),
    "mid_head": (2, field(lambda rng: b"Cookie: " + b"c" * rng.randint(10400, 16000))),
    "long_trailer": (2, trailer(lambda rng: b"X-Long: " + b"t" * rng.randint(1980, 2100) +
                                b"\r\n")),
    "trailer_fold": (2, trailer(lambda rng: b"X-T: a\r\n b\r\n")),
    "trailer_ctl": (2, trailer(lambda rng: b"X-T: a\x02b\r\n")),
    "trailer_te": (1, trailer(lambda rng: rng.choice([b"Transfer-Encoding: gzip\r\n",
                                                      b"Content-Length: x\r\n"]))),
    "interim": (3, interim(lambda rng: pick(rng, INTERIM))),
    "interim_101": (2, interim(lambda rng: b"HTTP/1.1 101 Switching Protocols\r\n"
                                           b"Upgrade: websocket\r\n\r\n")),
    "interim_long": (1, interim(lambda rng: b"HTTP/1.1 103 Early Hints\r\nLink: " +
                                b"l" * rng.randint(10000, 11000) + b"\r\n\r\n")),
    "interim_bad": (1, interim(lambda rng: rng.choice([b"HTTP/1.1 100 Continue\r\nX : y\r\n\r\n",
                                                       b"HTTP/2.0 100 Continue\r\n\r\n",
                                                       b"HTTP/1.1 100\r\n \r\n\r\n"]))),
    "keep_alive_10": (3, lambda a, rng: (setattr(a, "version", b"1.0"), a.fields.append(
        rng.choice([b"Connection: keep-alive", b"Connection: Keep-Alive, TE"])))),
    "close": (2, field(lambda rng: b"Connection: close")),
    "after": (4, lambda a, rng: setattr(a, "after", rng.choice(
        [b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", b"junk", b"\r\n", b"x" * 300]))),
    "range_bad": (3, content_range(lambda n, rng: rng.choice([
        b"bytes 1-%d/%d" % (n, n + 1), b"bytes 0-%d/%d" % (n, n + 1), b"bytes */%d" % n,
        b"bytes 0-%d/%d" % (n - 1, n - 1), b"Bytes 0-%d/%d" % (n - 1, n),
        b"bytes 0-%d/%d " % (n - 1, n), b"bytes=0-%d/%d" % (n - 1, n), b"",
        b"bytes 0-%d" % (n - 1)]))),
    "range_none": (1, content_range(lambda n, rng: False)),
}
VARIANT_TABLE = [(w, bend) for w, bend in VARIANTS.values()]


def mutate(rng, data):
    """One byte-level damage: flip, insert, delete, duplicate a line, or cut."""
    i = rng.randrange(len(data) + 1)
    how = pick(rng, [(3, "flip"), (4, "insert"), (2, "delete"), (1, "dupline"), (1, "cut")])
    if how == "flip" and i < len(data):
        return data[:i] + bytes([data[i] ^ (1 << rng.randrange(8))]) + data[i + 1:]
    if how == "insert":
        c = rng.choice([b"\r", b"\n", b" ", b"\t", b"\x00", b":", b";", b",", b"\r\n",
                        bytes([rng.choice(sorted(BAD_CTL))]), bytes([rng.randint(0x80, 0xFF)])])
        return data[:i] + c + data[i:]
    if how == "delete":
        return data[:i] + data[i + rng.randint(1, 3):]
    if how == "dupline":
        j = data.find(b"\n", i)
        k = data.rfind(b"\n", 0, i) + 1
        return data if j < 0 else data[:j + 1] + data[k:j + 1] + data[j + 1:]
    return data[:i]


def gen_case(seed, index):
    """(answer bytes, split offsets, whether the connection ends after them)."""
    rng = random.Random(seed * 1000003 + index)
    a = Answer(rng)
    if rng.random() < 0.5:
        pick(rng, VARIANT_TABLE)(a, rng)
    data = a.bytes()
    for _ in range(pick(rng, [(12, 0), (4, 1), (2, 2), (1, 3)])):
        data = mutate(rng, data)
    if rng.random() < 0.1:
        data = data[:rng.randrange(len(data) + 1)]
    end = rng.random() < 0.5
    if len(data) <= 600 and rng.random() < 0.05:
        return data, list(range(1, len(data))), end
    count = max(0, min(len(data) - 1, rng.randint(0, 8)))
    return data, sorted(rng.sample(range(1, len(data)), count)), end


# ---------------------------------------------------------------------------------------
# The reference: h11 as a client that sent "GET /a/b".


def cut(data, splits):
    return [data[a:b] for a, b in zip([0] + splits, splits + [len(data)])]


def h11_run(data, splits, end):
    """status (0: no final head), fields, outcome (complete, error, cut: an error only at the
    close, more; head: a status whose body is not compared), body, and for a complete body
    whether h11 keeps the connection, how it was framed and the bytes left after it."""
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/a/b", headers=[("Host", "h")]))
    conn.send(h11.EndOfMessage())
    out = {"status": 0, "fields": None, "outcome": "more", "body": None, "keep": None,
           "framing": None, "trailing": 0}
    # An empty chunk tells h11 the connection ended: only the end is one.
    chunks = [c for c in cut(data, splits) if c] + ([b""] if end else [])
    for k, chunk in enumerate(chunks):
        conn.receive_data(chunk)
        while True:
            try:
                ev = conn.next_event()
            except h11.RemoteProtocolError:
                out["outcome"] = "cut" if end and k == len(chunks) - 1 else "error"
                return out
            if ev is h11.NEED_DATA:
                break
            if isinstance(ev, h11.InformationalResponse):
                continue
            if isinstance(ev, h11.Response):
                out.update(status=ev.status_code, fields=[[n, v] for n, v in ev.headers])
                if ev.status_code not in BODY_STATUSES:
                    out["outcome"] = "head"
                    return out
                out["body"] = b""
                out["framing"] = type(conn._reader).__name__
            elif isinstance(ev, h11.Data):
                out["body"] += ev.data
            elif isinstance(ev, h11.EndOfMessage):
                out["outcome"] = "complete"
                out["keep"] = conn.their_state is h11.DONE
                out["trailing"] = len(conn.trailing_data[0]) + sum(map(len, chunks[k + 1:]))
                return out
            else:
                raise AssertionError("unexpected h11 event %r" % (ev,))
    return out


def canon_fields(fields):
    """Fields as h11 keeps them: one Content-Length (a list reduced to its one value),
    Transfer-Encoding lower-cased."""
    out, seen = [], False
    for name, value in fields:
        if name == b"content-length":
            if seen:
                continue
            seen = True
            value = sorted({v.strip() for v in value.split(b",")})[0]
        elif name == b"transfer-encoding":
            value = value.lower()
        out.append([name, value])
    return out


def ours_canon(line):
    o = json.loads(line)
    o["fields"] = None if o["fields"] is None else canon_fields(
        [[bytes.fromhex(n), bytes.fromhex(v)] for n, v in o["fields"]])
    o["body"] = None if o["body"] is None else bytes.fromhex(o["body"])
    o["location"] = bytes.fromhex(o["location"])
    v, status = o["verdict"], o["status"]
    if v == "more":
        o["outcome"] = "more"
    elif o["at_end"] and v in ("retry", "fail"):
        o["outcome"] = "cut"
    elif status and status not in BODY_STATUSES:
        o["outcome"] = "head"
    elif v == "done":
        o["outcome"] = "complete"
    else:
        o["outcome"] = "error"  # a 206 refused right after its head too
    return o


def policy_ok(o):
    """Whether our verdict on a status whose body is not read is the reader's policy."""
    want = POLICY.get(o["status"], ("fail", 2))
    if o["status"] in REDIRECTS:
        return (o["verdict"], o["code"]) in (("redirect", 2), ("fail", 7))
    return (o["verdict"], o["code"]) == want


def compare(o, r):
    """None when the two agree, else what differs: "answer" or "reuse"."""
    if o["outcome"] == "head":
        return None if (r["outcome"] == "head" and o["status"] == r["status"] and
                        o["fields"] == r["fields"] and policy_ok(o)) else "answer"
    if (o["status"], o["fields"], o["outcome"]) != (r["status"], r["fields"], r["outcome"]):
        return "answer"
    if o["outcome"] != "error" and o["body"] != r["body"]:
        return "answer"
    if o["outcome"] != "complete":
        return None
    if o["left"] != r["trailing"]:
        return "answer"
    # A body that ended with the connection leaves nothing to reuse.
    keep = r["keep"] and r["framing"] != "Http10Reader" and not o["at_end"]
    return None if o["reusable"] == keep else "reuse"


# ---------------------------------------------------------------------------------------
# Classification: the features of the answer, read loosely from the raw bytes.


def split_lines(block):
    lines = block.split(b"\n")
    return [x[:-1] if x.endswith(b"\r") else x for x in lines]


def field_features(lines, feat):
    for line in lines:
        if line[:1] in (b" ", b"\t"):
            feat.add("b")
        name, _, value = line.partition(b":")
        value = value.strip(b" \t")
        if any(c in BAD_CTL for c in value):
            feat.add("c")
        if name.lower() == b"content-length":
            for v in value.split(b","):
                if v.strip().isdigit() and int(v.strip()) > MAX_LENGTH:
                    feat.add("e")


def fields_end(data, pos):
    """Where a field block that starts at pos ends (its blank line included), or None."""
    if data[pos:pos + 1] == b"\n":
        return pos + 1
    if data[pos:pos + 2] == b"\r\n":
        return pos + 2
    m = BLANK_LINE.search(data, pos)
    return m.end() if m else None


def range_ok(value, length):
    """Whether a 206's Content-Range continues an empty target (our reader's check)."""
    m = re.fullmatch(rb"(?i:bytes )([0-9]+)-([0-9]+)/(\*|[0-9]+)", value or b"")
    if not m:
        return False
    first, last = int(m.group(1)), int(m.group(2))
    total = None if m.group(3) == b"*" else int(m.group(3))
    if last < first or (total is not None and (total > MAX_LENGTH or last >= total)):
        return False
    return first == 0 and (length is None or length == last - first + 1)


def scan(data):
    """The features (RULES letters) of the answer in data."""
    feat, pos = set(), 0
    while True:
        if data[pos:pos + 1] and data[pos] < 0x21:
            feat.add("o")
            return feat
        end = fields_end(data, pos)
        if end is None or end - pos > MAX_HEAD:
            if end is not None or len(data) - pos >= MAX_HEAD:
                feat.add("a")
            lines = split_lines(data[pos:end or len(data)])
            field_features(lines[1:], feat)
            if lines and re.match(rb"HTTP/[02-9]", lines[0]):
                feat.add("d")
            return feat
        lines = split_lines(data[pos:end])[:-2]
        if not lines:
            return feat
        m = re.fullmatch(rb"HTTP/(\d)\.(\d) (\d\d\d)(?: (.*))?", lines[0], re.S)
        if not m:
            return feat
        field_features(lines[1:], feat)
        if m.group(1) != b"1":
            feat.add("d")
        if any(c in BAD_CTL for c in m.group(4) or b""):
            feat.add("c")
        code = int(m.group(3))
        if code == 101:
            feat.add("h")
        if code < 200:
            pos = end
            continue
        pairs = [(n.strip().lower(), v.strip(b" \t"))
                 for n, _, v in (x.partition(b":") for x in lines[1:])]
        named = lambda n: [v for k, v in pairs if k == n]
        tokens = lambda n: {t.strip().lower() for v in named(n) for t in v.split(b",")}
        te, cl = named(b"transfer-encoding"), named(b"content-length")
        if te and cl:
            feat.add("n")
        if m.group(1, 2) == (b"1", b"0") and b"keep-alive" in tokens(b"connection"):
            feat.add("m")
        chunked_body = len(te) == 1 and te[0].lower() == b"chunked"
        if code == 206:
            n = int(cl[0]) if cl and cl[0].isdigit() and not chunked_body else None
            if not range_ok((named(b"content-range") or [None])[0], n):
                feat.add("j")
        if chunked_body:
            scan_chunked(data, end, feat)
        return feat


def scan_chunked(data, pos, feat):
    while True:
        m = re.match(rb"[0-9A-Fa-f]+", data[pos:pos + 64])
        if not m:
            return
        eol = data.find(b"\r\n", pos)
        line_end = eol if eol >= 0 else len(data)
        ext = data[pos + m.end():line_end]
        if ext.startswith(b";") and any((c < 0x20 and c != 9) or c == 0x7F for c in ext):
            feat.add("f")
        size = int(m.group(), 16)
        if size > MAX_LENGTH:
            feat.add("e")
        if eol < 0 or size > MAX_LENGTH:
            return
        pos = eol + 2
        if size == 0:
            end = fields_end(data, pos)
            if (end or len(data) + 1) - pos > MAX_TRAILER:
                feat.add("g")
            field_features(split_lines(data[pos:end or len(data)]), feat)
            return
        pos += size
        if data[pos:pos + 2] != b"\r\n":
            return
        pos += 2


def classify(data, splits, end, o, r, diff):
    """The rule that explains a disagreement, or None."""
    feat = scan(data)
    if diff == "reuse":
        if r["trailing"] > 0:
            return "k"
        if "n" in feat and not o["reusable"]:
            return "n"
        if "m" in feat and o["reusable"] and not r["keep"]:
            return "m"
        return None
    if o["outcome"] == "error":
        for rule in "abcdefg":
            if rule in feat:
                return rule
        if "h" in feat and o["status"] == 0 and o["code"] == 2:
            return "h"
        if "j" in feat and o["status"] == 206 and o["body"] is None and o["code"] == 2:
            return "j"
        if r["outcome"] in ("more", "cut") and r["status"] == o["status"]:
            closed = h11_run(data, [], True)["outcome"]
            completed = h11_run(data + b"\r\n\r\n", [], False)["outcome"]
            if closed in ("error", "cut") and completed == "error":
                return "l"
    if ("o" in feat and o["status"] == 0 and o["outcome"] in ("more", "cut") and
            r["outcome"] == "error"):
        return "o"
    return None


# ---------------------------------------------------------------------------------------


def encode_case(data, splits, end):
    return (struct.pack("<I", len(data)) + data + struct.pack("<II", int(end), len(splits)) +
            struct.pack("<%dI" % len(splits), *splits))


def run_reader(driver, cases):
    proc = subprocess.run([driver], input=b"".join(encode_case(*c) for c in cases),
                          capture_output=True, check=True, timeout=600)
    lines = proc.stdout.decode().splitlines()
    if len(lines) != len(cases):
        raise RuntimeError("driver answered %d of %d cases" % (len(lines), len(cases)))
    return [ours_canon(x) for x in lines]


def judge(case, o):
    """h11's result, and None (agreeing), a RULES letter, or "unexplained"."""
    r = h11_run(*case)
    diff = compare(o, r)
    if diff is None:
        return r, None
    return r, classify(*case, o, r, diff) or "unexplained"


def run_batch(args):
    driver, seed, first, count = args
    cases = [gen_case(seed, i) for i in range(first, first + count)]
    counts = {"agree": 0, "status only": 0}
    bad = []
    for i, (case, o) in enumerate(zip(cases, run_reader(driver, cases))):
        r, rule = judge(case, o)
        if rule is None:
            counts["agree"] += 1
            counts["status only"] += o["outcome"] == "head"
            continue
        counts[rule] = counts.get(rule, 0) + 1
        if rule == "unexplained":
            bad.append((seed, first + i, case, o, r))
    return counts, bad[:5]


def show(seed, index, case, o, r):
    data, splits, end = case
    keys = ("status", "outcome", "verdict", "code", "at_end", "reusable", "left", "location")
    print("case %d of seed %d (gen_case(%d, %d)): %d bytes, splits %r, end %s" % (
        index, seed, seed, index, len(data), splits, end), file=sys.stderr)
    print("  answer %r" % data[:600], file=sys.stderr)
    print("  ours   %s body %r" % ({k: o[k] for k in keys}, (o["body"] or b"")[:80]),
          file=sys.stderr)
    print("  h11    %s body %r" % ({k: r[k] for k in ("status", "outcome", "keep", "trailing")},
                                   (r["body"] or b"")[:80]), file=sys.stderr)
    if o["fields"] != r["fields"]:
        print("  fields ours %r\n         h11  %r" % (o["fields"], r["fields"]), file=sys.stderr)
    print("  features %s" % sorted(scan(data)), file=sys.stderr)


# ---------------------------------------------------------------------------------------
# Through a socket: the real client against a scripted origin.


def predict(case, o, r):
    """The client's completion code and buffer (None: not compared) for an answer the
    reader-level comparison accepted; h11's body where the two agree."""
    body = r["body"] if r["body"] is not None else o["body"]
    v, code = o["verdict"], o["code"]
    if v == "done":
        return code, body if code == 0 else b""
    if v in ("redirect", "retry"):
        return 0, FOLLOW_BODY  # the next request gets the origin's follow-up answer
    if v == "more":
        # The data time-out: a success body without a length may simply be over.
        if o["status"] in (200, 206) and o["body"] is not None and \
                r["framing"] == "Http10Reader":
            return 0, body
        return 5, None
    return code, None


class Origin:
    """The scripted origin on a loopback port: the first request of a case (told by its
    X-Case field) gets the case's answer in pieces; any later one (after a redirect or a
    retry) gets FOLLOW."""

    def __init__(self, cases):
        self.cases, self.served, self.lock = cases, set(), threading.Lock()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.accept_all, daemon=True)
        self.thread.start()

    def accept_all(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return  # shut down by close()
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    def handle(self, conn):
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(10)  # bounds every wait of this connection
            try:
                head = b""
                while b"\r\n\r\n" not in head and len(head) < 65536:
                    got = conn.recv(4096)
                    if not got:
                        return
                    head += got
                m = re.search(rb"\r\nX-Case: *(\d+)\r\n", head)
                index = int(m.group(1)) if m else -1
                with self.lock:
                    first = index in self.cases and index not in self.served
                    self.served.add(index)
                if not first:
                    conn.sendall(FOLLOW)
                    return
                data, pieces, end = self.cases[index]
                for k, piece in enumerate(cut(data, pieces)):
                    if k:
                        time.sleep(0.001)  # the pieces arrive as separate reads
                    conn.sendall(piece)
                while not end and conn.recv(4096):  # until the client closes
                    pass
            except OSError:
                pass  # the client closed first: it had its verdict

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.thread.join(10)
        self.listener.close()


def socket_safe(case, o):
    """Whether the client can be given this answer on loopback: a redirect it would follow
    must stay on the origin (any other host would need a name lookup)."""
    loc = next((v for n, v in o["fields"] or [] if n == b"location"), b"")
    return len(case[0]) <= 65536 and (
        o["verdict"] != "redirect" or not (loc.startswith(b"//") or b"://" in loc))


def choose(opts):
    """{index: ((answer, pieces, end), reader verdict, (code, buffer))} for opts.socket
    cases that the reader-level comparison accepts."""
    rng = random.Random(opts.seed)
    chosen, index = {}, 0
    while len(chosen) < opts.socket:
        batch = [gen_case(opts.seed, i) for i in range(index, index + 200)]
        for i, (case, o) in enumerate(zip(batch, run_reader(opts.driver, batch))):
            r, rule = judge(case, o)
            # Answers that stop without an end cost the client a data time-out: fewer.
            idle = o["verdict"] == "more" and rng.random() < 0.7
            if rule != "unexplained" and socket_safe(case, o) and not idle:
                data, _, end = case
                count = min(len(data) - 1, rng.randint(0, 6))
                pieces = sorted(rng.sample(range(1, len(data)), count)) if count > 0 else []
                chosen[index + i] = ((data, pieces, end), o["verdict"], predict(case, o, r))
            if len(chosen) == opts.socket:
                break
        index += 200
    return chosen


def run_socket(opts):
    t0 = time.monotonic()
    chosen = choose(opts)
    origin = Origin({i: case for i, (case, _, _) in chosen.items()})
    order = sorted(chosen)
    jobs = max(1, min(opts.jobs, 4))

    def download(mine):
        # One driver process downloads its share of the cases one after the other.
        proc = subprocess.run(
            [opts.driver, "--client", str(origin.port), str(opts.data_ms)],
            input="".join("%d\n" % i for i in mine).encode(), capture_output=True, timeout=120)
        if proc.returncode != 0:  # a sanitizer's report, or a client that never finished
            sys.stderr.write(proc.stderr.decode(errors="replace")[-4000:])
            raise RuntimeError("the client driver exited with %d" % proc.returncode)
        return [json.loads(x) for x in proc.stdout.decode().splitlines()]

    got = {}
    with multiprocessing.pool.ThreadPool(jobs) as pool:
        for lines in pool.map(download, [order[j::jobs] for j in range(jobs)]):
            got.update((x["case"], (x["code"], bytes.fromhex(x["body"]))) for x in lines)
    origin.close()
    counts, bad = {}, []
    for i in order:
        case, verdict, (code, body) = chosen[i]
        key = "%s->%d" % (verdict, code)
        counts[key] = counts.get(key, 0) + 1
        g = got.get(i)
        if g is None or g[0] != code or (body is not None and g[1] != body):
            bad.append((i, case, (code, body), g))
    print("socket: %d answers in %.1f s; reader verdict->client code: %s" % (
        len(order), time.monotonic() - t0,
        ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    print("mismatches: %d" % len(bad))
    for i, (data, pieces, end), want, g in bad[:5]:
        print("case %d of seed %d: %d bytes, pieces %r, end %s\n  answer %r\n  expected %r\n"
              "  client   %r" % (i, opts.seed, len(data), pieces, end, data[:400], want, g),
              file=sys.stderr)
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--driver", required=True)
    ap.add_argument("--cases", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=multiprocessing.cpu_count())
    ap.add_argument("--socket", type=int, default=0, help="answers served to the real client")
    ap.add_argument("--data-ms", type=int, default=1000, help="the client's data time-out")
    opts = ap.parse_args()
    if opts.socket:
        return run_socket(opts)
    work = [(opts.driver, opts.seed, i, min(opts.batch, opts.cases - i))
            for i in range(0, opts.cases, opts.batch)]
    totals, bad = {}, []
    with multiprocessing.Pool(opts.jobs) as pool:
        for counts, examples in pool.imap(run_batch, work):
            for k, v in counts.items():
                totals[k] = totals.get(k, 0) + v
            bad += examples
    print("cases: %d, agreeing: %d (of which only the status and head compared: %d)" % (
        opts.cases, totals.get("agree", 0), totals.get("status only", 0)))
    for rule, text in RULES.items():
        print("  explained by %s (%s): %d" % (rule, text, totals.get(rule, 0)))
    unexplained = totals.get("unexplained", 0)
    print("unexplained: %d" % unexplained)
    for example in bad[:5]:
        show(*example)
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
