#!/usr/bin/env python3
"""An HTTP/2 server on 127.0.0.1 that misbehaves on purpose, for the HTTP/2
client's tests (tests/http/h2_peer_test.cpp).

    h2_test_peer.py FOLDER

Serves FOLDER/good.pem with FOLDER/good.key on a free port, picking "h2" by
ALPN, and writes the port to FOLDER/ports.  TLS runs over memory BIOs, so the
peer decides when each byte of a record goes out.  A connection that did not
pick h2 gets a 404 and its close.  What an h2 request gets depends on its path:
    /good/...          200 with a length: the PNG signature and the path
    /rst-no-error/...  200 without a length, part of a body, then
                       RST_STREAM(NO_ERROR): never END_STREAM
    /trickle/...       200 with a length, then one TLS record of DATA sent a
                       byte each quarter second
    /ping-flood/...    200 with a length, then PINGs without end, and the
                       connection is never read again
    /too-large/...     200 with a length of 20 MiB, then DATA as fast as the
                       windows allow until the stream is reset; how many DATA
                       bytes went out is written to FOLDER/too-large.sent
    /goaway/...        the connection's requests are gathered (three, or
                       what came in 300 ms); the first stream is answered as
                       /good/ would be, or with a head and part of a body
                       only when its path starts /goaway/cut, then a GOAWAY
                       whose last stream is that one leaves out the others,
                       and the connection closes
Nothing waits longer than GIVE_UP_SECONDS, so a client that never lets go
does not keep the peer's threads forever.
"""
import os
import select
import socket
import ssl
import sys
import threading
import time

import h2.config
import h2.connection
import h2.events
import h2.exceptions

GIVE_UP_SECONDS = 20
PNG = b"\x89PNG\r\n\x1a\n"
TOO_LARGE_BYTES = 20 << 20
GATHER_SECONDS = 0.3
GATHER_REQUESTS = 3
# A small receive buffer: a client that keeps sending to a peer that does
# not read fills it soon.
RECEIVE_BUFFER_BYTES = 4096


class Connection:
    def __init__(self, sock, context, folder):
        self.sock = sock
        self.folder = folder
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.h2 = None

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def take(self):
        """Reads the socket into the TLS object; False when the client has gone."""
        data = self.sock.recv(65536)
        if not data:
            return False
        self.incoming.write(data)
        return True

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return
            except ssl.SSLWantReadError:
                self.flush()
                if not self.take():
                    raise OSError("the client left during the handshake")

    def receive(self):
        """The next decrypted bytes, b"" once the client has gone."""
        while True:
            try:
                data = self.tls.read(65536)
                self.flush()
                return data
            except ssl.SSLWantReadError:
                self.flush()
                if not self.take():
                    return b""
            except ssl.SSLZeroReturnError:
                return b""

    def record(self):
        """What h2 queued, as the TLS records' bytes, not yet sent."""
        data = self.h2.data_to_send()
        if data:
            self.tls.write(data)
        return self.outgoing.read()

    def send(self):
        self.sock.sendall(self.record())

    def events(self):
        """The h2 events of the next bytes, None once the client has gone."""
        data = self.receive()
        if not data:
            return None
        events = self.h2.receive_data(data)
        self.send()
        return events

    def serve(self):
        self.handshake()
        if self.tls.selected_alpn_protocol() != "h2":
            request = b""
            while b"\r\n\r\n" not in request:
                data = self.receive()
                if not data:
                    return
                request += data
            self.tls.write(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            self.flush()
            return
        self.h2 = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
        self.h2.initiate_connection()
        self.send()
        while True:
            events = self.events()
            if events is None:
                return
            for event in events:
                if isinstance(event, h2.events.RequestReceived):
                    path = dict(event.headers)[":path"]
                    if self.answer(event.stream_id, path) == "closed":
                        return

    def head(self, stream, length=None):
        fields = [(":status", "200"), ("content-type", "image/png")]
        if length is not None:
            fields.append(("content-length", str(length)))
        self.h2.send_headers(stream, fields)

    def good(self, stream, path):
        body = PNG + path.encode()
        self.head(stream, len(body))
        self.h2.send_data(stream, body, end_stream=True)
        self.send()

    def answer(self, stream, path):
        """Answers one request; "closed" when the connection is done."""
        if path.startswith("/good/"):
            self.good(stream, path)
        elif path.startswith("/rst-no-error/"):
            self.head(stream)
            self.h2.send_data(stream, PNG + b"x" * 1000)
            self.h2.reset_stream(stream, error_code=0)
            self.send()
        elif path.startswith("/trickle/"):
            self.head(stream, 1000)
            self.send()
            self.h2.send_data(stream, PNG + b"x" * 992)
            record = self.record()
            end = time.monotonic() + GIVE_UP_SECONDS
            for byte in record:
                if time.monotonic() > end:
                    break
                self.sock.sendall(bytes([byte]))
                time.sleep(0.25)
            return "closed"
        elif path.startswith("/ping-flood/"):
            self.head(stream, 1000)
            self.send()
            end = time.monotonic() + GIVE_UP_SECONDS
            while time.monotonic() < end:
                self.h2.ping(os.urandom(8))
                self.send()
            return "closed"
        elif path.startswith("/too-large/"):
            self.too_large(stream)
            return "closed"
        elif path.startswith("/goaway/"):
            self.go_away(stream, path)
            return "closed"
        else:
            self.h2.send_headers(stream, [(":status", "404")], end_stream=True)
            self.send()
        return "open"

    def too_large(self, stream):
        self.head(stream, TOO_LARGE_BYTES)
        self.send()
        sent = 0
        end = time.monotonic() + GIVE_UP_SECONDS
        try:
            while time.monotonic() < end:
                room = min(self.h2.local_flow_control_window(stream), self.h2.max_outbound_frame_size)
                if room > 0:
                    self.h2.send_data(stream, b"\0" * room)
                    self.send()
                    sent += room
                # The client's frames as they come: a window update, or the reset.
                if room == 0 or select.select([self.sock], [], [], 0)[0]:
                    events = self.events()
                    if events is None or any(isinstance(event, h2.events.StreamReset) for event in events):
                        break
        except (h2.exceptions.StreamClosedError, OSError):
            pass
        with open(self.folder + "/too-large.sent.new", "w") as out:
            out.write(str(sent))
        os.rename(self.folder + "/too-large.sent.new", self.folder + "/too-large.sent")

    def go_away(self, first, path):
        requests = {first: path}
        end = time.monotonic() + GATHER_SECONDS
        while len(requests) < GATHER_REQUESTS and time.monotonic() < end:
            if not select.select([self.sock], [], [], max(0, end - time.monotonic()))[0]:
                break
            events = self.events()
            if events is None:
                return
            for event in events:
                if isinstance(event, h2.events.RequestReceived):
                    requests[event.stream_id] = dict(event.headers)[":path"]
        lowest = min(requests)
        if requests[lowest].startswith("/goaway/cut"):
            self.head(lowest)
            self.h2.send_data(lowest, PNG + b"x" * 500)
        else:
            self.good(lowest, requests[lowest])
        self.h2.close_connection(last_stream_id=lowest)
        self.send()


def serve(sock, context, folder):
    sock.settimeout(GIVE_UP_SECONDS)
    try:
        Connection(sock, context, folder).serve()
    except (OSError, ssl.SSLError, h2.exceptions.ProtocolError):
        pass  # a client gone or cut off: the test tells
    finally:
        sock.close()


def main():
    folder = sys.argv[1]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(folder + "/good.pem", folder + "/good.key")
    context.set_alpn_protocols(["h2", "http/1.1"])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER_BYTES)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(folder + "/ports.new", "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.rename(folder + "/ports.new", folder + "/ports")
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=serve, args=(sock, context, folder), daemon=True).start()


if __name__ == "__main__":
    main()
