#include "http/download.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/chunked.h"
#include "http/connection.h"
#include "http/response_head.h"
#include "http/url.h"
#include "platform/fs.h"
#include "util/app_log.h"
#include "util/strings.h"

namespace {

const char MESSAGE_SEND_FAILED[] = "\xcf\xc2\xd4\xd8\xcd\xbc\xc6\xac\xca\xa7\xb0\xdc: send() failed";  // 下载图片失败: send() failed
const char MESSAGE_CANNOT_CREATE[] =
    "\xcd\xbc\xc6\xac\xb0\xe1\xbc\xd2\xca\xa7\xb0\xdc\xa3\xba\xce\xde\xb7\xa8\xb4\xb4\xbd\xa8\xd0\xc2\xce\xc4\xbc\xfe"
    "\xa1\xa3";  // 图片搬家失败：无法创建新文件。
const char MESSAGE_NOT_FOUND[] = "404 Not Found - \xce\xc4\xbc\xfe\xb2\xbb\xb4\xe6\xd4\xda";  // 404 Not Found - 文件不存在
const char FORMAT_CONTENT_ENCODING[] = "header.contentEncoding:%s";
const char MESSAGE_KEEP_ALIVE_WITHOUT_LENGTH[] = "Connection: keep-alive, Content-Length = -1";
const char FORMAT_FIRST_BYTES_OVER_SIZE[] =
    "readTotal > fileSize, \xb5\xb1\xc7\xb0\xcf\xc2\xd4\xd8\xb5\xc4\xce\xc4\xbc\xfe\xca\xfd\xbe\xdd\xb4\xf3\xd0\xa1:%d, "
    "fileSize:%u";  // readTotal > fileSize, 当前下载的文件数据大小:%d, fileSize:%u
const char FORMAT_BODY_OVER_LIMIT[] = "header.contentLength: %d, readTotal:%d > 10M";
const char FORMAT_UNFINISHED_SIZE_UNSET[] =
    "(fileSize:\xce\xb4\xb6\xa8\xd2\xe5, readTotal:%d), (header.isChunked:%d, "
    "isChunkReceiveCompleted:%d)";  // (fileSize:未定义, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)
const char FORMAT_UNFINISHED[] = "(fileSize:%u, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)";
const char MESSAGE_UNSUPPORTED_FORMAT[] =
    "\xcf\xc2\xd4\xd8\xb5\xc4\xcd\xbc\xc6\xac\xb8\xf1\xca\xbd\xb2\xbb\xca\xdc\xd6\xa7\xb3\xd6";  // 下载的图片格式不受支持
const char FORMAT_RETRY_RECORD[] =
    "\xb0\xe1\xbc\xd2\xca\xa7\xb0\xdc\xa3\xba%s(useKeepAlive:%d)\xa3\xac\xb7\xb5\xbb\xd8\xb5\xc4\xb4\xed\xce\xf3\xd0\xc5"
    "\xcf\xa2\xa3\xba\r\n%s";  // 搬家失败：%s(useKeepAlive:%d)，返回的错误信息：\r\n%s

// fileSize when the response announced no length.
const uint32_t FILE_SIZE_UNSET = 0xFFFFFFFFu;
// Internal result: the response is a redirect to follow.
const int FOLLOW_REDIRECT = 2;
// Suffix some image hosts append to offer WebP; the plain address is wanted.
const char WEBP_OFFER_SUFFIX[] = "_.webp";

// The state of one attempt: one request and its response.
struct Attempt {
    const UrlParts* parts;
    const char* filePath;
    char* errorText;
    int useKeepAlive;
    int isRedirect;
    SOCKET socket;      // 0 until connected
    int fileCreated;
    BodySink sink;      // sink.file is null once closed
    int retryable;      // a failure may be repeated without keep-alive
    char buffer[HTTP_BUFFER_SIZE + 1];
    char headText[HTTP_BUFFER_SIZE + 1];  // the head's copy that ParseResponseHead cuts up
    HttpHeader header;
    uint32_t fileSize;
    int32_t readTotal;
    int lastReceive;
    int isChunkReceiveCompleted;
    int redirectBodyInHand;  // the redirect response's body was read whole
};

int SameTextNoCase(const char* text, const char* other) {
    return StartsWithNoCase(text, other) && std::strlen(text) == std::strlen(other) ? 1 : 0;
}

int Fail(Attempt* attempt, int result, const char* message) {
    std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, "%s", message);
    return result;
}

int EvaluateEnd(Attempt* attempt) {
    int error = errno;
    const int isChunked = attempt->header.isChunked;
    const bool sizeUnset = attempt->fileSize == FILE_SIZE_UNSET;
    const bool sizeMet = static_cast<uint32_t>(attempt->readTotal) == attempt->fileSize;
    if (!attempt->useKeepAlive) {
        // A body that only the close of the connection ends is taken at the
        // length that arrived; a chunked body says itself where it ends, so
        // one cut off inside a chunk is never taken for a whole image.
        bool complete = isChunked ? (attempt->isChunkReceiveCompleted || sizeMet) : (sizeUnset || sizeMet);
        if (!complete) {
            std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_SIZE_MISMATCH, attempt->fileSize,
                          attempt->readTotal, attempt->lastReceive, error);
            return DOWNLOAD_NOT_ACCEPTED;
        }
    } else if (!sizeMet && !(isChunked && attempt->isChunkReceiveCompleted)) {
        if (sizeUnset) {
            std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_UNFINISHED_SIZE_UNSET, attempt->readTotal,
                          isChunked, attempt->isChunkReceiveCompleted);
        } else {
            std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_UNFINISHED, attempt->fileSize,
                          attempt->readTotal, isChunked, attempt->isChunkReceiveCompleted);
        }
        return DOWNLOAD_FAILED;
    }
    if (!IsSupportedImageSignature(attempt->sink.signature.bytes)) {
        return Fail(attempt, DOWNLOAD_NOT_ACCEPTED, MESSAGE_UNSUPPORTED_FORMAT);
    }
    return DOWNLOAD_STORED;
}

// The body framed by its length, or by the close of the connection.
int ReadPlainBody(Attempt* attempt, int held, int bodyStart) {
    char* buffer = attempt->buffer;
    int first = held - bodyStart;
    attempt->readTotal = first;
    if (static_cast<uint32_t>(first) > attempt->fileSize) {
        std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_FIRST_BYTES_OVER_SIZE, attempt->readTotal,
                      attempt->fileSize);
        return DOWNLOAD_NOT_ACCEPTED;
    }
    if (!WriteToSink(&attempt->sink, buffer + bodyStart, first)) {
        attempt->retryable = 0;
        return Fail(attempt, DOWNLOAD_WRITE_FAILED, MESSAGE_WRITE_FAILED);
    }
    if (static_cast<uint32_t>(attempt->readTotal) == attempt->fileSize) return EvaluateEnd(attempt);
    for (;;) {
        int received = static_cast<int>(recv(attempt->socket, buffer, HTTP_BUFFER_SIZE, 0));
        attempt->lastReceive = received;
        if (received <= 0) return EvaluateEnd(attempt);
        attempt->readTotal += received;
        if (static_cast<uint32_t>(attempt->readTotal) > HTTP_BODY_SIZE_LIMIT) {
            std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_BODY_OVER_LIMIT,
                          attempt->header.contentLength, attempt->readTotal);
            return DOWNLOAD_NOT_ACCEPTED;
        }
        uint32_t total = static_cast<uint32_t>(attempt->readTotal);
        if (total > attempt->fileSize) {
            // More than announced: nothing more is written, and the end
            // evaluation will refuse the size.
            CaptureSignature(&attempt->sink.signature, buffer, received);
            continue;
        }
        if (!WriteToSink(&attempt->sink, buffer, received)) {
            attempt->retryable = 0;
            return Fail(attempt, DOWNLOAD_WRITE_FAILED, MESSAGE_WRITE_FAILED);
        }
        if (total == attempt->fileSize) return EvaluateEnd(attempt);
    }
}

// One request and its response, up to the result; FinishAttempt cleans up.
int RunAttempt(Attempt* attempt) {
    const UrlParts* parts = attempt->parts;
    char request[REQUEST_TEXT_BYTES];
    int requestLength = BuildGetRequest(parts, attempt->useKeepAlive, request, attempt->errorText);
    if (requestLength == 0) {
        // The address itself is unusable; a repetition would fail alike.
        attempt->retryable = 0;
        return DOWNLOAD_FAILED;
    }

    char connectMessage[HTTP_ERROR_TEXT_BYTES] = {0};
    attempt->socket = attempt->useKeepAlive ? AcquirePooledConnection(parts->host, parts->port, connectMessage)
                                            : OpenConnection(parts->host, parts->port, connectMessage);
    if (attempt->socket == 0) return Fail(attempt, DOWNLOAD_FAILED, connectMessage);

    if (send(attempt->socket, request, requestLength, MSG_NOSIGNAL) == SOCKET_ERROR) {
        return Fail(attempt, DOWNLOAD_FAILED, MESSAGE_SEND_FAILED);
    }

    attempt->sink.file = OpenFileByPath(attempt->filePath, "wb");
    if (attempt->sink.file == nullptr) {
        attempt->retryable = 0;
        return Fail(attempt, DOWNLOAD_CANNOT_CREATE, MESSAGE_CANNOT_CREATE);
    }
    attempt->fileCreated = 1;

    // The head.
    char* buffer = attempt->buffer;
    std::memset(buffer, 0, sizeof attempt->buffer);
    std::memset(&attempt->header, 0, sizeof attempt->header);
    attempt->header.contentLength = -1;
    attempt->fileSize = FILE_SIZE_UNSET;
    attempt->readTotal = 0;
    int held = 0;
    int headLength = 0;
    int head = ReceiveResponseHead(attempt->socket, buffer, &held, &headLength, &attempt->lastReceive);
    if (head == HEAD_ENDED) {
        attempt->readTotal = held;
        return EvaluateEnd(attempt);
    }
    if (head == HEAD_TOO_LONG) return Fail(attempt, DOWNLOAD_FAILED, MESSAGE_HEAD_TOO_LONG);
    attempt->readTotal = held;
    std::memcpy(attempt->headText, buffer, static_cast<size_t>(headLength));
    attempt->headText[headLength] = '\0';
    ParseResponseHead(attempt->headText, &attempt->header);
    HttpHeader* header = &attempt->header;
    const int bodyStart = headLength + 4;

    // The status, judged on the received bytes.
    bool success = StartsWithNoCase(buffer, "HTTP/1.1 200 OK") || StartsWithNoCase(buffer, "HTTP/1.0 200 OK");
    if (!success) {
        bool redirect = StartsWithNoCase(buffer, "HTTP/1.0 301") || StartsWithNoCase(buffer, "HTTP/1.1 301") ||
                        StartsWithNoCase(buffer, "HTTP/1.0 302") || StartsWithNoCase(buffer, "HTTP/1.1 302");
        if (!attempt->isRedirect && redirect && header->location[0] != '\0') {
            // A pooled connection is clean for reuse only when the redirect's
            // own body is wholly read; unread bytes would be taken for the
            // next response's head.
            attempt->redirectBodyInHand =
                header->contentLength >= 0 && !header->isChunked && held - bodyStart == header->contentLength;
            return FOLLOW_REDIRECT;
        }
        if (StartsWithNoCase(buffer, "HTTP/1.0 404") || StartsWithNoCase(buffer, "HTTP/1.1 404")) {
            return Fail(attempt, DOWNLOAD_FAILED, MESSAGE_NOT_FOUND);
        }
        buffer[held < STATUS_EXCERPT_BYTES ? held : STATUS_EXCERPT_BYTES] = '\0';
        std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_WRONG_STATUS, buffer);
        return DOWNLOAD_FAILED;
    }

    // The framing of a 200 response.
    if (header->contentEncoding[0] != '\0') {
        std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_CONTENT_ENCODING, header->contentEncoding);
        return DOWNLOAD_FAILED;
    }
    if (header->contentLength != -1) {
        attempt->fileSize = static_cast<uint32_t>(header->contentLength);
        if (attempt->fileSize > HTTP_BODY_SIZE_LIMIT) {
            std::snprintf(attempt->errorText, HTTP_ERROR_TEXT_BYTES, FORMAT_LENGTH_OVER_LIMIT, attempt->fileSize);
            return DOWNLOAD_NOT_ACCEPTED;
        }
    } else if (attempt->useKeepAlive && !header->isChunked && !SameTextNoCase(header->connection, "close")) {
        // Only the close of the connection could end this body.
        return Fail(attempt, DOWNLOAD_FAILED, MESSAGE_KEEP_ALIVE_WITHOUT_LENGTH);
    }
    if (header->isChunked) {
        ChunkedBodyReader reader;
        std::memset(&reader, 0, sizeof reader);
        reader.buffer = buffer;
        reader.held = held;
        reader.cursor = bodyStart;
        reader.fileSize = attempt->fileSize;
        reader.sink = &attempt->sink;
        reader.errorText = attempt->errorText;
        int outcome = ReadChunkedBody(attempt->socket, &reader);
        attempt->readTotal = reader.readTotal;
        attempt->lastReceive = reader.lastReceive;
        attempt->isChunkReceiveCompleted = reader.isChunkReceiveCompleted;
        if (outcome != CHUNKED_BODY_READ) {
            if (outcome == DOWNLOAD_WRITE_FAILED) attempt->retryable = 0;
            return outcome;
        }
        return EvaluateEnd(attempt);
    }
    return ReadPlainBody(attempt, held, bodyStart);
}

void DropConnection(Attempt* attempt) {
    if (attempt->socket == 0) return;
    if (attempt->useKeepAlive) ReleasePooledConnection(attempt->parts->host, attempt->parts->port);
    closesocket(attempt->socket);
    attempt->socket = 0;
}

// Closes the file and settles the connection for `result`; returns the
// final result (a file that cannot be closed cleanly turns success into a
// write failure).  On every result but success the file is removed.
int FinishAttempt(Attempt* attempt, int result) {
    if (attempt->sink.file != nullptr) {
        int closed = CloseFile(attempt->sink.file);
        attempt->sink.file = nullptr;
        if (result == DOWNLOAD_STORED && !closed) {
            attempt->retryable = 0;
            result = Fail(attempt, DOWNLOAD_WRITE_FAILED, MESSAGE_WRITE_FAILED);
        }
    }
    if (result != DOWNLOAD_STORED && attempt->fileCreated) RemoveFileByPath(attempt->filePath);

    if (result == DOWNLOAD_STORED) {
        if (!attempt->useKeepAlive) {
            closesocket(attempt->socket);
        } else if (SameTextNoCase(attempt->header.connection, "close")) {
            DropConnection(attempt);
        }
        return result;
    }
    if (result == FOLLOW_REDIRECT) {
        const char* connection = attempt->header.connection;
        bool keep = attempt->useKeepAlive && connection[0] != '\0' && !SameTextNoCase(connection, "close") &&
                    attempt->redirectBodyInHand;
        if (!keep) DropConnection(attempt);
        return result;
    }
    DropConnection(attempt);
    return result;
}

}  // namespace

int IsSupportedImageSignature(const unsigned char* signature) {
    const unsigned char a = signature[0], b = signature[1];
    if (a == 0xFF && b == 0xD8) return 1;  // JPEG
    if (a == 0x89 && b == 0x50) return 1;  // PNG
    if (a == 0x47 && b == 0x49) return 1;  // GIF
    if (a == 0x42 && b == 0x4D) return 1;  // BMP
    return 0;
}

int DownloadImage(const char* url, const char* filePath, char* errorText, int useKeepAlive, int isRedirect) {
    if (url == nullptr) {
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, "%s", MESSAGE_URL_CANNOT_PARSE);
        return DOWNLOAD_FAILED;
    }
    char* unescaped = std::strstr(url, "&amp;") != nullptr ? UnescapeAmpersands(url) : nullptr;
    UrlParts parts = {nullptr, nullptr, 0};
    const char* refusal = MESSAGE_URL_CANNOT_PARSE;
    if (!ParseUrl(unescaped != nullptr ? unescaped : url, &parts, &refusal)) {
        // Nothing was sent and nothing connected; a repetition would fail alike.
        std::snprintf(errorText, HTTP_ERROR_TEXT_BYTES, "%s", refusal);
        std::free(unescaped);
        return DOWNLOAD_FAILED;
    }
    // Always plain HTTP, also for "https:" addresses.
    if (parts.port == 443) parts.port = 80;

    char location[HEADER_LOCATION_BYTES];
    int result;
    int retryable;
    {
        Attempt attempt;
        std::memset(&attempt, 0, sizeof attempt);
        attempt.parts = &parts;
        attempt.filePath = filePath;
        attempt.errorText = errorText;
        attempt.useKeepAlive = useKeepAlive;
        attempt.isRedirect = isRedirect;
        attempt.retryable = 1;
        result = FinishAttempt(&attempt, RunAttempt(&attempt));
        retryable = attempt.retryable;
        std::memcpy(location, attempt.header.location, sizeof location);
    }
    FreeUrlParts(&parts);
    std::free(unescaped);

    if (result == FOLLOW_REDIRECT) {
        if (EndsWithNoCase(location, WEBP_OFFER_SUFFIX)) location[std::strlen(location) - 6] = '\0';
        return DownloadImage(location, filePath, errorText, 1, 1);
    }
    if ((result == DOWNLOAD_NOT_ACCEPTED || result == DOWNLOAD_FAILED) && retryable && useKeepAlive) {
        char line[HTTP_ERROR_TEXT_BYTES * 3];
        std::snprintf(line, sizeof line, FORMAT_RETRY_RECORD, url, 1, errorText);
        LogLine(line);
        return DownloadImage(url, filePath, errorText, 0, isRedirect);
    }
    return result;
}
