#include "http/transport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/head_parser.h"
#include "http/http_limits.h"
#include "http/proxy_settings.h"
#include "http/transfer.h"
#include "http/url.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

void PutProxyUnreachable(ErrorText error, const ProxyEndpoint* proxy, const char* reason) {
    char named[HTTP_ERROR_TEXT_BYTES];
    std::snprintf(named, sizeof named, FORMAT_PROXY_UNREACHABLE, proxy->display);
    if (reason != nullptr)
        PutError(error, "%s: %s", named, reason);
    else
        PutError(error, "%s", named);
}

namespace {

Transport* NewLayer(const TransportOps* ops, Transport* below, void* context) {
    Transport* layer = static_cast<Transport*>(AllocateZeroed(1, sizeof(Transport)));
    layer->ops = ops;
    layer->below = below;
    layer->context = context;
    return layer;
}

// TCP: the socket itself, kept as the context's value (no record of its own).

void* SocketContext(SocketHandle socket) { return reinterpret_cast<void*>(static_cast<uintptr_t>(socket)); }

SocketHandle SocketOf(const Transport* layer) {
    return static_cast<SocketHandle>(reinterpret_cast<uintptr_t>(layer->context));
}

bool TcpSend(Transfer*, Transport* layer, const char* bytes, int length) {
    return SendAll(SocketOf(layer), bytes, static_cast<size_t>(length)) == 1;
}

SocketWait TcpAwait(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake) {
    return AwaitSocketOrWake(SocketOf(layer), forWrite, wake, TransferBudget(transfer));
}

int TcpReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    // Bytes already there are taken without a wait; only when none are does
    // the sliced wait come first, then a recv that finds them there.
    const SocketHandle socket = SocketOf(layer);
    const int received = ReceiveWithoutWaiting(socket, into, room);
    if (received != SOCKET_CALL_FAILED || ClassifySocketError(LastSocketError(), false) != SOCKET_WOULD_BLOCK) {
        return received;
    }
    if (AwaitSocket(socket, false, TransferBudget(transfer)) != SOCKET_READY) return -1;
    return ReceiveFromSocket(socket, into, room);
}

int NothingBuffered(const Transport*) { return 0; }

bool TcpAlive(Transport* layer) {
    if (WaitReadable(SocketOf(layer), 0) == 0) return true;
    // Readable while idle: the peer's close, a reset, or bytes nobody asked for.
    return false;
}

void TcpSendPromptly(Transport* layer) { SendSmallWritesAtOnce(SocketOf(layer)); }

void TcpClose(Transport* layer) {
    CloseSocket(SocketOf(layer));
    std::free(layer);
}

const TransportOps TCP_OPS = {TcpSend, TcpReceive, TcpAwait, NothingBuffered, TcpAlive, TcpSendPromptly, TcpClose};

void KeepBorrowed(Transport*) {}

const TransportOps BORROWED_TCP_OPS = {TcpSend,  TcpReceive,      TcpAwait,    NothingBuffered,
                                       TcpAlive, TcpSendPromptly, KeepBorrowed};

// The layers above the bottom pass these on unchanged.

bool SendBelow(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return TransportSend(transfer, layer->below, bytes, length);
}

SocketWait AwaitBelow(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake) {
    return TransportAwait(transfer, layer->below, forWrite, wake);
}

bool AliveBelow(Transport* layer) { return TransportAlive(layer->below); }

void SendPromptlyBelow(Transport* layer) { TransportSendPromptly(layer->below); }

int BufferedBelow(const Transport* layer) { return layer->below->ops->buffered(layer->below); }

// The proxy tunnel: the bytes pass unchanged, after any that came behind
// the proxy's answer.

struct TunnelHeld {
    char* bytes;
    int count;
    int at;
};

int HeldRest(const Transport* layer) {
    const TunnelHeld* held = static_cast<const TunnelHeld*>(layer->context);
    return held->count - held->at;
}

int TunnelReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    TunnelHeld* held = static_cast<TunnelHeld*>(layer->context);
    if (held->at < held->count) {
        int count = held->count - held->at;
        if (count > room) count = room;
        std::memcpy(into, held->bytes + held->at, static_cast<size_t>(count));
        held->at += count;
        return count;
    }
    return TransportReceive(transfer, layer->below, into, room);
}

SocketWait TunnelAwait(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake) {
    if (!forWrite && HeldRest(layer) > 0) return SOCKET_READY;
    return AwaitBelow(transfer, layer, forWrite, wake);
}

int TunnelBuffered(const Transport* layer) { return HeldRest(layer) + BufferedBelow(layer); }

bool TunnelAlive(Transport* layer) { return HeldRest(layer) == 0 && AliveBelow(layer); }

void TunnelClose(Transport* layer) {
    TunnelHeld* held = static_cast<TunnelHeld*>(layer->context);
    CloseTransport(layer->below);
    std::free(held->bytes);
    std::free(held);
    std::free(layer);
}

const TransportOps TUNNEL_OPS = {SendBelow,   TunnelReceive,     TunnelAwait, TunnelBuffered,
                                 TunnelAlive, SendPromptlyBelow, TunnelClose};

// TLS: the platform's session, reading and writing through the layer below
// with the transfer at hand (the call argument), so the waits below ask
// its budget.  TlsReceive gives decrypted bytes it holds first.

TlsConnection* SessionOf(const Transport* layer) { return static_cast<TlsConnection*>(layer->context); }

bool IoSend(void* below, void* transfer, const char* bytes, int length) {
    return TransportSend(static_cast<Transfer*>(transfer), static_cast<Transport*>(below), bytes, length);
}

int IoReceive(void* below, void* transfer, char* into, int room) {
    return TransportReceive(static_cast<Transfer*>(transfer), static_cast<Transport*>(below), into, room);
}

SocketWait IoAwait(void* below, void* transfer, bool forWrite) {
    return TransportAwait(static_cast<Transfer*>(transfer), static_cast<Transport*>(below), forWrite);
}

bool TlsLayerSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return TlsSend(SessionOf(layer), transfer, bytes, length) == length;
}

int TlsLayerReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    return TlsReceive(SessionOf(layer), transfer, into, room);
}

int TlsLayerBuffered(const Transport* layer) {
    return TlsHasBufferedBytes(SessionOf(layer)) ? 1 : BufferedBelow(layer);
}

void TlsLayerClose(Transport* layer) {
    CloseTls(SessionOf(layer));
    CloseTransport(layer->below);
    std::free(layer);
}

const TransportOps TLS_OPS = {TlsLayerSend, TlsLayerReceive,   AwaitBelow,   TlsLayerBuffered,
                              AliveBelow,   SendPromptlyBelow, TlsLayerClose};

// "host:port" of a CONNECT request, terminator included.
const int CONNECT_AUTHORITY_BYTES = HOST_PORT_BYTES + 1;

// The proxy's CONNECT request, or 0 when it would not fit.
int BuildConnectRequest(const char* host, int port, const ProxyEndpoint* proxy, char* request) {
    // An IPv6 literal is written in brackets, as in an address.
    char authority[CONNECT_AUTHORITY_BYTES];
    if (FormatHostPort(authority, sizeof authority, "", host, port) < 0) return 0;
    int length = std::snprintf(request, REQUEST_TEXT_BYTES, "CONNECT %s HTTP/1.1\r\nHost: %s%s%s\r\n\r\n", authority,
                               authority, proxy->authorization != nullptr ? "\r\nProxy-Authorization: " : "",
                               proxy->authorization != nullptr ? proxy->authorization : "");
    return length > 0 && length < REQUEST_TEXT_BYTES ? length : 0;
}

// The proxy's answer head over `below`, read as every response head is
// (interim answers dropped), each receive asked of the transfer's budget
// first and counted toward its average rate.
HeadState ReceiveProxyAnswer(Transfer* transfer, Transport* below, HeadReader* head) {
    for (;;) {
        char* place = head->buffer + head->held;
        const int received = ReceiveForTransfer(transfer, below, place, HTTP_BUFFER_SIZE - head->held);
        if (received <= 0) {
            head->lastReceive = received;
            head->lastSocketError = LastSocketError();
            return HEAD_ENDED;
        }
        const HeadState state = TakeReceivedHeadBytes(head, place, received);
        if (state != HEAD_INCOMPLETE) return state;
    }
}

}  // namespace

Transport* NewTcpTransport(SocketHandle socket) { return NewLayer(&TCP_OPS, nullptr, SocketContext(socket)); }

void InitTcpTransport(Transport* layer, SocketHandle socket) {
    layer->ops = &BORROWED_TCP_OPS;
    layer->below = nullptr;
    layer->context = SocketContext(socket);
}

Transport* OpenProxyTunnel(Transfer* transfer, Transport* below, const char* host, int port, const ProxyEndpoint* proxy,
                           ErrorText error, TransportResult* result, bool* answered) {
    *answered = false;
    *result = TRANSPORT_FAILED;
    char request[REQUEST_TEXT_BYTES];
    int length = BuildConnectRequest(host, port, proxy, request);
    if (length == 0) {
        PutError(error, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        SetFailureAt(&transfer->reason, FAILURE_OTHER, host, port);
        CloseTransport(below);
        return nullptr;
    }
    char buffer[HTTP_BUFFER_SIZE + 1];
    HeadReader head;
    StartHeadReader(&head, buffer);
    const bool sent = !TransferGivenUp(transfer) && TransportSend(transfer, below, request, length);
    HeadState state = sent ? ReceiveProxyAnswer(transfer, below, &head) : HEAD_ENDED;
    *answered = head.held > 0;
    if (state != HEAD_RECEIVED) {
        // No answer head: the proxy's message, with the reason where there is one.
        const bool timedOut = state == HEAD_ENDED && head.held == 0 && head.lastReceive < 0 &&
                              ClassifySocketError(head.lastSocketError, true) == SOCKET_TIMED_OUT;
        const char* reason = state == HEAD_TOO_LONG ? MESSAGE_HEAD_TOO_LONG
                             : !sent                ? MESSAGE_SEND_FAILED
                             : timedOut             ? MESSAGE_CONNECT_TIMED_OUT
                                                    : nullptr;
        PutProxyUnreachable(error, proxy, reason);
        SetFailureReason(&transfer->reason, FAILURE_PROXY_UNREACHABLE, proxy->display);
        if (timedOut) *result = TRANSPORT_UNANSWERED;
        CloseTransport(below);
        return nullptr;
    }
    const int status = StatusCode(buffer);
    if (status != 200) {
        // Only the proxy answers a CONNECT: its 401 (tinyproxy's answer to
        // wrong credentials) asks for credentials as much as a 407 does.
        if (status == 407 || status == 401) {
            PutError(error, FORMAT_PROXY_AUTHENTICATION, proxy->display);
        } else {
            PutError(error, FORMAT_PROXY_TUNNEL_REFUSED, proxy->display, status);
        }
        SetFailureReason(&transfer->reason, FAILURE_PROXY_REFUSED, proxy->display, status);
        *result = TRANSPORT_PROXY_REFUSED;
        CloseTransport(below);
        return nullptr;
    }
    TunnelHeld* held = static_cast<TunnelHeld*>(AllocateZeroed(1, sizeof(TunnelHeld)));
    const int bodyStart = head.headLength + 4;
    if (head.held > bodyStart) {
        held->count = head.held - bodyStart;
        held->bytes = CopyBytes(buffer + bodyStart, static_cast<size_t>(held->count));
    }
    Transport* tunnel = NewLayer(&TUNNEL_OPS, below, held);
    *result = TRANSPORT_OPEN;
    return tunnel;
}

Transport* OpenTlsTransport(Transfer* transfer, Transport* below, const char* host, ErrorText error,
                            TransportResult* result, bool offerH2, const ProxyEndpoint* proxy) {
    TlsFailure failure = TLS_FAILURE_OTHER;
    TlsConnection* tls = nullptr;
    // Bytes already past the tunnel would belong to no handshake.
    const int early = below->ops->buffered(below);
    const TlsIo io = {IoSend, IoReceive, IoAwait, below};
    if (early == 0) {
        tls = OpenTls(&io, transfer, host, error.text, error.size, &failure, offerH2);
    } else {
        PutError(error, FORMAT_PROXY_BYTES_BEFORE_TLS, proxy != nullptr ? proxy->display : host, early);
    }
    if (tls == nullptr) {
        *result = failure == TLS_FAILURE_NO_TLS        ? TRANSPORT_NO_TLS
                  : failure == TLS_FAILURE_CERTIFICATE ? TRANSPORT_CERTIFICATE
                                                       : TRANSPORT_FAILED;
        CloseTransport(below);
        return nullptr;
    }
    *result = TRANSPORT_OPEN;
    return NewLayer(&TLS_OPS, below, tls);
}

bool TransportIsH2(const Transport* layer) { return layer->ops == &TLS_OPS && TlsNegotiatedH2(SessionOf(layer)); }

bool TransportHasBuffered(const Transport* layer) { return layer->ops->buffered(layer) > 0; }

void TransportSendPromptly(Transport* layer) { layer->ops->sendPromptly(layer); }

SocketHandle TransportSocketForTests(const Transport* layer) {
    while (layer->below != nullptr) layer = layer->below;
    return SocketOf(layer);
}

int ReceiveForTransfer(Transfer* transfer, Transport* layer, char* into, int room) {
    int received;
    if (TransferGivenUp(transfer)) {
        // Asked before every receive, so bytes that trickle in cannot keep
        // a download past its bounds.
        SetTimedOutSocketError();
        received = -1;
    } else {
        received = TransportReceive(transfer, layer, into, room);
    }
    CountReceivedBytes(transfer, received);
    return received;
}

bool TransportSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return layer->ops->send(transfer, layer, bytes, length);
}

int TransportReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    return layer->ops->receive(transfer, layer, into, room);
}

SocketWait TransportAwait(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake) {
    return layer->ops->await(transfer, layer, forWrite, wake);
}

bool TransportAlive(Transport* layer) { return layer->ops->alive(layer); }

void CloseTransport(Transport* layer) {
    if (layer != nullptr) layer->ops->close(layer);
}
