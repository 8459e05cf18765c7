#include "http/download.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "http/chunked.h"
#include "http/connection.h"
#include "http/download_limits.h"
#include "http/h2_session.h"
#include "http/http_client.h"
#include "http/proxy_settings.h"
#include "http/response_head.h"
#include "http/transfer.h"
#include "http/url.h"
#include "platform/fs.h"
#include "util/app_log.h"
#include "base/memory.h"
#include "base/strings.h"
#include "platform/thread.h"
#include "texts/texts.h"

namespace {

const char FORMAT_CONTENT_ENCODING[] = "header.contentEncoding:%s";
const char MESSAGE_KEEP_ALIVE_WITHOUT_LENGTH[] = "Connection: keep-alive, Content-Length = -1";
const char FORMAT_BODY_OVER_LIMIT[] = "header.contentLength: %d, readTotal:%d > 10M";
const char FORMAT_UNFINISHED[] = "(fileSize:%u, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)";

// fileSize when the response announced no length.
const uint32_t FILE_SIZE_UNSET = 0xFFFFFFFFu;
// Suffix some image hosts append to offer WebP; the plain address is wanted.
const char WEBP_OFFER_SUFFIX[] = "_.webp";

// The state of one attempt: one request and its response.
struct Attempt {
    Transfer* transfer;  // the download's
    // Given (a plain fallback of an https address changes scheme and port):
    UrlParts parts;  // the strings belong to the caller
    const char* filePath;
    FILE** claimed;               // the download's file, still open from its claim, until an attempt takes it
    ErrorText error;              // the caller's message buffer
    const ProxyEndpoint* proxy;   // null: direct
    ProxyEndpoint fallbackProxy;  // owned: the proxy of an https address's plain fallback, when one applies
    bool useKeepAlive;
    bool isRedirect;
    const char* redirectedFrom;  // a redirect's: the place ("host:port") that sent it here, else null
    // How it ends:
    DownloadResult result;
    bool retryable;           // a failure may be repeated without keep-alive
    bool followRedirect;      // the response redirects to header.location
    bool redirectBodyInHand;  // the redirect response's body was read whole
    bool stale;               // a kept-alive connection the host had closed: no byte came back
    bool proxyCloses;         // a proxy answered in HTTP/1.0 without keep-alive: it closes after the response
    bool offerH2;             // the connection to open offers HTTP/2 (a probe of its key)
    bool isH2;                // the response came over HTTP/2
    bool h2Complete;          // its stream ended cleanly
    uint32_t h2ErrorCode;     // else the stream's error code
    bool unprocessed;         // the HTTP/2 server did not process the request: ask again
    // What it holds:
    HttpConnection* connection;  // null until connected
    BodySink sink;               // sink.file is null once closed
    // The response:
    char buffer[HTTP_BUFFER_SIZE + 1];
    char headText[HTTP_BUFFER_SIZE + 1];  // the head's copy that ParseResponseHead cuts up
    HeadReader head;
    HttpHeader header;
    uint32_t fileSize;
    int32_t readTotal;
    int lastReceive;
    int lastSocketError;  // the socket error of the receive that returned 0 or less
    bool isChunkReceiveCompleted;
};

// The client's bound on HTTP/1.1 connections: false when the download's
// limit came while it waited for a slot.
bool EnterHttp1Gate(Transfer* transfer) {
    const Http1Gate* gate = &transfer->client->settings.gate;
    if (gate->enter == nullptr || transfer->holdsSlot) return true;
    if (!gate->enter(gate->context, transfer)) return false;
    transfer->holdsSlot = true;
    return true;
}

void LeaveHttp1Gate(Transfer* transfer) {
    if (!transfer->holdsSlot) return;
    const Http1Gate* gate = &transfer->client->settings.gate;
    gate->leave(gate->context, transfer);
    transfer->holdsSlot = false;
}

// The proxy settings the transfer's client follows; null: every address direct.
const ProxySettings* ProxiesOf(const Transfer* transfer) { return transfer->client->settings.proxy; }

// What an attempt tells the call that made it.
struct AttemptEnd {
    DownloadResult result;
    bool retryable;
    bool followRedirect;
    bool stale;
};

bool SameTextNoCase(const char* text, const char* other) {
    return StartsWithNoCase(text, other) && std::strlen(text) == std::strlen(other);
}

// Records the attempt's reason at its address's place.
void SetAttemptReason(Attempt* attempt, FailureKind kind) {
    SetFailureAt(&attempt->transfer->reason, kind, attempt->parts.host, attempt->parts.port);
}

// A step that ends the attempt sets its result, message and reason and
// returns false.
bool Fail(Attempt* attempt, DownloadResult result, FailureKind kind, const char* message) {
    PutError(attempt->error, "%s", message);
    attempt->result = result;
    SetAttemptReason(attempt, kind);
    return false;
}

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
bool FailFormatted(Attempt* attempt, DownloadResult result, FailureKind kind, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PutErrorList(attempt->error, format, arguments);
    va_end(arguments);
    attempt->result = result;
    SetAttemptReason(attempt, kind);
    return false;
}

// A failure that a repetition without keep-alive would meet again: the
// file system's, or an address that cannot be requested.
bool FailForGood(Attempt* attempt, DownloadResult result, FailureKind kind, const char* message) {
    attempt->retryable = false;
    return Fail(attempt, result, kind, message);
}

// A failure met in the layers below (the connect, a proxy, TLS), which
// recorded its reason; the attempt's reason starts empty, so what they
// left unsaid is FAILURE_OTHER.
bool FailBelow(Attempt* attempt, DownloadResult result, const char* message) {
    PutError(attempt->error, "%s", message);
    attempt->result = result;
    if (attempt->transfer->reason.kind == FAILURE_NONE) SetAttemptReason(attempt, FAILURE_OTHER);
    return false;
}

// A body that ended short of its announced size was cut off; one longer
// than announced is a broken response.
FailureKind ShortOrBroken(int32_t received, uint32_t announced) {
    return static_cast<uint32_t>(received) < announced ? FAILURE_CUT_OFF : FAILURE_OTHER;
}

int32_t BodyStart(const Attempt* attempt) { return attempt->head.headLength + 4; }

// Whether the last receive ran out of time (a deadline or a stop that cut
// it short reads alike; the caller's limit check names those).
bool ReceiveTimedOut(const Attempt* attempt) {
    return attempt->lastReceive < 0 && ClassifySocketError(attempt->lastSocketError, true) == SOCKET_TIMED_OUT;
}

// Whether the body arrived whole, as its framing and the connection's use
// tell; if not, the attempt ends here with the message.  A wait that ran
// out says so, whatever else is missing.
bool BodyArrivedWhole(Attempt* attempt) {
    const int isChunked = attempt->header.isChunked;
    const int completed = attempt->isChunkReceiveCompleted ? 1 : 0;
    const bool sizeUnset = attempt->fileSize == FILE_SIZE_UNSET;
    const bool sizeMet = static_cast<uint32_t>(attempt->readTotal) == attempt->fileSize;
    if (attempt->isH2) {
        // The stream's clean end ends the body; a length, when announced,
        // must agree with it.
        if (!attempt->h2Complete) {
            return FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_CUT_OFF, FORMAT_H2_STREAM_RESET,
                                 attempt->h2ErrorCode, attempt->readTotal);
        }
        if (sizeUnset || sizeMet) return true;
        return FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, ShortOrBroken(attempt->readTotal, attempt->fileSize),
                             FORMAT_SIZE_MISMATCH, attempt->fileSize, attempt->readTotal, 0, 0);
    }
    if (!attempt->useKeepAlive) {
        // A body that only the close of the connection ends is whole only
        // when the connection closed cleanly (a FIN, or over TLS the peer's
        // close_notify): a reset, a time-out or a TLS session cut off
        // mid-record leaves an image of unknown length.  A chunked body says
        // itself where it ends, so one cut off inside a chunk is never taken
        // for a whole image.
        const bool cleanClose = attempt->lastReceive == 0;
        bool whole = isChunked ? (attempt->isChunkReceiveCompleted || sizeMet) : (sizeUnset ? cleanClose : sizeMet);
        if (whole) return true;
        if (ReceiveTimedOut(attempt)) {
            return Fail(attempt, DOWNLOAD_FAILED, FAILURE_TIMED_OUT, MESSAGE_CONNECT_TIMED_OUT);
        }
        if (sizeUnset && !isChunked) {
            return FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_CUT_OFF, FORMAT_BODY_CUT, attempt->readTotal,
                                 attempt->lastReceive, attempt->lastSocketError);
        }
        // A chunked body that ended inside its framing was cut off too.
        return FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED,
                             isChunked ? FAILURE_CUT_OFF : ShortOrBroken(attempt->readTotal, attempt->fileSize),
                             FORMAT_SIZE_MISMATCH, attempt->fileSize, attempt->readTotal, attempt->lastReceive,
                             attempt->lastSocketError);
    }
    if (sizeMet || (isChunked && attempt->isChunkReceiveCompleted)) return true;
    if (ReceiveTimedOut(attempt)) return Fail(attempt, DOWNLOAD_FAILED, FAILURE_TIMED_OUT, MESSAGE_CONNECT_TIMED_OUT);
    if (sizeUnset) {
        return FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_CUT_OFF, FORMAT_UNFINISHED_SIZE_UNSET,
                             attempt->readTotal, isChunked, completed);
    }
    return FailFormatted(attempt, DOWNLOAD_FAILED,
                         isChunked ? FAILURE_CUT_OFF : ShortOrBroken(attempt->readTotal, attempt->fileSize),
                         FORMAT_UNFINISHED, attempt->fileSize, attempt->readTotal, isChunked, completed);
}

// The end of the body: whole, and an image.
void EvaluateEnd(Attempt* attempt) {
    if (!BodyArrivedWhole(attempt)) return;
    if (!IsSupportedImageSignature(attempt->sink.signature.bytes)) {
        Fail(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_NOT_AN_IMAGE, MESSAGE_UNSUPPORTED_FORMAT);
        return;
    }
    attempt->result = DOWNLOAD_STORED;
}

// A connection for the attempt's scheme, host and port: pooled with
// keep-alive, else its own.
HttpConnection* ConnectFor(Attempt* attempt, ErrorText error, TransportResult* failure) {
    const UrlParts* parts = &attempt->parts;
    const bool secure = parts->isHttps != 0;
    // A stop that came while this download waited for its slot: nothing is
    // sent (a pooled connection would carry the request at once).
    Transfer* transfer = attempt->transfer;
    if (!EnterHttp1Gate(transfer) || DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) {
        if (failure != nullptr) *failure = TRANSPORT_FAILED;
        DescribeDownloadLimit(DownloadLimitReached(transfer), error, &transfer->reason);
        return nullptr;
    }
    return attempt->useKeepAlive
               ? AcquirePooledConnection(transfer, parts->host, parts->port, error, secure, failure, attempt->proxy,
                                         attempt->offerH2)
               : OpenHttpConnection(transfer, parts->host, parts->port, secure, error, failure, attempt->proxy);
}

// Connects.  An https address where nothing speaks TLS is fetched as plain
// HTTP (port 80 in place of 443), as it always was, when it is reached
// direct; a certificate that was seen and refused is never retried in plain
// text, and nothing that goes through a proxy is.  The plain address goes
// where any http:// address would, through the proxy that applies to it.
bool ConnectAttempt(Attempt* attempt) {
    char message[HTTP_ERROR_TEXT_BYTES] = {0};
    TransportResult failure = TRANSPORT_OPEN;
    const ErrorText error = {message, sizeof message};
    UrlParts* parts = &attempt->parts;
    attempt->connection = ConnectFor(attempt, error, &failure);
    if (attempt->connection == nullptr && parts->isHttps && failure == TRANSPORT_NO_TLS && attempt->proxy == nullptr &&
        DownloadLimitReached(attempt->transfer) == DOWNLOAD_WITHIN_LIMITS) {
        char line[HTTP_ERROR_TEXT_BYTES * 2];
        std::snprintf(line, sizeof line, FORMAT_TLS_FALLBACK, parts->host, parts->port, message);
        TransferLog(attempt->transfer, line);
        parts->isHttps = 0;
        if (parts->port == HTTPS_DEFAULT_PORT) parts->port = HTTP_DEFAULT_PORT;
        const ProxySettings* proxies = ProxiesOf(attempt->transfer);
        if (proxies != nullptr && ChooseProxy(proxies, false, parts->host, parts->port, &attempt->fallbackProxy)) {
            attempt->proxy = &attempt->fallbackProxy;
        }
        attempt->connection = ConnectFor(attempt, error, &failure);
    }
    if (attempt->connection != nullptr) return true;
    // A refused certificate, or a proxy that refused the tunnel, would be
    // met again by any repetition.
    if (failure == TRANSPORT_CERTIFICATE || failure == TRANSPORT_PROXY_REFUSED) attempt->retryable = false;
    return FailBelow(attempt, DOWNLOAD_FAILED, message);
}

// The request for the attempt's address and proxy, or 0 when the address
// itself is unusable (the message is in attempt->error).
int BuildRequest(Attempt* attempt, char* request) {
    int length = BuildGetRequest(&attempt->parts, attempt->useKeepAlive, request, attempt->error, attempt->proxy);
    if (length == 0) {
        attempt->retryable = false;
        attempt->result = DOWNLOAD_FAILED;
        // A redirect to an address that cannot be requested is not followed.
        if (attempt->isRedirect) {
            SetFailureReason(&attempt->transfer->reason, FAILURE_REDIRECT_REFUSED, attempt->redirectedFrom);
        } else {
            SetAttemptReason(attempt, FAILURE_OTHER);
        }
    }
    return length;
}

// Builds the request, connects (unless an HTTP/2 probe found HTTP/1.1 on
// its connection) and sends.
bool SendRequest(Attempt* attempt) {
    char request[REQUEST_TEXT_BYTES];
    int requestLength = BuildRequest(attempt, request);
    if (requestLength == 0) return false;
    const int32_t askedHttps = attempt->parts.isHttps;
    if (attempt->connection == nullptr && !ConnectAttempt(attempt)) return false;
    // Fell back to plain HTTP: port 80 leaves the Host line, and a proxy is
    // asked in absolute form.
    if (attempt->parts.isHttps != askedHttps) {
        requestLength = BuildRequest(attempt, request);
        if (requestLength == 0) return false;
    }
    if (!SendBytes(attempt->transfer, attempt->connection, request, requestLength)) {
        return Fail(attempt, DOWNLOAD_FAILED, FAILURE_CUT_OFF, MESSAGE_SEND_FAILED);
    }
    return true;
}

// The caller's file is opened (and emptied) only once the request is out;
// never through a link, and never made anew when it has gone.  The stream
// of its claim, while nothing has used it, is that file, new and empty.
bool CreateTargetFile(Attempt* attempt) {
    FILE** claimed = attempt->claimed;
    if (claimed != nullptr && *claimed != nullptr) {
        attempt->sink.file = *claimed;
        *claimed = nullptr;
    } else {
        attempt->sink.file = OpenCreatedFileByPath(attempt->filePath);
    }
    if (attempt->sink.file == nullptr) {
        return FailForGood(attempt, DOWNLOAD_CANNOT_CREATE, FAILURE_FILE_NOT_WRITABLE, MESSAGE_CANNOT_CREATE);
    }
    // The body comes in blocks of many kilobytes: each goes to the file in
    // one write, not through the stream's small buffer in pieces.
    std::setvbuf(attempt->sink.file, nullptr, _IONBF, 0);
    BodyHash* hash = attempt->transfer->bodyHash;
    if (hash != nullptr) {
        // The file is empty again: so is its hash.
        FreeSha256(hash->hasher);
        *hash = BodyHash{NewSha256(), 0};
    }
    attempt->sink.hash = hash;
    return true;
}

// Receives the head and parses it.  A connection that ends first goes
// straight to the end evaluation.
bool ReceiveHead(Attempt* attempt) {
    StartHeadReader(&attempt->head, attempt->buffer);
    std::memset(&attempt->header, 0, sizeof attempt->header);
    attempt->header.contentLength = -1;
    attempt->fileSize = FILE_SIZE_UNSET;
    attempt->readTotal = 0;
    HeadState state = ReceiveResponseHead(attempt->transfer, attempt->connection, &attempt->head);
    attempt->lastReceive = attempt->head.lastReceive;
    attempt->lastSocketError = attempt->head.lastSocketError;
    // A host that answers clears its failure count; one that keeps silent
    // for the whole time-out counts like a failed connect (a stop or a
    // deadline that cut the wait short says nothing about the host).
    const bool withinLimits = DownloadLimitReached(attempt->transfer) == DOWNLOAD_WITHIN_LIMITS;
    if (attempt->head.held > 0) {
        NoteHostAnswer(attempt->transfer, attempt->connection, true);
    } else if (state == HEAD_ENDED && ReceiveTimedOut(attempt) && withinLimits) {
        NoteHostAnswer(attempt->transfer, attempt->connection, false);
    }
    if (state == HEAD_TOO_LONG) return Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_HEAD_TOO_LONG);
    attempt->readTotal = attempt->head.held;
    if (state == HEAD_ENDED) {
        // A kept-alive connection that served a request before and now ends
        // (closed or reset, not silent) before a byte: the host let it go
        // meanwhile, which says nothing about this image.
        attempt->stale = attempt->useKeepAlive && attempt->head.held == 0 && attempt->connection->requests > 1 &&
                         !ReceiveTimedOut(attempt) && withinLimits;
        EvaluateEnd(attempt);
        return false;
    }
    const int32_t headLength = attempt->head.headLength;
    std::memcpy(attempt->headText, attempt->buffer, static_cast<size_t>(headLength));
    attempt->headText[headLength] = '\0';
    ParseResponseHead(attempt->headText, &attempt->header);
    // A proxy that answers in HTTP/1.0 (tinyproxy does) keeps the connection
    // only when it says so (RFC 9112, 9.3); it may hold it open a while and
    // never read the next request.  Origin servers keep today's rule.
    attempt->proxyCloses = attempt->proxy != nullptr && StartsWith(attempt->buffer, "HTTP/1.0 ") &&
                           !SameTextNoCase(attempt->header.connection, "keep-alive");
    return true;
}

bool IsRedirectStatus(const char* received) {
    return StartsWithNoCase(received, "HTTP/1.0 301") || StartsWithNoCase(received, "HTTP/1.1 301") ||
           StartsWithNoCase(received, "HTTP/1.0 302") || StartsWithNoCase(received, "HTTP/1.1 302");
}

// The status of an HTTP/1.x status line as the client tells statuses
// apart: 200 only as "200 OK", 301, 302, 404 and a proxy's 407; 0 for any
// other.
int StatusOfLine(const char* received) {
    if (StartsWithNoCase(received, "HTTP/1.1 200 OK") || StartsWithNoCase(received, "HTTP/1.0 200 OK")) return 200;
    if (IsRedirectStatus(received)) return received[11] == '1' ? 301 : 302;
    if (StartsWithNoCase(received, "HTTP/1.0 404") || StartsWithNoCase(received, "HTTP/1.1 404")) return 404;
    if (StartsWith(received, "HTTP/1.0 407") || StartsWith(received, "HTTP/1.1 407")) return 407;
    return 0;
}

// The status: a 200 goes on; a redirect to follow, a 404 and any other
// status end the attempt, the last showing `shown` (cut in place to
// STATUS_EXCERPT_BYTES of its `shownLength`).  `code` is the status line's
// own code, which the reason names.
bool JudgeStatus(Attempt* attempt, int status, int code, char* shown, int32_t shownLength) {
    const HttpHeader* header = &attempt->header;
    if (status == 200) return true;
    if (!attempt->isRedirect && (status == 301 || status == 302) && header->location[0] != '\0') {
        // A cut address is another address: never fetched, never stored.
        if (header->locationTooLong) {
            attempt->retryable = false;
            return FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_REDIRECT_REFUSED, FORMAT_LOCATION_TOO_LONG,
                                 HEADER_LOCATION_BYTES - 1);
        }
        attempt->followRedirect = true;
        attempt->result = DOWNLOAD_FAILED;  // no image in this response
        return false;
    }
    if (status == 404) {
        Fail(attempt, DOWNLOAD_FAILED, FAILURE_HTTP_STATUS, MESSAGE_NOT_FOUND);
        attempt->transfer->reason.status = 404;
        return false;
    }
    if (attempt->proxy != nullptr && status == 407) {
        // The proxy wants credentials it was not given: the same for every
        // address, so not repeated.
        attempt->retryable = false;
        FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_PROXY_REFUSED, FORMAT_PROXY_AUTHENTICATION,
                      attempt->proxy->display);
        SetFailureReason(&attempt->transfer->reason, FAILURE_PROXY_REFUSED, attempt->proxy->display, 407);
        return false;
    }
    shown[shownLength < STATUS_EXCERPT_BYTES ? shownLength : STATUS_EXCERPT_BYTES] = '\0';
    // A redirect that comes after a redirect is not followed; a status
    // line without a code (or a 200 in an odd spelling) is a broken
    // response.
    const bool redirect = status == 301 || status == 302;
    const FailureKind kind = redirect && attempt->isRedirect             ? FAILURE_REDIRECT_REFUSED
                             : code >= 100 && code <= 999 && code != 200 ? FAILURE_HTTP_STATUS
                                                                         : FAILURE_OTHER;
    FailFormatted(attempt, DOWNLOAD_FAILED, kind, FORMAT_WRONG_STATUS, shown);
    if (kind == FAILURE_HTTP_STATUS) attempt->transfer->reason.status = code;
    return false;
}

// The status of an HTTP/1.x response, judged on the received bytes.
bool AcceptStatus(Attempt* attempt) {
    const int status = StatusOfLine(attempt->buffer);
    // A pooled connection is clean for reuse after a redirect only when the
    // redirect's own body is wholly read; unread bytes would be taken for
    // the next response's head.
    const HttpHeader* header = &attempt->header;
    attempt->redirectBodyInHand = header->contentLength >= 0 && !header->isChunked &&
                                  attempt->head.held - BodyStart(attempt) == header->contentLength;
    return JudgeStatus(attempt, status, StatusCode(attempt->headText), attempt->buffer, attempt->head.held);
}

// The framing of a 200 response: not compressed, no longer than the limit,
// and with keep-alive ended by something other than the close of the
// connection, unless the response says it closes.
bool AcceptFraming(Attempt* attempt) {
    const HttpHeader* header = &attempt->header;
    // Where the body ends must be beyond doubt (RFC 9112, 6.3): lengths that
    // disagree, or a length beside chunked framing, leave it open.
    if (header->lengthConflict) return Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_CONTENT_LENGTH_CONFLICT);
    if (header->lengthMalformed) {
        return Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_CONTENT_LENGTH_MALFORMED);
    }
    if (header->isChunked && header->contentLength != -1) {
        return Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_LENGTH_WITH_CHUNKED);
    }
    if (header->contentEncoding[0] != '\0') {
        return FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_COMPRESSED, FORMAT_CONTENT_ENCODING,
                             header->contentEncoding);
    }
    if (header->contentLength != -1) {
        attempt->fileSize = static_cast<uint32_t>(header->contentLength);
        if (attempt->fileSize > HTTP_BODY_SIZE_LIMIT) {
            return FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_TOO_LARGE, FORMAT_LENGTH_OVER_LIMIT,
                                 attempt->fileSize);
        }
    } else if (attempt->useKeepAlive && !attempt->isH2 && !header->isChunked &&
               !SameTextNoCase(header->connection, "close")) {
        return Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_KEEP_ALIVE_WITHOUT_LENGTH);
    }
    return true;
}

// A chunked body, through the chunked decoder's read loop.
void ReadChunked(Attempt* attempt) {
    ChunkedDecoder decoder;
    StartChunkedDecoder(&decoder, attempt->buffer, attempt->head.held, BodyStart(attempt), attempt->fileSize,
                        attempt->error);
    decoder.logLines = attempt->transfer->logLines;
    ChunkedState state = ReadChunkedBody(attempt->transfer, attempt->connection, &decoder, &attempt->sink);
    attempt->readTotal = decoder.readTotal;
    attempt->lastReceive = decoder.lastReceive;
    attempt->lastSocketError = decoder.lastSocketError;
    attempt->isChunkReceiveCompleted = state == CHUNKED_COMPLETE;
    // The decoder wrote the message; the reason is told here.
    switch (state) {
        case CHUNKED_COMPLETE:
        case CHUNKED_ENDED_IN_DATA: EvaluateEnd(attempt); return;
        case CHUNKED_TOO_LARGE:
            attempt->result = DOWNLOAD_NOT_ACCEPTED;
            SetAttemptReason(attempt, FAILURE_TOO_LARGE);
            return;
        case CHUNKED_WRITE_FAILED:
            attempt->retryable = false;
            attempt->result = DOWNLOAD_WRITE_FAILED;
            SetAttemptReason(attempt, FAILURE_FILE_NOT_WRITABLE);
            return;
        default:  // CHUNKED_FAILED: the framing, or the connection ended where the framing needs more
            if (ReceiveTimedOut(attempt)) {
                Fail(attempt, DOWNLOAD_FAILED, FAILURE_TIMED_OUT, MESSAGE_CONNECT_TIMED_OUT);
            } else {
                // The input that ended the framing was the connection's end,
                // or bytes that broke it.
                SetAttemptReason(attempt, attempt->lastReceive <= 0 ? FAILURE_CUT_OFF : FAILURE_OTHER);
            }
            attempt->result = DOWNLOAD_FAILED;
            return;
    }
}

// The receives of a plain body: several TLS records, or what a fast
// loopback peer has ready, per call.
const int BODY_RECEIVE_BYTES = 64 << 10;

// A body framed by its length, or by the close of the connection.
void ReadPlainBody(Attempt* attempt) {
    char* buffer = attempt->buffer;
    const int32_t first = attempt->head.held - BodyStart(attempt);
    attempt->readTotal = first;
    if (static_cast<uint32_t>(first) > attempt->fileSize) {
        FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_OTHER, FORMAT_FIRST_BYTES_OVER_SIZE, attempt->readTotal,
                      attempt->fileSize);
        return;
    }
    if (!WriteToSink(&attempt->sink, buffer + BodyStart(attempt), first)) {
        FailForGood(attempt, DOWNLOAD_WRITE_FAILED, FAILURE_FILE_NOT_WRITABLE, MESSAGE_WRITE_FAILED);
        return;
    }
    if (static_cast<uint32_t>(attempt->readTotal) == attempt->fileSize) {
        EvaluateEnd(attempt);
        return;
    }
    std::unique_ptr<char, decltype(&std::free)> block(static_cast<char*>(Allocate(BODY_RECEIVE_BYTES)), &std::free);
    buffer = block.get();
    for (;;) {
        int received =
            ReceiveSome(attempt->transfer, attempt->connection, buffer, BODY_RECEIVE_BYTES, &attempt->lastSocketError);
        attempt->lastReceive = received;
        if (received <= 0) {
            EvaluateEnd(attempt);
            return;
        }
        attempt->readTotal += received;
        if (static_cast<uint32_t>(attempt->readTotal) > HTTP_BODY_SIZE_LIMIT) {
            FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_TOO_LARGE, FORMAT_BODY_OVER_LIMIT,
                          attempt->header.contentLength, attempt->readTotal);
            return;
        }
        const uint32_t total = static_cast<uint32_t>(attempt->readTotal);
        if (total > attempt->fileSize) {
            // More than announced: nothing more is written, and the end
            // evaluation will refuse the size.
            CaptureSignature(&attempt->sink.signature, buffer, received);
            continue;
        }
        if (!WriteToSink(&attempt->sink, buffer, received)) {
            FailForGood(attempt, DOWNLOAD_WRITE_FAILED, FAILURE_FILE_NOT_WRITABLE, MESSAGE_WRITE_FAILED);
            return;
        }
        if (total == attempt->fileSize) {
            EvaluateEnd(attempt);
            return;
        }
    }
}

// An HTTP/2 exchange ended: the same rules as for an HTTP/1.1 response,
// on its status code and fields.
void JudgeH2Response(Attempt* attempt, const H2Exchange* exchange, bool timedOut, const char* failureKey) {
    if (exchange->end == H2_UNPROCESSED) {
        attempt->unprocessed = true;
        return;
    }
    attempt->readTotal = exchange->received;
    attempt->h2Complete = exchange->end == H2_COMPLETE;
    attempt->h2ErrorCode = exchange->errorCode;
    if (DownloadLimitReached(attempt->transfer) != DOWNLOAD_WITHIN_LIMITS) return;  // the caller names the limit
    if (timedOut) {
        // Silence for the whole time-out counts against the server.
        if (!exchange->headDone && exchange->received == 0) NoteAnswerForKey(attempt->transfer, failureKey, false);
        Fail(attempt, DOWNLOAD_FAILED, FAILURE_TIMED_OUT, MESSAGE_CONNECT_TIMED_OUT);
        return;
    }
    if (!exchange->headDone) {
        FailFormatted(attempt, DOWNLOAD_FAILED, FAILURE_CUT_OFF, FORMAT_H2_STREAM_RESET, exchange->errorCode,
                      exchange->received);
        return;
    }
    attempt->header = exchange->header;
    attempt->fileSize = FILE_SIZE_UNSET;  // until a length is announced
    char shown[STATUS_EXCERPT_BYTES + 1];
    const int shownLength = std::snprintf(shown, sizeof shown, FORMAT_H2_STATUS, exchange->status);
    if (!JudgeStatus(attempt, exchange->status, exchange->status, shown, shownLength)) return;
    if (!AcceptFraming(attempt)) return;
    if (exchange->writeFailed) {
        FailForGood(attempt, DOWNLOAD_WRITE_FAILED, FAILURE_FILE_NOT_WRITABLE, MESSAGE_WRITE_FAILED);
        return;
    }
    if (exchange->overLimit) {
        if (static_cast<uint32_t>(exchange->received) > HTTP_BODY_SIZE_LIMIT) {
            FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_TOO_LARGE, FORMAT_BODY_OVER_LIMIT,
                          attempt->header.contentLength, exchange->received);
        } else {
            FailFormatted(attempt, DOWNLOAD_NOT_ACCEPTED, FAILURE_OTHER, FORMAT_SIZE_MISMATCH, attempt->fileSize,
                          exchange->received, 0, 0);
        }
        return;
    }
    EvaluateEnd(attempt);
}

// One request on an HTTP/2 session.  The session's thread writes the body
// and wakes this one when the exchange ends; it wakes by itself only when
// the network time-out since the last bytes or the download's next limit
// comes first.
void RunExchange(Attempt* attempt, H2Session* session, const char* authority, const char* target) {
    if (!CreateTargetFile(attempt)) return;
    H2Exchange exchange{};
    exchange.sink = &attempt->sink;
    Transfer* transfer = attempt->transfer;
    switch (StartH2Exchange(transfer, session, &exchange, authority, target)) {
        case H2_SESSION_GONE: attempt->unprocessed = true; return;
        case H2_START_GIVEN_UP: return;
        case H2_STARTED: break;
    }
    const char* failureKey = H2SessionFailureKey(session);
    H2Exchange seen;
    int32_t counted = 0;
    bool headSeen = false;
    bool timedOut = false;
    auto lastProgress = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    for (;;) {
        const int sinceProgress = MillisecondsSince(lastProgress);
        unsigned wait = sinceProgress < timeout ? static_cast<unsigned>(timeout - sinceProgress) : 0;
        const unsigned limitLeft = DownloadLimitMillisecondsLeft(transfer);
        if (limitLeft < wait) wait = limitLeft;
        if (AwaitH2Exchange(&exchange, wait))
            seen = exchange;
        else
            ReadH2Exchange(&exchange, &seen);
        if (seen.progressAt > lastProgress) lastProgress = seen.progressAt;
        if (seen.received > counted) {
            CountReceivedBytes(transfer, seen.received - counted);
            counted = seen.received;
        }
        if (seen.headDone && !headSeen) {
            NoteAnswerForKey(transfer, failureKey, true);
            headSeen = true;
        }
        // Only a 200's body is wanted; any other status ends it here.
        if (seen.end != H2_RUNNING || (seen.headDone && seen.status != 200)) break;
        if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) break;
        if (MillisecondsSince(lastProgress) >= timeout) {
            // A connection this stuck gets no new streams.
            RetireH2Session(session);
            timedOut = true;
            break;
        }
    }
    EndH2Exchange(&exchange);  // from here on the session no longer touches it
    JudgeH2Response(attempt, &exchange, timedOut, failureKey);
}

// How often a request the HTTP/2 server did not process (refused, or left
// out by its GOAWAY) is asked again on a newer connection.
const int H2_UNPROCESSED_TRIES = 8;

// The request over HTTP/2 where the server speaks it.  False when the
// attempt goes on over HTTP/1.1 (the key speaks it, or a probe found it on
// the connection now in attempt->connection); true when it ended here.
bool RunOverH2(Attempt* attempt) {
    UrlParts* parts = &attempt->parts;
    if (!attempt->useKeepAlive || !parts->isHttps) return false;
    char key[POOL_KEY_BYTES];
    char target[REQUEST_TEXT_BYTES];
    char authority[HOST_LINE_BYTES];
    // An address HTTP/1.1 would refuse goes there for its message.
    if (!FormatPoolKey(parts->host, parts->port, true, attempt->proxy, key, ErrorText{nullptr, 0}) ||
        !BuildRequestFields(parts, target, authority, ErrorText{nullptr, 0})) {
        return false;
    }
    // An HTTP/1.1 slot held from before a redirect is given back first: a
    // thread waiting for another's probe or for a stream must hold none,
    // or the prober could wait for that very slot.
    Transfer* transfer = attempt->transfer;
    LeaveHttp1Gate(transfer);
    for (int tries = 0; tries < H2_UNPROCESSED_TRIES; ++tries) {
        H2Session* session = nullptr;
        switch (FindH2Session(transfer, key, &session)) {
            case H2_ROUTE_HTTP1: return false;
            case H2_ROUTE_GIVEN_UP: return true;
            case H2_ROUTE_SESSION:
                if (FailureLimitReached(transfer, H2SessionFailureKey(session))) {
                    // Its server stopped answering: a new connection meets
                    // the cut-off and says so.
                    RetireH2Session(session);
                    ReleaseH2Session(session);
                    continue;
                }
                NotePoolKeyUse(transfer, POOL_TAKEN, key);
                break;
            case H2_ROUTE_PROBE: {
                attempt->offerH2 = true;
                const bool connected = ConnectAttempt(attempt);
                attempt->offerH2 = false;
                if (!connected || !attempt->connection->isH2) {
                    EndH2Probe(transfer, key, attempt->connection);
                    return !connected;
                }
                // The session takes the connection out of the pool, unnoted.
                ReleasePooledConnection(transfer, parts->host, parts->port, true, /*noted=*/false, attempt->proxy);
                session = EndH2Probe(transfer, key, attempt->connection);
                attempt->connection = nullptr;
                LeaveHttp1Gate(transfer);
                if (session == nullptr) {
                    Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_H2_NOT_STARTED);
                    return true;
                }
                break;
            }
        }
        attempt->isH2 = true;
        attempt->unprocessed = false;
        RunExchange(attempt, session, authority, target);
        ReleaseH2Session(session);
        if (!attempt->unprocessed) return true;
        // Asked again from the start, into an emptied file.
        if (attempt->sink.file != nullptr) CloseFile(attempt->sink.file);
        attempt->sink = BodySink{};
        if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return true;
    }
    Fail(attempt, DOWNLOAD_FAILED, FAILURE_OTHER, MESSAGE_H2_UNPROCESSED);
    return true;
}

// One request and its response, up to the result; FinishAttempt cleans up.
void RunSteps(Attempt* attempt) {
    if (RunOverH2(attempt)) return;
    if (!SendRequest(attempt)) return;
    if (!CreateTargetFile(attempt)) return;
    if (!ReceiveHead(attempt)) return;
    if (!AcceptStatus(attempt)) return;
    if (!AcceptFraming(attempt)) return;
    if (attempt->header.isChunked) {
        ReadChunked(attempt);
    } else {
        ReadPlainBody(attempt);
    }
}

void DropConnection(Attempt* attempt) {
    if (attempt->isH2 && attempt->useKeepAlive) {
        // The session stays for the other streams; the log tells the
        // connection's use as one HTTP/1.1 connection's would be told, so it
        // reads the same whichever protocol the server chose.
        const UrlParts* parts = &attempt->parts;
        char key[POOL_KEY_BYTES];
        if (FormatPoolKey(parts->host, parts->port, true, attempt->proxy, key, ErrorText{nullptr, 0})) {
            NotePoolKeyUse(attempt->transfer, POOL_RELEASED, key);
        }
        return;
    }
    if (attempt->connection == nullptr) return;
    const UrlParts* parts = &attempt->parts;
    // A stale connection's replacement takes its place in the pool unnoted.
    if (attempt->useKeepAlive) {
        ReleasePooledConnection(attempt->transfer, parts->host, parts->port, parts->isHttps != 0, !attempt->stale,
                                attempt->proxy);
    }
    CloseHttpConnection(attempt->connection);
    attempt->connection = nullptr;
}

// Closes the file; one that cannot be closed cleanly turns success into a
// write failure.  The file stays for a repetition or a redirect, which
// empties it again; DownloadImage removes it when all have failed.
void SettleFile(Attempt* attempt) {
    if (attempt->sink.file != nullptr) {
        // A write-back may name the file from now on, so its bytes go to the
        // disk first: after a power cut the package never refers to an empty
        // file.  Where one call before the write-back covers every stored
        // file, that call is cheaper than one sync per image.  A failure
        // leaves what the file system keeps anyway.
        if (attempt->result == DOWNLOAD_STORED && !FOLDER_SYNC_COVERS_FILES) SyncFile(attempt->sink.file);
        bool closed = CloseFile(attempt->sink.file) != 0;
        attempt->sink.file = nullptr;
        if (attempt->result == DOWNLOAD_STORED && !closed)
            FailForGood(attempt, DOWNLOAD_WRITE_FAILED, FAILURE_FILE_NOT_WRITABLE, MESSAGE_WRITE_FAILED);
    }
}

// Keeps a pooled connection for the next download where the response allows
// it, and closes every other.
void SettleConnection(Attempt* attempt) {
    if (attempt->isH2) {
        // As an HTTP/1.1 connection to a server that keeps it alive.
        if (attempt->result != DOWNLOAD_STORED && !attempt->followRedirect) DropConnection(attempt);
        return;
    }
    const char* connection = attempt->header.connection;
    if (attempt->followRedirect) {
        bool keep = attempt->useKeepAlive && connection[0] != '\0' && !SameTextNoCase(connection, "close") &&
                    attempt->redirectBodyInHand && !attempt->proxyCloses;
        if (!keep) DropConnection(attempt);
        return;
    }
    if (attempt->result != DOWNLOAD_STORED) {
        DropConnection(attempt);
        return;
    }
    if (!attempt->useKeepAlive) {
        CloseHttpConnection(attempt->connection);
    } else if (SameTextNoCase(connection, "close") || attempt->proxyCloses) {
        DropConnection(attempt);
    }
}

// One attempt at `parts`; a redirect's location is copied to `location`
// (HEADER_LOCATION_BYTES).
AttemptEnd TryOnce(Transfer* transfer, const UrlParts* parts, const ProxyEndpoint* proxy, const char* filePath,
                   FILE** claimed, bool useKeepAlive, const char* redirectedFrom, char* location) {
    // The last attempt's failure is the download's reason, as its message is.
    transfer->reason = FailureReason{};
    Attempt attempt;
    std::memset(&attempt, 0, sizeof attempt);
    attempt.transfer = transfer;
    attempt.parts = *parts;
    attempt.filePath = filePath;
    attempt.claimed = claimed;
    attempt.error = transfer->error;
    attempt.proxy = proxy;
    attempt.useKeepAlive = useKeepAlive;
    attempt.isRedirect = redirectedFrom != nullptr;
    attempt.redirectedFrom = redirectedFrom;
    attempt.result = DOWNLOAD_FAILED;
    attempt.retryable = true;
    RunSteps(&attempt);
    SettleFile(&attempt);
    SettleConnection(&attempt);
    FreeProxyEndpoint(&attempt.fallbackProxy);
    std::memcpy(location, attempt.header.location, HEADER_LOCATION_BYTES);
    return AttemptEnd{attempt.result, attempt.retryable, attempt.followRedirect, attempt.stale};
}

}  // namespace

bool IsSupportedImageSignature(const unsigned char* signature) {
    const unsigned char a = signature[0], b = signature[1];
    if (a == 0xFF && b == 0xD8) return true;  // JPEG
    if (a == 0x89 && b == 0x50) return true;  // PNG
    if (a == 0x47 && b == 0x49) return true;  // GIF
    if (a == 0x42 && b == 0x4D) return true;  // BMP
    return false;
}

namespace {

// A download given up at a limit: its message and reason, and no repetition.
DownloadResult GiveUp(Transfer* transfer, DownloadLimit limit) {
    DescribeDownloadLimit(limit, transfer->error, &transfer->reason);
    return limit == DOWNLOAD_STOP_REQUESTED ? DOWNLOAD_STOPPED : DOWNLOAD_FAILED;
}

// An address that cannot be fetched: a redirect to it is not followed.
DownloadResult RefuseAddress(Transfer* transfer, const char* message, bool isRedirect, const char* redirectedFrom) {
    PutError(transfer->error, "%s", message);
    SetFailureReason(&transfer->reason, isRedirect ? FAILURE_REDIRECT_REFUSED : FAILURE_OTHER, redirectedFrom);
    return DOWNLOAD_FAILED;
}

// DownloadImage within the limits the outermost call started; a redirect
// names the place that sent it (`redirectedFrom`, when known).
DownloadResult Download(Transfer* transfer, const char* url, const char* filePath, FILE** claimed, bool useKeepAlive,
                        bool isRedirect, const char* redirectedFrom) {
    const ErrorText error = transfer->error;
    DownloadLimit limit = DownloadLimitReached(transfer);
    if (limit != DOWNLOAD_WITHIN_LIMITS) return GiveUp(transfer, limit);
    if (url == nullptr) return RefuseAddress(transfer, MESSAGE_URL_CANNOT_PARSE, isRedirect, redirectedFrom);
    char* unescaped = std::strstr(url, "&amp;") != nullptr ? UnescapeAmpersands(url) : nullptr;
    UrlParts parts = {nullptr, nullptr, 0, 0};
    const char* refusal = MESSAGE_URL_CANNOT_PARSE;
    if (!ParseUrl(unescaped != nullptr ? unescaped : url, &parts, &refusal)) {
        // Nothing was sent and nothing connected; a repetition would fail alike.
        std::free(unescaped);
        return RefuseAddress(transfer, refusal, isRedirect, redirectedFrom);
    }
    // A redirect names its place ("" where an unknown caller followed one).
    const char* from = isRedirect ? (redirectedFrom != nullptr ? redirectedFrom : "") : nullptr;
    ProxyEndpoint proxy = {nullptr, 0, nullptr, nullptr};
    const ProxySettings* proxies = ProxiesOf(transfer);
    const bool proxied = proxies != nullptr && ChooseProxy(proxies, parts.isHttps != 0, parts.host, parts.port, &proxy);
    const ProxyEndpoint* via = proxied ? &proxy : nullptr;
    char location[HEADER_LOCATION_BYTES];
    AttemptEnd end = TryOnce(transfer, &parts, via, filePath, claimed, useKeepAlive, from, location);
    if (end.stale) {
        // The host closed the kept-alive connection since its last use
        // (RFC 9112, 9.3.1): the request goes again at once on a new one,
        // which cannot be stale.  No repetition is logged: whether a pooled
        // connection had gone stale depends on which worker held it, and
        // the log must not.
        end = TryOnce(transfer, &parts, via, filePath, claimed, useKeepAlive, from, location);
    }
    char place[HOST_PORT_BYTES + 1] = "";
    FormatHostPort(place, sizeof place, "", parts.host, parts.port);
    FreeProxyEndpoint(&proxy);
    FreeUrlParts(&parts);
    std::free(unescaped);

    // An attempt cut short at a limit failed for that reason alone.
    limit = DownloadLimitReached(transfer);
    bool repeatable = end.result == DOWNLOAD_NOT_ACCEPTED || end.result == DOWNLOAD_FAILED;
    if (repeatable && limit != DOWNLOAD_WITHIN_LIMITS) return GiveUp(transfer, limit);
    if (end.followRedirect) {
        if (EndsWithNoCase(location, WEBP_OFFER_SUFFIX)) location[std::strlen(location) - 6] = '\0';
        return Download(transfer, location, filePath, claimed, /*useKeepAlive=*/true, /*isRedirect=*/true, place);
    }
    if (repeatable && end.retryable && useKeepAlive) {
        char line[HTTP_ERROR_TEXT_BYTES * 3];
        std::snprintf(line, sizeof line, FORMAT_RETRY_RECORD, url, 1, error.text);
        TransferLog(transfer, line);
        return Download(transfer, url, filePath, claimed, /*useKeepAlive=*/false, isRedirect, redirectedFrom);
    }
    return end.result;
}

}  // namespace

DownloadResult DownloadImage(Transfer* transfer, const char* url, const char* filePath, bool useKeepAlive,
                             bool isRedirect) {
    return DownloadImageInto(transfer, url, filePath, nullptr, useKeepAlive, isRedirect);
}

DownloadResult DownloadImageInto(Transfer* transfer, const char* url, const char* filePath, FILE* claimed,
                                 bool useKeepAlive, bool isRedirect) {
    StartTransferLimits(transfer);
    transfer->reason = FailureReason{};
    DownloadResult result = Download(transfer, url, filePath, &claimed, useKeepAlive, isRedirect, nullptr);
    // A stored image has no reason, whatever an attempt before met; a
    // failure always has one.
    if (result == DOWNLOAD_STORED) transfer->reason = FailureReason{};
    if (result != DOWNLOAD_STORED && result != DOWNLOAD_STOPPED && transfer->reason.kind == FAILURE_NONE) {
        SetFailureReason(&transfer->reason, FAILURE_OTHER);
    }
    LeaveHttp1Gate(transfer);
    // Unused when no attempt came as far as the file; closed before the
    // removal, which Windows refuses for an open file.
    if (claimed != nullptr) CloseFile(claimed);
    // What could not be opened is not ours to remove: something else stands there.
    if (result != DOWNLOAD_STORED && result != DOWNLOAD_CANNOT_CREATE) RemoveFileByPath(filePath);
    return result;
}
