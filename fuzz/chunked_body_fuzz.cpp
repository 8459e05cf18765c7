// The chunked decoder on arbitrary server bytes, handed from a buffer (no
// socket, no thread, no file).
//
// Input: PLAN_BYTES bytes that plan how the stream arrives, then the stream
// (what the server sends after the response head).
//   plan[0]     how many stream bytes arrive together with the head;
//   plan[1..7]  in turn, the sizes (value + 1) of the following receives, at
//               most MAX_PLANNED_WRITES of them; the rest comes in one.
// Each planned piece is handed to the decoder as one receive would deliver
// it (the decoder takes at most what it asks for, the rest on its next
// request), the way the read loop receives from a socket that the server
// writes each piece to once the one before was read.  When the pieces run
// out the input ends as a closed connection does.
//
// Checks, beyond memory safety:
//   - readTotal is the number of body bytes produced, and every piece is at
//     most HTTP_BUFFER_SIZE bytes;
//   - the body begins with the chunk data a strict decoder vouches for
//     (everything before the first deviation from well-formed framing);
//   - a well-formed, complete body (size lines and trailer short enough
//     for the buffer, nothing after the final CR LF) is decoded completely
//     and the body is exactly its data, however it was cut;
//   - a body reported complete from a stream that never deviated has
//     reached its last chunk, and the body is exactly its data.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "http/chunked.h"
#include "http/http_common.h"

namespace {

const size_t PLAN_BYTES = 8;
const int MAX_PLANNED_WRITES = 96;
const char HEAD[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
// Size lines and trailers the reader's one buffer surely holds.
const size_t LINE_LIMIT = 8000;

// What a strict decoder makes of the stream.
struct Reference {
    std::string data;       // chunk data it vouches for
    bool clean = true;      // no deviation from well-formed framing
    bool sawLast = false;   // the last chunk's size line was reached
    bool complete = false;  // clean, ended with the final CR LF and nothing after it
};

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// size-line = [ "0x" | "0X" ] *( SP / HTAB ) 1*HEXDIG *( SP / HTAB ) [ ";" anything ]
// with a value below 2^31; -1 for anything else.
long StrictChunkSize(const std::string& line) {
    size_t at = 0;
    if (line.size() >= 2 && (line[1] == 'x' || line[1] == 'X')) {
        if (line[0] != '0') return -1;
        at = 2;
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    long value = 0;
    size_t digits = 0;
    for (; at < line.size() && Hex(line[at]) >= 0; ++at, ++digits) {
        value = value * 16 + Hex(line[at]);
        if (value > 0x7FFFFFFFL) return -1;
    }
    if (digits == 0) return -1;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at < line.size() && line[at] != ';') return -1;
    return value;
}

Reference Decode(const std::string& stream) {
    Reference ref;
    size_t pos = 0;
    for (;;) {
        size_t eol = stream.find("\r\n", pos);
        if (eol == std::string::npos) return ref;  // cut off in a size line
        std::string line = stream.substr(pos, eol - pos);
        long size = StrictChunkSize(line);
        if (size < 0 || line.size() > LINE_LIMIT ||
            static_cast<uint64_t>(size) + ref.data.size() > HTTP_BODY_SIZE_LIMIT) {
            ref.clean = false;
            return ref;
        }
        pos = eol + 2;
        if (size == 0) {
            ref.sawLast = true;
            // Trailer lines, then the empty line, then nothing.
            for (;;) {
                size_t end = stream.find("\r\n", pos);
                if (end == std::string::npos) return ref;
                if (end == pos) {
                    ref.complete = end + 2 == stream.size() && end + 2 - (eol + 2) <= LINE_LIMIT;
                    if (end + 2 != stream.size()) ref.clean = false;
                    return ref;
                }
                pos = end + 2;
            }
        }
        size_t available = stream.size() - pos;
        if (available < static_cast<size_t>(size)) {
            ref.data += stream.substr(pos);  // cut off in the data
            return ref;
        }
        ref.data += stream.substr(pos, static_cast<size_t>(size));
        pos += static_cast<size_t>(size);
        if (stream.size() - pos < 2) return ref;
        if (stream.compare(pos, 2, "\r\n") != 0) {
            ref.clean = false;
            return ref;
        }
        pos += 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char plan[PLAN_BYTES] = {0};
    std::memcpy(plan, data, size < PLAN_BYTES ? size : PLAN_BYTES);
    const std::string stream =
        size > PLAN_BYTES ? std::string(reinterpret_cast<const char*>(data) + PLAN_BYTES, size - PLAN_BYTES) : "";

    // The bytes that came with the head, then the planned pieces.
    const size_t headLength = sizeof HEAD - 1;
    size_t initial = plan[0] < stream.size() ? plan[0] : stream.size();
    std::vector<std::string> pieces;
    size_t at = initial;
    for (int i = 0; at < stream.size(); ++i) {
        size_t piece = i < MAX_PLANNED_WRITES ? static_cast<size_t>(plan[1 + i % (PLAN_BYTES - 1)]) + 1 : stream.size();
        pieces.push_back(stream.substr(at, piece));
        at += pieces.back().size();
    }

    static char buffer[HTTP_BUFFER_SIZE + 1];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, HEAD, headLength);
    std::memcpy(buffer + headLength, stream.data(), initial);
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    ChunkedDecoder decoder;
    StartChunkedDecoder(&decoder, buffer, static_cast<int32_t>(headLength + initial), static_cast<int32_t>(headLength),
                        0xFFFFFFFFu, ErrorText{errorText, sizeof errorText});

    std::string written;
    ChunkedState state;
    size_t next = 0;
    const char* input = nullptr;
    int32_t length = 0;
    for (;;) {
        ChunkedStep step = DecodeChunked(&decoder, input, length);
        Check(step.consumed >= 0 && step.consumed <= length);
        input += step.consumed;
        length -= step.consumed;
        if (step.state == CHUNKED_BODY_BYTES) {
            Check(step.bodyLength > 0 && step.bodyLength <= HTTP_BUFFER_SIZE);
            written.append(step.body, static_cast<size_t>(step.bodyLength));
            continue;
        }
        if (step.state != CHUNKED_NEEDS_INPUT) {
            state = step.state;
            break;
        }
        Check(length == 0);
        Check(ChunkedInputRoom(&decoder) > 0);
        if (next == pieces.size()) {
            state = EndChunkedInput(&decoder, 0, 0);
            break;
        }
        input = pieces[next].data();
        length = static_cast<int32_t>(pieces[next].size());
        ++next;
    }

    Check(state == CHUNKED_COMPLETE || state == CHUNKED_ENDED_IN_DATA || state == CHUNKED_FAILED ||
          state == CHUNKED_TOO_LARGE);
    Check(std::memchr(errorText, '\0', sizeof errorText) != nullptr);
    Check(decoder.readTotal >= 0 && static_cast<size_t>(decoder.readTotal) == written.size());
    Check(written.size() <= HTTP_BODY_SIZE_LIMIT);
    if (state == CHUNKED_ENDED_IN_DATA) Check(decoder.lastReceive <= 0);

    const Reference ref = Decode(stream);
    Check(written.compare(0, ref.data.size(), ref.data) == 0);
    if (ref.complete) {
        Check(state == CHUNKED_COMPLETE);
        Check(written == ref.data);
    }
    if (ref.clean && state == CHUNKED_COMPLETE) {
        Check(ref.sawLast);
        Check(written == ref.data);
    }
    return 0;
}
