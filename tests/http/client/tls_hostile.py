#!/usr/bin/env python3
# Hostile TLS peers for the HTTP client tests, on Python's ssl module.
#
# Listens on 127.0.0.1:<port> and serves connections one after the other, each the same way
# (the mode):
#   cut-close      TLS; answers 200 with a body that ends with the connection, then closes
#                  the TCP connection without close_notify (what a truncation attack looks like)
#   clean-close    the same body, ended properly with close_notify
#   cut-length     TLS; announces Content-Length 5000, sends 1000 bytes, ends with close_notify
#   garbage        plain TCP; reads the ClientHello and answers with bytes that are no TLS
#   silent         plain TCP; reads the ClientHello and never answers
#   split          TLS through memory BIOs: every byte of the handshake and the answer leaves
#                  in its own segment
#   chain          TLS with the certificate chain given (a huge one, say); answers 200
# The body is BODY_SIZE bytes of a fixed pattern (byte i is i % 251).
import argparse
import socket
import ssl
import time

BODY_SIZE = 20000


def body(n=BODY_SIZE):
    return bytes(i % 251 for i in range(n))


def read_head(reader):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = reader(4096)
        if not chunk:
            return None
        data += chunk
    return data


def context(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.chain, args.key)
    return ctx


def serve_tls(conn, args, mode):
    tls = context(args).wrap_socket(conn, server_side=True)
    if read_head(tls.recv) is None:
        return
    if mode == "cut-length":
        tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body(1000))
        tls.unwrap()
        return
    tls.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body())
    if mode == "clean-close":
        tls.unwrap()
    elif mode == "chain":
        tls.unwrap()
    # Closing the TLS socket frees its session without a shutdown: for cut-close no
    # close_notify leaves.
    tls.close()


def serve_split(conn, args):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context(args).wrap_bio(incoming, outgoing, server_side=True)
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def flush():
        data = outgoing.read()
        for i in range(len(data)):
            conn.sendall(data[i:i + 1])
            # Bytes sent back to back would reach the client as one read.
            time.sleep(0.0003)

    def pump(step):
        while True:
            try:
                result = step()
                flush()
                return result
            except ssl.SSLWantReadError:
                flush()
                data = conn.recv(16384)
                if not data:
                    raise ConnectionError("closed")
                incoming.write(data)

    pump(tls.do_handshake)
    head = b""
    while b"\r\n\r\n" not in head:
        head += pump(lambda: tls.read(4096))
    pump(lambda: tls.write(b"HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + body(300)))
    try:
        pump(tls.unwrap)
    except (ssl.SSLError, ConnectionError):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("mode")
    parser.add_argument("--chain", default="")
    parser.add_argument("--key", default="")
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    held = []
    while True:
        conn, _ = listener.accept()
        conn.settimeout(10)
        try:
            if args.mode in ("garbage", "silent"):
                first = conn.recv(4096)
                if not first:
                    conn.close()
                    continue
                if args.mode == "silent":
                    held.append(conn)  # kept open, never answered
                    continue
                conn.sendall(body(4096)[::-1])
            elif args.mode == "split":
                serve_split(conn, args)
            else:
                serve_tls(conn, args, args.mode)
        except (OSError, ssl.SSLError):
            pass
        if args.mode != "silent":
            conn.close()


if __name__ == "__main__":
    main()
