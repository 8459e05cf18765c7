#include "http/transport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_common.h"
#include "http/proxy_settings.h"
#include "http/response_head.h"
#include "http/transfer.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"


void PutProxyUnreachable(ErrorText error, const ProxyEndpoint* proxy, const char* reason) {
    char named[HTTP_ERROR_TEXT_BYTES];
    std::snprintf(named, sizeof named, FORMAT_PROXY_UNREACHABLE, proxy->display);
    if (reason != nullptr) PutError(error, "%s: %s", named, reason); else PutError(error, "%s", named);
}

namespace {

Transport* NewLayer(const TransportOps* ops, Transport* below, SOCKET socket) {
    Transport* layer = static_cast<Transport*>(AllocateZeroed(1, sizeof(Transport)));
    layer->ops = ops;
    layer->below = below;
    layer->socket = socket;
    return layer;
}

// TCP: the socket itself.

bool TcpSend(Transfer*, Transport* layer, const char* bytes, int length) {
    return SendAll(layer->socket, bytes, static_cast<size_t>(length)) == 1;
}

SocketWait TcpAwait(Transfer* transfer, Transport* layer, bool forWrite) {
    return AwaitSocket(layer->socket, forWrite, TransferBudget(transfer));
}

int TcpReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    // The sliced wait, then a recv that finds the bytes already there.
    if (TcpAwait(transfer, layer, false) != SOCKET_READY) return -1;
    return static_cast<int>(recv(layer->socket, into, room, 0));
}

bool TcpAlive(Transport* layer) {
    if (WaitReadable(layer->socket, 0) == 0) return true;
    // Readable while idle: the peer's close, a reset, or bytes nobody asked for.
    return false;
}

void TcpClose(Transport* layer) {
    closesocket(layer->socket);
    std::free(layer);
}

const TransportOps TCP_OPS = {TcpSend, TcpReceive, TcpAwait, TcpAlive, TcpClose};

void KeepBorrowed(Transport*) {}

const TransportOps BORROWED_TCP_OPS = {TcpSend, TcpReceive, TcpAwait, TcpAlive, KeepBorrowed};

// The proxy tunnel: the bytes pass unchanged, after any that came behind
// the proxy's answer.

bool TunnelSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return TransportSend(transfer, layer->below, bytes, length);
}

int TunnelReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    if (layer->heldAt < layer->heldCount) {
        int count = layer->heldCount - layer->heldAt;
        if (count > room) count = room;
        std::memcpy(into, layer->held + layer->heldAt, static_cast<size_t>(count));
        layer->heldAt += count;
        return count;
    }
    return TransportReceive(transfer, layer->below, into, room);
}

SocketWait TunnelAwait(Transfer* transfer, Transport* layer, bool forWrite) {
    if (!forWrite && layer->heldAt < layer->heldCount) return SOCKET_READY;
    return TransportAwait(transfer, layer->below, forWrite);
}

bool TunnelAlive(Transport* layer) { return layer->heldAt == layer->heldCount && TransportAlive(layer->below); }

void TunnelClose(Transport* layer) {
    CloseTransport(layer->below);
    std::free(layer->held);
    std::free(layer);
}

const TransportOps TUNNEL_OPS = {TunnelSend, TunnelReceive, TunnelAwait, TunnelAlive, TunnelClose};

// TLS: the platform's session on the socket (TlsReceive waits in slices
// itself, and gives decrypted bytes it holds first).

bool TlsLayerSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return TlsSend(layer->tls, bytes, length, TransferBudget(transfer)) == length;
}

int TlsLayerReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    return TlsReceive(layer->tls, into, room, TransferBudget(transfer));
}

SocketWait TlsLayerAwait(Transfer* transfer, Transport* layer, bool forWrite) {
    return AwaitSocket(layer->socket, forWrite, TransferBudget(transfer));
}

bool TlsLayerAlive(Transport* layer) { return TransportAlive(layer->below); }

void TlsLayerClose(Transport* layer) {
    CloseTls(layer->tls);
    CloseTransport(layer->below);
    std::free(layer);
}

const TransportOps TLS_OPS = {TlsLayerSend, TlsLayerReceive, TlsLayerAwait, TlsLayerAlive, TlsLayerClose};

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

// The status code of a head's status line (the digits after the first
// space, up to the next space or the line's end), or 0.
int StatusCode(const char* head) {
    const char* space = std::strchr(head, ' ');
    if (space == nullptr) return 0;
    const size_t length = std::strcspn(space + 1, " \r\n");
    int64_t code;
    return ParseDecimal(space + 1, length, 999, &code) ? static_cast<int>(code) : 0;
}

}  // namespace

Transport* NewTcpTransport(SOCKET socket) { return NewLayer(&TCP_OPS, nullptr, socket); }

void InitTcpTransport(Transport* layer, SOCKET socket) {
    std::memset(layer, 0, sizeof *layer);
    layer->ops = &BORROWED_TCP_OPS;
    layer->socket = socket;
}

Transport* OpenProxyTunnel(Transfer* transfer, Transport* below, const char* host, int port, const ProxyEndpoint* proxy,
                           ErrorText error, TransportResult* result, bool* answered) {
    *answered = false;
    *result = TRANSPORT_FAILED;
    char request[REQUEST_TEXT_BYTES];
    int length = BuildConnectRequest(host, port, proxy, request);
    if (length == 0) {
        PutError(error, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        CloseTransport(below);
        return nullptr;
    }
    HttpConnection asked;
    std::memset(&asked, 0, sizeof asked);
    asked.transport = below;
    char buffer[HTTP_BUFFER_SIZE + 1];
    HeadReader head;
    StartHeadReader(&head, buffer);
    const bool sent = SendBytes(transfer, &asked, request, length);
    HeadState state = sent ? ReceiveResponseHead(transfer, &asked, &head) : HEAD_ENDED;
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
        *result = TRANSPORT_PROXY_REFUSED;
        CloseTransport(below);
        return nullptr;
    }
    Transport* tunnel = NewLayer(&TUNNEL_OPS, below, below->socket);
    const int bodyStart = head.headLength + 4;
    if (head.held > bodyStart) {
        tunnel->heldCount = head.held - bodyStart;
        tunnel->held = CopyBytes(buffer + bodyStart, static_cast<size_t>(tunnel->heldCount));
    }
    *result = TRANSPORT_OPEN;
    return tunnel;
}

Transport* OpenTlsTransport(Transfer* transfer, Transport* below, const char* host, ErrorText error,
                            TransportResult* result, bool offerH2, const ProxyEndpoint* proxy) {
    TlsFailure failure = TLS_FAILURE_OTHER;
    TlsConnection* tls = nullptr;
    // Bytes already past the tunnel would belong to no handshake.
    const int early = below->heldCount - below->heldAt;
    if (early == 0) {
        tls = OpenTls(below->socket, host, error.text, error.size, &failure, offerH2, TransferBudget(transfer));
    } else {
        PutError(error, FORMAT_PROXY_BYTES_BEFORE_TLS, proxy != nullptr ? proxy->display : host, early);
    }
    if (tls == nullptr) {
        *result = failure == TLS_FAILURE_NO_TLS      ? TRANSPORT_NO_TLS
                  : failure == TLS_FAILURE_CERTIFICATE ? TRANSPORT_CERTIFICATE
                                                       : TRANSPORT_FAILED;
        CloseTransport(below);
        return nullptr;
    }
    Transport* layer = NewLayer(&TLS_OPS, below, below->socket);
    layer->tls = tls;
    *result = TRANSPORT_OPEN;
    return layer;
}

bool TransportIsH2(const Transport* layer) { return layer->tls != nullptr && TlsNegotiatedH2(layer->tls); }

bool TransportHasBuffered(const Transport* layer) {
    for (; layer != nullptr; layer = layer->below) {
        if (layer->heldAt < layer->heldCount) return true;
        if (layer->tls != nullptr && TlsHasBufferedBytes(layer->tls)) return true;
    }
    return false;
}

bool TransportSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return layer->ops->send(transfer, layer, bytes, length);
}

int TransportReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    return layer->ops->receive(transfer, layer, into, room);
}

SocketWait TransportAwait(Transfer* transfer, Transport* layer, bool forWrite) {
    return layer->ops->await(transfer, layer, forWrite);
}

bool TransportAlive(Transport* layer) { return layer->ops->alive(layer); }

void CloseTransport(Transport* layer) {
    if (layer != nullptr) layer->ops->close(layer);
}
