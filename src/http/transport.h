// The transport seam: a connection of the HTTP client is a stack of layers
// behind one interface.  At the bottom a TCP socket; over it, when the
// address goes through a proxy, the proxy's CONNECT tunnel; on top, for an
// https address, TLS.  Each layer is a small table of functions; the
// readers above (request, head, chunked and plain bodies) only ever call
// the top layer and never ask what it is.
//
// Each layer keeps its own state in its context (the TCP layer its socket,
// the tunnel the bytes behind the proxy's answer, TLS its session) and
// reaches the network only through the layer below: TLS reads and writes
// through it, so TLS over a tunnel never sees a socket, and only the TCP
// layer names one.  A layer is used by one thread at a time.  Every call
// that may wait takes the Transfer it works for first: its budget bounds
// the wait.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "base/error_text.h"
#include "platform/net.h"
#include "platform/tls.h"

struct ProxyEndpoint;
struct Transfer;

// A proxy that cannot be reached: its display (never its credentials), and
// after it the reason when there is one.
void PutProxyUnreachable(ErrorText error, const ProxyEndpoint* proxy, const char* reason);

// How opening a layer ended.
enum TransportResult {
    TRANSPORT_OPEN = 0,
    TRANSPORT_FAILED,         // nothing more to say: the message tells
    TRANSPORT_UNANSWERED,     // refused or timed out (counted), or not tried after too many of those
    TRANSPORT_NO_TLS,         // nothing answered TLS (TLS_FAILURE_NO_TLS)
    TRANSPORT_CERTIFICATE,    // the certificate was refused: never retried in any form
    TRANSPORT_PROXY_REFUSED,  // the proxy answered, but not with a tunnel
};

struct Transport;

struct TransportOps {
    // All `length` bytes; false when a send failed.
    bool (*send)(Transfer* transfer, Transport* layer, const char* bytes, int length);
    // One receive after the sliced wait: as recv(2), the count, 0 for a
    // clean close, -1 on an error or a wait that ran out or was given up
    // (LastSocketError() then tells).
    int (*receive)(Transfer* transfer, Transport* layer, char* into, int room);
    // The sliced wait (the bottom's AwaitSocketOrWake, with the transfer's
    // budget) until the layer has bytes to give or, with `forWrite`, room to
    // send; `wake` (null: none) ends it early as SOCKET_WOKEN.
    SocketWait (*await)(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake);
    // Bytes a receive gives without waiting below: the count where the
    // layer knows it (the tunnel's held bytes), else 1 when there are any
    // (a TLS record's rest), 0 when none.
    int (*buffered)(const Transport* layer);
    // A zero-wait look: false when the peer closed, reset or sent bytes
    // nobody asked for (an idle connection must hold nothing).
    bool (*alive)(Transport* layer);
    // Small sends go out at once, not behind the acknowledgement of the
    // last segment (the bottom's TCP_NODELAY).
    void (*sendPromptly)(Transport* layer);
    // Closes this layer and every layer beneath it, and frees them.
    void (*close)(Transport* layer);
};

struct Transport {
    const TransportOps* ops;
    Transport* below;  // null at the bottom
    void* context;     // the layer's own state, which it alone reads
};

// The bottom layer over a connected socket (network time-outs set), which
// it owns from now on.
Transport* NewTcpTransport(SocketHandle socket);
// The same in the caller's record, which never closes the socket nor frees
// itself: for a socket someone else owns (test feeders).  The record's
// context is the socket itself.
void InitTcpTransport(Transport* layer, SocketHandle socket);

// Sends "CONNECT host:port" to `proxy` over `below` (a TCP layer connected
// to the proxy) and reads the answer head: the tunnel layer on a 200, else
// null with `below` closed, the message naming the proxy's display (never
// its credentials) and *result TRANSPORT_PROXY_REFUSED (any other answer,
// 407 saying authentication is wanted) or TRANSPORT_FAILED (no answer).
// *answered tells whether the proxy sent any byte.
Transport* OpenProxyTunnel(Transfer* transfer, Transport* below, const char* host, int port, const ProxyEndpoint* proxy,
                           ErrorText error, TransportResult* result, bool* answered);

// The TLS layer over `below` for `host` (the certificate is checked for it),
// or null with `below` closed, the message and *result TRANSPORT_NO_TLS,
// TRANSPORT_CERTIFICATE or TRANSPORT_FAILED.  Over the tunnel of `proxy`,
// bytes the proxy sent behind its answer belong to no handshake: they fail
// it, with a message naming the proxy.
// With `offerH2` the handshake offers HTTP/2 (TransportIsH2 tells the pick).
Transport* OpenTlsTransport(Transfer* transfer, Transport* below, const char* host, ErrorText error,
                            TransportResult* result, bool offerH2 = false, const ProxyEndpoint* proxy = nullptr);
// Whether the TLS layer settled on HTTP/2.
bool TransportIsH2(const Transport* layer);
// Whether a receive has bytes to give without waiting (a TLS record's
// rest, or the tunnel's held bytes): a reader that waits with
// TransportAwait before it receives asks this first.
bool TransportHasBuffered(const Transport* layer);
void TransportSendPromptly(Transport* layer);
// The socket at the bottom of the stack, for tests that act on it (a
// half-close, a comparison); nothing in the client asks it.
SocketHandle TransportSocketForTests(const Transport* layer);

bool TransportSend(Transfer* transfer, Transport* layer, const char* bytes, int length);
int TransportReceive(Transfer* transfer, Transport* layer, char* into, int room);
SocketWait TransportAwait(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake = nullptr);
bool TransportAlive(Transport* layer);
// Null does nothing.
void CloseTransport(Transport* layer);

// One receive for `transfer`: a transfer already given up reads as a
// time-out without receiving, and what comes counts toward its average
// rate.  The reply to a request and the proxy's answer to a CONNECT are
// received so.
int ReceiveForTransfer(Transfer* transfer, Transport* layer, char* into, int room);
