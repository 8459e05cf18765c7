#include "http/head_parser.h"

#include <cstring>

#include "base/strings.h"

namespace {

// Copies `value` into a field of `size` bytes, cut to fit; false when cut.
// Copies a value of `length` bytes into a field of `size` bytes; false when
// it was cut.
bool SetField(char* field, size_t size, const char* value, size_t length) {
    const bool fits = length <= size - 1;
    if (!fits) length = size - 1;
    std::memcpy(field, value, length);
    field[length] = '\0';
    return fits;
}

bool NameIs(const char* name, size_t length, const char* expected) {
    return length == std::strlen(expected) && StartsWithNoCase(name, expected);
}

// "HTTP/1.x 1dd" but 101: an interim answer the final one follows.
bool IsInterimHead(const char* head) {
    if (!StartsWithNoCase(head, "HTTP/1.") || head[7] == '\0' || head[8] != ' ') return false;
    const char* status = head + 9;
    if (status[0] != '1' || status[1] < '0' || status[1] > '9' || status[2] < '0' || status[2] > '9') return false;
    return !(status[1] == '0' && status[2] == '1');
}

}  // namespace

void TakeContentLength(HttpHeader* header, const char* value, size_t length) {
    while (length > 0 && (value[0] == ' ' || value[0] == '\t')) ++value, --length;
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) --length;
    int64_t number;
    if (!ParseDecimal(value, length, INT64_MAX, &number)) {
        header->lengthMalformed = 1;
        return;
    }
    const int32_t kept = number > INT32_MAX ? INT32_MAX : static_cast<int32_t>(number);
    if (header->contentLength != -1 && kept != header->contentLength) header->lengthConflict = 1;
    header->contentLength = kept;
}

void TakeHeaderField(HttpHeader* header, const char* name, size_t nameLength, const char* value, size_t valueLength) {
    if (NameIs(name, nameLength, "Content-Length")) {
        TakeContentLength(header, value, valueLength);
    } else if (NameIs(name, nameLength, "Transfer-Encoding")) {
        if (valueLength == 7 && StartsWithNoCase(value, "chunked")) header->isChunked = 1;
    } else if (NameIs(name, nameLength, "Location")) {
        header->locationTooLong = SetField(header->location, HEADER_LOCATION_BYTES, value, valueLength) ? 0 : 1;
    } else if (NameIs(name, nameLength, "Connection")) {
        SetField(header->connection, HEADER_CONNECTION_BYTES, value, valueLength);
    } else if (NameIs(name, nameLength, "Content-Encoding")) {
        SetField(header->contentEncoding, HEADER_CONTENT_ENCODING_BYTES, value, valueLength);
    }
}

int StatusCode(const char* head) {
    const char* space = std::strchr(head, ' ');
    if (space == nullptr) return 0;
    const size_t length = std::strcspn(space + 1, " \r\n");
    int64_t code;
    return ParseDecimal(space + 1, length, 999, &code) ? static_cast<int>(code) : 0;
}

void ParseResponseHead(char* headText, HttpHeader* header) {
    header->contentLength = -1;
    header->isChunked = 0;
    header->lengthConflict = 0;
    header->lengthMalformed = 0;
    header->locationTooLong = 0;
    char* cursor = headText;
    while (cursor != nullptr) {
        char* line = NextToken(&cursor, "\r\n");
        // Runs of CR and LF count as one separator.
        if (line[0] == '\0') continue;
        // A field is read only as "Name: value", one space after the colon.
        const char* colon = std::strchr(line, ':');
        if (colon == nullptr || colon[1] != ' ') continue;
        const char* value = colon + 2;
        TakeHeaderField(header, line, static_cast<size_t>(colon - line), value, std::strlen(value));
    }
}

void StartHeadReader(HeadReader* reader, char* buffer) {
    std::memset(reader, 0, sizeof *reader);
    reader->buffer = buffer;
    std::memset(buffer, 0, HTTP_BUFFER_SIZE + 1);
}

HeadState TakeHeadBytes(HeadReader* reader, const char* input, int32_t length, int32_t* consumed) {
    const int32_t room = HTTP_BUFFER_SIZE - reader->held;
    const int32_t taken = length < room ? length : room;
    char* place = reader->buffer + reader->held;
    if (input != place) std::memmove(place, input, static_cast<size_t>(taken));
    *consumed = taken;
    reader->lastReceive = taken;
    // The blank line may straddle the bytes held before by up to 3 bytes.
    const int32_t searchFrom = reader->held > 3 ? reader->held - 3 : 0;
    reader->held += taken;
    reader->buffer[reader->held] = '\0';
    const char* end =
        FindBytes(reader->buffer + searchFrom, static_cast<size_t>(reader->held - searchFrom), "\r\n\r\n", 4);
    if (end != nullptr) {
        reader->headLength = static_cast<int32_t>(end - reader->buffer);
        return HEAD_RECEIVED;
    }
    return reader->held >= HTTP_BUFFER_SIZE ? HEAD_TOO_LONG : HEAD_INCOMPLETE;
}

HeadState TakeReceivedHeadBytes(HeadReader* reader, char* place, int32_t received) {
    int32_t consumed = 0;
    HeadState state = TakeHeadBytes(reader, place, received, &consumed);
    while (state == HEAD_RECEIVED && IsInterimHead(reader->buffer)) {
        // Drop the interim head and look for the next one in what follows.
        const int32_t next = reader->headLength + 4;
        const int32_t rest = reader->held - next;
        std::memmove(reader->buffer, reader->buffer + next, static_cast<size_t>(rest));
        std::memset(reader->buffer + rest, 0, static_cast<size_t>(reader->held - rest));
        reader->held = 0;
        reader->headLength = 0;
        state = TakeHeadBytes(reader, reader->buffer, rest, &consumed);
    }
    return state;
}
