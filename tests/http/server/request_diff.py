#!/usr/bin/python3
"""Differential test of the server's request reader against h11.

Generates request streams (well-formed ones of many shapes, and mutated ones), feeds each
to request_diff_driver (our reader, as the server's channel drives it) and to h11 (as a
server), chunk by chunk at the same split points, and compares the complete requests and
the final verdict. Our reader is stricter or more lenient than h11 in a few deliberate
ways; a disagreement counts as explained only when the request at which the two first differ
has the feature behind one of those ways and our side did what that way means (RULES).
Anything else is printed and makes the exit status 1.

Run with Debian's interpreter (h11 comes from python3-h11):
  /usr/bin/python3 request_diff.py --driver build/tests/http/server/request_diff_driver \
      --cases 20000 --seed 1
"""
import argparse
import json
import multiprocessing
import random
import re
import struct
import subprocess
import sys

import h11

MAX_HEAD = 2048  # what our reader allows for a head (and a form's lead), and for trailers
MAX_LENGTH = 2**63 - 1
BAD_CTL = frozenset(list(range(1, 9)) + list(range(0x0E, 0x20)) + [0x7F])
TCHAR = b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
BCHAR = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=? "
BLANK_LINE = re.compile(rb"\n\r?\n")

RULES = {
    "a": "head (with a form's lead) over 2048 bytes: ours error",
    "b": "empty lines before a request line: ours skips them",
    "c": "obs-fold in a head or in trailers: ours error",
    "d": "control byte in a field value: ours error",
    "e": "HTTP major version not 1, or HTTP/1.x>=2 without Host: ours error",
    "f": "Content-Length or chunk size above 2^63-1: ours error",
    "g": "control byte or lone CR in a chunk extension: ours error",
    "h": "trailer section over 2048 bytes: ours error",
    "i": "Transfer-Encoding and Content-Length together: ours closes after it",
    "j": "HTTP/1.0 with Connection: keep-alive: ours keeps reading",
    "k": "multipart/form-data without a valid boundary or first part head: ours error",
    "l": "cut off where h11 waits for a line that cannot become valid: same as its error",
}

# ---------------------------------------------------------------------------------------
# Generation. A request is built from parts (start line, field lines, body) so that the
# odd variants can bend one part; the stream may then get byte-level mutations.


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
    return pick(rng, [(3, 0), (4, rng.randint(1, 64)), (3, rng.randint(65, 1024)),
                      (1, rng.randint(1025, 4096))])


def field_value(rng):
    return pick(rng, [
        (6, b"text/html,application/xhtml+xml;q=0.9"),
        (3, b"a b\tc"),
        (2, b""),
        (2, bytes([rng.randint(0x80, 0xFF) for _ in range(5)])),
        (2, b'"quoted \\" string"; x=y'),
        (2, bytes(rng.choice(TCHAR) for _ in range(rng.randint(1, 80)))),
        (1, b"x" * rng.randint(200, 900)),
    ])


def rand_case(rng, s):
    return bytes(c ^ 0x20 if chr(c).isalpha() and rng.random() < 0.3 else c for c in s)


def chunked(rng, body, first_line=None, trailers=b"", no_crlf=False):
    """body in the chunked coding; first_line replaces the first size line."""
    out, i = [], 0
    while i < len(body) or not out:
        n = min(len(body) - i, pick(rng, [(2, 1), (2, rng.randint(1, 40)),
                                          (3, rng.randint(1, 600)), (2, len(body))]))
        if n == 0:
            break
        size = format(n, rng.choice("xX")).zfill(rng.choice([1, 1, 1, 4]))
        ext = pick(rng, [(8, b""), (1, b";a"), (1, b";name=value;x"), (1, b';q="a;b"'),
                         (1, b"  "), (1, b"; ext \t")])
        line = size.encode() + ext
        if first_line is not None and not out:
            line = first_line
        out.append(line + b"\r\n" + body[i:i + n] + (b"XY" if no_crlf else b"\r\n"))
        i += n
    if first_line is not None and not out:
        out.append(first_line + b"\r\n")
    last = rng.choice([b"0", b"0", b"000", b"0;end"])
    return b"".join(out) + last + b"\r\n" + trailers + b"\r\n"


def form_body(rng):
    """A valid multipart/form-data body and the Content-Type value that announces it."""
    n = pick(rng, [(3, rng.randint(1, 24)), (1, rng.randint(25, 70))])
    boundary = bytes(rng.choice(BCHAR) for _ in range(n)).rstrip(b" ") or b"b"
    token = all(c in TCHAR for c in boundary)
    param = boundary if token and rng.random() < 0.6 else b'"' + boundary + b'"'
    ctype = pick(rng, [(4, b"multipart/form-data; boundary=" + param),
                       (1, b"Multipart/Form-Data;boundary=" + param + b"; charset=utf-8"),
                       (1, b"multipart/form-data; charset=utf-8; boundary=" + param),
                       (1, b"multipart/form-data; boundary =\t" + param)])
    parts = []
    for k in range(rng.randint(1, 3)):
        head = b'Content-Disposition: form-data; name="f%d"' % k
        if rng.random() < 0.5:
            head += b'; filename="x%d.bin"\r\nContent-Type: application/octet-stream' % k
        parts.append(b"--" + boundary + b"\r\n" + head + b"\r\n\r\n" +
                     rand_bytes(rng, body_size(rng), rng.random() < 0.5) + b"\r\n")
    pre = b"preamble\r\n" if rng.random() < 0.1 else b""
    return ctype, boundary, pre + b"".join(parts) + b"--" + boundary + b"--\r\n"


class Request:
    """One well-formed request, kept in parts until bytes() so that a variant can bend one
    part of it."""

    def __init__(self, rng):
        self.rng = rng
        self.method = pick(rng, [(4, b"GET"), (4, b"POST"), (1, b"HEAD"), (1, b"PUT"),
                                 (1, b"DELETE"), (1, b"OPTIONS"), (1, b"PATCH"),
                                 (1, b"CONNECT"), (1, b"PROPFIND"), (1, b"M-SEARCH")])
        self.target = pick(rng, [(4, b"/"), (2, b"/index.html"), (2, b"/a/b?c=d&e=%20f"),
                                 (1, b"http://example.com:8080/p?q"), (1, b"/~u/\"q\"")])
        if self.method == b"CONNECT":
            self.target = b"example.com:443"
        elif self.method == b"OPTIONS" and rng.random() < 0.5:
            self.target = b"*"
        self.version_name = b"HTTP/"
        self.version = pick(rng, [(6, b"1.1"), (2, b"1.0")])
        self.fields = []
        if self.version == b"1.1" or rng.random() < 0.5:
            self.fields.append(b"Host: example.com")
        for _ in range(rng.randint(0, 4)):
            name = pick(rng, [(3, b"Accept"), (2, b"User-Agent"), (2, b"X-Custom-1"),
                              (1, b"Cookie"), (1, b"Accept-Language"), (1, b"x!#$%&'*+.^_`|~")])
            sep = pick(rng, [(6, b": "), (2, b":"), (1, b":  \t"), (1, b":\t")])
            tail = pick(rng, [(6, b""), (1, b" "), (1, b"\t ")])
            self.fields.append(rand_case(rng, name) + sep + field_value(rng) + tail)
        conn = pick(rng, [(6, None), (2, b"keep-alive"), (2, b"close"), (1, b"Keep-Alive"),
                          (1, b"TE, close"), (1, b"upgrade")])
        if conn is not None:
            self.fields.append(rand_case(rng, b"Connection") + b": " + conn)
        self.eol = b"\r\n"
        self.lead = b""  # before the request line
        self.kind = pick(rng, [(4, "none"), (4, "length"), (3, "chunked"), (2, "form")])
        self.body = b"" if self.kind == "none" else rand_bytes(rng, body_size(rng),
                                                                 rng.random() < 0.3)
        self.boundary = None
        if self.kind == "form":
            self.make_form()
        self.length = None  # a Content-Length value other than the body's own
        self.encoding = b"chunked"
        self.length_after = None  # both framings: the length after the encoding, or before
        self.chunk_args = {}
        self.trailers = b"X-Trailer: t\r\nExpires: 0\r\n" if rng.random() < 0.2 else b""

    def make_form(self):
        ctype, self.boundary, self.body = form_body(self.rng)
        self.fields.append(b"Content-Type: " + ctype)
        self.kind = self.rng.choice(["length", "chunked"])

    def bytes(self):
        rng, eol = self.rng, self.eol
        fields = list(self.fields)
        body = self.body
        if self.kind == "chunked":
            if self.chunk_args.get("small"):
                body = b"".join(b"1\r\n" + body[i:i + 1] + b"\r\n" for i in range(len(body)))
                body += b"0\r\n" + self.trailers + b"\r\n"
            else:
                body = chunked(rng, body, trailers=self.trailers, **self.chunk_args)
            fields.append(b"Transfer-Encoding: " + self.encoding)
            if self.length_after is not None:  # CL.TE or TE.CL
                length = b"Content-Length: %d" % rng.choice([len(body), len(self.body)])
                fields.insert(len(fields) - (0 if self.length_after else 1), length)
        elif self.kind == "length" or self.length is not None:
            n = self.length if self.length is not None else b"%d" % len(body)
            if n != b"0" or rng.random() < 0.5 or self.method == b"POST":
                fields.append(b"Content-Length: " + n)
        if rng.random() < 0.2 and not any(x[:1] in b" \t" for x in fields):
            rng.shuffle(fields)
        head = b"%s %s %s%s" % (self.method, self.target, self.version_name, self.version)
        return self.lead + eol.join([head] + fields) + eol + eol + body


# Odd variants: name -> (weight, what it does to a Request).


def length(value):
    def bend(r, rng):
        r.kind = "length"
        r.length = value(len(r.body), rng)
    return bend


def encoding(value, length_after=None):
    def bend(r, rng):
        r.kind = "chunked"
        r.encoding = value
        r.length_after = length_after
    return bend


def chunk(line=None, **args):
    def bend(r, rng):
        r.kind = "chunked"
        r.body = r.body or b"hello"
        r.chunk_args = dict(args, first_line=line(len(r.body), rng)) if line else args
    return bend


def trailer(value):
    def bend(r, rng):
        r.kind = "chunked"
        r.trailers = value(rng)
    return bend


def field(value):
    return lambda r, rng: r.fields.append(value(rng))


def version(v, host=True):
    def bend(r, rng):
        r.version = v
        if not host:
            r.fields = [x for x in r.fields if not x.startswith(b"Host")]
    return bend


def fold(r, rng):
    at = rng.randint(0, len(r.fields))
    r.fields[at:at] = [b"X-Fold: a", rng.choice([b" b", b"\tb c", b"  "])]


def form(bend_form):
    """A variant of a form: makes the request one if it is not."""
    def bend(r, rng):
        if r.boundary is None:
            r.make_form()
        bend_form(r, rng)
    return bend


def content_type(value):
    def bend(r, rng):
        r.fields = [x for x in r.fields if not x.startswith(b"Content-Type")]
        r.fields.append(b"Content-Type: multipart/form-data" + value(rng))
    return bend


def bad_lead(r, rng):
    b, at = r.boundary, r.body.index(b"\r\n\r\n")
    r.body = rng.choice([
        b"--" + b + b"--\r\n",
        b"--" + b + b"x\r\n" + r.body,
        r.body[:at] + rng.choice([b"\r\n bad fold", b"\r\nBad Name: x", b"\r\nX: \x01"]) +
        r.body[at:],
        b"no delimiter at all\r\n",
    ])


def long_lead(low, high, **args):
    def bend(r, rng):
        filler = b"p" * (0 if args and rng.random() < 0.5 else rng.randint(low, high))
        r.body = r.body.replace(b"form-data;", b"form-data; x=" + filler + b";", 1)
        if args:
            r.kind = "chunked"
            r.chunk_args = args
    return bend


def short_form(r, rng):
    r.kind = "length"
    r.length = b"%d" % rng.randint(0, r.body.index(b"\r\n\r\n") + 2)


def setattrs(**values):
    return lambda r, rng: r.__dict__.update(values)


VARIANTS = {
    "cl_dup": (2, length(lambda n, rng: b"%d\r\nContent-Length: %d" % (n, n))),
    "cl_list": (2, length(lambda n, rng: b"%d, %d" % (n, n))),
    "cl_conflict": (2, length(lambda n, rng: b"%d\r\nContent-Length: %d" % (n, n + 1))),
    "cl_list_conflict": (1, length(lambda n, rng: b"%d,%d" % (n, n + 2))),
    "cl_zeros": (1, length(lambda n, rng: b"00%d" % n)),
    "cl_huge": (2, length(lambda n, rng: b"%d" % rng.choice([2**63, 2**64, 10**25, 2**63 + n]))),
    "cl_max": (1, length(lambda n, rng: b"%d" % MAX_LENGTH)),
    "cl_sign": (1, length(lambda n, rng: b"+%d" % n)),
    "cl_empty": (1, length(lambda n, rng: b"")),
    "cl_long": (2, length(lambda n, rng: b"%d" % (n + rng.randint(1, 10)))),
    "cl_short": (2, length(lambda n, rng: b"%d" % max(0, n - rng.randint(1, 10)))),
    "te_identity": (2, encoding(b"chunked, identity")),
    "te_case": (1, encoding(b"Chunked")),
    "te_space": (1, encoding(b" chunked ")),
    "te_two": (2, encoding(b"chunked\r\nTransfer-Encoding: chunked")),
    "te_gzip": (1, encoding(b"gzip, chunked")),
    "te_colon": (2, lambda r, rng: r.fields.append(b"Transfer-Encoding : chunked")),
    "cl_te": (3, encoding(b"chunked", length_after=False)),
    "te_cl": (3, encoding(b"chunked", length_after=True)),
    "fold": (3, fold),
    "bare_lf": (3, setattrs(eol=b"\n")),
    "chunk_5g": (1, chunk(lambda n, rng: b"5g")),
    "chunk_0x": (1, chunk(lambda n, rng: b"0x5")),
    "chunk_neg": (1, chunk(lambda n, rng: b"-5")),
    "chunk_huge": (2, chunk(lambda n, rng: rng.choice([b"8000000000000000", b"ffffffffffffffff",
                                                        b"10000000000000000"]))),
    "chunk_digits": (1, chunk(lambda n, rng: b"0" * 20 + b"5")),
    "chunk_max": (1, chunk(lambda n, rng: b"7fffffffffffffff")),
    "chunk_ext_ctl": (2, chunk(lambda n, rng: b"%x;a=\x01b" % n)),
    "chunk_ext_cr": (2, chunk(lambda n, rng: b"%x;a\rb" % n)),
    "chunk_lf": (2, chunk(lambda n, rng: b"%x\n" % n)),
    "chunk_no_crlf": (2, chunk(no_crlf=True)),
    "ctl_value": (3, field(lambda rng: b"X-Ctl: a" + bytes([rng.choice(sorted(BAD_CTL))]) + b"b")),
    "nul_value": (1, field(lambda rng: b"X-Ctl: a\0b")),
    "v20": (2, version(b"2.0")),
    "v12": (2, version(b"1.2", host=False)),
    "v12_host": (1, version(b"1.2")),
    "v09": (1, version(b"0.9")),
    "v_lower": (1, setattrs(version_name=b"http/")),
    "no_host": (2, version(b"1.1", host=False)),
    "two_hosts": (1, field(lambda rng: b"Host: other")),
    "keep_alive_10": (3, lambda r, rng: (version(b"1.0")(r, rng), r.fields.append(
        rng.choice([b"Connection: keep-alive", b"Connection: Keep-Alive, TE"])))),
    "lead_crlf": (3, lambda r, rng: setattr(r, "lead", b"\r\n" * rng.randint(1, 2))),
    "lead_lf": (2, lambda r, rng: setattr(r, "lead", b"\n" * rng.randint(1, 2))),
    "long_head": (3, field(lambda rng: b"Cookie: " + b"c" * rng.randint(1900, 2100))),
    "long_trailer": (2, trailer(lambda rng: b"X-Long: " + b"t" * rng.randint(2000, 2100) +
                                b"\r\n")),
    "trailer_fold": (2, trailer(lambda rng: b"X-T: a\r\n b\r\n")),
    "trailer_ctl": (2, trailer(lambda rng: b"X-T: a\x02b\r\n")),
    "trailer_te": (1, trailer(lambda rng: b"Transfer-Encoding: gzip\r\n")),
    "mp_boundary": (2, form(content_type(lambda rng: b"; boundary=" + rng.choice(
        [b"a\x01b", b'"a<b"', b'"ab ', b"", b'"a b "', b'""'])))),
    "mp_no_boundary": (1, form(content_type(lambda rng: rng.choice(
        [b"", b"; charset=x", b"; boundary"])))),
    "mp_long_boundary": (1, form(content_type(lambda rng: b"; boundary=" + b"z" * 71))),
    "mp_no_body": (1, form(setattrs(kind="none", body=b""))),
    "mp_lead": (3, form(bad_lead)),
    "mp_short": (2, form(short_form)),
    "mp_fold": (1, form(lambda r, rng: setattr(r, "body", r.body.replace(
        b"\r\nContent-Type:", b"\r\n Content-Type:", 1)))),
    "mp_long_lead": (2, form(long_lead(1700, 2100))),
    # The framing outweighs the lead it carries.
    "mp_small_chunks": (3, form(long_lead(200, 1500, small=True))),
    "target_space": (1, setattrs(target=b"/a b")),
    "expect": (2, field(lambda rng: b"Expect: 100-continue")),
    "upgrade": (1, field(lambda rng: b"Upgrade: websocket")),
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
    rng = random.Random(seed * 1000003 + index)
    parts = []
    for _ in range(pick(rng, [(4, 1), (3, 2), (2, 3), (1, 4), (1, 5)])):
        r = Request(rng)
        if rng.random() < 0.45:
            pick(rng, VARIANT_TABLE)(r, rng)
        parts.append(r.bytes())
    data = b"".join(parts)
    for _ in range(pick(rng, [(12, 0), (4, 1), (2, 2), (1, 3)])):
        data = mutate(rng, data)
    if rng.random() < 0.1:
        data = data[:rng.randrange(len(data) + 1)]
    if len(data) <= 600 and rng.random() < 0.05:
        return data, list(range(1, len(data)))
    count = max(0, min(len(data) - 1, rng.randint(0, 8)))
    return data, sorted(rng.sample(range(1, len(data)), count))


# ---------------------------------------------------------------------------------------
# The reference: h11 as a server.


def cut(data, splits):
    return [data[a:b] for a, b in zip([0] + splits, splits + [len(data)])]


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


def h11_run(data, splits, close=False):
    conn = h11.Connection(h11.SERVER)
    reqs, cur = [], None

    def result(verdict):
        return {"requests": reqs, "verdict": verdict, "at": len(reqs)}

    for chunk in cut(data, splits) + ([b""] if close else []):
        conn.receive_data(chunk)
        while True:
            try:
                ev = conn.next_event()
            except h11.RemoteProtocolError:
                return result("error")
            if ev is h11.NEED_DATA:
                break
            if isinstance(ev, h11.ConnectionClosed):
                return result("clean")
            if isinstance(ev, h11.Request):
                cur = {"method": ev.method, "target": ev.target, "version": ev.http_version,
                       "fields": [[n, v] for n, v in ev.headers], "body": b""}
            elif isinstance(ev, h11.Data):
                cur["body"] += ev.data
            elif isinstance(ev, h11.EndOfMessage):
                reqs.append(cur)
                # Not 2xx: a CONNECT would switch protocols. The state is looked at after
                # the answer, since an Upgrade or CONNECT request only then leaves
                # MIGHT_SWITCH_PROTOCOL.
                conn.send(h11.Response(status_code=404, headers=[("Content-Length", "0")]))
                conn.send(h11.EndOfMessage())
                if conn.their_state is h11.MUST_CLOSE:
                    return result("closed")
                conn.start_next_cycle()
            else:
                raise AssertionError("unexpected h11 event %r" % (ev,))
    idle = conn.their_state is h11.IDLE and not conn.trailing_data[0]
    return result("clean" if idle else "incomplete")


def ours_canon(line):
    out = json.loads(line)
    reqs = []
    for r in out["requests"]:
        reqs.append({"method": bytes.fromhex(r["method"]), "target": bytes.fromhex(r["target"]),
                     "version": r["version"].encode(),
                     "fields": canon_fields([[bytes.fromhex(n), bytes.fromhex(v)]
                                             for n, v in r["fields"]]),
                     "body": bytes.fromhex(r["body"])})
    return {"requests": reqs, "verdict": out["verdict"], "at": out["at"],
            "starts": out["starts"], "consumed": out["consumed"]}


# ---------------------------------------------------------------------------------------
# Classification: the features of the request at a stream offset, read loosely from the
# raw bytes.


def split_lines(block):
    lines = block.split(b"\n")
    return [x[:-1] if x.endswith(b"\r") else x for x in lines]


def field_features(lines, feat):
    for line in lines:
        if line[:1] in (b" ", b"\t"):
            feat.add("c")
        name, _, value = line.partition(b":")
        value = value.strip(b" \t")
        if any(c in BAD_CTL for c in value):
            feat.add("d")
        if name.lower() == b"content-length":
            for v in value.split(b","):
                if v.strip().isdigit() and int(v.strip()) > MAX_LENGTH:
                    feat.add("f")


def fields_end(data, pos):
    """Where a field block that starts at pos ends (its blank line included), or None."""
    if data[pos:pos + 1] == b"\n":
        return pos + 1
    if data[pos:pos + 2] == b"\r\n":
        return pos + 2
    m = BLANK_LINE.search(data, pos)
    return m.end() if m else None


PARAMETER = (rb"[ \t]*;[ \t]*(?:([!#$%&'*+.^_`|~0-9A-Za-z-]+)[ \t]*=[ \t]*"
             rb"(?:\"((?:\\.|[^\"\\])*)\"|([!#-:<-~]+)))?")


def get_parameter(value, want):
    """A media type parameter, read the way a strict server does (blanks around '=' taken);
    None when absent or when the parameters do not parse."""
    rest = value[value.find(b";"):] if b";" in value else b""
    if not re.fullmatch(rb"(?:%s)*[ \t]*" % PARAMETER, rest):
        return None
    for name, quoted, token in re.findall(PARAMETER, rest):
        if name.lower() == want:
            return re.sub(rb"\\(.)", rb"\1", quoted) if not token else token
    return None


def form_lead(body, boundary):
    """The length of a form's lead (up to its first part's content), "bad", or None while
    the lead is not all there."""
    dash = b"--" + boundary
    at = 0
    while True:
        at = body.find(dash, at)
        if at < 0:
            return None
        q = at + len(dash)
        while q < len(body) and body[q] in b" \t":
            q += 1
        if at != 0 and body[at - 2:at] != b"\r\n":
            at += 1
            continue
        if q + 2 > len(body):
            return None
        if body[q:q + 2] == b"--":
            return "bad"
        if body[q:q + 2] == b"\r\n":
            break
        at += 1
    start = q + 2
    end = fields_end(body, start)
    if end is None:
        return None
    for line in split_lines(body[start:end])[:-2]:
        name, colon, value = line.partition(b":")
        if (not colon or not name or any(c not in TCHAR for c in name) or
                any((c < 0x20 and c != 9) or c == 0x7F for c in value)):
            return "bad"
    return end


def scan(data, off):
    """The features (RULES letters) of the request that starts at data[off:], plus the
    ones that tell how it ends ("te+cl", "keep10")."""
    feat = set()
    start = off
    while data[start:start + 1] == b"\n" or data[start:start + 2] == b"\r\n":
        start += 2 if data[start] == 13 else 1
    if start > off or data[off:off + 1] == b"\r":
        feat.add("b")
    end = fields_end(data, start) if data[start:start + 1] not in (b"\r", b"\n") else None
    if end is None:
        if len(data) - off >= MAX_HEAD:
            feat.add("a")
        return feat
    if end - off > MAX_HEAD:
        feat.add("a")
    lines = split_lines(data[start:end])[:-2]
    m = re.search(rb"HTTP/(\d)\.(\d)$", lines[0])
    fields = lines[1:]
    field_features(fields, feat)
    pairs = [(n.strip().lower(), v.strip(b" \t"))
             for n, _, v in (x.partition(b":") for x in fields)]
    named = lambda n: [v for k, v in pairs if k == n]
    if m and (m.group(1) != b"1" or (int(m.group(2)) >= 2 and not named(b"host"))):
        feat.add("e")
    tokens = lambda n: {t.strip().lower() for v in named(n) for t in v.split(b",")}
    if m and m.group(1, 2) == (b"1", b"0") and b"keep-alive" in tokens(b"connection"):
        feat.add("keep10")
    te, cl = named(b"transfer-encoding"), named(b"content-length")
    body, whole, raw = b"", True, lambda n: end + n
    if te and cl:
        feat.add("te+cl")
    if len(te) == 1 and te[0].lower() == b"chunked":
        body, whole, raw = scan_chunked(data, end, feat)
    elif cl and cl[0].strip().isdigit():
        body = data[end:end + int(cl[0].strip())]
        whole = len(body) == int(cl[0].strip())
    ctype = named(b"content-type")
    if ctype and ctype[0].split(b";")[0].strip(b" \t").lower() == b"multipart/form-data":
        b = get_parameter(ctype[0], b"boundary")
        if (b is None or not 1 <= len(b) <= 70 or b.endswith(b" ") or
                any(c not in BCHAR for c in b)):
            feat.add("k")
        else:
            lead = form_lead(body, b)
            if lead == "bad" or (lead is None and whole):
                feat.add("k")
            # The reader bounds a head and its form's lead by the bytes as they came, chunk
            # framing included (so the bound never depends on how they were split).
            if (lead is None and len(data) - off >= MAX_HEAD) or (
                    isinstance(lead, int) and raw(lead) - off > MAX_HEAD):
                feat.add("a")
    return feat


def scan_chunked(data, pos, feat):
    """The decoded body from data[pos:], whether it is all there, and where in data each
    decoded byte lies: raw(n) is the position just after the n-th decoded byte."""
    out, whole, runs = [], False, []
    while True:
        m = re.match(rb"[0-9A-Fa-f]+", data[pos:pos + 64])
        if not m:
            break
        eol = data.find(b"\r\n", pos)
        line_end = eol if eol >= 0 else len(data)
        ext = data[pos + m.end():line_end]
        if ext.startswith(b";") and any((c < 0x20 and c != 9) or c == 0x7F for c in ext):
            feat.add("g")
        size = int(m.group(), 16)
        if size > MAX_LENGTH:
            feat.add("f")
        if eol < 0 or size > MAX_LENGTH:
            break
        pos = eol + 2
        if size == 0:
            end = fields_end(data, pos)
            if (end or len(data) + 1) - pos > MAX_HEAD:
                feat.add("h")
            field_features(split_lines(data[pos:end or len(data)]), feat)
            whole = end is not None
            break
        runs.append((sum(len(x) for x in out), pos))
        out.append(data[pos:pos + size])
        pos += size
        if data[pos:pos + 2] != b"\r\n":
            break
        pos += 2

    def raw(n):
        for dec, at in reversed(runs):
            if dec < n:
                return at + (n - dec)
        return pos
    return b"".join(out), whole, raw


def divergence(ours, ref):
    """The index of the first request the two outputs do not share, and where in the
    stream it starts (None when ours never got there)."""
    a, b = ours["requests"], ref["requests"]
    k = 0
    while k < min(len(a), len(b)) and a[k] == b[k]:
        k += 1
    starts = ours["starts"] + [ours["consumed"]]
    return k, starts[k] if k < len(starts) else None


def classify(data, splits, ours, ref):
    """The rule that explains a disagreement, or None."""
    k, _ = divergence(ours, ref)
    starts = ours["starts"] + [ours["consumed"]]
    feat = scan(data, starts[k]) if k < len(starts) else set()
    before = scan(data, starts[k - 1]) if k > 0 else set()
    ours_error = ours["verdict"] == "error" and ours["at"] == k
    ref_error = ref["verdict"] == "error" and ref["at"] == k
    if ours_error:
        for rule in "acdefghk":
            if rule in feat:
                return rule
    if "b" in feat and ref_error and not ours_error:
        return "b"
    if "te+cl" in before and ours["verdict"] == "closed" and ours["at"] == k:
        return "i"
    if ("keep10" in before and ref["verdict"] == "closed" and ref["at"] == k and
            (ours["verdict"], ours["at"]) != ("closed", k)):
        return "j"
    if ours_error and ref["verdict"] == "incomplete" and ref["at"] == k:
        closed = h11_run(data, [], close=True)
        completed = h11_run(data + b"\r\n\r\n", [])
        if all(r["verdict"] == "error" and r["at"] == k for r in (closed, completed)):
            return "l"
    return None


# ---------------------------------------------------------------------------------------


def encode_case(data, splits):
    return (struct.pack("<I", len(data)) + data + struct.pack("<I", len(splits)) +
            struct.pack("<%dI" % len(splits), *splits))


def run_batch(args):
    driver, seed, first, count = args
    cases = [gen_case(seed, i) for i in range(first, first + count)]
    proc = subprocess.run([driver], input=b"".join(encode_case(d, s) for d, s in cases),
                          capture_output=True, check=True, timeout=600)
    lines = proc.stdout.decode().splitlines()
    if len(lines) != len(cases):
        raise RuntimeError("driver answered %d of %d cases" % (len(lines), len(cases)))
    counts = {"agree": 0}
    bad = []
    for i, ((data, splits), line) in enumerate(zip(cases, lines)):
        ours = ours_canon(line)
        ref = h11_run(data, splits)
        if all(ours[x] == ref[x] for x in ("requests", "verdict", "at")):
            counts["agree"] += 1
            continue
        rule = classify(data, splits, ours, ref)
        key = rule or "unexplained"
        counts[key] = counts.get(key, 0) + 1
        if rule is None:
            bad.append((seed, first + i, data, splits, ours, ref))
    return counts, bad[:5]


def show(seed, index, data, splits, ours, ref):
    def brief(out):
        reqs = [(r["method"], r["target"], r["version"], len(r["body"])) for r in out["requests"]]
        return "%s at %d, requests %r" % (out["verdict"], out["at"], reqs)
    print("case %d of seed %d (gen_case(%d, %d)): %d bytes, splits %r" % (
        index, seed, seed, index, len(data), splits), file=sys.stderr)
    print("  stream %r" % data[:600], file=sys.stderr)
    print("  hex    %s" % data[:300].hex(), file=sys.stderr)
    print("  ours   %s" % brief(ours), file=sys.stderr)
    print("  h11    %s" % brief(ref), file=sys.stderr)
    k, at = divergence(ours, ref)
    print("  they part at request %d (byte %s), which has %s" % (
        k, at, sorted(scan(data, at)) if at is not None else "?"), file=sys.stderr)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--driver", required=True)
    ap.add_argument("--cases", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=multiprocessing.cpu_count())
    opts = ap.parse_args()
    work = [(opts.driver, opts.seed, i, min(opts.batch, opts.cases - i))
            for i in range(0, opts.cases, opts.batch)]
    totals, bad = {}, []
    with multiprocessing.Pool(opts.jobs) as pool:
        for counts, examples in pool.imap(run_batch, work):
            for k, v in counts.items():
                totals[k] = totals.get(k, 0) + v
            bad += examples
    print("cases: %d, agreeing: %d" % (opts.cases, totals.get("agree", 0)))
    for rule, text in RULES.items():
        print("  explained by %s (%s): %d" % (rule, text, totals.get(rule, 0)))
    unexplained = totals.get("unexplained", 0)
    print("unexplained: %d" % unexplained)
    for example in bad[:5]:
        show(*example)
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
