#include "http/chunked.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/app_log.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

const char FORMAT_END_RECORD[] = "chunk size == 0, readTotal:%d, p - data:%d, syCount:%d, dataContent:\r\n%s";

// A size line shows at most this much of itself in a message.
const int SIZE_LINE_EXCERPT = 20;

// The size of a size line: an optional "0x", blanks, hex digits; anything
// after the digits (an extension after ';') is ignored.  A line without a
// digit sets *noDigits: read as 0 it would pass for the last chunk and end
// the body early.  Digits that do not fit 32 bits set *outOfRange instead of
// wrapping round to a small size that would cut the body short unnoticed.
int32_t DecodeChunkSize(const char* line, int length, bool* noDigits, bool* outOfRange) {
    int at = 0;
    if (length >= 2 && (line[1] == 'x' || line[1] == 'X')) at = 2;
    while (at < length && (line[at] == ' ' || line[at] == '\t')) ++at;
    uint32_t value = 0;
    *outOfRange = false;
    *noDigits = true;
    for (; at < length; ++at) {
        int digit = HexDigitValue(line[at]);
        if (digit < 0) break;
        *noDigits = false;
        if (value > 0x0FFFFFFFu) *outOfRange = true;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return static_cast<int32_t>(value);
}

// Moves the held bytes from `from` on to the start of the buffer.
void KeepFrom(ChunkedDecoder* decoder, int32_t from) {
    if (from == 0) return;
    int32_t kept = decoder->held - from;
    std::memmove(decoder->buffer, decoder->buffer + from, static_cast<size_t>(kept));
    decoder->held = kept;
    decoder->buffer[kept] = '\0';
    decoder->cursor = 0;
}

// The input of one DecodeChunked call and how much of it was taken.
struct Input {
    const char* bytes;
    int32_t length;
    int32_t consumed;
};

bool InputLeft(const Input* input) { return input->consumed < input->length; }

// Appends up to `room` of the input behind the held bytes (a receive
// straight into the buffer has put them there already).
int32_t TakeInput(ChunkedDecoder* decoder, Input* input, int32_t room) {
    const char* bytes = input->bytes + input->consumed;
    int32_t left = input->length - input->consumed;
    int32_t taken = left < room ? left : room;
    char* place = decoder->buffer + decoder->held;
    if (bytes != place) std::memmove(place, bytes, static_cast<size_t>(taken));
    decoder->held += taken;
    decoder->buffer[decoder->held] = '\0';
    decoder->lastReceive = taken;
    input->consumed += taken;
    return taken;
}

// The step results.  Each returns true, so a phase's function can return it
// as "the step ends here"; false from a phase's function means decoding
// goes on in the phase it moved to.
bool StepWith(ChunkedDecoder* decoder, ChunkedState state, const Input* input, ChunkedStep* step) {
    decoder->state = state;
    *step = ChunkedStep{state, input->consumed, nullptr, 0};
    return true;
}

bool NeedInput(ChunkedDecoder* decoder, const Input* input, ChunkedStep* step) {
    return StepWith(decoder, CHUNKED_NEEDS_INPUT, input, step);
}

// Ends the decoder in a final state.
bool End(ChunkedDecoder* decoder, ChunkedState state, const Input* input, ChunkedStep* step) {
    decoder->phase = CHUNKED_PHASE_ENDED;
    return StepWith(decoder, state, input, step);
}

#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
bool Fail(ChunkedDecoder* decoder, ChunkedState state, const Input* input, ChunkedStep* step, const char* format,
          ...) {
    va_list arguments;
    va_start(arguments, format);
    PutErrorList(decoder->error, format, arguments);
    va_end(arguments);
    return End(decoder, state, input, step);
}

bool Produce(ChunkedDecoder* decoder, const char* body, int32_t length, const Input* input, ChunkedStep* step) {
    decoder->readTotal += length;
    decoder->state = CHUNKED_BODY_BYTES;
    *step = ChunkedStep{CHUNKED_BODY_BYTES, input->consumed, body, length};
    return true;
}

// After the size line "0": records a body end that is not exactly the
// final CR LF, and keeps the bytes behind the size line.
void StartBodyEnd(ChunkedDecoder* decoder, int32_t dataStart) {
    decoder->syCount = decoder->held - dataStart;
    if (decoder->syCount != 2) {
        char line[HTTP_BUFFER_SIZE + 160];
        std::snprintf(line, sizeof line, FORMAT_END_RECORD, decoder->held, dataStart, decoder->syCount,
                      decoder->buffer);
        LogLineTo(decoder->logLines, line);
    }
    KeepFrom(decoder, dataStart);
    decoder->phase = CHUNKED_PHASE_BODY_END;
}

// Reads the size of the `lineLength` bytes at `line` into chunksize, or
// fails for a line without a digit, with more digits than 32 bits hold, or
// with a size that reads as negative.
bool FailOnChunkSize(ChunkedDecoder* decoder, const char* line, int lineLength, const Input* input, ChunkedStep* step) {
    const int excerpt = lineLength < SIZE_LINE_EXCERPT ? lineLength : SIZE_LINE_EXCERPT;
    bool noDigits = false, outOfRange = false;
    decoder->chunksize = DecodeChunkSize(line, lineLength, &noDigits, &outOfRange);
    if (noDigits) return Fail(decoder, CHUNKED_FAILED, input, step, FORMAT_CHUNK_SIZE_NO_DIGITS, excerpt, line);
    if (outOfRange) return Fail(decoder, CHUNKED_FAILED, input, step, FORMAT_CHUNK_SIZE_OUT_OF_RANGE, excerpt, line);
    if (decoder->chunksize < 0) {
        return Fail(decoder, CHUNKED_FAILED, input, step, FORMAT_NEGATIVE_CHUNK_SIZE, decoder->chunksize);
    }
    return false;
}

// CHUNKED_PHASE_SIZE_LINE: the size line at the cursor, then the chunk's
// data as far as it is held.
bool DecodeSizeLine(ChunkedDecoder* decoder, const Input* input, ChunkedStep* step) {
    const char* data = decoder->buffer;
    const char* line = data + decoder->cursor;
    const char* lineEnd = FindBytes(line, static_cast<size_t>(decoder->held - decoder->cursor), "\r\n", 2);
    if (lineEnd == nullptr) {
        decoder->phase = CHUNKED_PHASE_REFILL;  // the size line is incomplete
        return false;
    }
    const int lineLength = static_cast<int>(lineEnd - line);
    if (FailOnChunkSize(decoder, line, lineLength, input, step)) return true;
    const int32_t dataStart = decoder->cursor + lineLength + 2;
    if (decoder->chunksize == 0) {
        StartBodyEnd(decoder, dataStart);
        return false;
    }
    // The same limit as any other body, checked before a byte of the chunk
    // is passed on: endless or huge chunks must not fill the disk.
    if (decoder->chunksize > static_cast<int32_t>(HTTP_BODY_SIZE_LIMIT) - decoder->readTotal) {
        return Fail(decoder, CHUNKED_TOO_LARGE, input, step, FORMAT_CHUNKED_OVER_LIMIT, decoder->readTotal,
                    decoder->chunksize);
    }
    const int32_t avail = decoder->held - dataStart;
    if (avail >= decoder->chunksize) {
        const int32_t dataEnd = dataStart + decoder->chunksize;
        if (avail >= decoder->chunksize + 2) {
            decoder->cursor = dataEnd + 2;  // the two bytes that end the data are skipped unexamined
        } else {
            decoder->cursor = dataEnd;  // what follows the data waits for more
            decoder->phase = CHUNKED_PHASE_REFILL;
        }
        return Produce(decoder, data + dataStart, decoder->chunksize, input, step);
    }
    // Part of the chunk is held: pass it on, then the rest straight through.
    decoder->remaining = decoder->chunksize - avail;
    decoder->phase = CHUNKED_PHASE_CHUNK_DATA;
    if (avail == 0) return false;  // the bytes held ended right after the size line
    return Produce(decoder, data + dataStart, avail, input, step);
}

// CHUNKED_PHASE_REFILL: the held bytes from the cursor move to the start of
// the buffer and more input goes behind them.  A buffer that then begins
// with the CR LF that ends the previous chunk's data (arriving on its own)
// is stepped over.
bool Refill(ChunkedDecoder* decoder, Input* input, ChunkedStep* step) {
    KeepFrom(decoder, decoder->cursor);
    if (decoder->held >= HTTP_BUFFER_SIZE) {
        // A whole buffer of size line without its CR LF.
        return Fail(decoder, CHUNKED_FAILED, input, step, "%s", MESSAGE_SIZE_LINE_TOO_LONG);
    }
    if (!InputLeft(input)) return NeedInput(decoder, input, step);
    TakeInput(decoder, input, HTTP_BUFFER_SIZE - decoder->held);
    const char* data = decoder->buffer;
    decoder->cursor = decoder->held >= 2 && data[0] == '\r' && data[1] == '\n' ? 2 : 0;
    decoder->phase = CHUNKED_PHASE_SIZE_LINE;
    return false;
}

// CHUNKED_PHASE_CHUNK_DATA: the rest of a chunk passes straight through,
// in pieces of at most HTTP_BUFFER_SIZE bytes.
bool PassChunkData(ChunkedDecoder* decoder, Input* input, ChunkedStep* step) {
    if (decoder->remaining == 0) {
        // The chunk went through whole; the buffer holds nothing.
        decoder->held = 0;
        decoder->buffer[0] = '\0';
        decoder->cursor = 0;
        decoder->phase = CHUNKED_PHASE_REFILL;
        return false;
    }
    if (!InputLeft(input)) return NeedInput(decoder, input, step);
    int32_t piece = ChunkedInputRoom(decoder);
    if (piece > input->length - input->consumed) piece = input->length - input->consumed;
    const char* body = input->bytes + input->consumed;
    input->consumed += piece;
    decoder->remaining -= piece;
    decoder->lastReceive = piece;
    return Produce(decoder, body, piece, input, step);
}

// CHUNKED_PHASE_BODY_END: the held bytes behind the last size line end in
// CR LF (the final CR LF, or a trailer's last line and it), or more input
// goes behind them while there is room.
bool AwaitFinalCrLf(ChunkedDecoder* decoder, Input* input, ChunkedStep* step) {
    const char* data = decoder->buffer;
    const int32_t held = decoder->held;
    if (held > 1 && data[held - 2] == '\r' && data[held - 1] == '\n') {
        return End(decoder, CHUNKED_COMPLETE, input, step);
    }
    if (held >= HTTP_BUFFER_SIZE) return Fail(decoder, CHUNKED_FAILED, input, step, "%s", MESSAGE_NO_FINAL_CRLF);
    if (!InputLeft(input)) return NeedInput(decoder, input, step);
    decoder->syCount += TakeInput(decoder, input, ChunkedInputRoom(decoder));
    return false;
}

}  // namespace

void StartChunkedDecoder(ChunkedDecoder* decoder, char* buffer, int32_t held, int32_t cursor, uint32_t fileSize,
                         ErrorText error) {
    std::memset(decoder, 0, sizeof *decoder);
    decoder->buffer = buffer;
    decoder->held = held;
    decoder->cursor = cursor;
    decoder->fileSize = fileSize;
    decoder->error = error;
    decoder->phase = CHUNKED_PHASE_SIZE_LINE;
    decoder->state = CHUNKED_NEEDS_INPUT;
    buffer[held] = '\0';
}

ChunkedStep DecodeChunked(ChunkedDecoder* decoder, const char* bytes, int32_t length) {
    Input input = {bytes, length, 0};
    ChunkedStep step = {decoder->state, 0, nullptr, 0};
    for (;;) {
        bool stepEnds = false;
        switch (decoder->phase) {
            case CHUNKED_PHASE_SIZE_LINE: stepEnds = DecodeSizeLine(decoder, &input, &step); break;
            case CHUNKED_PHASE_REFILL: stepEnds = Refill(decoder, &input, &step); break;
            case CHUNKED_PHASE_CHUNK_DATA: stepEnds = PassChunkData(decoder, &input, &step); break;
            case CHUNKED_PHASE_BODY_END: stepEnds = AwaitFinalCrLf(decoder, &input, &step); break;
            case CHUNKED_PHASE_ENDED: return step;  // final: nothing taken, nothing changes
        }
        if (stepEnds) return step;
    }
}

int32_t ChunkedInputRoom(const ChunkedDecoder* decoder) {
    switch (decoder->phase) {
        case CHUNKED_PHASE_REFILL: return HTTP_BUFFER_SIZE - decoder->held;
        case CHUNKED_PHASE_CHUNK_DATA:
            return decoder->remaining < HTTP_BUFFER_SIZE ? decoder->remaining : HTTP_BUFFER_SIZE;
        case CHUNKED_PHASE_BODY_END: return HTTP_BUFFER_SIZE - decoder->syCount;
        default: return 0;
    }
}

char* ChunkedInputSpace(ChunkedDecoder* decoder) {
    // Chunk data read straight through starts at the buffer's start.
    return decoder->phase == CHUNKED_PHASE_CHUNK_DATA ? decoder->buffer : decoder->buffer + decoder->held;
}

ChunkedState EndChunkedInput(ChunkedDecoder* decoder, int result, int socketError) {
    if (decoder->state != CHUNKED_NEEDS_INPUT) return decoder->state;
    const Input none = {nullptr, 0, 0};
    ChunkedStep step;
    const ChunkedPhase phase = decoder->phase;
    if (phase != CHUNKED_PHASE_REFILL && phase != CHUNKED_PHASE_CHUNK_DATA && phase != CHUNKED_PHASE_BODY_END) {
        return decoder->state;  // nothing was asked for yet
    }
    decoder->lastReceive = result;
    decoder->lastSocketError = socketError;
    switch (phase) {
        case CHUNKED_PHASE_REFILL:
            Fail(decoder, CHUNKED_FAILED, &none, &step, FORMAT_REFILL_FAILED, decoder->fileSize, decoder->readTotal,
                 result, socketError);
            break;
        case CHUNKED_PHASE_CHUNK_DATA:
            // Not a failure here: the download's end evaluation decides.
            decoder->held = 0;
            decoder->buffer[0] = '\0';
            End(decoder, CHUNKED_ENDED_IN_DATA, &none, &step);
            break;
        case CHUNKED_PHASE_BODY_END:
            Fail(decoder, CHUNKED_FAILED, &none, &step, FORMAT_FINAL_READ_FAILED, decoder->syCount,
                 HTTP_BUFFER_SIZE - decoder->syCount, result, socketError);
            break;
        default: break;
    }
    return decoder->state;
}

ChunkedState ReadChunkedBody(Transfer* transfer, HttpConnection* connection, ChunkedDecoder* decoder, BodySink* sink) {
    const char* input = nullptr;
    int32_t length = 0;
    for (;;) {
        ChunkedStep step = DecodeChunked(decoder, input, length);
        input += step.consumed;
        length -= step.consumed;
        if (step.state == CHUNKED_BODY_BYTES) {
            if (!WriteToSink(sink, step.body, step.bodyLength)) {
                PutError(decoder->error, "%s", MESSAGE_WRITE_FAILED);
                decoder->phase = CHUNKED_PHASE_ENDED;
                decoder->state = CHUNKED_WRITE_FAILED;
                return CHUNKED_WRITE_FAILED;
            }
            continue;
        }
        if (step.state != CHUNKED_NEEDS_INPUT) return step.state;
        char* space = ChunkedInputSpace(decoder);
        int socketError = 0;
        int received = ReceiveSome(transfer, connection, space, ChunkedInputRoom(decoder), &socketError);
        if (received <= 0) return EndChunkedInput(decoder, received, socketError);
        input = space;
        length = received;
    }
}
