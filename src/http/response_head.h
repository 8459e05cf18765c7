// The few header fields the client acts on, read from a response head.
#pragma once

#include <cstdint>

const int HEADER_LOCATION_BYTES = 512;
const int HEADER_CONNECTION_BYTES = 16;
const int HEADER_CONTENT_ENCODING_BYTES = 32;

struct HttpHeader {
    int32_t contentLength;  // -1 when absent
    int32_t isChunked;      // 1 for the line "Transfer-Encoding: chunked"
    char location[HEADER_LOCATION_BYTES];
    char connection[HEADER_CONNECTION_BYTES];
    char contentEncoding[HEADER_CONTENT_ENCODING_BYTES];
};

// Fills `header` from `headText` (status line and header lines, without the
// blank line), which it cuts into lines in place.  contentLength starts at
// -1 and isChunked at 0; the text fields keep what the caller cleared them
// to unless a line sets them.  Names are matched without case, values are
// taken verbatim (not trimmed) and cut to their field's capacity; a later
// line of a kind overwrites an earlier one.  Keeps no state: any thread.
void ParseResponseHead(char* headText, HttpHeader* header);
