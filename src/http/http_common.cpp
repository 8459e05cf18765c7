#include "http/http_common.h"

#include <cstring>

#include "http/download_limits.h"
#include "platform/fs.h"
#include "util/strings.h"
#include "texts/texts.h"


namespace {


const char USER_AGENT_LINE[] =
    "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)";

}  // namespace

void CaptureSignature(ImageSignature* signature, const char* bytes, int count) {
    for (int i = 0; signature->captured < 2 && i < count; ++i) {
        signature->bytes[signature->captured++] = static_cast<unsigned char>(bytes[i]);
    }
}

bool WriteToSink(BodySink* sink, const char* bytes, int count) {
    if (count <= 0) return true;
    CaptureSignature(&sink->signature, bytes, count);
    return WriteFileBytes(sink->file, bytes, static_cast<size_t>(count)) == static_cast<size_t>(count);
}

bool SendBytes(HttpConnection* connection, const char* bytes, int length) {
    if (NetworkWaitGivenUp()) return false;
    if (connection->tls != nullptr) return TlsSend(connection->tls, bytes, length) == length;
    return send(connection->socket, bytes, length, MSG_NOSIGNAL) != SOCKET_ERROR;
}

int ReceiveSome(HttpConnection* connection, char* into, int room, int* socketError) {
    int received;
    if (NetworkWaitGivenUp()) {
        // Asked before every receive, so bytes that trickle in cannot keep
        // a download past its bounds.
        SetTimedOutSocketError();
        received = -1;
    } else if (connection->tls != nullptr) {
        received = TlsReceive(connection->tls, into, room);
    } else {
        // The sliced wait, then a recv that finds the bytes already there.
        received = AwaitSocket(connection->socket, false) == SOCKET_READY
                       ? static_cast<int>(recv(connection->socket, into, room, 0))
                       : -1;
    }
    if (received <= 0) *socketError = LastSocketError();
    CountReceivedBytes(received);
    return received;
}

namespace {

// The request target: the path with each space written as "%20", so that
// the request line keeps its three parts.  0 when it would not fit.
int RequestTarget(const char* path, char* target, size_t size) {
    size_t length = 0;
    for (const char* at = path; *at != '\0'; ++at) {
        const char* piece = *at == ' ' ? "%20" : at;
        size_t pieceLength = *at == ' ' ? 3 : 1;
        if (length + pieceLength >= size) return 0;
        std::memcpy(target + length, piece, pieceLength);
        length += pieceLength;
    }
    target[length] = '\0';
    return 1;
}

}  // namespace

int BuildGetRequest(const UrlParts* parts, bool keepAlive, char* request, char* errorText) {
    // ParseUrl refuses such addresses already; this is where a request line
    // or Host line would be split, so the rule holds here too.
    if (HasControlByte(parts->host) || HasControlByte(parts->path)) {
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, "%s", MESSAGE_URL_CONTROL_CHARACTER);
        return 0;
    }
    char target[REQUEST_TEXT_BYTES];
    if (!RequestTarget(parts->path, target, sizeof target)) {
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        return 0;
    }
    char hostLine[HOST_LINE_BYTES];
    const int32_t schemePort = parts->isHttps ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT;
    // An IPv6 literal (the only host with a colon) goes back into brackets.
    const bool bracketed = std::strchr(parts->host, ':') != nullptr;
    int hostLength = parts->port == schemePort
                         ? std::snprintf(hostLine, sizeof hostLine, bracketed ? "\r\nHost: [%s]" : "\r\nHost: %s",
                                         parts->host)
                         : std::snprintf(hostLine, sizeof hostLine, bracketed ? "\r\nHost: [%s]:%d" : "\r\nHost: %s:%d",
                                         parts->host, parts->port);
    if (hostLength < 0 || hostLength >= HOST_LINE_BYTES) {
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_HOST_LINE_TOO_LONG, HOST_LINE_BYTES);
        return 0;
    }
    int length = std::snprintf(request, REQUEST_TEXT_BYTES, "GET %s%s\r\nAccept: */*\r\nAccept-Language: zh-cn%s%s%s",
                               target, keepAlive ? " HTTP/1.1" : " HTTP/1.0", USER_AGENT_LINE, hostLine,
                               keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
    if (length < 0 || length >= REQUEST_TEXT_BYTES) {
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        return 0;
    }
    return length;
}
