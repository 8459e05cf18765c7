#!/usr/bin/env python3
"""TLS servers on 127.0.0.1 for the TLS tests (see tls-test-peers.sh).

    tls_test_peer.py FOLDER NAME[:ALPN]...

Serves FOLDER/NAME.pem with FOLDER/NAME.key on a free port per NAME and
writes the ports, in order and space-separated, to FOLDER/ports.  With ALPN
(protocol names and commas, in the server's order of preference) the server
picks one from the client's offer, and still speaks HTTP/1.1.  A
connection carries one request and gets one response, then close_notify:
    GET /sni        the server name the client sent, or "-"
    GET /alpn       the protocol the server picked, or "-"
    GET /words/N    N little-endian 32-bit words 0, 1, 2, ...
    POST /echo      the request's body
but for images, which keep the connection open for more (HTTP/1.1):
    GET /png/...    the PNG signature, then "PATH connection C request R"
                    (C counts this server's connections from 1, R this
                    connection's requests), so a test sees which requests
                    shared a connection
and one that ends badly:
    GET /cut/...    the PNG signature and 1000 bytes without a length
                    (Connection: close), then half a TLS record and the
                    socket's close, no close_notify: a truncated image
"""
import os
import socket
import ssl
import struct
import sys
import threading

TIMEOUT_SECONDS = 20


def words(count):
    return b"".join(struct.pack("<I", i) for i in range(count))


def png(path, connection, request):
    return b"\x89PNG\r\n\x1a\n" + ("%s connection %d request %d" % (path, connection, request)).encode()


def read_request(tls):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = tls.recv(65536)
        if not piece:
            return None, None, False
        data += piece
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value)
    while len(body) < length:
        piece = tls.recv(65536)
        if not piece:
            break
        body += piece
    keep = lines[0].endswith("HTTP/1.1") and "connection: close" not in head.decode("latin-1").lower()
    return lines[0].split(" ")[1], body, keep


def serve(connection, context, number):
    connection.settimeout(TIMEOUT_SECONDS)
    try:
        tls = context.wrap_socket(connection, server_side=True)
        path, body, keep = read_request(tls)
        requests = 1
        while path is not None and path.startswith("/png/"):
            reply = png(path, number, requests)
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: %d\r\n%s\r\n"
                        % (len(reply), b"" if keep else b"Connection: close\r\n") + reply)
            if not keep:
                break
            path, body, keep = read_request(tls)
            requests += 1
        if path is None or path.startswith("/png/"):
            return
        if path.startswith("/cut/"):
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n"
                        + png(path, number, requests)[:8] + b"x" * 1000)
            # An application data record announcing 100 bytes, 10 of them sent.
            os.write(tls.fileno(), b"\x17\x03\x03\x00\x64" + b"\x00" * 10)
            tls.shutdown(socket.SHUT_RDWR)  # the socket's, not TLS's: no close_notify
            tls.close()
            return
        if path == "/sni":
            reply = getattr(tls, "karvelo_sni", None) or "-"
            reply = reply.encode()
        elif path == "/alpn":
            reply = (tls.selected_alpn_protocol() or "-").encode()
        elif path.startswith("/words/"):
            reply = words(int(path[len("/words/"):]))
        else:
            reply = body
        tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(reply) + reply)
        tls.unwrap()  # close_notify, then the client's
    except (OSError, ssl.SSLError):
        pass  # a refused certificate, a client gone: the test tells
    finally:
        connection.close()


def listen(folder, peer):
    name, _, alpn = peer.partition(":")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain("%s/%s.pem" % (folder, name), "%s/%s.key" % (folder, name))
    if alpn:
        context.set_alpn_protocols(alpn.split(","))
    context.sni_callback = lambda tls, server_name, _: setattr(tls, "karvelo_sni", server_name)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept():
        number = 0
        while True:
            connection, _ = listener.accept()
            number += 1
            threading.Thread(target=serve, args=(connection, context, number), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def main():
    folder = sys.argv[1]
    ports = [str(listen(folder, name)) for name in sys.argv[2:]]
    with open(folder + "/ports.new", "w") as out:
        out.write(" ".join(ports))
    os.rename(folder + "/ports.new", folder + "/ports")
    threading.Event().wait()


if __name__ == "__main__":
    main()
