#include "http/fetch.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/http_common.h"
#include "http/response_head.h"
#include "http/transfer.h"
#include "http/url.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

const char MESSAGE_SEND_FAILED[] = "socket send() failed";

// Sizes of the allocations that hold the formatted messages.
const int STATUS_MESSAGE_BYTES = 1024;
const int SHORT_MESSAGE_BYTES = 128;

// The response as it arrives.
struct Response {
    char buffer[HTTP_BUFFER_SIZE + 1];
    HeadReader head;
    int32_t contentLength;  // -1 until a 200 head announces one
    int32_t received;       // all bytes until the head is read, then body bytes
    char* body;             // contentLength + 1 bytes once the head is accepted
    int lastReceive;
    int lastSocketError;  // of the receive that returned 0 or less
};

// A message formatted into a heap block of `bytes` (cut to fit).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
char* FormatText(size_t bytes, const char* format, ...) {
    char* text = static_cast<char*>(Allocate(bytes));
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, bytes, format, arguments);
    va_end(arguments);
    return text;
}

void Fail(FetchResult* result, FetchStage stage, char* text) {
    result->ok = false;
    result->errorStage = stage;
    result->text = text;
    result->length = 0;
}

// Parses the address, connects and sends the request: the connection, or
// null with the result failed at FETCH_NOT_SENT.
HttpConnection* SendRequest(Transfer* transfer, const char* url, FetchResult* result) {
    UrlParts parts = {nullptr, nullptr, 0, 0};
    const char* refusal = MESSAGE_URL_CANNOT_PARSE;
    if (!ParseUrl(url, &parts, &refusal)) {
        Fail(result, FETCH_NOT_SENT, CopyString(refusal));
        return nullptr;
    }
    // Our own service speaks plain HTTP only, whatever the address says,
    // and is reached direct, never through a proxy.
    parts.isHttps = 0;
    char message[HTTP_ERROR_TEXT_BYTES] = {0};
    const ErrorText error = {message, sizeof message};
    char request[REQUEST_TEXT_BYTES];
    int requestLength = BuildGetRequest(&parts, /*keepAlive=*/false, request, error);
    HttpConnection* connection =
        requestLength > 0 ? OpenHttpConnection(transfer, parts.host, parts.port, /*secure=*/false, error, nullptr)
                          : nullptr;
    // One request to our own service: its connect clears the count, as it
    // always did, where image hosts must answer first.
    if (connection != nullptr) NoteHostAnswer(transfer, connection, /*answered=*/true);
    FreeUrlParts(&parts);
    if (connection != nullptr && !SendBytes(transfer, connection, request, requestLength)) {
        CloseHttpConnection(connection);
        connection = nullptr;
        PutError(error, "%s", MESSAGE_SEND_FAILED);
    }
    if (connection == nullptr) Fail(result, FETCH_NOT_SENT, CopyString(message));
    return connection;
}

// Accepts a 200 head with a length the body buffer can take, and starts the
// body with the bytes that came with the head.  False with the result
// failed otherwise.
bool AcceptHead(Response* response, FetchResult* result) {
    char* received = response->buffer;
    const int32_t held = response->head.held;
    const int32_t headLength = response->head.headLength;
    // Case matters here: this service answers exactly so.
    if (!StartsWith(received, "HTTP/1.1 200 OK") && !StartsWith(received, "HTTP/1.0 200 OK")) {
        received[held < STATUS_EXCERPT_BYTES ? held : STATUS_EXCERPT_BYTES] = '\0';
        Fail(result, FETCH_NOT_ACCEPTED, FormatText(STATUS_MESSAGE_BYTES, FORMAT_WRONG_STATUS, received));
        return false;
    }
    result->headerText = CopyBytes(received, static_cast<size_t>(headLength));
    char headCopy[HTTP_BUFFER_SIZE + 1];
    std::memcpy(headCopy, received, static_cast<size_t>(headLength));
    headCopy[headLength] = '\0';
    HttpHeader header;
    std::memset(&header, 0, sizeof header);
    ParseResponseHead(headCopy, &header);
    const int32_t contentLength = header.contentLength;
    response->contentLength = contentLength;
    if (contentLength == -1) {
        Fail(result, FETCH_NOT_ACCEPTED, CopyString(MESSAGE_NO_CONTENT_LENGTH));
        return false;
    }
    if (static_cast<uint32_t>(contentLength) > HTTP_BODY_SIZE_LIMIT) {
        Fail(result, FETCH_NOT_ACCEPTED,
             FormatText(SHORT_MESSAGE_BYTES, FORMAT_LENGTH_OVER_LIMIT, static_cast<uint32_t>(contentLength)));
        return false;
    }
    const int32_t bodyStart = headLength + 4;
    const int32_t bodyHeld = held - bodyStart;
    if (contentLength < bodyHeld) {
        Fail(result, FETCH_NOT_ACCEPTED,
             FormatText(SHORT_MESSAGE_BYTES, FORMAT_FIRST_BYTES_OVER_LENGTH, static_cast<uint32_t>(contentLength),
                        contentLength));
        return false;
    }
    response->body = static_cast<char*>(Allocate(static_cast<size_t>(contentLength) + 1));
    response->body[contentLength] = '\0';
    std::memcpy(response->body, received + bodyStart, static_cast<size_t>(bodyHeld));
    response->received = bodyHeld;
    return true;
}

// Receives the rest of the body straight into its buffer.
void ReceiveBody(Transfer* transfer, HttpConnection* connection, Response* response) {
    while (response->received < response->contentLength) {
        int count = ReceiveSome(transfer, connection, response->body + response->received,
                                response->contentLength - response->received, &response->lastSocketError);
        response->lastReceive = count;
        if (count <= 0) return;
        response->received += count;
    }
}

// The head, then the body; the result says how it went.
void ReceiveResponse(Transfer* transfer, HttpConnection* connection, FetchResult* result) {
    Response response;
    std::memset(&response, 0, sizeof response);
    response.contentLength = -1;
    StartHeadReader(&response.head, response.buffer);
    HeadState state = ReceiveResponseHead(transfer, connection, &response.head);
    response.received = response.head.held;
    response.lastReceive = response.head.lastReceive;
    response.lastSocketError = response.head.lastSocketError;
    if (state == HEAD_TOO_LONG) {
        Fail(result, FETCH_NOT_ACCEPTED, CopyString(MESSAGE_HEAD_TOO_LONG));
        return;
    }
    if (state == HEAD_RECEIVED) {
        if (!AcceptHead(&response, result)) return;
        ReceiveBody(transfer, connection, &response);
    }
    if (response.body != nullptr && response.received == response.contentLength) {
        result->ok = true;
        result->errorStage = FETCH_SUCCEEDED;
        result->text = response.body;
        result->length = response.contentLength;
        return;
    }
    std::free(response.body);
    Fail(result, FETCH_NOT_ACCEPTED,
         FormatText(SHORT_MESSAGE_BYTES, FORMAT_SIZE_MISMATCH, static_cast<uint32_t>(response.contentLength),
                    response.received, response.lastReceive, response.lastSocketError));
}

}  // namespace

FetchResult* FetchText(HttpClient* client, const char* url) {
    FetchResult* result = static_cast<FetchResult*>(AllocateZeroed(1, sizeof(FetchResult)));
    // No download limits: the network time-out alone bounds its waits.
    Transfer transfer;
    InitTransfer(&transfer, client, ErrorText{nullptr, 0}, nullptr);
    HttpConnection* connection = SendRequest(&transfer, url, result);
    if (connection == nullptr) return result;
    ReceiveResponse(&transfer, connection, result);
    CloseHttpConnection(connection);
    return result;
}

void FreeFetchResult(FetchResult* result) {
    if (result == nullptr) return;
    std::free(result->headerText);
    std::free(result->text);
    std::free(result);
}
