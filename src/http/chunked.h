// Decoding a body sent with "Transfer-Encoding: chunked".
//
// ChunkedDecoder is a state machine handed bytes: it does no I/O.  Each
// step takes input only when it needs some, and says how much it took
// (consumed), which body bytes it produced, and where it stands (state).
// ReadChunkedBody is the small read loop around it that the image download
// uses: it receives from the socket what the decoder asks for and writes
// the body bytes to the sink.  Tests and the fuzz target hand the decoder
// buffers cut anywhere instead.
//
// The decoder works inside the download's one receive buffer and passes
// chunk data on as it arrives; a chunk of any size goes through in pieces
// of at most HTTP_BUFFER_SIZE bytes, so no body is ever held whole.  It
// trusts nothing the server sends: size lines without a hex digit, sizes
// that do not fit 31 bits, size lines longer than the buffer, bodies over
// the size limit and missing final CR LFs all end it with a message.
//
// Input is taken the way one receive of the read loop would deliver it: when
// the decoder asks for input it takes at most ChunkedInputRoom bytes of what
// it is handed, and handing it N bytes is the same as a receive returning N.
// So a stream cut into pieces decodes exactly as if each piece arrived in
// receives of its own, and every message and log record says what it said
// when the reader received from the socket itself.
#pragma once

#include <cstdint>

#include "http/http_common.h"
#include "platform/net.h"

struct Vector;

// ChunkedState: where a chunked body stands.  NEEDS_INPUT and BODY_BYTES ask
// the caller for something; the others are final.
enum ChunkedState {
    CHUNKED_NEEDS_INPUT = 0,  // hand it input (at most ChunkedInputRoom bytes are taken)
    CHUNKED_BODY_BYTES,       // the step produced body bytes: write them, then step again
    CHUNKED_COMPLETE,         // the last chunk and the CR LF that ends the message were seen
    CHUNKED_ENDED_IN_DATA,  // the input ended inside a chunk's data: not a failure here, the download's end evaluation decides
    CHUNKED_FAILED,         // framing, or the input ended where the framing needs more; message in error
    CHUNKED_TOO_LARGE,     // the body would pass HTTP_BODY_SIZE_LIMIT; message in error
    CHUNKED_WRITE_FAILED,  // ReadChunkedBody only: writing to the sink failed; message in error
};

// The decoder's place in the framing; internal to chunked.cpp.
enum ChunkedPhase {
    CHUNKED_PHASE_SIZE_LINE = 0,  // a size line starts at the cursor
    CHUNKED_PHASE_REFILL,         // the held bytes from the cursor need more behind them
    CHUNKED_PHASE_CHUNK_DATA,     // `remaining` bytes of chunk data pass straight through
    CHUNKED_PHASE_BODY_END,       // after the last chunk's size line: waiting for the final CR LF
    CHUNKED_PHASE_ENDED,          // a final state was reached
};

struct ChunkedDecoder {
    char* buffer;             // HTTP_BUFFER_SIZE + 1 bytes, held data from buffer[0], kept NUL-terminated
    int32_t held;             // bytes held
    int32_t cursor;           // where the next size line begins
    uint32_t fileSize;        // the download's expected size, for messages only
    ErrorText error;          // filled when it fails
    int32_t readTotal;        // chunk data bytes produced (each piece is written before the next step)
    int32_t remaining;        // bytes of the current chunk still to come
    int32_t chunksize;        // size of the current chunk
    int32_t syCount;          // after the last chunk: bytes held behind its size line
    int32_t lastReceive;      // bytes of the last input taken, or the result that ended the input
    int32_t lastSocketError;  // the socket error when the input ended (0 before)
    ChunkedPhase phase;
    ChunkedState state;  // the state of the last step
    Vector* logLines;    // where its records go (LogLineTo); null after StartChunkedDecoder: app.log
};

// What one step did.
struct ChunkedStep {
    ChunkedState state;
    int32_t consumed;    // input bytes taken
    const char* body;    // CHUNKED_BODY_BYTES: the body bytes (in the input or the buffer)
    int32_t bodyLength;  //   and how many; valid until the next step
};

// Starts decoding the body that begins at `cursor` in `buffer`, which holds
// `held` bytes (the head and whatever came with it), 0 <= cursor <= held <=
// HTTP_BUFFER_SIZE.  `error` receives the message of a failure.
void StartChunkedDecoder(ChunkedDecoder* decoder, char* buffer, int32_t held, int32_t cursor, uint32_t fileSize,
                         ErrorText error);

// One step, with `length` bytes of input at `input` (none: null and 0).
// Input is taken only while the decoder needs it, at most
// ChunkedInputRoom() bytes each time it asks.  The caller keeps stepping
// with the rest of its input until the state is CHUNKED_NEEDS_INPUT with
// nothing left to hand, or final.  Writes a record to the application log
// when the last chunk is not followed by exactly CR LF.
ChunkedStep DecodeChunked(ChunkedDecoder* decoder, const char* input, int32_t length);

// After CHUNKED_NEEDS_INPUT: how many bytes the decoder takes next, and where
// they would go; a receive straight into that place saves the copy.
int32_t ChunkedInputRoom(const ChunkedDecoder* decoder);
char* ChunkedInputSpace(ChunkedDecoder* decoder);

// After CHUNKED_NEEDS_INPUT: the input ended, as a receive that returned
// `result` (0: the peer closed; below 0: it failed with `socketError`).
// Returns CHUNKED_ENDED_IN_DATA inside a chunk's data, else CHUNKED_FAILED
// with the message.  In any other state it changes nothing.
ChunkedState EndChunkedInput(ChunkedDecoder* decoder, int result, int socketError);

// The read loop: decodes the rest of the body from `connection` (whose
// socket has its receive time-out set), writing the body bytes to `sink`.  Returns the
// final state: CHUNKED_COMPLETE, CHUNKED_ENDED_IN_DATA, CHUNKED_FAILED,
// CHUNKED_TOO_LARGE or CHUNKED_WRITE_FAILED.
struct Transfer;
ChunkedState ReadChunkedBody(Transfer* transfer, HttpConnection* connection, ChunkedDecoder* decoder, BodySink* sink);
