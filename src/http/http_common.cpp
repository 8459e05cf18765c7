#include "http/http_common.h"

#include <cstring>

#include "http/download_limits.h"
#include "platform/fs.h"
#include "util/strings.h"

const char MESSAGE_HEAD_TOO_LONG[] =
    "\xb6\xc1\xc8\xa1 HTTP_BUFFER_SIZE \xd7\xd6\xbd\xda, \xbb\xb9\xc3\xbb\xd3\xd0\xb6\xc1\xc8\xa1\xcd\xea\xd5\xfb\xb8\xf6 "
    "HTTP Head.";  // 读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.
const char FORMAT_WRONG_STATUS[] =
    "\xb7\xb5\xbb\xd8\xb4\xed\xce\xf3\xb5\xc4http\xd7\xb4\xcc\xac\xc2\xeb:\n%s";  // 返回错误的http状态码:\n%s
const char FORMAT_LENGTH_OVER_LIMIT[] =
    "fileSize=0, header.contentLength: %u, \xb4\xf3\xd3\xda" "10M";  // fileSize=0, header.contentLength: %u, 大于10M
const char FORMAT_SIZE_MISMATCH[] =
    "\xcd\xbc\xc6\xac\xb4\xf3\xd0\xa1:%u, \xca\xb5\xbc\xca\xbd\xd3\xca\xd5\xb5\xbd\xb5\xc4\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1:%d, "
    "ret:%d, errno:%d";  // 图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d
const char MESSAGE_WRITE_FAILED[] =
    "\xd0\xb4\xc8\xeb\xce\xc4\xbc\xfe\xca\xb1\xb3\xf6\xb4\xed\xa3\xac\xc7\xeb\xbc\xec\xb2\xe9\xd3\xb2\xc5\xcc\xbf\xc9\xd3\xc3"
    "\xbf\xd5\xbc\xe4\xca\xc7\xb7\xf1\xd2\xd1\xb2\xbb\xd7\xe3\xa1\xa3";  // 写入文件时出错，请检查硬盘可用空间是否已不足。

namespace {

const char FORMAT_REQUEST_TOO_LONG[] =
    "\xb5\xd8\xd6\xb7\xcc\xab\xb3\xa4: \xc7\xeb\xc7\xf3\xb3\xac\xb9\xfd%d\xd7\xd6\xbd\xda, "
    "\xce\xb4\xb7\xa2\xcb\xcd\xa1\xa3";  // 地址太长: 请求超过%d字节, 未发送。
const char FORMAT_HOST_LINE_TOO_LONG[] =
    "\xd3\xf2\xc3\xfb\xcc\xab\xb3\xa4: Host \xd0\xd0\xb3\xac\xb9\xfd%d\xd7\xd6\xbd\xda, "
    "\xce\xb4\xb7\xa2\xcb\xcd\xa1\xa3";  // 域名太长: Host 行超过%d字节, 未发送。

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
    int hostLength = parts->port == schemePort
                         ? std::snprintf(hostLine, sizeof hostLine, "\r\nHost: %s", parts->host)
                         : std::snprintf(hostLine, sizeof hostLine, "\r\nHost: %s:%d", parts->host, parts->port);
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
