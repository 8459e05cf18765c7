#include "http/response_head.h"

#include <cstring>

#include "util/strings.h"

namespace {

// Copies `value` into a field of `size` bytes, cut to fit.
void SetField(char* field, int size, const char* value) {
    size_t length = std::strlen(value);
    if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
    std::memcpy(field, value, length);
    field[length] = '\0';
}

}  // namespace

void ParseResponseHead(char* headText, HttpHeader* header) {
    header->contentLength = -1;
    header->isChunked = 0;
    char* cursor = headText;
    while (cursor != nullptr) {
        char* line = NextToken(&cursor, "\r\n");
        // Runs of CR and LF count as one separator.
        if (line[0] == '\0') continue;
        if (StartsWithNoCase(line, "Content-Length: ")) {
            header->contentLength = ReadDecimalInt32(line + std::strlen("Content-Length: "));
        } else if (StartsWithNoCase(line, "Transfer-Encoding: chunked") &&
                   line[std::strlen("Transfer-Encoding: chunked")] == '\0') {
            header->isChunked = 1;
        } else if (StartsWithNoCase(line, "Location: ")) {
            SetField(header->location, HEADER_LOCATION_BYTES, line + std::strlen("Location: "));
        } else if (StartsWithNoCase(line, "Connection: ")) {
            SetField(header->connection, HEADER_CONNECTION_BYTES, line + std::strlen("Connection: "));
        } else if (StartsWithNoCase(line, "Content-Encoding: ")) {
            SetField(header->contentEncoding, HEADER_CONTENT_ENCODING_BYTES, line + std::strlen("Content-Encoding: "));
        }
    }
}
