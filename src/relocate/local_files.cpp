#include "relocate/local_files.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "util/clock.h"

int imageCounter = 1;

namespace {

const char* const KNOWN_EXTENSIONS[] = {"jpg", "jpeg", "png", "gif", "bmp"};
const size_t EXTENSION_CANDIDATE_BYTES = 7;
const char LONGEST_EXTENSION[] = "jpeg";

// "<destination>/<m-><Y-M-D-h-m-n>.<ext>" into `path`; its length, or -1.
int FormatLocalImagePath(ImageKind kind, const char* extension, const char* destination, const RunTimeStamp& stamp,
                         int number, char* path, size_t size) {
    return std::snprintf(path, size, "%s" PATH_SEPARATOR_TEXT "%s%d-%d-%d-%d-%d-%d.%s", destination,
                         kind == IMAGE_KIND_MOBILE ? "m-" : "", stamp.year, stamp.month, stamp.day, stamp.hour,
                         stamp.minute, number, extension);
}

}  // namespace

RunTimeStamp CurrentRunTimeStamp() {
    std::tm local = LocalTimeNow();
    return RunTimeStamp{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
}

const char* ImageExtensionForUrl(const char* url) {
    const char* slash = std::strrchr(url, '/');
    if (slash == nullptr) return "jpg";
    // The last dot after the last slash; it may lie in the query.
    const char* dot = std::strrchr(slash, '.');
    if (dot == nullptr) return "jpg";
    const char* start = dot + 1;
    const char* end = std::strchr(start, '?');
    if (end == nullptr) end = std::strchr(start, '#');
    if (end == nullptr) end = start + std::strlen(start);
    size_t length = static_cast<size_t>(end - start);
    if (length > EXTENSION_CANDIDATE_BYTES) length = EXTENSION_CANDIDATE_BYTES;
    if (length == 0) return "jpg";

    char candidate[EXTENSION_CANDIDATE_BYTES + 1];
    for (size_t i = 0; i < length; ++i) {
        char c = start[i];
        candidate[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    candidate[length] = '\0';
    for (const char* known : KNOWN_EXTENSIONS) {
        if (std::strcmp(candidate, known) == 0) return known;
    }
    if (std::strstr(candidate, "jpg") || std::strstr(candidate, "jpeg")) return "jpg";
    if (std::strstr(candidate, "png")) return "png";
    if (std::strstr(candidate, "gif")) return "gif";
    if (std::strstr(candidate, "bmp")) return "bmp";
    return "jpg";
}

int NextLocalImagePath(ImageKind kind, const char* extension, const char* destination, const RunTimeStamp& stamp,
                       char* path, size_t size, FILE** claimed) {
    for (;;) {
        int number = imageCounter++;
        int length = FormatLocalImagePath(kind, extension, destination, stamp, number, path, size);
        if (length < 0 || static_cast<size_t>(length) >= size || length >= MAX_PATH_BYTES) {
            path[0] = '\0';
            return 0;
        }
        // Anything already at the path keeps its name: a file we may not be
        // able to open (locked, unreadable), a folder, a link, or the file
        // another run took a moment ago.
        int taken = 0;
        FILE* file = CreateNewFileByPath(path, &taken);
        if (file != nullptr) {
            if (claimed != nullptr)
                *claimed = file;
            else
                CloseFile(file);
            return LOCAL_NAME_MADE;
        }
        if (!taken) return LOCAL_NAME_NOT_CREATED;
    }
}

int DestinationTakesImageNames(const char* destination) {
    char path[MAX_PATH_BYTES * 2];
    const RunTimeStamp lastMinute = {9999, 12, 31, 23, 59};
    int length =
        FormatLocalImagePath(IMAGE_KIND_MOBILE, LONGEST_EXTENSION, destination, lastMinute, INT_MAX, path, sizeof path);
    return length >= 0 && static_cast<size_t>(length) < sizeof path && PathFitsSystem(path) ? 1 : 0;
}
