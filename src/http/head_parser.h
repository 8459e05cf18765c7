// The response head's parser: the bytes of a head as they arrive, cut at
// the blank line, and the few header fields the client acts on.  Pure: no
// connection, no wait, no limits, so whatever reads the bytes (a download,
// the proxy tunnel's answer, a fuzzer) hands them over the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/http_limits.h"

const int HEADER_LOCATION_BYTES = 512;
const int HEADER_CONNECTION_BYTES = 16;
const int HEADER_CONTENT_ENCODING_BYTES = 32;

struct HttpHeader {
    int32_t contentLength;    // -1 when absent
    int32_t isChunked;        // 1 for the line "Transfer-Encoding: chunked"
    int32_t lengthConflict;   // 1 when two Content-Length lines disagree (the message's length is unknown)
    int32_t lengthMalformed;  // 1 when a Content-Length is no decimal number (the length is unknown)
    int32_t locationTooLong;  // 1 when a Location did not fit `location` (never followed cut)
    char location[HEADER_LOCATION_BYTES];
    char connection[HEADER_CONNECTION_BYTES];
    char contentEncoding[HEADER_CONTENT_ENCODING_BYTES];
};

// Takes one Content-Length value (HTTP/1.1 or HTTP/2) into `header`:
// spaces and tabs around it are dropped, then it must be decimal digits
// (ParseDecimal), or lengthMalformed is set; a value beyond INT32_MAX reads
// as INT32_MAX, and a value unlike an earlier one sets lengthConflict.
void TakeContentLength(HttpHeader* header, const char* value, size_t length);

// One field of a response into `header`, as either protocol hands it over:
// the name in any case, the value as it stands.  Content-Length (above),
// Transfer-Encoding "chunked", Location (locationTooLong when it is cut),
// Connection and Content-Encoding; other names are ignored.  HTTP/1.1 and
// HTTP/2 fill the record through it alone.
void TakeHeaderField(HttpHeader* header, const char* name, size_t nameLength, const char* value, size_t valueLength);

// Fills `header` from `headText` (status line and header lines, without the
// blank line), which it cuts into lines in place.  contentLength starts at
// -1 and isChunked, lengthConflict, lengthMalformed and locationTooLong at 0; the text fields
// keep what the caller cleared them to unless a line sets them.  Names are
// matched without case, values are taken verbatim (not trimmed) and cut to
// their field's capacity (a Location cut so sets locationTooLong); a later
// line of a kind overwrites an earlier one, and Content-Length lines with
// different values set lengthConflict.  Keeps no state: any thread.
void ParseResponseHead(char* headText, HttpHeader* header);

// The status code of a head's status line (the digits after the first
// space, up to the next space or the line's end), or 0.
int StatusCode(const char* head);

// HeadState: where receiving a response head stands.
enum HeadState {
    HEAD_INCOMPLETE = 0,  // the blank line is not held yet: more bytes go behind the held ones
    HEAD_RECEIVED,        // the blank line is held
    HEAD_ENDED,           // a receive returned 0 or less first
    HEAD_TOO_LONG,        // HTTP_BUFFER_SIZE bytes held without the blank line
};

// The bytes of a response head as they arrive, in a buffer of
// HTTP_BUFFER_SIZE + 1 bytes that is kept NUL-terminated.
struct HeadReader {
    char* buffer;
    int32_t held;             // bytes held: all received so far
    int32_t headLength;       // HEAD_RECEIVED: the head without the blank line; the body starts 4 bytes later
    int32_t lastReceive;      // the result of the last receive
    int32_t lastSocketError;  // the socket error when a receive returned 0 or less
};

// Starts with an empty, cleared buffer.
void StartHeadReader(HeadReader* reader, char* buffer);

// Takes bytes that arrived: at most HTTP_BUFFER_SIZE - held of the `length`
// at `input` (what one receive could deliver; a receive straight behind the
// held bytes saves the copy), *consumed says how many.  Then looks for the
// blank line, which may straddle the bytes held before: HEAD_RECEIVED,
// HEAD_TOO_LONG or HEAD_INCOMPLETE.
HeadState TakeHeadBytes(HeadReader* reader, const char* input, int32_t length, int32_t* consumed);

// Takes what one receive put behind the held bytes (`received` bytes at
// `place`) as TakeHeadBytes does, and drops interim answers (1xx but 101)
// before the final one with their blank line, reading the bytes behind them
// as the next head: HEAD_RECEIVED (a final head), HEAD_TOO_LONG or
// HEAD_INCOMPLETE.
HeadState TakeReceivedHeadBytes(HeadReader* reader, char* place, int32_t received);
