#include "http/http_common.h"

#include <cstring>

#include "http/proxy_settings.h"
#include "http/transfer.h"
#include "platform/fs.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

const char USER_AGENT_LINE[] = "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)";

const size_t USER_AGENT_NAME_LENGTH = 14;  // "\r\nUser-Agent: "

}  // namespace

const char* RequestUserAgent() { return USER_AGENT_LINE + USER_AGENT_NAME_LENGTH; }

void CaptureSignature(ImageSignature* signature, const char* bytes, int count) {
    for (int i = 0; signature->captured < 2 && i < count; ++i) {
        signature->bytes[signature->captured++] = static_cast<unsigned char>(bytes[i]);
    }
}

bool WriteToSink(BodySink* sink, const char* bytes, int count) {
    if (count <= 0) return true;
    CaptureSignature(&sink->signature, bytes, count);
    if (WriteFileBytes(sink->file, bytes, static_cast<size_t>(count)) != static_cast<size_t>(count)) return false;
    BodyHash* hash = sink->hash;
    if (hash != nullptr && hash->hasher != nullptr) {
        if (UpdateSha256(hash->hasher, bytes, static_cast<size_t>(count)) == 1) {
            hash->bytes += count;
        } else {
            FreeSha256(hash->hasher);
            hash->hasher = nullptr;
        }
    }
    return true;
}

bool SendBytes(Transfer* transfer, HttpConnection* connection, const char* bytes, int length) {
    if (TransferGivenUp(transfer)) return false;
    return TransportSend(transfer, connection->transport, bytes, length);
}

int ReceiveSome(Transfer* transfer, HttpConnection* connection, char* into, int room, int* socketError) {
    const int received = ReceiveForTransfer(transfer, connection->transport, into, room);
    if (received <= 0) *socketError = LastSocketError();
    return received;
}

namespace {

// The request target: the path with each space written as "%20", so that
// the request line keeps its three parts.  False when it would not fit.
bool RequestTarget(const char* path, char* target, size_t size) {
    size_t length = 0;
    for (const char* at = path; *at != '\0'; ++at) {
        const char* piece = *at == ' ' ? "%20" : at;
        size_t pieceLength = *at == ' ' ? 3 : 1;
        if (length + pieceLength >= size) return false;
        std::memcpy(target + length, piece, pieceLength);
        length += pieceLength;
    }
    target[length] = '\0';
    return true;
}

// "http://host[:port]" of an absolute-form target, the port named as in
// the Host line; its length, or -1 when it would not fit.
int AbsoluteOrigin(const UrlParts* parts, char* target, size_t size) {
    return FormatHostPort(target, size, "http://", parts->host, parts->port == HTTP_DEFAULT_PORT ? -1 : parts->port);
}

// The Host line's value: the host (an IPv6 literal back in brackets) and
// the port unless it is the scheme's own; its length, or -1 when it would
// not fit.
int FormatAuthority(const UrlParts* parts, char* authority, size_t size) {
    const int32_t schemePort = parts->isHttps ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT;
    return FormatHostPort(authority, size, "", parts->host, parts->port == schemePort ? -1 : parts->port);
}

}  // namespace

bool HostNameFits(const char* host, ErrorText error) {
    if (std::strlen(host) <= static_cast<size_t>(HOST_NAME_MAX_BYTES)) return true;
    PutError(error, FORMAT_HOST_TOO_LONG, HOST_NAME_MAX_BYTES, host);
    return false;
}

bool BuildRequestFields(const UrlParts* parts, char* target, char* authority, ErrorText error) {
    if (HasControlByte(parts->host) || HasControlByte(parts->path)) {
        PutError(error, "%s", MESSAGE_URL_CONTROL_CHARACTER);
        return false;
    }
    if (!HostNameFits(parts->host, error)) return false;
    if (!RequestTarget(parts->path, target, REQUEST_TEXT_BYTES)) {
        PutError(error, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        return false;
    }
    // The same bound as the Host line's, less its "\r\nHost: ".
    if (FormatAuthority(parts, authority, HOST_LINE_BYTES - 8) < 0) {
        PutError(error, FORMAT_HOST_LINE_TOO_LONG, HOST_LINE_BYTES);
        return false;
    }
    return true;
}

int BuildGetRequest(const UrlParts* parts, bool keepAlive, char* request, ErrorText error, const ProxyEndpoint* proxy) {
    // ParseUrl refuses such addresses already; this is where a request line
    // or Host line would be split, so the rule holds here too.
    if (HasControlByte(parts->host) || HasControlByte(parts->path)) {
        PutError(error, "%s", MESSAGE_URL_CONTROL_CHARACTER);
        return 0;
    }
    if (!HostNameFits(parts->host, error)) return 0;
    char target[REQUEST_TEXT_BYTES];
    // Through a proxy a plain address is asked for whole (absolute form);
    // an https one goes through a tunnel, so its request is the origin's.
    const bool absolute = proxy != nullptr && !parts->isHttps;
    int origin = absolute ? AbsoluteOrigin(parts, target, sizeof target) : 0;
    if (origin < 0 || !RequestTarget(parts->path, target + origin, sizeof target - static_cast<size_t>(origin))) {
        PutError(error, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        return 0;
    }
    char authority[HOST_LINE_BYTES];
    char hostLine[HOST_LINE_BYTES];
    int hostLength = FormatAuthority(parts, authority, sizeof authority) < 0
                         ? -1
                         : std::snprintf(hostLine, sizeof hostLine, "\r\nHost: %s", authority);
    if (hostLength < 0 || hostLength >= HOST_LINE_BYTES) {
        PutError(error, FORMAT_HOST_LINE_TOO_LONG, HOST_LINE_BYTES);
        return 0;
    }
    const bool authorized = absolute && proxy->authorization != nullptr;
    int length =
        std::snprintf(request, REQUEST_TEXT_BYTES, "GET %s%s\r\nAccept: */*\r\nAccept-Language: zh-cn%s%s%s%s%s",
                      target, keepAlive ? " HTTP/1.1" : " HTTP/1.0", USER_AGENT_LINE, hostLine,
                      authorized ? "\r\nProxy-Authorization: " : "", authorized ? proxy->authorization : "",
                      keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
    if (length < 0 || length >= REQUEST_TEXT_BYTES) {
        PutError(error, FORMAT_REQUEST_TOO_LONG, REQUEST_TEXT_BYTES);
        return 0;
    }
    return length;
}
