// Reading a body sent with "Transfer-Encoding: chunked".
//
// The reader decodes the chunk framing inside the download's one receive
// buffer and streams chunk data to the sink as it arrives; a chunk of any
// size is read through in pieces of at most HTTP_BUFFER_SIZE bytes, so no
// body is ever held whole.  It trusts nothing the server sends: size lines
// without a hex digit, sizes that do not fit 31 bits, size lines longer than
// the buffer, bodies over the size limit and missing final CR LFs all end it
// with a message.
#pragma once

#include <cstdint>

#include "http/http_common.h"
#include "platform/net.h"

// The body was read to its end or the connection ended inside a chunk's
// data; isChunkReceiveCompleted tells which.  Failures return the download
// results 0 (over the size limit), -1 (framing, connection) or -2 (write).
const int CHUNKED_BODY_READ = 1;

struct ChunkedBodyReader {
    // Set by the caller:
    char* buffer;       // HTTP_BUFFER_SIZE + 1 bytes; the held data starts at buffer[0]
    int32_t held;       // bytes held (at entry: all received so far, head included)
    int32_t cursor;     // where the next size line begins (at entry: right after the head)
    uint32_t fileSize;  // the download's expected size, for messages only
    BodySink* sink;
    char* errorText;    // HTTP_ERROR_TEXT_BYTES, filled on failure
    // Filled by the reader:
    int32_t readTotal;  // chunk data bytes written
    int32_t remaining;  // bytes of the current chunk still to come
    int32_t chunksize;  // size of the current chunk
    int32_t syCount;    // after the last chunk: bytes held behind its size line
    int32_t isChunkReceiveCompleted;  // 1 once the last chunk and the final CR LF were seen
    int32_t lastReceive;              // result of the last receive
};

// Reads the rest of a chunked body from `socket` (which has its receive
// time-out set), starting with 0 <= cursor <= held <= HTTP_BUFFER_SIZE.  Writes a record to the application log when the last
// chunk is not followed by exactly CR LF.
int ReadChunkedBody(SOCKET socket, ChunkedBodyReader* reader);
