// ParseResponseHead on arbitrary bytes: the head of any server's response,
// as the download hands it over (a writable, NUL-terminated copy).  Besides
// memory safety, every text field must come back NUL-terminated within its
// width and the flag must be 0 or 1.
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "http/response_head.h"

namespace {

bool TerminatedWithin(const char* field, size_t width) { return std::memchr(field, '\0', width) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> head(size + 1);
    if (size > 0) std::memcpy(head.data(), data, size);
    head[size] = '\0';

    HttpHeader header;
    std::memset(&header, 0, sizeof header);
    ParseResponseHead(head.data(), &header);

    Check(header.isChunked == 0 || header.isChunked == 1);
    Check(TerminatedWithin(header.location, sizeof header.location));
    Check(TerminatedWithin(header.connection, sizeof header.connection));
    Check(TerminatedWithin(header.contentEncoding, sizeof header.contentEncoding));
    // With no "Content-Length: " line at all the length stays unknown.
    bool hasLength = false;
    for (size_t i = 0; i + 16 <= size && !hasLength; ++i) {
        hasLength = strncasecmp(reinterpret_cast<const char*>(data) + i, "Content-Length: ", 16) == 0;
    }
    if (!hasLength) Check(header.contentLength == -1);
    return 0;
}
