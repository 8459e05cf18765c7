// The chunked body reader on arbitrary server bytes, read from a real socket.
//
// Input: PLAN_BYTES bytes that plan how the stream arrives, then the stream
// (what the server sends after the response head).
//   plan[0]     how many stream bytes arrive together with the head;
//   plan[1..7]  in turn, the sizes (value + 1) of the following writes, at
//               most MAX_PLANNED_WRITES of them; the rest goes in one write.
// A writer thread sends each write only once the reader has taken every
// byte of the one before, so the reader sees exactly these receive
// boundaries (or smaller ones where it asks for less), whatever the timing.
//
// Checks, beyond memory safety:
//   - readTotal is the size of the file;
//   - the file begins with the chunk data a strict decoder vouches for
//     (everything before the first deviation from well-formed framing);
//   - a well-formed, complete body (size lines and trailer short enough
//     for the buffer, nothing after the final CR LF) is read completely
//     and the file holds exactly its data, however it was cut;
//   - a body reported complete from a stream that never deviated has
//     reached its last chunk, and the file holds exactly its data.
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
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

// Sends the planned writes, each once the previous one is wholly read,
// then ends the stream.
void Feed(int socket, const std::vector<std::string>* writes, const std::atomic<bool>* stop) {
    for (const std::string& write : *writes) {
        size_t sent = 0;
        while (sent < write.size()) {
            ssize_t count = send(socket, write.data() + sent, write.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) return;
            sent += static_cast<size_t>(count);
        }
        int unread = 1;
        while (!stop->load() && ioctl(socket, SIOCOUTQ, &unread) == 0 && unread > 0) sched_yield();
        if (stop->load()) return;
    }
    shutdown(socket, SHUT_WR);
}

FILE* SinkFile() {
    static FILE* file = std::tmpfile();
    return file;
}

std::string FileContents(FILE* file) {
    Check(std::fflush(file) == 0);
    struct stat status;
    Check(fstat(fileno(file), &status) == 0);
    std::string contents(static_cast<size_t>(status.st_size), '\0');
    if (!contents.empty()) {
        Check(pread(fileno(file), &contents[0], contents.size(), 0) == static_cast<ssize_t>(contents.size()));
    }
    return contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char plan[PLAN_BYTES] = {0};
    std::memcpy(plan, data, size < PLAN_BYTES ? size : PLAN_BYTES);
    const std::string stream =
        size > PLAN_BYTES ? std::string(reinterpret_cast<const char*>(data) + PLAN_BYTES, size - PLAN_BYTES) : "";

    // The bytes that came with the head, then the planned writes.
    const size_t headLength = sizeof HEAD - 1;
    size_t initial = plan[0] < stream.size() ? plan[0] : stream.size();
    std::vector<std::string> writes;
    size_t at = initial;
    for (int i = 0; at < stream.size(); ++i) {
        size_t piece = i < MAX_PLANNED_WRITES ? static_cast<size_t>(plan[1 + i % (PLAN_BYTES - 1)]) + 1 : stream.size();
        writes.push_back(stream.substr(at, piece));
        at += writes.back().size();
    }

    int pair[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    std::atomic<bool> stop{false};
    std::thread feeder(Feed, pair[1], &writes, &stop);

    char buffer[HTTP_BUFFER_SIZE + 1];
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, HEAD, headLength);
    std::memcpy(buffer + headLength, stream.data(), initial);
    FILE* file = SinkFile();
    Check(file != nullptr);
    Check(ftruncate(fileno(file), 0) == 0);
    std::rewind(file);
    BodySink sink;
    std::memset(&sink, 0, sizeof sink);
    sink.file = file;
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    ChunkedBodyReader reader;
    std::memset(&reader, 0, sizeof reader);
    reader.buffer = buffer;
    reader.held = static_cast<int32_t>(headLength + initial);
    reader.cursor = static_cast<int32_t>(headLength);
    reader.fileSize = 0xFFFFFFFFu;
    reader.sink = &sink;
    reader.errorText = errorText;

    int result = ReadChunkedBody(pair[0], &reader);

    stop = true;
    close(pair[0]);
    feeder.join();
    close(pair[1]);

    const std::string written = FileContents(file);
    Check(result == CHUNKED_BODY_READ || result == 0 || result == -1);  // -2 only for a failing disk
    Check(std::memchr(errorText, '\0', sizeof errorText) != nullptr);
    Check(reader.readTotal >= 0 && static_cast<size_t>(reader.readTotal) == written.size());
    Check(written.size() <= HTTP_BODY_SIZE_LIMIT);
    if (result == CHUNKED_BODY_READ && reader.isChunkReceiveCompleted == 0) {
        Check(reader.lastReceive <= 0);  // ended inside a chunk's data
    }

    const Reference ref = Decode(stream);
    Check(written.compare(0, ref.data.size(), ref.data) == 0);
    if (ref.complete) {
        Check(result == CHUNKED_BODY_READ && reader.isChunkReceiveCompleted == 1);
        Check(written == ref.data);
    }
    if (ref.clean && result == CHUNKED_BODY_READ && reader.isChunkReceiveCompleted == 1) {
        Check(ref.sawLast);
        Check(written == ref.data);
    }
    return 0;
}
