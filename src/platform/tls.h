// TLS client connections over whatever carries their bytes: the system's
// own TLS (OpenSSL with the system's trust store on Linux, Schannel with the
// Windows certificate store on Windows), reading and writing through a
// TlsIo the caller gives (a socket, a proxy's tunnel), and used by the HTTP
// client the way it uses the layer below.  Everything above this seam (request text, response heads, chunked
// bodies, keep-alive) is the same for both transports.
//
// Threads: any number of connections at once, each used by one thread at a
// time.  Errors come back as texts in the core's form for the download's
// error text and app.log, plus a kind that tells the caller whether a plain
// retry is allowed (never after a certificate was seen and refused).
#pragma once

#include <cstddef>

#include "platform/net.h"

struct TlsConnection;

// Why a handshake did not give a connection.
enum TlsFailure {
    TLS_FAILURE_NONE = 0,
    // Nothing that speaks TLS answered: the peer closed or reset the
    // connection, or the handshake timed out, before any TLS byte arrived.
    TLS_FAILURE_NO_TLS,
    // The peer's certificate was refused: chain not trusted, expired, or
    // not for this host name.  Never retried in plain text.
    TLS_FAILURE_CERTIFICATE,
    // Anything else (a broken or foreign protocol, a library error).
    TLS_FAILURE_OTHER,
};

// Loads the library and the trust store once; later calls do nothing.
// 1 on success.  Linux: the default verify paths, so SSL_CERT_FILE and
// SSL_CERT_DIR are honoured (tests point them at their own authority).
int StartTls();

// How a session reaches its peer: the layer below it, in its own words.
// Each callback gets `context` and the `call` argument the TLS call that
// needs it was given (what the waits ask for their budget; null from
// CloseTls).  TLS keeps no socket of its own.
struct TlsIo {
    // All `length` bytes; false when a send failed (LastSocketError tells).
    bool (*send)(void* context, void* call, const char* bytes, int length);
    // The sliced wait, then one receive of at most `room` bytes, as recv(2):
    // the count, 0 for a clean close, -1 on an error or a wait that ran out
    // or was given up (LastSocketError() then tells, a time-out as one).
    int (*receive)(void* context, void* call, char* into, int room);
    // The sliced wait until there is room to send (`forWrite`) or bytes.
    SocketWait (*await)(void* context, void* call, bool forWrite);
    void* context;
};

// Runs the client handshake over `io` (kept for the session's life) for
// `host` (a name in the core's form: sent as SNI unless it is an address
// literal, and checked against the certificate).  Returns the connection,
// which owns nothing but its TLS state (the caller still owns and closes
// what is below), or null with `failure` set and a message in `errorText`
// (`errorSize` bytes, NUL-terminated).
//
// With `offerH2` the handshake offers the application protocols "h2" and
// "http/1.1", in that order (ALPN); without it, none, as a plain HTTP/1.1
// client always has.
// Its waits, and those of TlsSend and TlsReceive, are the io's (which run
// in slices that ask the budget `call` stands for).
TlsConnection* OpenTls(const TlsIo* io, void* call, const char* host, char* errorText, size_t errorSize,
                       TlsFailure* failure, bool offerH2);
// The offer in ALPN's wire form: each name after its length byte.
const unsigned char TLS_H2_OFFER[] = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
// True when the server picked "h2" from the offer.
bool TlsNegotiatedH2(const TlsConnection* connection);
// True when TlsReceive has bytes it can give, or decrypt, without reading
// from below: a reader that waits for the layer below first asks this, or
// it would wait for bytes it already holds.
bool TlsHasBufferedBytes(const TlsConnection* connection);

// Like send(2): all of `length` bytes, or -1 (then LastSocketError() tells
// the error below, or 0 for a TLS error).
int TlsSend(TlsConnection* connection, void* call, const char* bytes, int length);

// Like recv(2): the bytes received (1 to `size`), 0 when the peer closed
// the session cleanly (its close_notify), -1 on an error (LastSocketError()
// as after recv: a time-out reads as a time-out), and -1 with error 0 when
// the bytes below ended without a close_notify (a truncation, never a
// close).  Decrypted bytes left over from an earlier record come first,
// without reading from below.
int TlsReceive(TlsConnection* connection, void* call, char* buffer, int size);

// Sends close_notify where it can without waiting (the io's send with a
// null call), and frees the state.  The caller closes what is below
// afterwards.  Null does nothing.
void CloseTls(TlsConnection* connection);
