#include "http/fetch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/http_common.h"
#include "http/response_head.h"
#include "http/url.h"
#include "util/strings.h"

namespace {

const char MESSAGE_SEND_FAILED[] = "socket send() failed";
const char MESSAGE_NO_CONTENT_LENGTH[] =
    "http header \xd6\xd0\xc3\xbb\xd5\xd2\xb5\xbd Content-Length \xd7\xd6\xb6\xce";  // http header 中没找到 Content-Length 字段
const char FORMAT_FIRST_BYTES_OVER_LENGTH[] =
    "\xcd\xbc\xc6\xac\xb4\xf3\xd0\xa1:%u, http header \xb7\xb5\xbb\xd8\xb5\xc4 "
    "Content-Length:%d";  // 图片大小:%u, http header 返回的 Content-Length:%d

// Sizes of the allocations that hold the formatted messages.
const int STATUS_MESSAGE_BYTES = 1024;
const int SHORT_MESSAGE_BYTES = 128;

FetchResult* Failed(FetchResult* result, int stage, char* text) {
    result->ok = 0;
    result->errorStage = stage;
    result->text = text;
    result->length = 0;
    return result;
}

}  // namespace

FetchResult* FetchText(const char* url) {
    FetchResult* result = static_cast<FetchResult*>(std::calloc(1, sizeof(FetchResult)));
    UrlParts parts = {nullptr, nullptr, 0};
    const char* refusal = MESSAGE_URL_CANNOT_PARSE;
    if (!ParseUrl(url, &parts, &refusal)) return Failed(result, 1, CopyString(refusal));

    char message[HTTP_ERROR_TEXT_BYTES] = {0};
    char request[REQUEST_TEXT_BYTES];
    int requestLength = BuildGetRequest(&parts, 0, request, message);
    if (requestLength == 0) {
        FreeUrlParts(&parts);
        return Failed(result, 1, CopyString(message));
    }
    SOCKET socket = OpenConnection(parts.host, parts.port, message);
    FreeUrlParts(&parts);
    if (socket == 0) return Failed(result, 1, CopyString(message));
    if (send(socket, request, requestLength, MSG_NOSIGNAL) == SOCKET_ERROR) {
        closesocket(socket);
        return Failed(result, 1, CopyString(MESSAGE_SEND_FAILED));
    }

    char buffer[HTTP_BUFFER_SIZE + 1];
    std::memset(buffer, 0, sizeof buffer);
    int held = 0;
    int headLength = 0;
    int lastReceive = 0;
    int head = ReceiveResponseHead(socket, buffer, &held, &headLength, &lastReceive);
    if (head == HEAD_TOO_LONG) {
        closesocket(socket);
        return Failed(result, 2, CopyString(MESSAGE_HEAD_TOO_LONG));
    }

    int32_t contentLength = -1;
    int32_t received = held;  // all bytes until the head is read, then body bytes
    char* body = nullptr;
    if (head == HEAD_RECEIVED) {
        // Case matters here: this service answers exactly so.
        if (!StartsWith(buffer, "HTTP/1.1 200 OK") && !StartsWith(buffer, "HTTP/1.0 200 OK")) {
            closesocket(socket);
            buffer[held < STATUS_EXCERPT_BYTES ? held : STATUS_EXCERPT_BYTES] = '\0';
            char* text = static_cast<char*>(std::malloc(STATUS_MESSAGE_BYTES));
            std::snprintf(text, STATUS_MESSAGE_BYTES, FORMAT_WRONG_STATUS, buffer);
            return Failed(result, 2, text);
        }
        result->headerText = CopyBytes(buffer, static_cast<size_t>(headLength));
        char headCopy[HTTP_BUFFER_SIZE + 1];
        std::memcpy(headCopy, buffer, static_cast<size_t>(headLength));
        headCopy[headLength] = '\0';
        HttpHeader header;
        std::memset(&header, 0, sizeof header);
        ParseResponseHead(headCopy, &header);
        contentLength = header.contentLength;
        if (contentLength == -1) {
            closesocket(socket);
            return Failed(result, 2, CopyString(MESSAGE_NO_CONTENT_LENGTH));
        }
        if (static_cast<uint32_t>(contentLength) > HTTP_BODY_SIZE_LIMIT) {
            closesocket(socket);
            char* text = static_cast<char*>(std::malloc(SHORT_MESSAGE_BYTES));
            std::snprintf(text, SHORT_MESSAGE_BYTES, FORMAT_LENGTH_OVER_LIMIT, static_cast<uint32_t>(contentLength));
            return Failed(result, 2, text);
        }
        const int bodyStart = headLength + 4;
        const int bodyHeld = held - bodyStart;
        if (contentLength < bodyHeld) {
            closesocket(socket);
            char* text = static_cast<char*>(std::malloc(SHORT_MESSAGE_BYTES));
            std::snprintf(text, SHORT_MESSAGE_BYTES, FORMAT_FIRST_BYTES_OVER_LENGTH,
                          static_cast<uint32_t>(contentLength), contentLength);
            return Failed(result, 2, text);
        }
        body = static_cast<char*>(std::malloc(static_cast<size_t>(contentLength) + 1));
        received = bodyHeld;
        if (body != nullptr) {
            body[contentLength] = '\0';
            std::memcpy(body, buffer + bodyStart, static_cast<size_t>(bodyHeld));
        }
        while (body != nullptr && received < contentLength) {
            int count = static_cast<int>(recv(socket, body + received, contentLength - received, 0));
            lastReceive = count;
            if (count <= 0) break;
            received += count;
        }
    }

    int error = errno;
    closesocket(socket);
    if (body != nullptr && received == contentLength) {
        result->ok = 1;
        result->errorStage = 0;
        result->text = body;
        result->length = contentLength;
        return result;
    }
    std::free(body);
    char* text = static_cast<char*>(std::malloc(SHORT_MESSAGE_BYTES));
    std::snprintf(text, SHORT_MESSAGE_BYTES, FORMAT_SIZE_MISMATCH, static_cast<uint32_t>(contentLength), received,
                  lastReceive, error);
    return Failed(result, 2, text);
}

void FreeFetchResult(FetchResult* result) {
    if (result == nullptr) return;
    std::free(result->headerText);
    std::free(result->text);
    std::free(result);
}
